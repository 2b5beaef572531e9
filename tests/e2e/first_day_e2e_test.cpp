// A new user's first runs of the real program: the flags that answer at once, slips that are
// named instead of passing silently, the configuration found beyond the program's folder, system
// errors followed by what to do, the log on standard error, and the examples against a peer.

#include "app/Version.h"
#include "e2e/RunTelvik.h"
#include "ports/udp/UdpTestUtils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

using RunTelvik::RunHeadless;
using RunTelvik::TResult;
using RunTelvik::TTempDir;
using UdpTest::Responder;

namespace {

std::string UdpJob(uint16_t destPort, const std::string& telegram) {
    return UdpTest::UdpJob(destPort, "[TELEGRAM]\n" + telegram);
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
        {"--help", "claims or resets no FTDI device\n"},
        {"--version", std::string("telvik ") + Version::kVersion + "\n"},
        {"-V", "telvik "},
        {"--list", "Serial devices"},
    };
    for (const auto& c : cases) {
        TResult o = RunHeadless({"+CFG=" + ini, c.flag});
        EXPECT_EQ(o.ExitCode, 0) << c.flag;
        EXPECT_NE(o.Stdout.find(c.expected), std::string::npos) << c.flag << "\n" << o.Stdout;
        EXPECT_EQ(o.Stderr, "") << c.flag;
    }
}

TEST(FirstDay, ListShowsComMappingsAndFtdiDevicesWithoutOpeningThem) {
    TTempDir dir;
    std::string sim = dir.Write("sim.txt", "device 2111 6 FT1234AB Dual RS232 A\n");
    std::string log = dir.Path() + "/calls.txt";
    TResult o = RunHeadless({"--list"}, {{"TELVIK_COM3", "/dev/telvik-test-tty"},
                                         {"LD_LIBRARY_PATH", TELVIK_D2XX_SIM_DIR},
                                         {"D2XXSIM_CONFIG", sim},
                                         {"D2XXSIM_LOG", log}});
    EXPECT_EQ(o.ExitCode, 0) << o.Stderr;
    EXPECT_NE(o.Stdout.find("  COM3  /dev/telvik-test-tty\n"), std::string::npos) << o.Stdout;
    EXPECT_NE(o.Stdout.find("  0      USB2111  FT1234AB  Dual RS232 A  unknown\n"),
              std::string::npos)
        << o.Stdout;
    EXPECT_EQ(std::fopen(log.c_str(), "r"), nullptr) << "a device was opened";

    TResult none = RunHeadless({"--list"}, {{"LD_LIBRARY_PATH", "/nonexistent"}});
    EXPECT_NE(none.Stdout.find("none listed: dlopen libftd2xx.so"), std::string::npos)
        << none.Stdout;
}

TEST(FirstDay, SlipsAreNamedAndEndTheRunBeforeThePortWhenTheyChangeIt) {
    Responder peer({});
    TTempDir dir;
    const std::string job = dir.Path() + "/job.ini";
    const std::string hint = "Hint:  escape tags are \\ and two hex digits: \\0D\\0A for CR LF, "
                             "\\\\ for \\";
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
        // Unknown options and flags: 91 before any port, the first one named.
        {{"+Respone=OK*"},
         UdpJob(peer.port, "Send=X\n"),
         {"Fatal: Unknown option +Respone=OK* (did you mean +Response=?)"},
         91},
        {{"+Timout=500", "+timeout=500", "-v", "--verbose", "--cfg=" + job},
         "[DEVICE]\nName=X\n",
         {"Fatal: Unknown option +Timout=500 (did you mean +Timeout=?)"},
         91},
        {{"-c", job},
         "[DEVICE]\nName=X\n",
         {"Warn:  Argument ignored: " + job + " (did you mean +CFG=" + job + "?)",
          "Fatal: Unknown option -c"},
         91},
        // A plain argument is ignored with a warning; the run goes on.
        {{job, "World"},
         "",
         {"Warn:  Argument ignored: " + job + " (did you mean +CFG=" + job + "?)",
          "Warn:  Argument ignored: World", "Fatal: Device type \"\" not found! ID: 0103FF:0"},
         69},
        {{},
         "[TELEGRAMM]\nSend=X\n[DEVICE]\nNmae=UDP\n",
         {"Warn:  Unknown section [TELEGRAMM] ignored (did you mean [TELEGRAM]?)",
          "Warn:  Unknown key Nmae in [DEVICE] ignored (did you mean Name?)"},
         69},
        {{},
         "[DEVICE]\nName=X\n[TELEGRAM]\nRespons=OK\nTimeout=abc\n",
         {"Warn:  Unknown key Respons in [TELEGRAM] ignored (did you mean Response?)",
          "Warn:  Timeout \"abc\" in [TELEGRAM] is not an integer: the default 5000 ms is used"},
         69},
        // Telegram keys are checked at load, each naming key, value and the offending part.
        {{"+Send=5\xE2\x82\xAC"},
         UdpJob(peer.port, ""),
         {"Fatal: [TELEGRAM] Send \"5\xE2\x82\xAC\": character \"\xE2\x82\xAC\" (U+20AC) is no "
          "byte: only codes 0 to 255 go on the wire",
          hint},
         91},
        {{"+Start=\\02", "+End=\\n"},
         UdpJob(peer.port, "Send=X\n"),
         {"Fatal: [TELEGRAM] End \"\\n\": unknown escape tag \"\\n\"", hint},
         91},
        {{},
         UdpJob(peer.port, "Send=X\nResponse=OK\\x0D\n"),
         {"Fatal: [TELEGRAM] Response \"OK\\x0D\": unknown escape tag \"\\x0\"", hint},
         91},
        // A number beyond 32 bits is no integer; a wait longer than five characters says what
        // it waits.
        {{"+Timeout=-$FFFFFFFF"},
         UdpJob(peer.port, "Send=X\n"),
         {"Fatal: Invalid time out value \"-$FFFFFFFF\"! ID: 01010A:0"},
         91},
        {{"+Initial=W=000050"},
         UdpJob(peer.port, "Send=X\n"),
         {"Warn:  W=000050: only the first five characters count: waits 5 ms",
          "Info:  Done successfully"},
         0},
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
        if (c.exitCode == 91) {
            EXPECT_FALSE(r.HasLine("Info:  Open port...")) << r.Stderr;
        }
    }
    std::string received = peer.Received();
    EXPECT_NE(received.find("rx "), std::string::npos);
    EXPECT_EQ(received.find("rx "), received.rfind("rx ")) << "a refused run sent something";
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

    // A +CFG= file that is missing keeps its fallback, and the summary says which file ran.
    struct Row {
        std::map<std::string, std::string> env;
        QJsonValue configuration;
    } rows[] = {
        {{{"XDG_CONFIG_HOME", xdg}, {"HOME", home}},
         QString::fromStdString(xdg) + "/telvik/telvik.ini"},
        {{{"XDG_CONFIG_HOME", dir.Path()}, {"HOME", dir.Path()}}, QJsonValue::Null},
    };
    for (const auto& row : rows) {
        TResult r = RunHeadless({"+CFG=/nonexistent/station.ini", "+Output=Json"}, row.env);
        QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r.Stdout)).object();
        EXPECT_EQ(o["configuration"], row.configuration) << r.Stdout;
        EXPECT_EQ(o["warnings"].toArray()[0].toString(),
                  "+CFG=/nonexistent/station.ini not found, tried: /nonexistent/station.ini")
            << r.Stdout;
    }
}

TEST(FirstDay, SystemErrorsAreFollowedByWhatToDo) {
    // A UDP port already taken by another socket.
    auto holder = std::make_unique<UdpTest::Peer>();
    ASSERT_NE(holder->port, 0);
    std::string port = std::to_string(holder->port);
    TResult udp = RunHeadless({"+UDP=127.0.0.1,9," + port, "+Send=X"});
    holder.reset();
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

    // Nor through the summary, whose texts jq -r would hand to the terminal as they are.
    TResult j =
        RunHeadless({"+CFG=" + dir.Write("job.ini", UdpJob(peer.port, "Send=X\nResponse=NO\n")),
                     "+Output=Json"});
    EXPECT_EQ(j.ExitCode, 51) << j.Stderr;
    QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(j.Stdout)).object();
    EXPECT_EQ(o["errors"].toArray()[0].toString(), "Response failed: \"NO\" <> \"\\x1B[2JOK\\x07\"")
        << j.Stdout;
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
