// The real program, headless, as a batch script starts it.

#include "e2e/RunTelvik.h"

#include "app/Version.h"

#include <gtest/gtest.h>

using RunTelvik::RunHeadless;
using RunTelvik::TTempDir;

TEST(JobEndToEnd, NoArgumentsStopsAtTheDeviceTypeWith69) {
    TTempDir dir;
    auto r = RunHeadless({}, {{"XDG_CONFIG_HOME", dir.Path()}});
    EXPECT_EQ(r.ExitCode, 69);
    std::string beside = std::string(TELVIK_BINARY) + ".ini";
    std::vector<std::string> expected{std::string("Info:  Telvik V") + Version::kVersion + " ",
                                      "Info:  Load configuration...",
                                      "Hint:  No configuration file found (looked for " + beside +
                                          ", " + dir.Path() +
                                          "/telvik/telvik.ini, /etc/telvik/telvik.ini): see "
                                          "telvik --help",
                                      "Info:  Open port...",
                                      "Fatal: Device type \"\" not found! ID: 0103FF:0",
                                      "Info:  Failed with exit code 69 (0x45)"};
    EXPECT_EQ(r.LogLines(), expected) << r.Stderr;
}

TEST(JobEndToEnd, InvalidTimeoutEndsWith91) {
    auto r = RunHeadless({"+Timeout=abc", "+Visible=Always"});
    EXPECT_EQ(r.ExitCode, 91);
    EXPECT_TRUE(r.HasLine("Fatal: Invalid time out value \"abc\"! ID: 01010A:0")) << r.Stderr;
}

TEST(JobEndToEnd, HostileConfigurationFilesNeverCrashOrHang) {
    TTempDir dir;
    std::string binary("[DEVICE]\0\xff\xfe\x01Name=\x80\x81\n[TELEGRAM\nSend=\\", 32);
    std::string files[] = {
        dir.Write("binary.ini", binary),
        dir.Write("huge.ini", "[TELEGRAM]\nSend=" + std::string(1 << 20, 'x') + "\n"),
        dir.Write("cp1252.ini", "[DEVICE]\nName=\xe4\xf6\xfc\n"),
        dir.Write("truncated.ini", "[DEV"),
        dir.Path(),
        "/dev/zero",
    };
    for (const auto& f : files) {
        auto r = RunHeadless({"+CFG=" + f}, {}, 10);
        EXPECT_FALSE(r.TimedOut) << f;
        EXPECT_TRUE(r.ExitCode == 69 || r.ExitCode == 91) << f << ": " << r.ExitCode;
    }
    auto latin = RunHeadless({"+CFG=" + files[2]});
    EXPECT_TRUE(
        latin.HasLine("Fatal: Device type \"\xc3\xa4\xc3\xb6\xc3\xbc\" not found! ID: 0103FF:0"))
        << latin.Stderr;
    EXPECT_EQ(RunHeadless({"+CFG=/dev/zero"}).ExitCode, 91);
}
