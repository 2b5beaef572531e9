#pragma once
// Shared by the UDP tests: socket calls that fail on demand, the peers on loopback (a plain POSIX
// socket in the test's process, the responder program beside it) and whole runs over UDP.

#include "e2e/RunTelvik.h"
#include "platform/UdpSockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

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

/// A blocking POSIX datagram socket on 127.0.0.1 with a port of its own; bound, it also keeps
/// that port busy for others.
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
    ~Peer() {
        if (fAnswerer.joinable())
            fAnswerer.join();
        ::close(fd);
    }

    /// From another thread: waits (up to ten seconds) for the first datagram, then calls
    /// `answer` with this peer and the sender's port, as a device answers a telegram.
    void AnswerFirst(std::function<void(const Peer&, uint16_t)> answer) {
        fAnswerer = std::thread([this, answer = std::move(answer)] {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            std::string buf(65536, '\0');
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) == 1 &&
                ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from),
                           &len) >= 0)
                answer(*this, ntohs(from.sin_port));
        });
    }

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

private:
    std::thread fAnswerer;
};

/// A UDP port number that was free a moment ago.
inline uint16_t FreePort() {
    return Peer().port;
}

/// The project's responder program (peers/udp_responder.cpp) as a child process of a test:
/// started with its options, its port read from its first line, stopped (and its report of what
/// it received read) when done. It ends by itself after five seconds at the latest.
class Responder {
public:
    explicit Responder(std::vector<std::string> args) {
        args.insert(args.begin(), {UDP_RESPONDER, "--lifetime", "5"});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        EXPECT_EQ(posix_spawn(&fPid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        fOut = out[0];
        std::string line;
        for (char c; read(fOut, &c, 1) == 1 && c != '\n';)
            line += c;
        port = static_cast<uint16_t>(std::atoi(line.c_str()));
    }
    ~Responder() {
        Stop();
        close(fOut);
    }
    /// Stops it; its report of the datagrams it received ("rx <length> <text>" lines).
    std::string Received() {
        Stop();
        std::string s;
        char buf[4096];
        for (ssize_t n; (n = read(fOut, buf, sizeof buf)) > 0;)
            s.append(buf, static_cast<size_t>(n));
        return s;
    }
    uint16_t port = 0;

private:
    void Stop() {
        if (fPid > 0) {
            kill(fPid, SIGTERM);
            waitpid(fPid, nullptr, 0);
            fPid = -1;
        }
    }
    pid_t fPid = -1;
    int fOut = -1;
};

/// A job over UDP to 127.0.0.1:`destPort`, answered on `listen` (a port free a moment ago when
/// 0): its [DEVICE] section, the port kind named `kind`, followed by `rest`.
inline std::string UdpJob(uint16_t destPort, const std::string& rest, uint16_t listen = 0,
                          const std::string& kind = "UDP") {
    return "[DEVICE]\nName=" + kind +
           "\nDestAddress=127.0.0.1\nDestPort=" + std::to_string(destPort) +
           "\nListeningPort=" + std::to_string(listen ? listen : FreePort()) + "\n" + rest;
}

/// Runs the program headless on that job with `options`.
inline RunTelvik::TResult RunUdpJob(const std::string& job,
                                    const std::vector<std::string>& options = {},
                                    double limitSeconds = 20) {
    RunTelvik::TTempDir dir;
    std::vector<std::string> args{"+CFG=" + dir.Write("job.ini", job)};
    args.insert(args.end(), options.begin(), options.end());
    return RunTelvik::RunHeadless(args, {}, limitSeconds);
}

} // namespace UdpTest
