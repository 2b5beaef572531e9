#include "platform/UdpSockets.h"

#include <QEvent>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace UdpSockets {

int32_t WinSockCodeFromErrno(int iErrno) {
    struct Pair {
        int e;
        int32_t wsa;
    };
    static const Pair kTable[] = {
        {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
        {EPERM, 10013},           {EFAULT, 10014},       {EINVAL, 10022},
        {EMFILE, 10024},          {ENFILE, 10024},       {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},          {EINPROGRESS, 10036},  {EALREADY, 10037},
        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
        {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
        {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},        {ENETUNREACH, 10051},  {ENETRESET, 10052},
        {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {ENOBUFS, 10055},
        {ENOMEM, 10055},          {EISCONN, 10056},      {ENOTCONN, 10057},
        {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},    {ELOOP, 10062},        {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
        {EUSERS, 10068},          {EDQUOT, 10069},       {ESTALE, 10070},
        {EREMOTE, 10071},
    };
    for (const Pair& p : kTable)
        if (p.e == iErrno)
            return p.wsa;
    return iErrno;
}

namespace {

// Reports readiness straight from the notifier's event, without a signal in between, so that an
// exception of the receive handler leaves through the application's notify() like that of any
// other event handler.
class TReadNotifier : public QSocketNotifier {
public:
    TReadNotifier(int fd, std::function<void()> fn)
        : QSocketNotifier(fd, QSocketNotifier::Read), fFn(std::move(fn)) {}

    bool event(QEvent* e) override {
        if (e->type() != QEvent::SockAct)
            return QSocketNotifier::event(e);
        struct Depth {
            int& d;
            explicit Depth(int& dd) : d(dd) { ++d; }
            ~Depth() { --d; }
        };
        Depth depth(fiDispatching);
        // Should the handler close the socket, this notifier outlives the call (CloseSocket).
        fFn();
        return true;
    }

    bool Dispatching() const { return fiDispatching > 0; }

private:
    std::function<void()> fFn;
    int fiDispatching = 0;
};

class TSystemSocketApi : public ISocketApi {
public:
    ~TSystemSocketApi() override {
        while (!fNotifiers.empty())
            CloseSocket(fNotifiers.begin()->first);
    }

    int32_t Create() override {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd < 0)
            Fail("socket");
        return fd;
    }

    bool Bind(int32_t hSocket, uint16_t wPort) override {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        sa.sin_port = htons(wPort);
        if (::bind(hSocket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            return Fail("bind 0.0.0.0:" + std::to_string(wPort));
        return true;
    }

    bool Select(int32_t hSocket, std::function<void()> fnReadable) override {
        if (hSocket < 0 || fNotifiers.count(hSocket) != 0) {
            fiLastError = kWsaEInval;
            return false;
        }
        auto* n = new TReadNotifier(hSocket, std::move(fnReadable));
        if (!n->isValid()) {
            delete n;
            fiLastError = kWsaEInval;
            return false;
        }
        fNotifiers[hSocket] = n;
        return true;
    }

    bool GetBufferSize(int32_t hSocket, bool bSend, int32_t& iSize) override {
        int value = 0;
        socklen_t len = sizeof value;
        if (::getsockopt(hSocket, SOL_SOCKET, bSend ? SO_SNDBUF : SO_RCVBUF, &value, &len) != 0)
            return Fail();
        if (len != sizeof value) {
            fiLastError = kWsaEInval;
            return false;
        }
        iSize = value;
        return true;
    }

    bool SetBroadcast(int32_t hSocket) override {
        int on = 1;
        if (::setsockopt(hSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
            return Fail();
        return true;
    }

    int32_t SendTo(int32_t hSocket, const void* pData, int32_t iSize, uint32_t dwAddr,
                   uint16_t wPort, bool bDontRoute) override {
        if (iSize < 0) {
            fiLastError = kWsaEInval;
            return -1;
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = dwAddr;
        sa.sin_port = htons(wPort);
        ssize_t n;
        do {
            n = ::sendto(hSocket, pData, static_cast<size_t>(iSize), bDontRoute ? MSG_DONTROUTE : 0,
                         reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            char sAddr[INET_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET, &sa.sin_addr, sAddr, sizeof sAddr);
            Fail("sendto " + std::string(sAddr) + ":" + std::to_string(wPort));
            return -1;
        }
        return static_cast<int32_t>(n);
    }

    int32_t RecvFrom(int32_t hSocket, void* pData, int32_t iMax, uint32_t& dwAddr,
                     uint16_t& wPort) override {
        if (iMax < 0) {
            fiLastError = kWsaEInval;
            return -1;
        }
        sockaddr_in sa{};
        iovec iov{pData, static_cast<size_t>(iMax)};
        msghdr msg{};
        msg.msg_name = &sa;
        msg.msg_namelen = sizeof sa;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n;
        do {
            n = ::recvmsg(hSocket, &msg, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            Fail();
            return -1;
        }
        dwAddr = sa.sin_addr.s_addr;
        wPort = ntohs(sa.sin_port);
        if ((msg.msg_flags & MSG_TRUNC) != 0) {
            fiLastError = kWsaEMsgSize;
            return -1;
        }
        return static_cast<int32_t>(n);
    }

    void CloseSocket(int32_t hSocket) override {
        auto it = fNotifiers.find(hSocket);
        if (it != fNotifiers.end()) {
            TReadNotifier* n = it->second;
            fNotifiers.erase(it);
            n->setEnabled(false);
            // A notifier must not be deleted inside its own event.
            if (n->Dispatching())
                n->deleteLater();
            else
                delete n;
        }
        if (hSocket >= 0)
            ::close(hSocket);
    }

    int32_t LastError() override { return fiLastError; }
    std::string LastFailure() const override { return fsLastFailure; }

    uint32_t InetAddr(const std::string& sHost) override {
        if (sHost.find('\0') != std::string::npos)
            return INADDR_NONE;
        return ::inet_addr(sHost.c_str());
    }

    bool GetHostByName(const std::string& sHost, uint32_t& dwAddr) override {
        if (sHost.empty() || sHost.find('\0') != std::string::npos)
            return false;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* res = nullptr;
        if (::getaddrinfo(sHost.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
            return false;
        bool found = false;
        for (addrinfo* p = res; p != nullptr && !found; p = p->ai_next) {
            if (p->ai_family == AF_INET && p->ai_addr != nullptr) {
                dwAddr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
                found = true;
            }
        }
        ::freeaddrinfo(res);
        return found;
    }

private:
    bool Fail() {
        fiLastError = WinSockCodeFromErrno(errno);
        return false;
    }
    bool Fail(const std::string& sCall) {
        int e = errno;
        char buf[256];
        fsLastFailure = sCall + ": " + ::strerror_r(e, buf, sizeof buf);
        errno = e;
        return Fail();
    }

    std::map<int32_t, TReadNotifier*> fNotifiers;
    int32_t fiLastError = 0;
    std::string fsLastFailure;
};

} // namespace

std::unique_ptr<ISocketApi> CreateSystemSocketApi() {
    return std::make_unique<TSystemSocketApi>();
}

} // namespace UdpSockets
