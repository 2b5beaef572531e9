// The cost of discarding what the device said before the telegram, the step every Send now takes
// right before its first byte: on an RS232 port over a pseudo-terminal (read out the input queue,
// then flush it) and on a UDP port on loopback (read every queued datagram), each with nothing
// waiting (every run pays this) and with stale data waiting.

#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "ports/rs232/PortRs232.h"
#include "ports/udp/PortUdp.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

template <typename TPort> class TOpenPort : public TPort {
public:
    using TPort::TakeStaleInput;
    using TPort::TPort;
};

double MedianUs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F> double TimeUs(F&& f) {
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void Rs232Figures() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("posix_openpt");
        std::exit(1);
    }
    ::setenv("TELVIK_COM4", ::ptsname(master), 1);
    TOpenPort<PortRs232::TPortRs232> port(u"", u"");
    IniFiles::TMemIniFile ini;
    ini.SetText(u"[DEVICE]\nPort=COM4\nBitrate=115200\n");
    port.Init(ini);
    port.Open();
    int slave = static_cast<int>(port.Serial().GetDeviceHandle());
    const std::string stale(256, 'x');
    std::vector<double> empty, full;
    size_t lost = 0;
    for (int run = 0; run < 200; ++run) {
        empty.push_back(TimeUs([&] { port.TakeStaleInput(); }));
        [[maybe_unused]] ssize_t w = ::write(master, stale.data(), stale.size());
        // Until the terminal has passed the bytes on to the port's side.
        for (int i = 0, n = 0; i < 200 && n < static_cast<int>(stale.size()); ++i) {
            ::ioctl(slave, FIONREAD, &n);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        std::string got;
        full.push_back(TimeUs([&] { got = port.TakeStaleInput(); }));
        lost += got.size() == stale.size() ? 0 : 1;
    }
    port.Close();
    ::close(master);
    std::printf("RS232 discard before sending, nothing waiting (median of 200): %.1f us\n",
                MedianUs(empty));
    std::printf("RS232 discard before sending, 256 bytes waiting (median of 200): %.1f us%s\n",
                MedianUs(full), lost ? " (some runs read less)" : "");
}

void UdpFigures() {
    int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(peer, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(peer, reinterpret_cast<sockaddr*>(&a), &len);
    // A free port for the listening side: bound once by the kernel's choice, then given back.
    int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in l{};
    l.sin_family = AF_INET;
    l.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t llen = sizeof l;
    ::bind(probe, reinterpret_cast<sockaddr*>(&l), llen);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&l), &llen);
    ::close(probe);

    TOpenPort<PortUdp::TPortUdp> port(u"", u"");
    IniFiles::TMemIniFile ini;
    ini.SetText(u"[DEVICE]\nDestAddress=127.0.0.1\nDestPort=" +
                SysUtils::IntToStr(ntohs(a.sin_port)) + u"\nListeningPort=" +
                SysUtils::IntToStr(ntohs(l.sin_port)) + u"\n");
    port.Init(ini);
    port.Open();
    std::vector<double> empty, full;
    for (int run = 0; run < 200; ++run) {
        empty.push_back(TimeUs([&] { port.TakeStaleInput(); }));
        for (int i = 0; i < 4; ++i)
            ::sendto(peer, "STALE-DATAGRAM", 14, 0, reinterpret_cast<sockaddr*>(&l), llen);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        full.push_back(TimeUs([&] { port.TakeStaleInput(); }));
    }
    port.Close();
    ::close(peer);
    std::printf("UDP discard before sending, nothing queued (median of 200): %.1f us\n",
                MedianUs(empty));
    std::printf("UDP discard before sending, 4 datagrams queued (median of 200): %.1f us\n",
                MedianUs(full));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The hints of the discarded data are not what is measured.
    MsgUtils::TMsg::Instance()->SetOnNewMsg(nullptr);
    Rs232Figures();
    UdpFigures();
    return 0;
}
