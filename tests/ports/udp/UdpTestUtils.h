#pragma once
// Shared by the UDP tests: socket calls that fail on demand, a plain POSIX peer on loopback, and
// waiting on the event loop.

#include "platform/UdpSockets.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <chrono>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace UdpTest {

/// What the fake calls do and what they were given; the test owns it, the fake refers to it.
struct FakeState {
    bool createFails = false, bindFails = false, selectFails = false, sendFails = false;
    int32_t sendBuffer = 65536, recvBuffer = 65536;
    int32_t errorCode = 0;            ///< LastError()
    std::deque<std::string> incoming; ///< handed out by RecvFrom; empty: it fails
    std::function<void()> readable;
    std::vector<int32_t> closed;
    struct Sent {
        std::string bytes;
        uint32_t addr;
        uint16_t port;
        bool dontRoute;
    };
    std::vector<Sent> sent;
};

class FakeSocketApi : public UdpSockets::ISocketApi {
public:
    explicit FakeSocketApi(FakeState& s) : st(s) {}
    int32_t Create() override { return st.createFails ? -1 : 7; }
    int32_t CreateDualStack() override { return st.createFails ? -1 : 8; }
    bool Bind(int32_t, uint16_t) override { return !st.bindFails; }
    bool Select(int32_t, std::function<void()> fn) override {
        st.readable = std::move(fn);
        return !st.selectFails;
    }
    bool GetBufferSize(int32_t, bool bSend, int32_t& iSize) override {
        iSize = bSend ? st.sendBuffer : st.recvBuffer;
        return true;
    }
    bool SetBroadcast(int32_t) override { return true; }
    int32_t SendTo(int32_t, const void* p, int32_t n, uint32_t addr, uint16_t port,
                   bool dontRoute) override {
        if (st.sendFails)
            return -1;
        st.sent.push_back({std::string(static_cast<const char*>(p), n), addr, port, dontRoute});
        return n;
    }
    int32_t SendTo6(int32_t, const void* p, int32_t n, const UdpSockets::TIpv6Address& a,
                    uint16_t port) override {
        if (st.sendFails)
            return -1;
        st.sent.push_back({std::string(static_cast<const char*>(p), n), a.byAddr[15], port, false});
        return n;
    }
    int32_t RecvFrom(int32_t, void* p, int32_t iMax, std::string& peer, uint16_t& port) override {
        if (st.incoming.empty())
            return -1;
        std::string d = std::move(st.incoming.front());
        st.incoming.pop_front();
        peer = "192.168.1.10";
        port = 4000;
        if (static_cast<int32_t>(d.size()) > iMax) {
            st.errorCode = UdpSockets::kWsaEMsgSize;
            return -1;
        }
        std::copy(d.begin(), d.end(), static_cast<char*>(p));
        return static_cast<int32_t>(d.size());
    }
    void CloseSocket(int32_t h) override { st.closed.push_back(h); }
    int32_t LastError() override { return st.errorCode; }
    uint32_t InetAddr(const std::string& s) override {
        in_addr a{};
        return inet_aton(s.c_str(), &a) ? a.s_addr : 0xFFFFFFFFu;
    }
    bool GetHostByName(const std::string& s, uint32_t& addr) override {
        addr = htonl(0x0A000002); // 10.0.0.2
        return s == "device.test";
    }
    bool ResolveIpv6(const std::string& s, UdpSockets::TIpv6Address& a, std::string& e) override {
        a = {};
        a.byAddr[15] = 1;
        e = "Name or service not known";
        return s == "::1" || s == "[::1]";
    }

private:
    FakeState& st;
};

/// Runs the event loop until `done` or for `ms` milliseconds; the final value of `done`.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 2000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

/// A blocking POSIX datagram socket on 127.0.0.1 with a port of its own.
class Peer {
public:
    Peer() {
        sockaddr_in sa = Addr(0);
        socklen_t len = sizeof sa;
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        int big = 1 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    }
    ~Peer() { ::close(fd); }

    void SendTo(uint16_t wPort, const std::string& s) const {
        sockaddr_in sa = Addr(wPort);
        ::sendto(fd, s.data(), s.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    /// The next datagram, or "(none)" after two seconds.
    std::string Receive() const {
        pollfd p{fd, POLLIN, 0};
        std::string buf(65536, '\0');
        ssize_t n = ::poll(&p, 1, 2000) == 1 ? ::recv(fd, buf.data(), buf.size(), 0) : -1;
        return n < 0 ? "(none)" : buf.substr(0, static_cast<size_t>(n));
    }
    static sockaddr_in Addr(uint16_t wPort) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(wPort);
        return sa;
    }

    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
};

/// A UDP port number that was free a moment ago.
inline uint16_t FreePort() {
    return Peer().port;
}

} // namespace UdpTest
