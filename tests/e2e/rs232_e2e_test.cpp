// The real program, headless, over COM3 mapped to a pseudo-terminal whose other side the test
// plays as the device.

#include "e2e/RunTelvik.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using RunTelvik::RunHeadless;
using RunTelvik::TResult;
using RunTelvik::TTempDir;

namespace {

// The device side: answers the first telegram it sees with `reply` (a list of chunks written a
// little apart), or with nothing; or hangs up once the telegram came.
class TDevice {
public:
    TDevice() {
        fMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fMaster < 0 || ::grantpt(fMaster) != 0 || ::unlockpt(fMaster) != 0)
            ADD_FAILURE() << "no pseudo-terminal: " << errno;
        else
            fSlave = ::ptsname(fMaster);
    }
    ~TDevice() {
        fStop = true;
        if (fThread.joinable())
            fThread.join();
        if (fMaster >= 0)
            ::close(fMaster);
    }
    const std::string& Slave() const { return fSlave; }

    /// Serves until stopped: collects what comes, and once `telegram` came, writes the chunks.
    /// Each of `before` is written unasked, 150 ms apart, from 100 ms after the port was opened.
    void Serve(const std::string& telegram, std::vector<std::string> chunks, bool hangUp = false,
               std::vector<std::string> before = {}) {
        fThread = std::thread([this, telegram, chunks, hangUp, before] {
            if (!before.empty())
                WaitForOpen();
            for (const auto& b : before) {
                std::this_thread::sleep_for(std::chrono::milliseconds(b == before[0] ? 100 : 150));
                WriteAll(b);
            }
            bool answered = false;
            while (!fStop) {
                if (std::string got = ReadSome(); !got.empty()) {
                    std::lock_guard g(fLock);
                    fReceived += got;
                }
                if (answered || Received().find(telegram) == std::string::npos)
                    continue;
                answered = true;
                {
                    // The master side reads the terminal's settings as the program left them.
                    std::lock_guard g(fLock);
                    ::tcgetattr(fMaster, &fAtTelegram);
                }
                if (hangUp) {
                    ::close(fMaster);
                    fMaster = -1;
                    return;
                }
                for (const auto& c : chunks) {
                    WriteAll(c);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
        });
    }
    /// Sends back everything it receives, taking no more while its answer is not taken.
    void Echo() {
        fThread = std::thread([this] {
            while (!fStop)
                WriteAll(ReadSome());
        });
    }
    std::string Received() const {
        std::lock_guard g(fLock);
        return fReceived;
    }
    /// The line settings when the telegram came.
    struct termios AtTelegram() const {
        std::lock_guard g(fLock);
        return fAtTelegram;
    }

private:
    // The master side reports a hang-up for as long as no one holds the terminal open.
    void WaitForOpen() {
        for (int i = 0; i < 500 && !fStop; ++i) {
            struct pollfd p {
                fMaster, 0, 0
            };
            if (::poll(&p, 1, 0) == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // What the program wrote within 10 ms; empty when nothing came.
    std::string ReadSome() {
        struct pollfd p {
            fMaster, POLLIN, 0
        };
        ::poll(&p, 1, 10);
        char buf[256];
        ssize_t r = ::read(fMaster, buf, sizeof buf);
        return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
    }
    // A chunk larger than the terminal's buffer goes in as the program makes room.
    void WriteAll(const std::string& c) {
        for (size_t done = 0; done < c.size() && !fStop;) {
            ssize_t w = ::write(fMaster, c.data() + done, c.size() - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            struct pollfd p {
                fMaster, POLLOUT, 0
            };
            ::poll(&p, 1, 10);
        }
    }

    int fMaster = -1;
    std::string fSlave;
    mutable std::mutex fLock;
    std::string fReceived;
    struct termios fAtTelegram {};
    std::atomic<bool> fStop{false};
    std::thread fThread;
};

const char* kConfig = "[DEVICE]\n"
                      "Name=RS232\n"
                      "Port=COM3\n"
                      "Bitrate=115200\n"
                      "[TELEGRAM]\n"
                      "Start=[\n"
                      "End=]\n"
                      "Send=PING\n"
                      "Response=P*G\n"
                      "Timeout=1500\n";

TResult RunOn(const TDevice& dev, const std::vector<std::string>& extra = {},
              const std::string& config = kConfig, const RunTelvik::TOnOutput& onOutput = {}) {
    TTempDir dir;
    std::vector<std::string> args{"+CFG=" + dir.Write("rs232.ini", config)};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunHeadless(args, {{"TELVIK_COM3", dev.Slave()}}, 20, onOutput);
}

// Whether an ordinary user can open the device now: the superuser ignores the exclusive flag, so
// a child that became "nobody" tries it for a test run as root.
bool OpenableByOrdinaryUser(const std::string& sPath) {
    if (::geteuid() != 0) {
        int fd = ::open(sPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }
    ::chmod(sPath.c_str(), 0666);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        ::_exit(::open(sPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Sends `iSignal` to the program's group once its output holds each text of `after` in turn.
RunTelvik::TOnOutput SignalAfter(std::vector<std::string> after, int iSignal = SIGTERM) {
    auto sent = std::make_shared<size_t>(0);
    return [after, iSignal, sent](const std::string& sStderr, int iGroup) {
        if (*sent < after.size() && sStderr.find(after[*sent]) != std::string::npos) {
            ++*sent;
            ::kill(-iGroup, iSignal);
        }
    };
}

struct termios SettingsOf(const std::string& sPath) {
    struct termios t {};
    int fd = ::open(sPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    ::tcgetattr(fd, &t);
    ::close(fd);
    return t;
}

} // namespace

TEST(Rs232EndToEnd, AnsweredTelegramSucceeds) {
    TDevice dev;
    dev.Serve("[PING]", {"[PONG]"});
    TResult r = RunOn(dev);
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Response passed: \"P*G\" = \"PONG\"")) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Done successfully")) << r.Stderr;
    EXPECT_EQ(dev.Received(), "[PING]");
}

TEST(Rs232EndToEnd, FramingFindsTheTelegramAcrossChunksAndNoise) {
    TDevice dev;
    dev.Serve("[PING]", {"noise]xx[PO", "N", "G]tail"});
    TResult r = RunOn(dev);
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Response passed: \"P*G\" = \"PONG\"")) << r.Stderr;
}

TEST(Rs232EndToEnd, LongAnswerAlreadyQueuedIsReadToTheEnd) {
    // More than one read takes (the receive queue size + 1) is waiting when the program looks.
    for (size_t size : {1500u, 20000u}) {
        TDevice dev;
        dev.Serve("[PING]", {"[P" + std::string(size - 4, 'x') + "G]"});
        TResult r = RunOn(dev);
        EXPECT_EQ(r.ExitCode, 0) << size << " bytes\n" << r.Stderr;
    }
}

TEST(Rs232EndToEnd, WrongResponseEndsWith51) {
    TDevice dev;
    dev.Serve("[PING]", {"[NACK]"});
    TResult r = RunOn(dev);
    EXPECT_EQ(r.ExitCode, 51) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Error: Response failed: \"P*G\" <> \"NACK\"")) << r.Stderr;
}

TEST(Rs232EndToEnd, SilentDeviceTimesOutWith54) {
    TDevice dev;
    dev.Serve("[PING]", {});
    TResult r = RunOn(dev);
    EXPECT_EQ(r.ExitCode, 54) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Error: Time out!")) << r.Stderr;
    EXPECT_LT(r.Seconds, 5);
}

TEST(Rs232EndToEnd, DeviceThatHangsUpEndsTheJobOnce) {
    TDevice dev;
    dev.Serve("[PING]", {}, true);
    TResult r = RunOn(dev, {"+Timeout=3000"});
    EXPECT_FALSE(r.TimedOut) << r.Stderr;
    EXPECT_EQ(r.ExitCode, 54) << r.Stderr;
    int reports = 0;
    for (const auto& l : r.LogLines())
        if (l.find("RS232 system error! (5)") != std::string::npos)
            ++reports;
    EXPECT_EQ(reports, 1) << r.Stderr;
    EXPECT_LT(r.Seconds, 3) << "the hang-up did not end the wait";
}

TEST(Rs232EndToEnd, Com10IsRefusedAtOpenWith67) {
    TDevice dev;
    TResult r = RunOn(dev, {"+RS232=COM10,9600"});
    EXPECT_EQ(r.ExitCode, 67) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: Error in serial port init! ID: F3021E:10")) << r.Stderr;
}

TEST(Rs232EndToEnd, BadPortTextsEndWith68) {
    TDevice dev;
    for (const char* port : {"COM0", "COM", "COMX", "3", "LPT1", "com1x"}) {
        std::string config = kConfig;
        config.replace(config.find("Port=COM3"), 9, std::string("Port=") + port);
        TResult r = RunOn(dev, {}, config);
        EXPECT_EQ(r.ExitCode, 68) << port << r.Stderr;
        EXPECT_TRUE(r.HasLine(std::string("Fatal: Invalid COM port definition \"") + port +
                              "\"! ID: F3010A:0"))
            << r.Stderr;
    }
    std::string config = kConfig;
    config.replace(config.find("Port=COM3\n"), 10, "");
    TResult r = RunOn(dev, {}, config);
    EXPECT_EQ(r.ExitCode, 68) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: No COM port defined! ID: F30114:0")) << r.Stderr;
}

namespace {
// The kernel keeps the first 15 bytes of a process's name.
std::string OwnName() {
    return std::string(program_invocation_short_name).substr(0, 15);
}
} // namespace

TEST(Rs232EndToEnd, MissingDeviceAndBusyPortEndWith67) {
    TTempDir dir;
    std::string ini = dir.Write("rs232.ini", kConfig);
    TResult missing = RunHeadless({"+CFG=" + ini, "+Failure=W=1"},
                                  {{"TELVIK_COM3", dir.Path() + "/no-such-tty"}}, 20);
    EXPECT_EQ(missing.ExitCode, 67) << missing.Stderr;
    EXPECT_TRUE(missing.HasLine("Fatal: RS232 system error! (2) ID: F3050A:0")) << missing.Stderr;
    EXPECT_TRUE(missing.HasLine("Hint:  open " + dir.Path() +
                                "/no-such-tty: No such file or directory: no such device: see "
                                "telvik --list"))
        << missing.Stderr;
    for (const auto& l : missing.LogLines()) {
        EXPECT_EQ(l.find("after failure"), std::string::npos) << l;
        EXPECT_EQ(l.find("Close port"), std::string::npos) << l;
    }

    TDevice dev;
    int holder = ::open(dev.Slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    TResult busy = RunOn(dev);
    ::close(holder);
    EXPECT_EQ(busy.ExitCode, 67) << busy.Stderr;
    EXPECT_TRUE(busy.HasLine("Fatal: RS232 system error! (11) ID: F3050A:0")) << busy.Stderr;
    EXPECT_TRUE(busy.HasLine("Hint:  open " + dev.Slave() +
                             ": Resource temporarily unavailable: busy: held by process " +
                             std::to_string(::getpid()) + " (" + OwnName() + ")"))
        << busy.Stderr;

    // Another Telvik holding the port.
    dev.Serve("[PING]", {});
    TResult first;
    std::thread holderRun([&] { first = RunOn(dev, {"+Timeout=3000"}); });
    for (int i = 0; i < 1000 && dev.Received().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    TResult second = RunOn(dev);
    holderRun.join();
    EXPECT_EQ(second.ExitCode, 67) << second.Stderr;
    EXPECT_TRUE(second.HasLine("Fatal: RS232 system error! (11) ID: F3050A:0")) << second.Stderr;
    EXPECT_NE(second.Stderr.find("busy: held by process "), std::string::npos) << second.Stderr;
    EXPECT_EQ(first.ExitCode, 54) << first.Stderr;
}

TEST(Rs232EndToEnd, UnsupportedBitrateEndsTheSettingsStepWith68AndAnOpenThatFailsJudgesNoData) {
    // A rate that is a number but no supported one is refused instead of run at 9600.
    TDevice dev;
    dev.Serve("[PING]", {"[PONG]"});
    TResult r = RunOn(dev, {"+RS232=COM3,12345", "+Output=Json"});
    EXPECT_EQ(r.ExitCode, 68) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Error: Baudrate is not valid")) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: Bit rate 12345 bps is not supported; supported are 110, 300, "
                          "600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, "
                          "115200, 128000, 256000, 230400, 460800, 921600 ID: F3011E:12345"))
        << r.Stderr;
    EXPECT_EQ(dev.Received(), "");
    QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r.Stdout)).object();
    EXPECT_EQ(o["errors"].toArray()[0].toString(), "Baudrate is not valid") << r.Stdout;
    for (const char* rate : {"0", "-5", "fast"}) {
        TResult hint = RunOn(dev, {"+Timeout=100", std::string("+RS232=COM3,") + rate});
        EXPECT_TRUE(hint.HasLine("Hint:  Default bit rate 9600 bps is used")) << hint.Stderr;
        EXPECT_TRUE(hint.ExitCode == 0 || hint.ExitCode == 54) << rate << hint.Stderr;
    }

    // A regular file as the port opens but takes no settings (ENOTTY): the open fails at once
    // with its code, and what the file holds is never read as an answer.
    TTempDir dir;
    std::string file = dir.Write("not-a-tty", "[PONG]");
    for (int run = 0; run < 10; ++run) {
        TResult f = RunOn(dev, {"+RS232=" + file + ",9600", "+Failure=W=1"});
        EXPECT_EQ(f.ExitCode, 67) << f.Stderr;
        EXPECT_TRUE(f.HasLine("Fatal: RS232 system error! (25) ID: F3050A:0")) << f.Stderr;
        EXPECT_EQ(f.Stderr.find("Response"), std::string::npos) << f.Stderr;
        EXPECT_EQ(f.Stderr.find("after failure"), std::string::npos) << f.Stderr;
    }
}

TEST(Rs232EndToEnd, DeviceThatHangsUpMidTelegramFailsTheSendOnce) {
    TDevice dev;
    // Hangs up as soon as the first bytes of a telegram far larger than the terminal's buffers
    // have come.
    dev.Serve("[XXXX", {}, true);
    std::string config = kConfig;
    config.replace(config.find("Send=PING"), 9, "Send=" + std::string(20000, 'X'));
    TResult r = RunOn(dev, {"+Failure=W=1"}, config);
    EXPECT_FALSE(r.TimedOut) << r.Stderr;
    EXPECT_LT(r.Seconds, 5);
    EXPECT_EQ(r.ExitCode, 56) << r.Stderr;
    int closes = 0, reports = 0;
    for (const auto& l : r.LogLines()) {
        closes += l == "Info:  Close port...";
        reports += l.rfind("Info:  Failed with exit code", 0) == 0;
    }
    EXPECT_LE(closes, 1) << r.Stderr;
    EXPECT_EQ(reports, 1) << r.Stderr;
}

// The window policy and the driver's modal box, on the virtual display the GUI test gives
// (TELVIK_TEST_XVFB set by it): never on a desktop, where a box would wait for the developer.
#ifndef X11_CLOSE
#define X11_CLOSE ""
#endif
namespace {

bool OnTestDisplay() {
    return std::getenv("TELVIK_TEST_XVFB") != nullptr && std::getenv("DISPLAY") != nullptr &&
           *X11_CLOSE != '\0';
}

TResult RunOnDisplay(const TDevice& dev, const std::vector<std::string>& extra) {
    TTempDir dir;
    std::vector<std::string> args{"+CFG=" + dir.Write("rs232.ini", kConfig)};
    args.insert(args.end(), extra.begin(), extra.end());
    // A runtime directory of its own keeps Qt's complaint about a missing one off stderr.
    return RunHeadless(args,
                       {{"TELVIK_COM3", dev.Slave()},
                        {"DISPLAY", std::getenv("DISPLAY")},
                        {"QT_QPA_PLATFORM", "xcb"},
                        {"XDG_RUNTIME_DIR", dir.Path()}},
                       30);
}

// Every stderr line, log lines without their time, each run's own temporary folder and
// pseudo-terminal number.
std::vector<std::string> StderrLines(const TResult& r) {
    std::vector<std::string> lines;
    std::istringstream in(r.Stderr);
    for (std::string line; std::getline(in, line);) {
        if (size_t dir = line.find("/tmp/telvik-test-"); dir != std::string::npos)
            line.erase(dir, line.find('/', dir + 5) - dir);
        // Each run has a pseudo-terminal of its own.
        if (size_t pts = line.find("/dev/pts/"); pts != std::string::npos)
            line.erase(pts + 9, line.find_first_not_of("0123456789", pts + 9) - pts - 9);
        std::string text;
        lines.push_back(RunTelvik::SplitLogLine(line, nullptr, &text) ? text : line);
    }
    return lines;
}

// The first window whose title matches `pattern`, waited for up to `seconds`; empty if none.
std::string FindWindow(const std::string& pattern, double seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        std::string id;
        if (FILE* p = ::popen(
                ("xdotool search --onlyvisible --name '" + pattern + "' 2>/dev/null").c_str(),
                "r")) {
            char buf[64];
            if (std::fgets(buf, sizeof buf, p))
                id = std::strtok(buf, "\n");
            ::pclose(p);
        }
        if (!id.empty())
            return id;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

} // namespace

TEST(GuiMessageBox, NeverRunsAsHeadlessWithoutABox) {
    if (!OnTestDisplay())
        GTEST_SKIP() << "runs under the GUI test's virtual display only";
    TDevice dev;
    dev.Serve("[PING]", {"[PONG]"});
    TResult headless = RunOn(dev, {"+Visible=Never", "+RS232=COM3,1000"});
    TDevice dev2;
    dev2.Serve("[PING]", {"[PONG]"});
    TResult shown = RunOnDisplay(dev2, {"+Visible=Never", "+RS232=COM3,1000"});
    EXPECT_FALSE(shown.TimedOut) << "the run waited for a box";
    EXPECT_EQ(shown.ExitCode, headless.ExitCode) << shown.Stderr;
    EXPECT_EQ(shown.ExitCode, 68) << shown.Stderr;
    EXPECT_EQ(StderrLines(shown), StderrLines(headless));
    EXPECT_TRUE(shown.HasLine("Error: Baudrate is not valid")) << shown.Stderr;

    // OnError: no box either; the run reaches its end and then shows its window.
    TDevice dev3;
    std::string box, window;
    std::thread user([&] {
        window = FindWindow("^Telvik V1\\.20\\.02 $", 15);
        box = FindWindow("^telvik$", 0.5);
        if (!window.empty())
            std::system((std::string(X11_CLOSE) + " " + window).c_str());
    });
    TResult onError = RunOnDisplay(dev3, {"+Visible=OnError", "+RS232=COM3,12345"});
    user.join();
    EXPECT_FALSE(window.empty()) << "the window was not shown after the failure";
    EXPECT_TRUE(box.empty()) << "a box was shown";
    EXPECT_EQ(onError.ExitCode, 68) << onError.Stderr;
    EXPECT_TRUE(onError.HasLine("Info:  Failed with exit code 68 (0x44)")) << onError.Stderr;
}

TEST(GuiMessageBox, AlwaysShowsTheBoxBesideTheLogLineAndEndsWhenItIsClosed) {
    if (!OnTestDisplay())
        GTEST_SKIP() << "runs under the GUI test's virtual display only";
    TDevice dev;
    dev.Serve("[PING]", {"[PONG]"});
    std::string box, window;
    std::thread user([&] {
        // The box has the program's name as its title; the log window its caption.
        box = FindWindow("^telvik$", 15);
        if (box.empty())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(dev.Received().empty()) << "the run went on behind the box";
        std::system((std::string(X11_CLOSE) + " " + box).c_str());
        window = FindWindow("^Telvik V1\\.20\\.02 $", 15);
        for (int i = 0; i < 20 && dev.Received().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (!window.empty())
            std::system((std::string(X11_CLOSE) + " " + window).c_str());
    });
    TResult r = RunOnDisplay(dev, {"+Visible=Always", "+RS232=COM3,1000"});
    user.join();
    EXPECT_FALSE(box.empty()) << "no box appeared";
    EXPECT_FALSE(window.empty()) << "no log window appeared";
    EXPECT_EQ(r.ExitCode, 68) << r.Stderr;
    EXPECT_EQ(dev.Received(), "");
    EXPECT_TRUE(r.HasLine("Error: Baudrate is not valid")) << r.Stderr;
}

TEST(Rs232EndToEnd, OutputGivesTheDevicesBytesOrTheRunInJson) {
    const std::string answer("PA\0\xFF\r\nBG", 8);
    TDevice dev;
    dev.Serve("[PING]", {"[" + answer + "]"});
    TResult r = RunOn(dev, {"+Output=Response"});
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_EQ(r.Stdout, answer);

    TDevice wrong;
    wrong.Serve("[PING]", {"[NACK]"});
    TResult j = RunOn(wrong, {"+Output=JSON"});
    EXPECT_EQ(j.ExitCode, 51) << j.Stderr;
    QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(j.Stdout)).object();
    EXPECT_EQ(o["exitCode"].toInt(), 51) << j.Stdout;
    EXPECT_EQ(o["portKind"].toString(), "RS232");
    EXPECT_EQ(o["device"].toString(), "COM3");
    EXPECT_EQ(o["sent"].toObject()["hex"].toString(), "50 49 4E 47");
    EXPECT_EQ(o["received"].toArray()[0].toObject()["text"].toString(), "NACK");
    EXPECT_EQ(o["errors"].toArray()[0].toString(), "Response failed: \"P*G\" <> \"NACK\"");

    TDevice silent;
    silent.Serve("[PING]", {});
    TResult t = RunOn(silent, {"+Output=Response", "+Timeout=200"});
    EXPECT_EQ(t.ExitCode, 54) << t.Stderr;
    EXPECT_EQ(t.Stdout, "");
}

TEST(Rs232EndToEnd, LargeTelegramToAnEchoGoesOutWholeOrFailsTheSend) {
    std::string config = kConfig;
    config.replace(config.find("Send=PING"), 9, "Send=" + std::string(20000, 'X'));
    config.replace(config.find("Response=P*G"), 12, "Response=X*");
    {
        // The echo fills the program's input while it is still sending.
        TDevice dev;
        dev.Echo();
        TResult r = RunOn(dev, {}, config);
        EXPECT_FALSE(r.TimedOut);
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr.substr(0, 2000);
    }
    {
        // A line that takes nothing for longer than the driver's time-out (10 s): the send fails.
        // The telegram is larger than what the terminal's buffers take.
        config.replace(config.find("Send="), 5 + 20000, "Send=" + std::string(300000, 'X'));
        TDevice dev;
        TResult r = RunOn(dev, {}, config);
        EXPECT_EQ(r.ExitCode, 56) << r.Stderr.substr(0, 2000);
        EXPECT_TRUE(r.HasLine("Fatal: RS232 system error! (110) ID: F3050A:0"))
            << r.Stderr.substr(0, 2000);

        // A signal while the line takes nothing ends the send at once.
        TDevice stalled;
        r = RunOn(stalled, {"+Failure=W=1"}, config, SignalAfter({"Info:  Send: "}));
        EXPECT_EQ(r.ExitCode, 56) << r.Stderr.substr(0, 2000);
        EXPECT_LT(r.Seconds, 3);
        EXPECT_TRUE(r.HasLine("Fatal: Interrupted by signal SIGTERM")) << r.Stderr.substr(0, 2000);
        EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1"))
            << r.Stderr.substr(0, 2000);
    }
    {
        // 64 KiB to a device that only reads: every byte arrives, in order.
        std::string data;
        for (size_t i = 0; data.size() < 65536; ++i)
            data += static_cast<char>('A' + i % 26);
        std::string big = kConfig;
        big.replace(big.find("Send=PING"), 9, "Send=" + data);
        TDevice dev;
        dev.Serve("]", {"[PONG]"});
        TResult r = RunOn(dev, {}, big);
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr.substr(0, 2000);
        EXPECT_TRUE(dev.Received() == "[" + data + "]") << dev.Received().size() << " bytes";
    }
}

TEST(Rs232EndToEnd, LineSettingsReachTheTerminalOrEndTheOpenWith68) {
    // A pseudo-terminal keeps stop bits and flow control, but holds 8 bits without parity.
    struct TCase {
        const char* sFrame;
        int iExit;
        tcflag_t cflag, iflag; ///< expected among CSTOPB | CRTSCTS | CMSPAR and IXON | IXOFF
        std::string sLine;
    };
    const TCase kCases[] = {
        {"8N1N", 0, 0, 0, "Info:  Opened %s: 19200 8N1, no flow control"},
        {"8n2r", 0, CSTOPB | CRTSCTS, 0, "Info:  Opened %s: 19200 8N2, RTS/CTS flow control"},
        {"8N1X", 0, 0, IXON | IXOFF, "Info:  Opened %s: 19200 8N1, XON/XOFF flow control"},
        {"7E1N", 68, 0, 0,
         "Fatal: Line setting DataBits=7 refused by %s (it reads back 8)! ID: "
         "F30228:0"},
        {"8M1N", 68, 0, 0,
         "Fatal: Line setting Parity=M refused by %s (it reads back N)! ID: "
         "F30228:0"},
        {"8Q1N", 68, 0, 0, "Fatal: Invalid Parity \"Q\" (N, E, O, M or S)! ID: F30128:0"},
    };
    for (const TCase& c : kCases) {
        TDevice dev;
        dev.Serve("[PING]", {"[PONG]"});
        TResult r = RunOn(dev, {std::string("+RS232=COM3,19200,") + c.sFrame});
        EXPECT_EQ(r.ExitCode, c.iExit) << c.sFrame << r.Stderr;
        std::string line = c.sLine;
        if (size_t at = line.find("%s"); at != std::string::npos)
            line.replace(at, 2, dev.Slave());
        EXPECT_TRUE(r.HasLine(line)) << line << "\n" << r.Stderr;
        if (c.iExit != 0) {
            EXPECT_EQ(dev.Received(), "") << c.sFrame;
            continue;
        }
        struct termios t = dev.AtTelegram();
        EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | CMSPAR), c.cflag) << c.sFrame;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag) << c.sFrame;
    }
}

TEST(Rs232EndToEnd, LineStatementsRunOrFailWith59WhereTheLineIsMissing) {
    // A pseudo-terminal takes a break but has no DTR or RTS to switch.
    TDevice dev;
    dev.Serve("[PING]", {"[PONG]"});
    TResult brk = RunOn(dev, {"+Initial=SetBRK;ClrBRK", "+Final=setbrk;clrbrk"});
    EXPECT_EQ(brk.ExitCode, 0) << brk.Stderr;

    TDevice noModem;
    noModem.Serve("[PING]", {"[PONG]"});
    TResult r = RunOn(noModem, {"+Initial=ClrDTR;SetRTS;W=100;ClrRTS"});
    EXPECT_EQ(r.ExitCode, 59) << r.Stderr;
    EXPECT_TRUE(
        r.HasLine("Hint:  ClrDTR on " + noModem.Slave() + ": Inappropriate ioctl for device"))
        << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: Port instruction \"ClrDTR\" unknown or failed! ID: 010500:0"))
        << r.Stderr;
    EXPECT_EQ(noModem.Received(), "");
}

TEST(Rs232EndToEnd, SignalEndsTheRunThroughItsStepsAndGivesThePortBack) {
    TDevice dev;
    struct termios before = SettingsOf(dev.Slave());
    TResult r = RunOn(dev, {"+Timeout=8000", "+Failure=W=1", "+Output=Json"}, kConfig,
                      SignalAfter({"Wait for expected response"}));
    // The run ends through its steps, then by the signal itself: a shell sees 128+n.
    EXPECT_EQ(r.Signal, SIGTERM) << r.Stderr;
    EXPECT_EQ(r.ExitCode, -1) << r.Stderr;
    EXPECT_LT(r.Seconds, 5);
    EXPECT_TRUE(r.HasLine("Fatal: Interrupted by signal SIGTERM")) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Failed with exit code 54 (0x36)")) << r.Stderr;
    EXPECT_FALSE(r.HasLine("Error: Time out!"));
    QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(r.Stdout)).object();
    EXPECT_EQ(json["exitCode"].toInt(), 54) << r.Stdout;
    EXPECT_EQ(json["exitMeaning"].toString(), "interrupted by SIGTERM") << r.Stdout;
    EXPECT_EQ(json["signal"].toString(), "SIGTERM") << r.Stdout;
    struct termios after = SettingsOf(dev.Slave());
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the settings found were not restored";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_TRUE(OpenableByOrdinaryUser(dev.Slave())) << "the port kept its exclusive flag";

    // A second signal, while the failure instructions run, ends the program at once, and gives
    // the port back as it was found all the same.
    TDevice dev2;
    before = SettingsOf(dev2.Slave());
    r = RunOn(dev2, {"+Timeout=8000", "+Failure=W=8000"}, kConfig,
              SignalAfter({"Wait for expected response", "after failure"}));
    EXPECT_EQ(r.ExitCode, -1) << r.Stderr;
    EXPECT_EQ(r.Signal, SIGTERM) << r.Stderr;
    EXPECT_LT(r.Seconds, 5);
    EXPECT_TRUE(OpenableByOrdinaryUser(dev2.Slave())) << "the port kept its exclusive flag";
    after = SettingsOf(dev2.Slave());
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "a second signal left the run's settings";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(Rs232EndToEnd, DevicePathPortAndTheHighRates) {
    for (const char* rate : {"230400", "460800", "921600"}) {
        TDevice dev;
        dev.Serve("[PING]", {"[PONG]"});
        // TELVIK_COM3 is set but not used.
        TResult file = RunOn(dev, {},
                             "[DEVICE]\nName=RS232\nPort=" + dev.Slave() + "\nBitrate=" + rate +
                                 "\n[TELEGRAM]\nStart=[\nEnd=]\nSend=PING\nResponse=P*G\n");
        EXPECT_EQ(file.ExitCode, 0) << file.Stderr;
        EXPECT_EQ(file.Stderr.find("Default bit rate"), std::string::npos) << file.Stderr;
    }
    TDevice dev;
    dev.Serve("[PING]", {"[PONG]"});
    TResult option = RunHeadless({"+CFG=/nonexistent.ini", "+RS232=" + dev.Slave() + ",921600",
                                  "+Start=[", "+End=]", "+Send=PING", "+Response=PONG"});
    EXPECT_EQ(option.ExitCode, 0) << option.Stderr;
    EXPECT_EQ(dev.Received(), "[PING]");
}

TEST(Rs232EndToEnd, TheExamplesPassAgainstAPacedDevice) {
    struct Row {
        const char* file;
        std::string request;
        std::vector<std::string> answer;
    } rows[] = {
        {"rs232.ini", "*IDN?\r\n", {"ID TEL", "VIK 1\r", "\n"}},
        {"modbus-rtu.ini",
         std::string("\x01\x03\0\0\0\x01\x84\x0A", 8),
         {"\x01\x03", std::string("\x02\0", 2), "\x2A\x39\x9B"}},
    };
    for (const Row& row : rows) {
        TDevice dev;
        dev.Serve(row.request, row.answer);
        TResult r = RunHeadless({std::string("+CFG=" TELVIK_SOURCE_DIR "/examples/") + row.file},
                                {{"TELVIK_COM3", dev.Slave()}}, 20);
        EXPECT_EQ(r.ExitCode, 0) << row.file << "\n" << r.Stderr;
        EXPECT_EQ(dev.Received(), row.request) << row.file;
    }
}

TEST(Rs232EndToEnd, PacedAnswersAreFramedMatchedAndJudgedOnlyAfterTheTelegram) {
    struct Row {
        const char* name;
        std::string keys; ///< [TELEGRAM] lines; an [INSTRUCTION] section may follow
        std::string telegram;
        std::vector<std::string> chunks; ///< the answer, 20 ms between pieces
        int code;
        std::string line;
        std::vector<std::string> before = {};
    };
    const std::string marks = "Start=[\nEnd=]\nSend=PING\nResponse=PONG\n";
    const Row rows[] = {
        {"line with a terminator",
         "Send=*IDN?\\0D\\0A\nResponse=ID*\nTerminator=\\0D\\0A\n",
         "*IDN?\r\n",
         {"I", "D TEL", "VIK 1\r", "\n"},
         0,
         "Info:  Response passed: \"ID*\" = \"ID TELVIK 1\""},
        {"binary with a gap",
         "Send=\\01\\03\nResponse=\\01\\03\\02\\00\\*??\nGap=80\n",
         "\x01\x03",
         {"\x01\x03", std::string("\x02\0", 2), "\x2A\x12\x34"},
         0,
         "Info:  Response passed: \"\\x01\\x03\\x02\\x00\\*??\" = \"\\x01\\x03\\x02\\x00*\\x124\""},
        {"echo then answer, Any",
         marks + "Match=Any\n",
         "[PING]",
         {"[PING]", "[PONG]"},
         0,
         "Info:  Skipped: \"PONG\" <> \"PING\""},
        {"echo then answer, First",
         marks,
         "[PING]",
         {"[PING]", "[PONG]"},
         51,
         "Error: Response failed: \"PONG\" <> \"PING\""},
        {"abort",
         marks + "Match=Any\nAbort=ERR*\n",
         "[PING]",
         {"[ERR 7]", "[PONG]"},
         51,
         "Error: Response aborted: \"ERR*\" = \"ERR 7\""},
        {"literal star",
         "Send=Q\nTerminator=\\0D\\0A\nResponse=$GPGGA,*\\*4?\n",
         "Q",
         {"$GPGGA,1", "23*4", "7\r\n"},
         0,
         "Info:  Response passed: \"$GPGGA,*\\*4?\" = \"$GPGGA,123*47\""},
        {"literal star, no star",
         "Send=Q\nTerminator=\\0D\\0A\nResponse=$GPGGA,*\\*4?\n",
         "Q",
         {"$GPGGA,123x47\r\n"},
         51,
         "Error: Response failed: \"$GPGGA,*\\*4?\" <> \"$GPGGA,123x47\""},
        {"banner and notice",
         marks + "[INSTRUCTION]\nInitial=W=800\n",
         "[PING]",
         {"[PONG]"},
         0,
         "Hint:  Discarded before sending: [BANNER][NOTICE]",
         {"[BANNER]", "[NOTICE]"}},
        {"send only",
         "Start=[\nEnd=]\nSend=PING\n[INSTRUCTION]\nFinal=W=300\n",
         "[PING]",
         {"[PONG]"},
         0,
         "Info:  Done successfully"},
        {"paced raw answer, Any",
         "Send=*IDN?\\0D\\0A\nResponse=ID*\\0D\\0A\nMatch=Any\n",
         "*IDN?\r\n",
         {"I", "D T", "ELVIK\r\n"},
         0,
         "Info:  Response passed: \"ID*\\x0D\\x0A\" = \"ID TELVIK\\x0D\\x0A\""},
        {"CR LF shown",
         "Send=Q\nResponse=OK\n",
         "Q",
         {"OK\r\n"},
         51,
         "Error: Response failed: \"OK\" <> \"OK\\x0D\\x0A\""},
        {"unjudged at the time-out",
         "Start=\\02\nEnd=\\03\nSend=PING\nResponse=PONG\nTimeout=400\n",
         "\x02PING\x03",
         {"\x15", "\x02PO"},
         54,
         "Hint:  Received but not judged: \\x15\\x02PO"},
    };
    for (const Row& row : rows) {
        TDevice dev;
        dev.Serve(row.telegram, row.chunks, false, row.before);
        TResult r = RunOn(dev, {"+Output=Json"},
                          "[DEVICE]\nName=RS232\nPort=COM3\nBitrate=115200\n[TELEGRAM]\n"
                          "Timeout=1500\n" +
                              row.keys);
        EXPECT_EQ(r.ExitCode, row.code) << row.name << "\n" << r.Stderr;
        EXPECT_TRUE(r.HasLine(row.line)) << row.name << "\n" << r.Stderr;
        EXPECT_FALSE(r.HasLine("Error: Time out!") && row.code != 54) << row.name;
        QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r.Stdout)).object();
        if (row.code == 54)
            EXPECT_EQ(o["unjudged"].toObject()["hex"].toString(), "15 02 50 4F") << r.Stdout;
        else
            EXPECT_TRUE(o["unjudged"].isNull()) << row.name << r.Stdout;
    }
}

namespace {

// Runs `script` in bash with COM3 on the device and `telvik` standing for the program; gives
// back what it printed and what it wrote to "$STATUS".
std::pair<std::string, std::string> Bash(const TDevice& dev, const std::string& script) {
    TTempDir dir;
    std::string out = dir.Path() + "/out", status = dir.Path() + "/status";
    std::system(("env -u DISPLAY -u WAYLAND_DISPLAY TELVIK_COM3='" + dev.Slave() + "' STATUS='" +
                 status + "' bash -c 'telvik() { " TELVIK_BINARY " \"$@\"; }; " + script + "' >" +
                 out + " 2>&1")
                    .c_str());
    auto read = [](const std::string& f) {
        std::ifstream in(f);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    return {read(out), read(status)};
}

} // namespace

TEST(Rs232EndToEnd, ClosedOrFullOutputsNeverEndTheRunNorReachTheDevice) {
    TTempDir dir;
    std::string ini = dir.Write("rs232.ini", kConfig);
    struct Row {
        std::string redirection;
        std::string status;
        std::string says; ///< in what the script printed
    } rows[] = {
        // The log would go to the device through a descriptor a closed stream left free.
        {">&- 2>&-", "0\n", ""},
        // The reader goes away after one byte: no SIGPIPE, the run ends through its steps.
        {"2>&1 >/dev/null | head -c1 >/dev/null", "0\n", ""},
        {"+Output=Json >/dev/full", "92\n",
         "Error: Output: the answer could not be written to standard output: No space left on "
         "device"},
        {"+Output=Json >&-", "92\n",
         "Error: Output: the answer could not be written to standard output: Bad file "
         "descriptor"},
    };
    for (const auto& row : rows) {
        TDevice dev;
        struct termios before = SettingsOf(dev.Slave());
        dev.Serve("[PING]", {"[PONG]"});
        auto [out, status] = Bash(dev, "telvik +CFG=" + ini + " " + row.redirection +
                                           "; echo ${PIPESTATUS[0]} >\"$STATUS\"");
        EXPECT_EQ(status, row.status) << row.redirection << "\n" << out;
        EXPECT_NE(out.find(row.says), std::string::npos) << row.redirection << "\n" << out;
        EXPECT_EQ(dev.Received(), "[PING]") << row.redirection;
        EXPECT_EQ(SettingsOf(dev.Slave()).c_lflag, before.c_lflag) << row.redirection;
    }
}

TEST(Rs232EndToEnd, CtrlCInAShellLoopStopsTheLoop) {
    // timeout signals the whole group, as Ctrl-C does; bash goes on with its loop unless the
    // program ended by the signal.
    TDevice dev;
    dev.Serve("[PING]", {});
    TTempDir dir;
    std::string ini = dir.Write("rs232.ini", kConfig);
    auto [out, status] =
        Bash(dev, "timeout -s INT 1 bash -c \"for i in 1 2 3; do " TELVIK_BINARY " +CFG=" + ini +
                      " +Timeout=5000; echo run \\$?; done\"");
    EXPECT_EQ(out.find("run "), std::string::npos) << out;
    EXPECT_NE(out.find("Fatal: Interrupted by signal SIGINT"), std::string::npos) << out;
}
