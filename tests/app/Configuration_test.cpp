#include "TestUtils.h"
#include "app/Configuration.h"
#include "common/IniFiles.h"

#include <gtest/gtest.h>

using namespace Configuration;

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
    AssignRs232Settings(rs, u"COM3,19200,ignored");
    EXPECT_EQ(Key(rs, u"Port"), u"COM3");
    EXPECT_EQ(Key(rs, u"Bitrate"), u"19200");

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
