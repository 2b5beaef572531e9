// A small UDP peer for the demo and the end-to-end tests: it listens on a loopback port and
// answers each datagram by simple rules given on the command line, and always ends by itself.
//
//   udp_responder [--port N] [--lifetime SECONDS] [--reply TEXT]... [--echo] [--delay MS]
//                 [--size N] [--requests N] [--push PORT --push-text TEXT [--push-after MS]]
//                 [--ipv6] [--stranger TEXT]
//
//   --port N          port on 127.0.0.1 to listen on; 0 (the default) picks a free one and prints
//                     it as the first line on standard output
//   --lifetime S      exit after S seconds (default 10, fractions allowed)
//   --reply TEXT      a reply datagram; given several times, every request gets all of them in
//                     order. "{request}" in TEXT stands for the request's bytes.
//   --echo            reply with the request itself (same as --reply "{request}")
//   --delay MS        wait MS milliseconds before each reply datagram
//   --size N          one more reply of N bytes "x" (for oversized datagrams)
//   --requests N      exit after answering N requests
//   --ipv6            listen on [::1] instead of 127.0.0.1
//   --stranger TEXT   before the replies, send TEXT to the requester from another port
//   --push PORT       send --push-text unasked to 127.0.0.1:PORT, --push-after MS after start
//
// Without --reply, --echo or --size the responder answers nothing. TEXT understands \r \n \t
// \\ and \xHH. Every datagram received is reported as a line "rx <length> <text>" on standard
// output, with bytes outside printable ASCII as \xHH.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Usage(const char* sWhy) {
    std::fprintf(stderr, "udp_responder: %s\n", sWhy);
    std::exit(2);
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < s.size()) {
            std::string hex = s.substr(i + 1, 2);
            char* end = nullptr;
            long v = std::strtol(hex.c_str(), &end, 16);
            if (hex.size() != 2 || *end != '\0')
                Usage("bad \\x escape");
            out += static_cast<char>(v);
            i += 2;
        } else
            out += c;
    }
    return out;
}

std::string Printable(const std::string& s) {
    std::string out;
    char hex[8];
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string Expand(const std::string& sTemplate, const std::string& sRequest) {
    static const std::string kKey = "{request}";
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t hit = sTemplate.find(kKey, pos);
        if (hit == std::string::npos)
            break;
        out += sTemplate.substr(pos, hit - pos) + sRequest;
        pos = hit + kKey.size();
    }
    return out + sTemplate.substr(pos);
}

long ToNumber(const char* s, const char* sWhat) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < 0)
        Usage(sWhat);
    return v;
}

sockaddr_in Loopback(uint16_t wPort) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(wPort);
    return sa;
}

} // namespace

int main(int argc, char** argv) {
    long port = 0;
    double lifetime = 10.0;
    std::vector<std::string> replies;
    long delayMs = 0;
    long requestsLeft = -1;
    long pushPort = -1;
    std::string pushText;
    long pushAfterMs = 0;
    bool ipv6 = false;
    std::string stranger;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                Usage(("missing value after " + a).c_str());
            return argv[++i];
        };
        if (a == "--port")
            port = ToNumber(value(), "bad --port");
        else if (a == "--lifetime")
            lifetime = std::atof(value());
        else if (a == "--reply")
            replies.push_back(Unescape(value()));
        else if (a == "--echo")
            replies.push_back("{request}");
        else if (a == "--delay")
            delayMs = ToNumber(value(), "bad --delay");
        else if (a == "--size")
            replies.push_back(
                std::string(static_cast<size_t>(ToNumber(value(), "bad --size")), 'x'));
        else if (a == "--requests")
            requestsLeft = ToNumber(value(), "bad --requests");
        else if (a == "--push")
            pushPort = ToNumber(value(), "bad --push");
        else if (a == "--push-text")
            pushText = Unescape(value());
        else if (a == "--push-after")
            pushAfterMs = ToNumber(value(), "bad --push-after");
        else if (a == "--ipv6")
            ipv6 = true;
        else if (a == "--stranger")
            stranger = Unescape(value());
        else
            Usage(("unknown option " + a).c_str());
    }
    if (port > 65535 || pushPort > 65535)
        Usage("port above 65535");
    if (lifetime <= 0 || lifetime > 3600)
        Usage("bad --lifetime");

    const int family = ipv6 ? AF_INET6 : AF_INET;
    int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        std::perror("udp_responder: socket");
        return 1;
    }
    // Large replies must leave in one piece.
    int bufSize = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof bufSize);
    sockaddr_storage self{};
    socklen_t selfLen = sizeof(sockaddr_in);
    if (ipv6) {
        auto& s6 = reinterpret_cast<sockaddr_in6&>(self);
        s6.sin6_family = AF_INET6;
        s6.sin6_addr = in6addr_loopback;
        s6.sin6_port = htons(static_cast<uint16_t>(port));
        selfLen = sizeof s6;
    } else {
        reinterpret_cast<sockaddr_in&>(self) = Loopback(static_cast<uint16_t>(port));
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&self), selfLen) != 0) {
        std::perror("udp_responder: bind");
        return 1;
    }
    if (port == 0) {
        socklen_t len = sizeof self;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len);
        std::printf("%u\n", ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(self).sin6_port
                                       : reinterpret_cast<sockaddr_in&>(self).sin_port));
    }
    std::fflush(stdout);

    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        start + std::chrono::milliseconds(static_cast<long>(lifetime * 1000));
    const Clock::time_point pushAt = start + std::chrono::milliseconds(pushAfterMs);
    bool pushPending = pushPort >= 0;
    std::vector<char> buf(65536);

    while (requestsLeft != 0) {
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            break;
        if (pushPending && now >= pushAt) {
            sockaddr_in to = Loopback(static_cast<uint16_t>(pushPort));
            ::sendto(fd, pushText.data(), pushText.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to);
            pushPending = false;
            continue;
        }
        Clock::time_point wakeUp = pushPending ? std::min(deadline, pushAt) : deadline;
        auto waitMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(wakeUp - now).count() + 1;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(waitMs));
        if (r <= 0)
            continue;
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        ssize_t n =
            ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            continue;
        std::string request(buf.data(), static_cast<size_t>(n));
        std::printf("rx %zd %s\n", n, Printable(request).c_str());
        std::fflush(stdout);
        if (!stranger.empty()) {
            int other = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
            ::sendto(other, stranger.data(), stranger.size(), 0, reinterpret_cast<sockaddr*>(&from),
                     fromLen);
            ::close(other);
        }
        for (const std::string& reply : replies) {
            if (delayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            std::string out = Expand(reply, request);
            if (::sendto(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         fromLen) < 0)
                std::perror("udp_responder: sendto");
        }
        if (requestsLeft > 0)
            --requestsLeft;
    }
    ::close(fd);
    return 0;
}
