// A new user's first runs of the real program: the flags that answer at once, slips that are
// named instead of passing silently, the configuration found beyond the program's folder, system
// errors followed by what to do, the log on standard error, and the examples against a peer.

#include "app/Version.h"
#include "e2e/Responder.h"
#include "e2e/RunTelvik.h"
#include "ports/udp/UdpTestUtils.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using RunTelvik::RunHeadless;
using RunTelvik::TResult;
using RunTelvik::TTempDir;

namespace {

struct TOutput {
    int ExitCode = -1;
    std::string Stdout;
    std::string Stderr;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The flags print to standard output, which RunHeadless does not keep.
TOutput RunForOutput(const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env = {}) {
    TTempDir dir;
    std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY";
    // Appended piece by piece: GCC 12 at -O3 wrongly reports overlapping copies (-Wrestrict)
    // for a literal put in front of a temporary string.
    for (const auto& [k, v] : env)
        cmd.append(" ").append(Quote(k + "=" + v));
    cmd.append(" ").append(Quote(TELVIK_BINARY));
    for (const auto& a : args)
        cmd.append(" ").append(Quote(a));
    cmd.append(" 2>").append(Quote(dir.Path() + "/err")).append(" </dev/null");
    TOutput out;
    FILE* p = ::popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.Stdout.append(buf, n);
    int status = ::pclose(p);
    out.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    FILE* err = std::fopen((dir.Path() + "/err").c_str(), "r");
    for (size_t n; err && (n = std::fread(buf, 1, sizeof buf, err)) > 0;)
        out.Stderr.append(buf, n);
    if (err)
        std::fclose(err);
    return out;
}

std::string UdpJob(uint16_t destPort, const std::string& telegram) {
    return "[DEVICE]\nName=UDP\nDestAddress=127.0.0.1\nDestPort=" + std::to_string(destPort) +
           "\nListeningPort=" + std::to_string(UdpTest::FreePort()) + "\n[TELEGRAM]\n" + telegram;
}

} // namespace

TEST(FirstDay, FlagsAnswerOnStandardOutputWithoutAJob) {
    TTempDir dir;
    // A job that would fail loudly if it ran.
    std::string ini = dir.Write("job.ini", "[DEVICE]\nName=RS232\nPort=/nonexistent\n");
    struct Case {
        std::string flag;
        std::string expected;
    } cases[] = {
        {"--help", "Usage: telvik"},
        {"-h", "/etc/telvik/telvik.ini"},
        {"--help", "resets idle\n"},
        {"--version", std::string("telvik ") + Version::kVersion + "\n"},
        {"-V", "telvik "},
        {"--list", "Serial devices"},
    };
    for (const auto& c : cases) {
        TOutput o = RunForOutput({"+CFG=" + ini, c.flag});
        EXPECT_EQ(o.ExitCode, 0) << c.flag;
        EXPECT_NE(o.Stdout.find(c.expected), std::string::npos) << c.flag << "\n" << o.Stdout;
        EXPECT_EQ(o.Stderr, "") << c.flag;
    }
}

TEST(FirstDay, ListShowsComMappingsAndFtdiDevicesWithoutOpeningThem) {
    TTempDir dir;
    std::string sim = dir.Write("sim.txt", "device 2111 6 FT1234AB Dual RS232 A\n");
    std::string log = dir.Path() + "/calls.txt";
    TOutput o = RunForOutput({"--list"}, {{"TELVIK_COM3", "/dev/telvik-test-tty"},
                                          {"LD_LIBRARY_PATH", TELVIK_D2XX_SIM_DIR},
                                          {"D2XXSIM_CONFIG", sim},
                                          {"D2XXSIM_LOG", log}});
    EXPECT_EQ(o.ExitCode, 0) << o.Stderr;
    EXPECT_NE(o.Stdout.find("  COM3  /dev/telvik-test-tty\n"), std::string::npos) << o.Stdout;
    EXPECT_NE(o.Stdout.find("  0      2232H  USB2111  FT1234AB  Dual RS232 A  free\n"),
              std::string::npos)
        << o.Stdout;
    EXPECT_EQ(std::fopen(log.c_str(), "r"), nullptr) << "a device was opened";

    TOutput none = RunForOutput({"--list"}, {{"LD_LIBRARY_PATH", "/nonexistent"}});
    EXPECT_NE(none.Stdout.find("none listed: dlopen libftd2xx.so"), std::string::npos)
        << none.Stdout;
}

TEST(FirstDay, SlipsAreNamedAndTheExitCodeStays) {
    Responder peer({});
    TTempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string ini;
        std::vector<std::string> lines;
        int exitCode;
    } cases[] = {
        {{"+CFG=telvik-missing.ini"},
         "",
         {"Warn:  +CFG=telvik-missing.ini not found, tried: " +
          std::string(TELVIK_BINARY).substr(0, std::string(TELVIK_BINARY).rfind('/') + 1) +
          "telvik-missing.ini, " + std::filesystem::current_path().string() +
          "/telvik-missing.ini"},
         69},
        {{"+Timout=500", "+timeout=500", "-v", "--verbose"},
         "[DEVICE]\nName=X\n",
         {"Warn:  Unknown option ignored: +Timout=500 (did you mean +Timeout=?)",
          "Warn:  Unknown option ignored: +timeout=500 (did you mean +Timeout=?)",
          "Warn:  Unknown option ignored: -v (did you mean -V?)",
          "Warn:  Unknown option ignored: --verbose"},
         69},
        {{},
         "[TELEGRAMM]\nSend=X\n[DEVICE]\nNmae=UDP\n",
         {"Hint:  Unknown section [TELEGRAMM] ignored (did you mean [TELEGRAM]?)",
          "Hint:  Unknown key Nmae in [DEVICE] ignored (did you mean Name?)"},
         69},
        {{"+Visible=always"},
         "[DEVICE]\nName=X\n",
         {"Hint:  Visible \"always\" is none of Always, Never, OnError: it acts as \"OnError\""},
         69},
        {{},
         UdpJob(peer.port, "Send=\nResponse=\n"),
         {"Warn:  Nothing to send and no response expected: the job exchanges nothing",
          "Info:  Done successfully"},
         0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        if (!c.ini.empty())
            args.insert(args.begin(), "+CFG=" + dir.Write("job.ini", c.ini));
        TResult r = RunHeadless(args);
        EXPECT_EQ(r.ExitCode, c.exitCode) << r.Stderr;
        for (const auto& l : c.lines)
            EXPECT_TRUE(r.HasLine(l)) << l << "\n" << r.Stderr;
    }
}

TEST(FirstDay, ConfigurationFromTheUsersConfigFolder) {
    TTempDir dir;
    std::string xdg = dir.Path() + "/xdg", home = dir.Path() + "/home";
    std::filesystem::create_directories(xdg + "/telvik");
    std::filesystem::create_directories(home + "/.config/telvik");
    dir.Write("xdg/telvik/telvik.ini", "[DEVICE]\nName=FromXdg\n");
    dir.Write("home/.config/telvik/telvik.ini", "[DEVICE]\nName=FromHome\n");
    TResult x = RunHeadless({}, {{"XDG_CONFIG_HOME", xdg}, {"HOME", home}});
    EXPECT_TRUE(x.HasLine("Info:  Load default from: " + xdg + "/telvik/telvik.ini")) << x.Stderr;
    EXPECT_TRUE(x.HasLine("Fatal: Device type \"FromXdg\" not found! ID: 0103FF:0")) << x.Stderr;
    TResult h = RunHeadless({}, {{"XDG_CONFIG_HOME", ""}, {"HOME", home}});
    EXPECT_TRUE(h.HasLine("Info:  Load default from: " + home + "/.config/telvik/telvik.ini"))
        << h.Stderr;
}

TEST(FirstDay, SystemErrorsAreFollowedByWhatToDo) {
    // A UDP port already taken by another socket.
    int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    std::string port = std::to_string(ntohs(sa.sin_port));
    TResult udp = RunHeadless({"+UDP=127.0.0.1,9," + port, "+Send=X"});
    ::close(holder);
    EXPECT_EQ(udp.ExitCode, 67) << udp.Stderr;
    EXPECT_TRUE(udp.HasLine("Error: UDP Start: Cannot Bind Socket.")) << udp.Stderr;
    EXPECT_TRUE(udp.HasLine("Hint:  bind 0.0.0.0:" + port + ": Address already in use"))
        << udp.Stderr;

    TResult ftdi = RunHeadless({"+FTDI=USB0111"}, {{"LD_LIBRARY_PATH", "/nonexistent"}});
    EXPECT_EQ(ftdi.ExitCode, 68) << ftdi.Stderr;
    EXPECT_TRUE(ftdi.HasLine("Fatal: No FTDI driver not found! ID: F2010A:0")) << ftdi.Stderr;
    EXPECT_TRUE(ftdi.HasLine(
        "Hint:  dlopen libftd2xx.so, libftd2xx.so.1: libftd2xx.so.1: cannot open shared object "
        "file: No such file or directory; LD_LIBRARY_PATH=/nonexistent; install FTDI's D2XX "
        "library: see docs/ftdi.md"))
        << ftdi.Stderr;
}

TEST(FirstDay, DeviceDataOnStandardErrorCannotDriveTheTerminal) {
    Responder peer({"--reply", "\\x1B[2JOK\\x07"});
    TTempDir dir;
    TResult r =
        RunHeadless({"+CFG=" + dir.Write("job.ini", UdpJob(peer.port, "Send=X\nResponse=*OK*\n"))});
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Response passed: \"*OK*\" = \"\\x1B[2JOK\\x07\"")) << r.Stderr;
    EXPECT_EQ(r.Stderr.find('\x1B'), std::string::npos);
}

TEST(FirstDay, UdpAndFtdiExamplesWorkAgainstAPeer) {
    Responder peer({"--reply", "\\x02OK 1\\x03"});
    TResult udp = RunHeadless(
        {"+CFG=" TELVIK_SOURCE_DIR "/examples/udp.ini",
         "+UDP=," + std::to_string(peer.port) + "," + std::to_string(UdpTest::FreePort())});
    EXPECT_EQ(udp.ExitCode, 0) << udp.Stderr;
    EXPECT_NE(peer.Received().find("rx 6 \\x02PING\\x03\n"), std::string::npos);

    TTempDir dir;
    // STX "STATUS" ETX is answered by STX "READY 1" ETX.
    std::string sim = dir.Write("sim.txt", "device 2111 6 FT123456 Dual RS232 A\n"
                                           "reply 0253544154555303 025245414459203103\n");
    TResult ftdi = RunHeadless({"+CFG=" TELVIK_SOURCE_DIR "/examples/ftdi.ini"},
                               {{"LD_LIBRARY_PATH", TELVIK_D2XX_SIM_DIR}, {"D2XXSIM_CONFIG", sim}});
    EXPECT_EQ(ftdi.ExitCode, 0) << ftdi.Stderr;
}
