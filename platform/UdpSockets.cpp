#include "platform/UdpSockets.h"

#include <QEvent>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
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

// The sender of a datagram as text: a dual-stack socket gives IPv4 senders as mapped IPv6
// addresses, which read as the IPv4 address they are.
std::string PeerText(const sockaddr_storage& ss, uint16_t& wPort) {
    char text[INET6_ADDRSTRLEN] = "?";
    wPort = 0;
    if (ss.ss_family == AF_INET) {
        const auto& sa = reinterpret_cast<const sockaddr_in&>(ss);
        ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
        wPort = ntohs(sa.sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto& sa = reinterpret_cast<const sockaddr_in6&>(ss);
        if (IN6_IS_ADDR_V4MAPPED(&sa.sin6_addr))
            ::inet_ntop(AF_INET, sa.sin6_addr.s6_addr + 12, text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &sa.sin6_addr, text, sizeof text);
        wPort = ntohs(sa.sin6_port);
    }
    return text;
}

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
        else
            AskForErrors(fd);
        return fd;
    }

    int32_t CreateDualStack() override {
        int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd < 0) {
            Fail("socket");
            return fd;
        }
        int off = 0;
        if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
            Fail("setsockopt IPV6_V6ONLY");
            ::close(fd);
            return -1;
        }
        AskForErrors(fd);
        return fd;
    }

    bool Bind(int32_t hSocket, uint16_t wPort) override {
        int domain = AF_INET;
        socklen_t dlen = sizeof domain;
        ::getsockopt(hSocket, SOL_SOCKET, SO_DOMAIN, &domain, &dlen);
        if (domain == AF_INET6) {
            sockaddr_in6 sa6{};
            sa6.sin6_family = AF_INET6;
            sa6.sin6_addr = in6addr_any;
            sa6.sin6_port = htons(wPort);
            if (::bind(hSocket, reinterpret_cast<sockaddr*>(&sa6), sizeof sa6) != 0)
                return Fail("bind [::]:" + std::to_string(wPort));
            return true;
        }
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

    int32_t SendTo6(int32_t hSocket, const void* pData, int32_t iSize, const TIpv6Address& addr,
                    uint16_t wPort) override {
        if (iSize < 0) {
            fiLastError = kWsaEInval;
            return -1;
        }
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        std::memcpy(sa.sin6_addr.s6_addr, addr.byAddr.data(), 16);
        sa.sin6_scope_id = addr.dwScope;
        sa.sin6_port = htons(wPort);
        ssize_t n;
        do {
            n = ::sendto(hSocket, pData, static_cast<size_t>(iSize), 0,
                         reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            char sAddr[INET6_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET6, &sa.sin6_addr, sAddr, sizeof sAddr);
            Fail("sendto [" + std::string(sAddr) + "]:" + std::to_string(wPort));
            return -1;
        }
        return static_cast<int32_t>(n);
    }

    int32_t RecvFrom(int32_t hSocket, void* pData, int32_t iMax, std::string& sPeerIp,
                     uint16_t& wPort) override {
        if (iMax < 0) {
            fiLastError = kWsaEInval;
            return -1;
        }
        if (int32_t r = RecvError(hSocket, sPeerIp, wPort); r != 0)
            return -1;
        sockaddr_storage sa{};
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
        sPeerIp = PeerText(sa, wPort);
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

    bool ResolveIpv6(const std::string& sHost, TIpv6Address& addr, std::string& sError) override {
        std::string host = sHost;
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (host.empty() || host.find('\0') != std::string::npos) {
            sError = ::gai_strerror(EAI_NONAME);
            return false;
        }
        addrinfo hints{};
        hints.ai_family = AF_INET6;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = host.find(':') != std::string::npos ? AI_NUMERICHOST : 0;
        addrinfo* res = nullptr;
        if (int e = ::getaddrinfo(host.c_str(), nullptr, &hints, &res); e != 0 || res == nullptr) {
            sError = e != 0 ? ::gai_strerror(e) : ::gai_strerror(EAI_NONAME);
            fsLastFailure = "getaddrinfo " + host + ": " + sError;
            if (host.find('%') != std::string::npos)
                fsLastFailure += ": the scope after % must be a network interface (ip link) or "
                                 "its number";
            return false;
        }
        const auto* sa6 = reinterpret_cast<const sockaddr_in6*>(res->ai_addr);
        std::memcpy(addr.byAddr.data(), sa6->sin6_addr.s6_addr, 16);
        addr.dwScope = sa6->sin6_scope_id;
        ::freeaddrinfo(res);
        return true;
    }

private:
    // Without these options the kernel keeps ICMP errors from an unconnected socket to itself,
    // and a destination port nobody listens on shows only as a silent time-out.
    static void AskForErrors(int fd) {
        int on = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    }

    // Takes one report off the socket's error queue: 0 when there is none, else -1 with the
    // failure stored (a refused destination named in `sPeerIp` and `wPort`).
    int32_t RecvError(int32_t hSocket, std::string& sPeerIp, uint16_t& wPort) {
        sockaddr_storage offender{};
        char control[512];
        char byte;
        iovec iov{&byte, 1};
        msghdr msg{};
        msg.msg_name = &offender;
        msg.msg_namelen = sizeof offender;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (::recvmsg(hSocket, &msg, MSG_ERRQUEUE) < 0)
            return 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            bool v4 = c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR;
            bool v6 = c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR;
            if (!v4 && !v6)
                continue;
            sock_extended_err ee{};
            std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
            sPeerIp = PeerText(offender, wPort);
            bool unreachable =
                (ee.ee_origin == SO_EE_ORIGIN_ICMP && ee.ee_type == ICMP_DEST_UNREACH &&
                 ee.ee_code == ICMP_PORT_UNREACH) ||
                (ee.ee_origin == SO_EE_ORIGIN_ICMP6 && ee.ee_type == 1 && ee.ee_code == 4);
            if (unreachable) {
                fiLastError = kWsaEConnRefused;
                return -1;
            }
            errno = static_cast<int>(ee.ee_errno);
            Fail("ICMP from " + sPeerIp);
            return -1;
        }
        return 0;
    }

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
