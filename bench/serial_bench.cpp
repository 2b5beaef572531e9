// Serial path figures over a pseudo-terminal: the time to send a 4096-byte and a 64 KiB telegram
// through the RS232 port (one driver write per telegram), the 64 KiB one also written byte by
// byte through the driver and by bare write() calls for comparison, and the delay from a byte
// arriving at the port to the driver's OnRxData running in the main thread.

#include "common/IniFiles.h"
#include "ports/rs232/PortRs232.h"
#include "ports/rs232/SerialDriver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

int OpenMaster(std::string& slave) {
    int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0) {
        std::perror("posix_openpt");
        std::exit(1);
    }
    slave = ::ptsname(m);
    return m;
}

// Empties the master side; the telegrams of one run fit in the pseudo-terminal's buffers, so
// the reader does not compete with the writer for the two cores of a small machine.
size_t DrainMaster(int fd, size_t expect) {
    char buf[65536];
    size_t got = 0;
    auto limit = Clock::now() + std::chrono::seconds(2);
    while (got < expect && Clock::now() < limit) {
        struct pollfd p {
            fd, POLLIN, 0
        };
        ::poll(&p, 1, 5);
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0)
            got += static_cast<size_t>(r);
    }
    return got;
}

void SendFigures() {
    std::string slave;
    int master = OpenMaster(slave);
    ::setenv("TELVIK_COM1", slave.c_str(), 1);
    PortRs232::TPortRs232 port(u"", u"");
    IniFiles::TMemIniFile ini;
    ini.SetText(u"[DEVICE]\nPort=COM1\nBitrate=115200\n");
    port.Init(ini);
    port.Open();

    std::u16string telegram;
    for (int i = 0; i < 4096; ++i)
        telegram += static_cast<char16_t>(i & 0xFF);
    const int kRuns = 50;
    std::vector<double> ms;
    for (int run = 0; run < kRuns; ++run) {
        auto t0 = Clock::now();
        port.Send(telegram);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (DrainMaster(master, telegram.size()) != telegram.size())
            std::fprintf(stderr, "bytes lost in run %d\n", run);
    }
    // The floor: one bare write() per byte on the same pseudo-terminal.
    std::vector<double> bare;
    int fd = static_cast<int>(port.Serial().GetDeviceHandle());
    for (int run = 0; run < kRuns; ++run) {
        auto t0 = Clock::now();
        for (int i = 0; i < 4096; ++i) {
            char c = static_cast<char>(i);
            while (::write(fd, &c, 1) != 1) {
            }
        }
        bare.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        DrainMaster(master, 4096);
    }
    port.Close();
    ::close(master);
    double med = Median(ms);
    double floor = Median(bare);
    std::printf("send 4096-byte telegram over a pty (median of %d): %.3f ms, %.3f us per byte "
                "(goal < 5 us); 90th percentile %.3f ms\n",
                kRuns, med, med * 1000.0 / 4096.0, Percentile(ms, 0.9));
    std::printf("bare write() of 1 byte on the same pty (median):    %.3f ms, %.3f us per byte; "
                "driver's own share %.3f us per byte\n",
                floor, floor * 1000.0 / 4096.0, (med - floor) * 1000.0 / 4096.0);
}

// 64 KiB is more than the pseudo-terminal holds: a reader thread empties the master side while
// the telegram goes out, as a device would.
void BigTelegramFigures() {
    std::string slave;
    int master = OpenMaster(slave);
    ::setenv("TELVIK_COM3", slave.c_str(), 1);
    PortRs232::TPortRs232 port(u"", u"");
    IniFiles::TMemIniFile ini;
    ini.SetText(u"[DEVICE]\nPort=COM3\nBitrate=921600\n");
    port.Init(ini);
    port.Open();
    const size_t kSize = 65536;
    std::u16string telegram;
    std::string bytes;
    for (size_t i = 0; i < kSize; ++i) {
        telegram += static_cast<char16_t>(i & 0xFF);
        bytes += static_cast<char>(i & 0xFF);
    }
    std::atomic<size_t> got{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buf[65536];
        while (!stop) {
            struct pollfd p {
                master, POLLIN, 0
            };
            ::poll(&p, 1, 5);
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0)
                got += static_cast<size_t>(r);
        }
    });
    auto waitAll = [&](size_t want) {
        auto limit = Clock::now() + std::chrono::seconds(5);
        while (got < want && Clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        return got == want;
    };
    const int kRuns = 15;
    std::vector<double> after, driver, before, floor;
    int fd = static_cast<int>(port.Serial().GetDeviceHandle());
    for (int run = 0; run < kRuns; ++run) {
        got = 0;
        auto t0 = Clock::now();
        port.Send(telegram);
        after.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!waitAll(kSize))
            std::fprintf(stderr, "bytes lost in run %d\n", run);

        // The driver's part alone, without the port base's framing of the telegram.
        got = 0;
        t0 = Clock::now();
        port.Serial().Write(bytes);
        port.Serial().Drain();
        driver.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        waitAll(kSize);

        // What the port did before: one driver write per byte, each waiting for room.
        got = 0;
        port.Serial().SetWaitOnTxFull(true);
        t0 = Clock::now();
        for (char c : bytes)
            port.Serial().Write(static_cast<uint8_t>(c));
        before.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        port.Serial().SetWaitOnTxFull(false);
        waitAll(kSize);

        // The floor: write() of the whole telegram, waiting for room as the kernel asks.
        got = 0;
        t0 = Clock::now();
        for (size_t done = 0; done < kSize;) {
            ssize_t w = ::write(fd, bytes.data() + done, kSize - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            struct pollfd p {
                fd, POLLOUT, 0
            };
            ::poll(&p, 1, 100);
        }
        floor.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        waitAll(kSize);
    }
    stop = true;
    reader.join();
    port.Close();
    ::close(master);
    std::printf("send 64 KiB telegram over a pty, one write (median of %d): %.3f ms\n", kRuns,
                Median(after));
    std::printf("  of it the driver's one write and drain (median): %.3f ms\n", Median(driver));
    std::printf("send 64 KiB byte by byte through the driver, as before (median): %.3f ms\n",
                Median(before));
    std::printf("bare write() of the 64 KiB on the same pty (median): %.3f ms\n", Median(floor));
    std::printf("64 KiB one write / bare write(): %.2f (goal <= 2)\n",
                Median(after) / std::max(Median(floor), 1e-6));
}

void ArrivalFigures() {
    std::string slave;
    int master = OpenMaster(slave);
    ::setenv("TELVIK_COM2", slave.c_str(), 1);
    SerialDriver::TSerial serial(nullptr);
    serial.SetPort(2);
    serial.SetBaudrate(115200);

    const int kSamples = 300;
    std::atomic<int64_t> sentAt{0};
    std::vector<double> delays;
    serial.SetOnRxData([&](Classes::TObject*) {
        auto now = Clock::now().time_since_epoch().count();
        std::string s;
        serial.Read(s);
        if (!s.empty())
            delays.push_back(static_cast<double>(now - sentAt.load()) / 1e6);
    });
    serial.SetActive(true);
    if (!serial.Active()) {
        std::fprintf(stderr, "cannot open %s\n", slave.c_str());
        std::exit(1);
    }
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (int i = 0; i < kSamples && !done; ++i) {
            sentAt = Clock::now().time_since_epoch().count();
            char c = static_cast<char>(i);
            [[maybe_unused]] ssize_t w = ::write(master, &c, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        done = true;
    });
    // The program's own loop: it sleeps until something is posted to it.
    QEventLoop loop;
    QTimer check;
    auto limit = Clock::now() + std::chrono::seconds(10);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if ((done && static_cast<int>(delays.size()) >= kSamples) || Clock::now() > limit)
            loop.quit();
    });
    check.start(50);
    loop.exec();
    done = true;
    writer.join();
    serial.SetActive(false);
    ::close(master);
    std::printf("byte arrival to OnRxData in the main thread (median of %zu): %.3f ms "
                "(goal < 25 ms)\n",
                delays.size(), Median(delays));
    std::printf("byte arrival to OnRxData, 90th percentile:                %.3f ms\n",
                Percentile(delays, 0.9));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SendFigures();
    BigTelegramFigures();
    ArrivalFigures();
    return 0;
}
