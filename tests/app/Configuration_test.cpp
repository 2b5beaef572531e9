#include "TestUtils.h"
#include "app/Configuration.h"
#include "common/IniFiles.h"
#include "common/SysUtils.h"
#include "e2e/RunTelvik.h"
#include "platform/Files.h"

#include <filesystem>

#include <gtest/gtest.h>

using namespace Configuration;
using Files::ChangeFileExt;
using Files::CombinePath;

TEST(FindCmdLineOption, FirstCaseSensitiveMatchAfterArgumentZero) {
    std::vector<std::u16string> args{u"+Send=prog", u"+send=x", u"+Send=A", u"+Send=B", u"+Send="};
    std::u16string v = u"stale";
    EXPECT_EQ(FindCmdLineOption(args, u"+Send=", v), 2);
    EXPECT_EQ(v, u"A");
    EXPECT_EQ(FindCmdLineOption(args, u"+Final=", v), -1);
    EXPECT_EQ(v, u"");
    std::vector<std::u16string> empty{u"telvik", u"+Send="};
    EXPECT_EQ(FindCmdLineOption(empty, u"+Send=", v), 1);
    EXPECT_EQ(v, u"");
}

TEST(CombinePath, JoinsWithTheDirectoryAndResolvesDots) {
    EXPECT_EQ(CombinePath(u"/opt/telvik/bin/telvik", u"job.ini"), u"/opt/telvik/bin/job.ini");
    EXPECT_EQ(CombinePath(u"/opt/telvik/bin/telvik", u"../etc/./job.ini"),
              u"/opt/telvik/etc/job.ini");
    EXPECT_EQ(CombinePath(u"/opt/telvik/bin/telvik", u"/etc/job.ini"), u"/etc/job.ini");
    EXPECT_EQ(CombinePath(u"/telvik", u"../../a.ini"), u"/a.ini");
    EXPECT_EQ(CombinePath(u"/bin/telvik", std::u16string(5000, u'a')), u"");
}

TEST(ChangeFileExt, ReplacesOrAppends) {
    EXPECT_EQ(ChangeFileExt(u"/a/telvik", u".ini"), u"/a/telvik.ini");
    EXPECT_EQ(ChangeFileExt(u"/a/telvik.exe", u".ini"), u"/a/telvik.ini");
    EXPECT_EQ(ChangeFileExt(u"/a.d/telvik", u".ini"), u"/a.d/telvik.ini");
}

namespace {
std::u16string Key(const IniFiles::TMemIniFile& ini, const char16_t* key) {
    return ini.ReadString(u"DEVICE", key, u"<absent>");
}
} // namespace

TEST(DeviceOptions, FtdiItemsAndFrameCode) {
    IniFiles::TMemIniFile ini;
    ini.WriteString(u"DEVICE", u"Bitrate", u"19200");
    AssignFtdiSettings(ini, u"SN:A1 , ,8N1N");
    EXPECT_EQ(Key(ini, u"Port"), u"SN:A1");
    EXPECT_EQ(Key(ini, u"Bitrate"), u"19200");
    EXPECT_EQ(Key(ini, u"DataBits"), u"8");
    EXPECT_EQ(Key(ini, u"Parity"), u"N");
    EXPECT_EQ(Key(ini, u"StopBit"), u"1");
    EXPECT_EQ(Key(ini, u"FlowControl"), u"N");

    IniFiles::TMemIniFile shortFrame;
    AssignFtdiSettings(shortFrame, u"P,9600,8N");
    EXPECT_EQ(Key(shortFrame, u"Bitrate"), u"9600");
    EXPECT_EQ(Key(shortFrame, u"DataBits"), u"<absent>");
}

TEST(DeviceOptions, Rs232AndUdpItems) {
    IniFiles::TMemIniFile rs;
    AssignRs232Settings(rs, u"COM3,19200,7E2X");
    EXPECT_EQ(Key(rs, u"Port"), u"COM3");
    EXPECT_EQ(Key(rs, u"Bitrate"), u"19200");
    // The frame code as for FTDI.
    EXPECT_EQ(Key(rs, u"DataBits") + Key(rs, u"Parity") + Key(rs, u"StopBit") +
                  Key(rs, u"FlowControl"),
              u"7E2X");
    IniFiles::TMemIniFile rsShort;
    AssignRs232Settings(rsShort, u"COM3,19200,8E1");
    EXPECT_EQ(Key(rsShort, u"Parity"), u"<absent>");

    IniFiles::TMemIniFile udp;
    AssignUdpSettings(udp, u",5000");
    EXPECT_EQ(Key(udp, u"DestAddress"), u"<absent>");
    EXPECT_EQ(Key(udp, u"DestPort"), u"5000");
    EXPECT_EQ(Key(udp, u"ListeningPort"), u"<absent>");

    // A separator between quotation marks does not split; the marks stay.
    IniFiles::TMemIniFile quoted;
    AssignUdpSettings(quoted, u"\"a,b\",1,2");
    EXPECT_EQ(Key(quoted, u"DestAddress"), u"\"a,b\"");
    EXPECT_EQ(Key(quoted, u"ListeningPort"), u"2");
}

TEST(LocateConfiguration, CfgBesideTheProgramThenWorkingDirThenTheDefaultChain) {
    RunTelvik::TTempDir dir;
    std::string d = dir.Path();
    for (const char* sub : {"/bin", "/work", "/xdg", "/xdg/telvik", "/home", "/home/.config",
                            "/home/.config/telvik", "/etc"})
        std::filesystem::create_directory(d + sub);
    TConfigLookup where;
    where.ProgramPath = SysUtils::FromUtf8(d + "/bin/telvik");
    where.WorkingDir = SysUtils::FromUtf8(d + "/work");
    where.XdgConfigHome = SysUtils::FromUtf8(d + "/xdg");
    where.Home = SysUtils::FromUtf8(d + "/home");
    where.SystemDir = SysUtils::FromUtf8(d + "/etc");
    auto locate = [&](bool bCfg, const std::u16string& sCfg) {
        TConfigChoice c = LocateConfiguration(where, bCfg, sCfg);
        return SysUtils::ToUtf8(c.File.substr(d.size())) + " tried " +
               std::to_string(c.CfgTried.size());
    };
    // Nothing exists: the file beside the program, and both +CFG= places were tried.
    EXPECT_EQ(locate(false, u""), "/bin/telvik.ini tried 0");
    EXPECT_EQ(locate(true, u"job.ini"), "/bin/telvik.ini tried 2");
    EXPECT_EQ(CfgNotFoundText(u"job.ini", LocateConfiguration(where, true, u"job.ini")),
              SysUtils::FromUtf8("+CFG=job.ini not found, tried: " + d + "/bin/job.ini, " + d +
                                 "/work/job.ini"));
    EXPECT_EQ(locate(true, u"/abs/job.ini"), "/bin/telvik.ini tried 1");
    dir.Write("etc/telvik.ini", "");
    EXPECT_EQ(locate(false, u""), "/etc/telvik.ini tried 0");
    dir.Write("home/.config/telvik/telvik.ini", "");
    EXPECT_EQ(locate(false, u""), "/etc/telvik.ini tried 0"); // an absolute XDG home rules
    where.XdgConfigHome = u"relative/ignored";
    EXPECT_EQ(locate(false, u""), "/home/.config/telvik/telvik.ini tried 0");
    where.XdgConfigHome = SysUtils::FromUtf8(d + "/xdg");
    dir.Write("xdg/telvik/telvik.ini", "");
    EXPECT_EQ(locate(false, u""), "/xdg/telvik/telvik.ini tried 0");
    dir.Write("bin/telvik.ini", "");
    EXPECT_EQ(locate(false, u""), "/bin/telvik.ini tried 0");
    dir.Write("work/job.ini", "");
    EXPECT_EQ(locate(true, u"job.ini"), "/work/job.ini tried 0");
    dir.Write("bin/job.ini", "");
    EXPECT_EQ(locate(true, u"job.ini"), "/bin/job.ini tried 0");
}

TEST(UnknownIniEntries, SectionsAndKeysNotReadAreNamed) {
    IniFiles::TMemIniFile ini;
    ini.SetText(u"[general]\noutput=json\n[telegram]\nsend=A\nTimout=5\nplain line\n[TELEGRAMM]\n"
                u"Send=B\n[Extra]\n"
                u"[DEVICE]\nname=UDP\nDestPort=1\n");
    std::vector<std::u16string> expected{
        u"Unknown key Timout in [TELEGRAM] ignored (did you mean Timeout?)",
        u"Unknown section [TELEGRAMM] ignored (did you mean [TELEGRAM]?)",
        u"Unknown section [Extra] ignored"};
    EXPECT_EQ(UnknownIniEntries(ini), expected);
}
