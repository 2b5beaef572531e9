// The termios serial device and the driver on it, against real pseudo-terminals: the test holds
// the master side, the device opens the slave side as it would open a serial port.

#include "TestUtils.h"
#include "platform/SerialDevice.h"
#include "ports/rs232/FakeSerialDevice.h"
#include "ports/rs232/SerialDriver.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace SerialDevice;
using TestUtils::PumpUntil;

namespace {

struct Pty {
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            ADD_FAILURE() << "no pseudo-terminal: " << errno;
        else
            slave = ::ptsname(master);
    }
    ~Pty() { HangUp(); }
    void HangUp() {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void Send(const std::string& s) const {
        ASSERT_EQ(::write(master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    /// Reads from the master until `n` bytes came or `ms` passed.
    std::string Receive(size_t n, int ms = 2000) const {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            struct pollfd p {
                master, POLLIN, 0
            };
            ::poll(&p, 1, 10);
            char buf[4096];
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0)
                got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    int master = -1;
    std::string slave;
};

struct termios2 Get(const ISerialDevice& dev) {
    struct termios2 t {};
    EXPECT_EQ(::ioctl(dev.Handle(), TCGETS2, &t), 0);
    return t;
}

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += static_cast<char>(i);
    return s;
}

double CpuSeconds() {
    struct rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST(SerialTermios, ComPortsMapToTheEnvironmentOrTtyS) {
    ::setenv("TELVIK_COM5", "/dev/ttyUSB0", 1);
    EXPECT_EQ(ComDevicePath(5), "/dev/ttyUSB0");
    ::unsetenv("TELVIK_COM5");
    EXPECT_EQ(ComDevicePath(5), "/dev/ttyS4");
    EXPECT_EQ(ComDevicePath(1), "/dev/ttyS0");
}

TEST(SerialTermios, EveryAcceptedRateReadsBack) {
    Pty pty;
    auto dev = CreateTermiosDevice();
    ASSERT_EQ(dev->Open(pty.slave), 0);
    for (uint32_t rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u,
                          56000u, 57600u, 115200u, 128000u, 256000u, 230400u, 460800u, 921600u}) {
        TLineSettings s;
        s.Baudrate = rate;
        EXPECT_EQ(dev->ApplySettings(s), 0) << rate;
        struct termios2 t = Get(*dev);
        EXPECT_EQ(t.c_ospeed, rate);
        EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    }
}

TEST(SerialTermios, LineSettingsBecomeRawTermios) {
    Pty pty;
    auto dev = CreateTermiosDevice();
    ASSERT_EQ(dev->Open(pty.slave), 0);
    // A pseudo-terminal slave keeps 8 bits and clears PARENB itself; the mode bits stay.
    const tcflag_t kParity = PARODD | CMSPAR;
    const tcflag_t expected[] = {0, PARODD, 0, PARODD | CMSPAR, CMSPAR};
    for (uint8_t p = 0; p <= 4; ++p) {
        TLineSettings s;
        s.Parity = p;
        s.CheckParity = true;
        ASSERT_EQ(dev->ApplySettings(s), 0);
        struct termios2 t = Get(*dev);
        EXPECT_EQ(t.c_cflag & kParity, expected[p]) << int(p);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, p != 0);
    }
    TLineSettings s;
    s.StopBits = 2;
    s.RtsHandshake = s.OutCtsFlow = true;
    ASSERT_EQ(dev->ApplySettings(s), 0);
    struct termios2 t = Get(*dev);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_iflag & (ICRNL | IXON));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    TLineSettings x;
    x.OutX = x.InX = true;
    ASSERT_EQ(dev->ApplySettings(x), 0);
    t = Get(*dev);
    EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);

    // DTR/DSR handshake cannot be had; the rest is applied all the same.
    TLineSettings d;
    d.Baudrate = 19200;
    d.DtrHandshake = d.OutDsrFlow = true;
    EXPECT_EQ(dev->ApplySettings(d), EINVAL);
    EXPECT_EQ(Get(*dev).c_ospeed, 19200u);
}

TEST(SerialTermios, OpenIsExclusiveAndReportsErrno) {
    Pty pty;
    auto a = CreateTermiosDevice();
    auto b = CreateTermiosDevice();
    ASSERT_EQ(a->Open(pty.slave), 0);
    EXPECT_EQ(b->Open(pty.slave), EWOULDBLOCK);
    EXPECT_FALSE(b->IsOpen());
    EXPECT_EQ(a->Close(), 0);
    EXPECT_EQ(b->Open(pty.slave), 0);
    EXPECT_EQ(a->Open("/dev/telvik-no-such-port"), ENOENT);
    EXPECT_NE(ErrorText(ENOENT), u"");
}

TEST(SerialTermios, UnreadBytesAreAnnouncedOnceAndCloseEndsTheWait) {
    Pty pty;
    auto dev = CreateTermiosDevice();
    ASSERT_EQ(dev->Open(pty.slave), 0);
    ASSERT_EQ(dev->ApplySettings(TLineSettings{}), 0);
    dev->SetEventMask(evRxChar | evTxEmpty);
    auto wait = [&] {
        return std::async(std::launch::async, [&] {
            uint32_t ev = 0;
            int e = dev->WaitEvent(ev);
            return std::make_pair(e, ev);
        });
    };
    auto first = wait();
    pty.Send("ab");
    ASSERT_EQ(first.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(first.get(), std::make_pair(0, evRxChar));

    auto second = wait();
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << "bytes already announced woke the wait again";
    pty.Send("c");
    ASSERT_EQ(second.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(second.get(), std::make_pair(0, evRxChar));

    char buf[8];
    size_t n = 0;
    EXPECT_EQ(dev->Read(buf, sizeof buf, n), 0);
    EXPECT_EQ(std::string(buf, n), "abc");

    // A read that leaves bytes behind announces them again.
    pty.Send("0123456789");
    auto more = wait();
    ASSERT_EQ(more.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(dev->Read(buf, 4, n), 0);
    auto rest = wait();
    ASSERT_EQ(rest.wait_for(std::chrono::seconds(2)), std::future_status::ready)
        << "bytes left behind by a partial read were never announced again";
    EXPECT_EQ(rest.get(), std::make_pair(0, evRxChar));
    EXPECT_EQ(dev->Read(buf, sizeof buf, n), 0);
    EXPECT_EQ(std::string(buf, n), "456789");

    size_t w = 0;
    EXPECT_EQ(dev->Write("x", 1, 1000, w), 0);
    auto third = wait();
    ASSERT_EQ(third.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(third.get(), std::make_pair(0, evTxEmpty));

    auto fourth = wait();
    EXPECT_EQ(fourth.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dev->Close(), 0);
    ASSERT_EQ(fourth.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    EXPECT_EQ(fourth.get().second, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

TEST(SerialTermios, DriverMovesRawBytesBothWays) {
    Pty pty;
    ::setenv("TELVIK_COM9", pty.slave.c_str(), 1);
    SerialDriver::TSerial serial(nullptr);
    serial.SetPort(9);
    serial.SetBaudrate(115200);
    std::string got;
    serial.SetOnRxData([&](Classes::TObject*) {
        std::string chunk;
        serial.Read(chunk);
        got += chunk;
    });
    serial.SetActive(true);
    ::unsetenv("TELVIK_COM9");
    ASSERT_TRUE(serial.Active());
    EXPECT_NE(serial.GetDeviceHandle(), 0xFFFFFFFFu);

    std::string all = AllBytes() + "\r\n\x03\x04\x11\x13\x7F\x00\xFF\x0A";
    serial.Write(all);
    for (char c : all)
        serial.Write(static_cast<uint8_t>(c));
    EXPECT_EQ(pty.Receive(2 * all.size()), all + all);

    pty.Send(all);
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= all.size(); }));
    EXPECT_EQ(got, all);
    serial.SetActive(false);
}

TEST(SerialTermios, APeerHangUpIsReportedOnceWithoutSpinning) {
    Pty pty;
    ::setenv("TELVIK_COM8", pty.slave.c_str(), 1);
    SerialDriver::TSerial serial(nullptr);
    serial.SetPort(8);
    serial.SetNotifyErrors(SerialDriver::neEvent);
    std::vector<int> codes;
    serial.SetOnError([&](Classes::TObject*) { codes.push_back(serial.ErrorCode()); });
    serial.SetActive(true);
    ::unsetenv("TELVIK_COM8");
    ASSERT_TRUE(serial.Active());
    PumpUntil([] { return false; }, 30);

    pty.HangUp();
    ASSERT_TRUE(PumpUntil([&] { return !codes.empty(); }));
    double cpu0 = CpuSeconds();
    PumpUntil([] { return false; }, 300);
    double cpu = CpuSeconds() - cpu0;
    EXPECT_EQ(codes, std::vector<int>{EIO});
    EXPECT_LT(cpu, 0.15) << "the dead port kept a core busy";

    auto t0 = std::chrono::steady_clock::now();
    serial.SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(750));
    EXPECT_FALSE(serial.Active());
}
