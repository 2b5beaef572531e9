#include "platform/SignalEvents.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace SignalEvents {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The handler may only touch lock-free atomics and make async-signal-safe calls: it notes the
// signal and writes a byte to a pipe that the event loop watches.
int gPipe[2] = {-1, -1};
std::atomic<int> gReceived{0};
std::atomic<int> gPending{0};
// Descriptors plus one, 0 for a free place, -1 while a place is being filled; the settings are
// copied in before the descriptor is published, so the handler reads them whole.
constexpr int kMaxDevices = 16;
constexpr size_t kMaxSettings = 128;
struct TDevice {
    std::atomic<int> fd{0};
    unsigned long request = 0;
    size_t size = 0;
    unsigned char settings[kMaxSettings] = {};
};
TDevice gDevices[kMaxDevices];
QSocketNotifier* gNotifier = nullptr;
std::function<void(int)> gOnSignal;

void OnSignal(int iSignal) {
    int saved = errno;
    if (gReceived.fetch_add(1) > 0) {
        // Asked twice: end now. The kernel drops the lock with the descriptor, but the settings
        // and the exclusive flag stay on the tty: the next program would find the line as this
        // run left it, or not open it at all as an ordinary user.
        for (auto& d : gDevices) {
            if (int fd = d.fd.load() - 1; fd >= 0) {
                if (d.size > 0)
                    ::ioctl(fd, d.request, d.settings);
                ::ioctl(fd, TIOCNXCL);
            }
        }
        ::signal(iSignal, SIG_DFL);
        ::raise(iSignal);
    } else {
        gPending = iSignal;
        char b = 1;
        [[maybe_unused]] ssize_t r = ::write(gPipe[1], &b, 1);
    }
    errno = saved;
}

void DrainPipe() {
    char buf[16];
    while (gPipe[0] >= 0 && ::read(gPipe[0], buf, sizeof buf) > 0) {
    }
}

} // namespace

void Install() {
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    gReceived = 0;
    gPending = 0;
    DrainPipe();
    if (gNotifier == nullptr && QCoreApplication::instance() != nullptr) {
        gNotifier =
            new QSocketNotifier(gPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(gNotifier, &QSocketNotifier::activated, [] {
            DrainPipe();
            if (int s = Take(); s != 0 && gOnSignal)
                gOnSignal(s);
        });
        QObject::connect(gNotifier, &QObject::destroyed, [] { gNotifier = nullptr; });
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : kSignals)
        sigaddset(&sa.sa_mask, s);
    sa.sa_flags = SA_RESTART;
    for (int s : kSignals)
        ::sigaction(s, &sa, nullptr);
}

void Uninstall() {
    for (int s : kSignals)
        ::signal(s, SIG_DFL);
    gReceived = 0;
    gPending = 0;
    DrainPipe();
}

void SetOnSignal(std::function<void(int)> onSignal) {
    gOnSignal = std::move(onSignal);
}

int Take() {
    return gPending.exchange(0);
}

int Sleep(int iMs) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(iMs);
    for (;;) {
        if (int s = Take())
            return s;
        auto left = duration_cast<microseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return 0;
        // Rounded up: poll's milliseconds must not end the wait before its time.
        struct pollfd p {
            gPipe[0], POLLIN, 0
        };
        if (::poll(&p, gPipe[0] >= 0 ? 1 : 0, static_cast<int>((left + 999) / 1000)) > 0)
            DrainPipe();
    }
}

std::u16string SignalName(int iSignal) {
    switch (iSignal) {
    case SIGINT:
        return u"SIGINT";
    case SIGTERM:
        return u"SIGTERM";
    case SIGHUP:
        return u"SIGHUP";
    default: {
        std::string n = "signal " + std::to_string(iSignal);
        return std::u16string(n.begin(), n.end());
    }
    }
}

std::u16string InterruptionText(int iSignal) {
    return u"Interrupted by signal " + SignalName(iSignal);
}

void HoldDevice(int iFd, unsigned long dwRequest, const void* pSettings, size_t iSize) {
    for (auto& d : gDevices) {
        int expected = 0;
        if (!d.fd.compare_exchange_strong(expected, -1))
            continue;
        d.request = dwRequest;
        d.size = pSettings != nullptr && iSize <= kMaxSettings ? iSize : 0;
        if (d.size > 0)
            std::memcpy(d.settings, pSettings, d.size);
        d.fd.store(iFd + 1);
        return;
    }
}

void ReleaseDevice(int iFd) {
    for (auto& d : gDevices) {
        int expected = iFd + 1;
        if (d.fd.compare_exchange_strong(expected, 0))
            return;
    }
}

} // namespace SignalEvents
