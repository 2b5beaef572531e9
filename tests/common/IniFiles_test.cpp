// The in-memory configuration: encodings, line syntax, lookup rules and file errors.

#include "TestUtils.h"
#include "common/IniFiles.h"
#include "platform/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using IniFiles::TMemIniFile;
using SysUtils::FromUtf8;

namespace {

class IniFile : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/telvik-ini-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    // Writes `bytes` to a file in the test folder and returns its name as text.
    std::u16string File(const std::string& name, const std::string& bytes) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return FromUtf8(path);
    }
    std::u16string Path(const std::string& name) { return FromUtf8(dir + "/" + name); }

    std::string dir;
};

// The configuration in the file `name`, read as the program reads it.
TMemIniFile Load(const std::u16string& name) {
    return TMemIniFile(name, Files::ReadWholeFile(name, TMemIniFile::kMaxFileSize));
}

TMemIniFile FromText(const std::u16string& text) {
    TMemIniFile ini;
    ini.SetText(text);
    return ini;
}

} // namespace

TEST_F(IniFile, EncodingChosenByByteOrderMarkOrContent) {
    // "é" in each encoding, in a file with one key.
    struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"utf8-bom", "\xEF\xBB\xBF[S]\nK=\xC3\xA9\n"},
        {"utf8", "[S]\nK=\xC3\xA9\n"},
        {"cp1252", "[S]\nK=\xE9\n"},
        {"utf16le", std::string("\xFF\xFE[\0S\0]\0\n\0K\0=\0\xE9\0\n\0", 18)},
        {"utf16be", std::string("\xFE\xFF\0[\0S\0]\0\n\0K\0=\0\xE9\0\n", 18)},
    };
    for (const auto& c : cases) {
        TMemIniFile ini = Load(File(c.name, c.bytes));
        EXPECT_EQ(ini.ReadString(u"S", u"K", u"-"), u"\u00E9") << c.name;
    }
}

TEST(IniDecode, Windows1252IsUsedForTheWholeFileWhenAnyByteIsNotUtf8) {
    // Valid UTF-8 for "é" followed by a lone 0x80 (the euro sign in Windows-1252).
    EXPECT_EQ(TMemIniFile::DecodeFile("\xC3\xA9\x80"), u"\u00C3\u00A9\u20AC");
    EXPECT_EQ(TMemIniFile::DecodeFile("\xE2\x82\xAC"), u"\u20AC");
    EXPECT_EQ(TMemIniFile::DecodeFile(""), u"");
    EXPECT_EQ(TMemIniFile::DecodeFile("\xEF\xBB\xBF"), u"");
    // A byte-order mark settles the encoding even for bytes that would not decode.
    EXPECT_EQ(TMemIniFile::DecodeFile("\xEF\xBB\xBF"
                                      "a\xFF"),
              u"a\uFFFD");
    EXPECT_EQ(TMemIniFile::DecodeFile(std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6)), u"\U0001F600");
}

TEST(IniSyntax, LinesAreTrimmedAndCommentsIgnored) {
    TMemIniFile ini = FromText(u"  [ General ]  \r\n"
                               u"\t Visible =  Always \t\n"
                               u"; Timeout=1\n"
                               u"  ;Send=x\n"
                               u"\n"
                               u"Start = \"[\" \n"
                               u"Empty=\n"
                               u"Eq=a=b\n");
    EXPECT_EQ(ini.ReadString(u"GENERAL", u"Visible", u""), u"Always");
    EXPECT_EQ(ini.ReadString(u"General", u"Timeout", u"dflt"), u"dflt");
    EXPECT_EQ(ini.ReadString(u"General", u"Send", u"dflt"), u"dflt");
    EXPECT_EQ(ini.ReadString(u"General", u"Start", u""), u"\"[\"");
    EXPECT_EQ(ini.ReadString(u"General", u"Empty", u"dflt"), u"");
    EXPECT_TRUE(ini.ValueExists(u"General", u"Empty"));
    EXPECT_EQ(ini.ReadString(u"General", u"Eq", u""), u"a=b");
}

TEST(IniSyntax, NamesIgnoreCaseAndAbsentKeysGiveTheDefault) {
    TMemIniFile ini = FromText(u"[device]\nNAME=RS232\nBitRate=$2580\nBad=12x\n");
    EXPECT_EQ(ini.ReadString(u"DEVICE", u"name", u""), u"RS232");
    EXPECT_EQ(ini.ReadString(u"Device", u"Name", u""), u"RS232");
    EXPECT_EQ(ini.ReadString(u"DEVICE", u"Port", u"none"), u"none");
    EXPECT_EQ(ini.ReadString(u"OTHER", u"Name", u"none"), u"none");
    EXPECT_EQ(ini.ReadInteger(u"DEVICE", u"bitrate", 0), 9600);
    EXPECT_EQ(ini.ReadInteger(u"DEVICE", u"Bad", -1), -1);
    EXPECT_EQ(ini.ReadInteger(u"DEVICE", u"Missing", 7), 7);

    // A section named again, in any case, goes on where it left off, also in a copy.
    TMemIniFile again = FromText(u"[\u00E4b]\nx=1\n[B]\n[\u00C4B]\ny=2\n");
    TMemIniFile copy = again;
    copy.WriteString(u"\u00C4b", u"z", u"3");
    EXPECT_EQ(copy.ReadString(u"\u00E4B", u"x", u""), u"1");
    EXPECT_EQ(copy.ReadString(u"\u00E4B", u"y", u""), u"2");
    EXPECT_EQ(copy.ReadString(u"\u00E4B", u"z", u""), u"3");
    EXPECT_FALSE(again.ValueExists(u"\u00E4B", u"z"));
}

TEST(IniSyntax, LinesBeforeTheFirstSectionAndLinesWithoutEqualSign) {
    TMemIniFile ini = FromText(u"Name=early\n[DEVICE]\nName\nName=late\nNoValueHere\n");
    // The line "Name" is held but never matches; the key line after it does.
    EXPECT_EQ(ini.ReadString(u"DEVICE", u"Name", u""), u"late");
    EXPECT_FALSE(ini.ValueExists(u"DEVICE", u"NoValueHere"));
    EXPECT_EQ(ini.ReadString(u"DEVICE", u"NoValueHere", u"d"), u"d");
    EXPECT_EQ(ini.ReadString(u"", u"Name", u"d"), u"d");
}

TEST(IniSyntax, FirstOfTwoEqualKeysCounts) {
    TMemIniFile ini = FromText(u"[A]\nk=1\nK=2\n");
    EXPECT_EQ(ini.ReadString(u"A", u"k", u""), u"1");
}

TEST(IniSyntax, EveryLineBreakStyle) {
    for (const char16_t* text : {u"[A]\rx=1\ry=2", u"[A]\nx=1\ny=2\n", u"[A]\r\nx=1\r\ny=2\r\n",
                                 u"[A]\n\rx=1\r\n\r\ny=2"}) {
        TMemIniFile ini = FromText(text);
        EXPECT_EQ(ini.ReadString(u"A", u"x", u""), u"1") << SysUtils::ToUtf8(text);
        EXPECT_EQ(ini.ReadString(u"A", u"y", u""), u"2") << SysUtils::ToUtf8(text);
    }
}

TEST(IniSyntax, SectionHeaderNeedsBothBrackets) {
    TMemIniFile ini = FromText(u"[A]\n[B\nk=1\nC]\n[]\nk=2\n");
    // "[B" and "C]" are key lines without "=" in section A.
    EXPECT_EQ(ini.ReadString(u"A", u"k", u""), u"1");
    EXPECT_EQ(ini.ReadString(u"", u"k", u""), u"2");
}

TEST(IniWrite, ReplacesOrAddsKeyAndSection) {
    TMemIniFile ini = FromText(u"[GENERAL]\nVisible=Never\n");
    ini.WriteString(u"general", u"VISIBLE", u"Always");
    EXPECT_EQ(ini.ReadString(u"GENERAL", u"Visible", u""), u"Always");
    ini.WriteString(u"GENERAL", u"Timeout", u"500");
    EXPECT_EQ(ini.ReadInteger(u"GENERAL", u"Timeout", 0), 500);
    ini.WriteString(u"TELEGRAM", u"Send", u"");
    EXPECT_TRUE(ini.ValueExists(u"telegram", u"send"));
    EXPECT_EQ(ini.ReadString(u"TELEGRAM", u"Send", u"dflt"), u"");
    ini.WriteInteger(u"DEVICE", u"Bitrate", -9600);
    EXPECT_EQ(ini.ReadString(u"DEVICE", u"Bitrate", u""), u"-9600");
    // Values written are taken as they are, not trimmed or parsed.
    ini.WriteString(u"TELEGRAM", u"Start", u" ; x=y ");
    EXPECT_EQ(ini.ReadString(u"TELEGRAM", u"Start", u""), u" ; x=y ");
}

TEST(IniWrite, AKeyLineWithoutEqualSignIsNotReplaced) {
    TMemIniFile ini = FromText(u"[DEVICE]\nPort\n");
    ini.WriteString(u"DEVICE", u"Port", u"COM1");
    EXPECT_EQ(ini.ReadString(u"DEVICE", u"Port", u""), u"COM1");
}

TEST_F(IniFile, MissingFileGivesAnEmptyConfiguration) {
    TMemIniFile ini = Load(Path("absent.ini"));
    EXPECT_EQ(ini.FileName(), Path("absent.ini"));
    EXPECT_EQ(ini.ReadString(u"GENERAL", u"Visible", u"OnError"), u"OnError");
    TMemIniFile below = Load(Path("absent/deeper.ini"));
    EXPECT_FALSE(below.ValueExists(u"GENERAL", u"Visible"));
    TMemIniFile empty = Load(File("empty.ini", ""));
    EXPECT_FALSE(empty.ValueExists(u"GENERAL", u"Visible"));
}

TEST_F(IniFile, UnreadableFileRaises) {
    auto message = [](const std::u16string& name) -> std::u16string {
        try {
            Load(name);
        } catch (const SysUtils::Exception& e) {
            return e.Message();
        }
        return u"<none>";
    };
    EXPECT_EQ(message(FromUtf8(dir)),
              u"Cannot open file \"" + FromUtf8(dir) + u"\". Not a regular file");
    std::string loop = dir + "/loop.ini";
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    EXPECT_EQ(message(FromUtf8(loop)).rfind(u"Cannot open file \"" + FromUtf8(loop) + u"\". ", 0),
              0u);
    std::string fifo = dir + "/fifo.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_NE(message(FromUtf8(fifo)), u"<none>");
    if (geteuid() != 0) {
        std::u16string locked = File("locked.ini", "[A]\nk=1\n");
        ASSERT_EQ(chmod(SysUtils::ToUtf8(locked).c_str(), 0), 0);
        EXPECT_EQ(message(locked), u"Cannot open file \"" + locked + u"\". Permission denied");
    }
}

TEST_F(IniFile, FileNamesOutsideAsciiAndLinksAreFollowed) {
    std::u16string target = File("k\u00F6ln.ini", "[A]\nk=1\n");
    std::string link = dir + "/link.ini";
    ASSERT_EQ(symlink(SysUtils::ToUtf8(target).c_str(), link.c_str()), 0);
    EXPECT_EQ(Load(target).ReadString(u"a", u"K", u""), u"1");
    EXPECT_EQ(Load(FromUtf8(link)).ReadString(u"a", u"K", u""), u"1");
}
