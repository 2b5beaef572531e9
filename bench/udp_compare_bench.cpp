// The same UDP exchange (send PING, expect a reply starting with OK from a peer that answers at
// once) done by Telvik, by socat and by a minimal C client, measured alternately so that the
// machine's changing load falls on all three alike.
//
//   udp_compare_bench TELVIK MIN_CLIENT [rounds]

#include "bench/TimedRun.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int Bound(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

uint16_t FreePort() {
    uint16_t port;
    close(Bound(port));
    return port;
}

double Timed(std::vector<std::string> args, const std::string& input) {
    return BenchRun::TimedRun(std::move(args), {}, input);
}

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TELVIK MIN_CLIENT [rounds]\n", argv[0]);
        return 2;
    }
    int rounds = argc > 3 ? std::atoi(argv[3]) : 20;
    uint16_t peerPort;
    int peer = Bound(peerPort);
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        char buf[8192];
        while (!stop) {
            pollfd p{peer, POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            if (recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) >= 0)
                sendto(peer, "OK 42", 5, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    const double socatWait = 0.1; // socat waits this long for the answer after sending
    std::vector<double> telvik, socat, client;
    bool socatOk = true;
    for (int i = 0; i < rounds; ++i) {
        std::string dest = std::to_string(peerPort);
        double t = Timed({argv[1], "+CFG=/nonexistent", "+Visible=Never",
                          "+UDP=127.0.0.1," + dest + "," + std::to_string(FreePort()), "+Send=PING",
                          "+Response=OK*"},
                         "");
        double s = Timed({"socat", "-t", "0.1", "-T", "2", "-",
                          "UDP:127.0.0.1:" + dest + ",sourceport=" + std::to_string(FreePort())},
                         "PING");
        double c = Timed({argv[2], dest, std::to_string(FreePort()), "PING", "OK"}, "");
        if (t > 0)
            telvik.push_back(t);
        if (s > 0)
            socat.push_back(s);
        else
            socatOk = false;
        if (c > 0)
            client.push_back(c);
    }
    stop = true;
    responder.join();
    double mt = Median(telvik) * 1000, ms = Median(socat) * 1000, mc = Median(client) * 1000;
    std::printf("UDP exchange, median of %d alternating rounds (ms)\n", rounds);
    std::printf("  telvik          %8.1f   without its 100 ms closing pause %8.1f\n", mt, mt - 100);
    if (socatOk)
        std::printf("  socat           %8.1f   without its %3.0f ms answer wait   %8.1f\n", ms,
                    socatWait * 1000, ms - socatWait * 1000);
    else
        std::printf("  socat           unavailable (install socat)\n");
    std::printf("  minimal client  %8.1f\n", mc);
    if (socatOk)
        std::printf("  ratio telvik/socat   %6.2f   (without the fixed waits %6.2f)\n", mt / ms,
                    (mt - 100) / (ms - socatWait * 1000));
    std::printf("  ratio telvik/client  %6.2f   (without the closing pause %6.2f)\n", mt / mc,
                (mt - 100) / mc);
    std::printf("  runs that failed: telvik %zu, socat %zu, client %zu\n", rounds - telvik.size(),
                rounds - socat.size(), rounds - client.size());
    return 0;
}
