// The serial device on Linux: termios2 with BOTHER so that every rate can be set, exclusive
// open, and a wait built from poll() on the port and on an eventfd that cancels it. This file
// must not include <termios.h>: its definitions clash with the kernel's <asm/termbits.h>.

#include "platform/SerialDevice.h"
#include "platform/SignalEvents.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <shared_mutex>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace SerialDevice {

namespace {

// Short enough that modem lines and the output-empty transition are seen promptly, long enough
// that an idle port costs next to nothing.
constexpr int kTickMs = 15;

// The output queue's count below which the terminal layer calls a port writable (the kernel's
// WAKEUP_CHARS): the same count that TIOCOUTQ answers.
constexpr int kTtyWakeupMark = 256;

bool IsNoTtyError(int e) {
    return e == ENOTTY || e == EINVAL;
}

class TTermiosDevice final : public ISerialDevice {
public:
    TTermiosDevice() { fWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~TTermiosDevice() override {
        Close();
        if (fWake >= 0)
            ::close(fWake);
    }

    int Open(const std::string& sPath) override {
        if (fWake < 0)
            return EMFILE;
        std::unique_lock lock(fFdLock);
        if (fFd >= 0)
            return EBUSY;
        int fd = ::open(sPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errno;
        // flock keeps out every other opener, Telvik or not, that plays by the same rule;
        // TIOCEXCL keeps out the rest (for all but the superuser).
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            ::close(fd);
            return e;
        }
        if (::ioctl(fd, TIOCEXCL) != 0 && !IsNoTtyError(errno)) {
            int e = errno;
            ::close(fd);
            return e;
        }
        // The port is given back as it was found, as terminal programs do, by a second signal
        // too.
        fSavedOk = ::ioctl(fd, TCGETS2, &fSaved) == 0;
        SignalEvents::HoldDevice(fd, TCSETS2, fSavedOk ? &fSaved : nullptr,
                                 fSavedOk ? sizeof fSaved : 0);
        struct stat st {};
        fIsPty = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
                 major(st.st_rdev) <= 143;
        fFd = fd;
        fClosing = false;
        fHungUp = false;
        fTxPending = false;
        {
            std::lock_guard rx(fRxLock);
            fRxKnown = 0;
        }
        fModemOk = true;
        fLastModem = ReadModem();
        fCountsOk = true;
        fLastCounts = ReadCounts();
        return 0;
    }

    int Close() override {
        fClosing = true;
        Wake();
        std::unique_lock lock(fFdLock);
        if (fFd < 0)
            return 0;
        int e = 0;
        // After the driver's own closing steps (DTR and RTS down), which the old settings may
        // not undo.
        if (fSavedOk)
            ::ioctl(fFd, TCSETS2, &fSaved);
        ::ioctl(fFd, TIOCNXCL);
        SignalEvents::ReleaseDevice(fFd);
        if (::close(fFd) != 0)
            e = errno;
        fFd = -1;
        return e;
    }

    bool IsOpen() const override { return fFd >= 0; }
    int Handle() const override { return fFd; }

    int SetQueueSizes(uint16_t, uint16_t) override { return fFd >= 0 ? 0 : EBADF; }

    int ApplySettings(const TLineSettings& s) override {
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        struct termios2 t {};
        if (::ioctl(fFd, TCGETS2, &t) != 0)
            return errno;
        t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                       IXANY | INPCK | IGNPAR);
        t.c_oflag &= ~OPOST;
        t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL | CBAUD |
                       (CBAUD << IBSHIFT));
        // CLOCAL: DTR and RTS are the driver's, and a missing carrier must not hang up the port.
        t.c_cflag |= CREAD | CLOCAL | BOTHER | ByteSizeFlag(s.ByteSize);
        t.c_ispeed = s.Baudrate;
        t.c_ospeed = s.Baudrate;
        switch (s.Parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
        }
        // A byte with a parity error then reads as 0x00: termios cannot substitute another byte.
        if (s.CheckParity && s.Parity != 0)
            t.c_iflag |= INPCK;
        if (s.StopBits == 2)
            t.c_cflag |= CSTOPB;
        if (s.RtsHandshake || s.OutCtsFlow)
            t.c_cflag |= CRTSCTS;
        if (s.OutX)
            t.c_iflag |= IXON;
        if (s.InX)
            t.c_iflag |= IXOFF;
        t.c_cc[VSTART] = s.XonChar;
        t.c_cc[VSTOP] = s.XoffChar;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (::ioctl(fFd, TCSETS2, &t) != 0)
            return errno;
        fiBaud = s.Baudrate;
        fiCharBits = 1 + s.ByteSize + (s.Parity != 0 ? 1 : 0) + (s.StopBits == 2 ? 2 : 1);
        struct termios2 back {};
        if (::ioctl(fFd, TCGETS2, &back) != 0)
            return errno;
        // A pseudo-terminal slave always keeps 8 bits without parity: there is no wire to frame.
        const tcflag_t kLine = (fIsPty ? 0 : CSIZE | PARENB) | PARODD | CMSPAR | CSTOPB | CRTSCTS;
        if ((back.c_cflag & kLine) != (t.c_cflag & kLine) || !RateClose(back.c_ospeed, s.Baudrate))
            return EINVAL;
        // DTR/DSR handshake has no termios counterpart.
        if (s.DtrHandshake || s.OutDsrFlow)
            return EINVAL;
        return 0;
    }

    int Write(const void* pData, size_t iCount, uint32_t dwTimeoutMs, size_t& iWritten) override {
        iWritten = 0;
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        const char* p = static_cast<const char*>(pData);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeoutMs);
        while (iWritten < iCount) {
            ssize_t r = ::write(fFd, p + iWritten, iCount - iWritten);
            if (r > 0) {
                iWritten += static_cast<size_t>(r);
                fTxPending = true;
                continue;
            }
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && errno != EAGAIN)
                return errno;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return EINPROGRESS;
            struct pollfd pfd {
                fFd, POLLOUT, 0
            };
            ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        }
        return 0;
    }

    int Read(void* pData, size_t iCount, size_t& iRead) override {
        iRead = 0;
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        std::lock_guard rx(fRxLock);
        ssize_t r;
        do {
            r = ::read(fFd, pData, iCount);
        } while (r < 0 && errno == EINTR);
        if (r < 0)
            return errno == EAGAIN ? 0 : errno;
        iRead = static_cast<size_t>(r);
        fRxKnown = fRxKnown > r ? fRxKnown - static_cast<int>(r) : 0;
        // A read that filled its buffer may have left bytes behind. They were announced, but the
        // reader took only part, so they must count as new again: otherwise they wait, unseen,
        // until more bytes arrive. A reader that stops reading keeps them announced once.
        if (iRead == iCount && fRxKnown != 0) {
            fRxKnown = 0;
            Wake();
        }
        return 0;
    }

    int Purge(uint32_t dwFlags) override {
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        if (dwFlags & purgeRxClear) {
            std::lock_guard rx(fRxLock);
            if (::ioctl(fFd, TCFLSH, TCIFLUSH) != 0)
                return errno;
            fRxKnown = 0;
        }
        if ((dwFlags & purgeTxClear) && ::ioctl(fFd, TCFLSH, TCOFLUSH) != 0)
            return errno;
        return 0;
    }

    int QueueCounts(int32_t& iRx, int32_t& iTx) override {
        iRx = iTx = 0;
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        int n = 0;
        if (::ioctl(fFd, FIONREAD, &n) != 0)
            return errno;
        iRx = n;
        n = 0;
        if (::ioctl(fFd, TIOCOUTQ, &n) != 0)
            return errno;
        iTx = n;
        return 0;
    }

    int ReadSettings(TLineSettings& s) override {
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        struct termios2 t {};
        if (::ioctl(fFd, TCGETS2, &t) != 0)
            return errno;
        s.Baudrate = t.c_ospeed;
        switch (t.c_cflag & CSIZE) {
        case CS5:
            s.ByteSize = 5;
            break;
        case CS6:
            s.ByteSize = 6;
            break;
        case CS7:
            s.ByteSize = 7;
            break;
        default:
            s.ByteSize = 8;
        }
        if ((t.c_cflag & PARENB) == 0)
            s.Parity = 0;
        else if ((t.c_cflag & CMSPAR) != 0)
            s.Parity = (t.c_cflag & PARODD) != 0 ? 3 : 4;
        else
            s.Parity = (t.c_cflag & PARODD) != 0 ? 1 : 2;
        s.StopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
        s.RtsHandshake = s.OutCtsFlow = (t.c_cflag & CRTSCTS) != 0;
        s.OutX = (t.c_iflag & IXON) != 0;
        s.InX = (t.c_iflag & IXOFF) != 0;
        return 0;
    }

    int WaitOutput(int32_t iMaxQueued, uint32_t dwTimeoutMs, int32_t& iQueued) override {
        iQueued = 0;
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + milliseconds(dwTimeoutMs);
        bool bPollUseful = true;
        bool bWokeWritable = false;
        for (;;) {
            int n = 0;
            if (::ioctl(fFd, TIOCOUTQ, &n) != 0)
                return errno;
            iQueued = n;
            auto left = duration_cast<nanoseconds>(deadline - steady_clock::now()).count();
            if (n <= iMaxQueued || left <= 0)
                return 0;
            // The queue count decides; between looks the wait is the line's pace: about as long
            // as the excess takes on the wire.
            int64_t ns = static_cast<int64_t>(n - iMaxQueued) * fiCharBits * 1'000'000'000 /
                         std::max<uint32_t>(fiBaud, 1);
            ns = std::clamp<int64_t>(ns, 50'000, left);
            struct timespec ts {
                static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)
            };
            // While the queue holds the kernel's wake-up mark or more, the port is not writable
            // and becomes so as the queue falls below the mark: the wait can end on that as well.
            // Below the mark POLLOUT holds already and tells nothing about what is left, so the
            // wait is the pace alone; so is it once the port answers with an error condition.
            struct pollfd pfd {
                fFd, POLLOUT, 0
            };
            // A driver that counts its queue otherwise may call the port writable above the mark:
            // then a writable port says nothing either, and polling it would only spin.
            if (bWokeWritable && n >= kTtyWakeupMark)
                bPollUseful = false;
            bool bPoll = n >= kTtyWakeupMark && bPollUseful;
            ::ppoll(bPoll ? &pfd : nullptr, bPoll ? 1 : 0, &ts, nullptr);
            if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                bPollUseful = false;
            bWokeWritable = (pfd.revents & POLLOUT) != 0;
        }
    }

    int SetRts(bool bOn) override { return ModemBit(TIOCM_RTS, bOn); }
    int SetDtr(bool bOn) override { return ModemBit(TIOCM_DTR, bOn); }

    int SetBreak(bool bOn) override { return Ioctl(bOn ? TIOCSBRK : TIOCCBRK, 0); }
    int ResumeOutput() override { return Ioctl(TCXONC, TCOON); }

    int ModemStatus(uint32_t& dwStatus) override {
        dwStatus = 0;
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        int bits = 0;
        if (::ioctl(fFd, TIOCMGET, &bits) != 0)
            return errno;
        dwStatus = ToStatus(bits);
        return 0;
    }

    int SetEventMask(uint32_t dwMask) override {
        fMask = dwMask;
        ++fMaskGen;
        Wake();
        return fFd >= 0 ? 0 : EBADF;
    }

    int WaitEvent(uint32_t& dwEvents) override;

private:
    static bool RateClose(uint32_t got, uint32_t want) {
        uint32_t diff = got > want ? got - want : want - got;
        return static_cast<uint64_t>(diff) * 100 <= static_cast<uint64_t>(want) * 3;
    }

    static tcflag_t ByteSizeFlag(uint8_t bySize) {
        switch (bySize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
        }
    }

    static uint32_t ToStatus(int bits) {
        return ((bits & TIOCM_CTS) ? msCtsOn : 0u) | ((bits & TIOCM_DSR) ? msDsrOn : 0u) |
               ((bits & TIOCM_RNG) ? msRingOn : 0u) | ((bits & TIOCM_CAR) ? msRlsdOn : 0u);
    }

    void Wake() {
        if (fWake >= 0) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t r = ::write(fWake, &one, sizeof one);
        }
    }

    void DrainWake() {
        uint64_t v;
        [[maybe_unused]] ssize_t r = ::read(fWake, &v, sizeof v);
    }

    int Ioctl(unsigned long req, unsigned long arg) {
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        return ::ioctl(fFd, req, arg) == 0 ? 0 : errno;
    }

    int ModemBit(int bit, bool bOn) {
        std::shared_lock lock(fFdLock);
        if (fFd < 0)
            return EBADF;
        return ::ioctl(fFd, bOn ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : errno;
    }

    // Called with fFdLock held. Pseudo-terminals have no modem lines: the first ENOTTY switches
    // the comparison off for this open.
    uint32_t ReadModem() {
        int bits = 0;
        if (fModemOk && ::ioctl(fFd, TIOCMGET, &bits) != 0) {
            fModemOk = false;
            return 0;
        }
        return ToStatus(bits);
    }

    struct serial_icounter_struct ReadCounts() {
        struct serial_icounter_struct c {};
        if (fCountsOk && ::ioctl(fFd, TIOCGICOUNT, &c) != 0)
            fCountsOk = false;
        return c;
    }

    // Called with fFdLock held: the events that came since the last look.
    uint32_t LookAround() {
        uint32_t ev = 0;
        if (fModemOk) {
            uint32_t m = ReadModem();
            uint32_t changed = m ^ fLastModem;
            if (changed & msCtsOn)
                ev |= evCTS;
            if (changed & msDsrOn)
                ev |= evDSR;
            if (changed & msRlsdOn)
                ev |= evRLSD;
            if ((changed & m & msRingOn) != 0)
                ev |= evRing;
            fLastModem = m;
        }
        if (fCountsOk) {
            struct serial_icounter_struct c = ReadCounts();
            if (fCountsOk && c.brk != fLastCounts.brk)
                ev |= evBreak;
            fLastCounts = c;
        }
        if (fTxPending) {
            int n = 0;
            if (::ioctl(fFd, TIOCOUTQ, &n) == 0 && n == 0) {
                fTxPending = false;
                ev |= evTxEmpty;
            }
        }
        {
            // Bytes count as new only beyond those already announced and not yet read, so
            // unread bytes are announced once and do not keep the wait busy.
            std::lock_guard rx(fRxLock);
            int n = 0;
            if (::ioctl(fFd, FIONREAD, &n) == 0) {
                if (n > fRxKnown)
                    ev |= evRxChar;
                fRxKnown = n;
            }
        }
        return ev;
    }

    std::shared_mutex fFdLock; // shared by every device call, exclusive for closing
    std::mutex fRxLock;        // keeps fRxKnown in step with reads
    int fFd = -1;
    int fWake = -1;
    std::atomic<uint32_t> fMask{0};
    std::atomic<uint64_t> fMaskGen{0};
    std::atomic<bool> fClosing{false};
    std::atomic<bool> fTxPending{false};
    bool fHungUp = false;
    bool fIsPty = false;
    // The pace of the line, for waiting out the output queue.
    uint32_t fiBaud = 9600;
    uint32_t fiCharBits = 10;
    bool fSavedOk = false;
    struct termios2 fSaved {};
    int fRxKnown = 0;
    bool fModemOk = false;
    uint32_t fLastModem = 0;
    bool fCountsOk = false;
    struct serial_icounter_struct fLastCounts {};
};

int TTermiosDevice::WaitEvent(uint32_t& dwEvents) {
    dwEvents = 0;
    std::shared_lock lock(fFdLock);
    if (fFd < 0)
        return EBADF;
    const uint64_t gen = fMaskGen;
    for (;;) {
        if (fClosing || fMaskGen != gen)
            return 0;
        uint32_t mask = fMask;
        int rxKnown;
        {
            std::lock_guard rx(fRxLock);
            rxKnown = fRxKnown;
        }
        struct pollfd pfd[2] = {{fWake, POLLIN, 0}, {fFd, 0, 0}};
        // Without a mask, and after a hang-up (the error was answered once), only a change of
        // mask or a close ends the wait: nothing may keep a core busy then.
        bool idle = mask == 0 || fHungUp;
        int nfds = idle ? 1 : 2;
        if (rxKnown == 0)
            pfd[1].events = POLLIN;
        int r = ::poll(pfd, nfds, idle ? -1 : kTickMs);
        if (r < 0 && errno != EINTR)
            return errno;
        if (pfd[0].revents & POLLIN) {
            DrainWake();
            continue;
        }
        if (idle)
            continue;
        if (pfd[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            fHungUp = true;
            return EIO;
        }
        uint32_t ev = LookAround() & mask;
        if (ev != 0) {
            dwEvents = ev;
            return 0;
        }
    }
}

} // namespace

std::unique_ptr<ISerialDevice> CreateTermiosDevice() {
    return std::make_unique<TTermiosDevice>();
}

} // namespace SerialDevice
