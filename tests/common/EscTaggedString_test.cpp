// Escape tags in telegram text: hexadecimal tags, the doubled mark, named tags and the errors.

#include "TestUtils.h"
#include "common/EscTaggedString.h"

#include <gtest/gtest.h>

using EscTaggedString::TEscTaggedString;

namespace {

struct Case {
    const char16_t* in;
    std::u16string out;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << TestUtils::Printable(c.in);
}

std::u16string Chars(std::initializer_list<char16_t> cs) {
    return std::u16string(cs);
}

// The message of the error Process raises for `in`, or "<none>".
std::u16string ErrorOf(TEscTaggedString& t, const std::u16string& in) {
    try {
        t.Process(in);
    } catch (const SysUtils::Exception& e) {
        return e.Message();
    }
    return u"<none>";
}

} // namespace

class EscTags : public testing::TestWithParam<Case> {};

TEST_P(EscTags, Transforms) {
    TEscTaggedString t;
    EXPECT_EQ(t.Process(GetParam().in), GetParam().out) << SysUtils::ToUtf8(GetParam().in);
}

INSTANTIATE_TEST_SUITE_P(Rules, EscTags,
                         testing::Values(Case{u"\\02ABC\\03", Chars({2, u'A', u'B', u'C', 3})},
                                         Case{u"PING\\0d\\0A", u"PING\r\n"},
                                         Case{u"\\ff\\FF\\00", Chars({255, 255, 0})},
                                         Case{u"C:\\\\Temp", u"C:\\Temp"}, Case{u"\\\\41", u"\\41"},
                                         Case{u"\\\\\\41", u"\\A"}, Case{u"50\\", u"50\\"},
                                         Case{u"\\\\", u"\\"}, Case{u"\\", u"\\"}, Case{u"", u""},
                                         Case{u"no tags here", u"no tags here"},
                                         Case{u"\\414", u"A4"}, Case{u"\u20AC\\41", u"\u20ACA"}));

TEST(EscTaggedString, UnknownTagsCarryTheRemainingText) {
    TEscTaggedString t;
    EXPECT_EQ(ErrorOf(t, u"\\4"), u"Unknown tag in string \"\\4\"!");
    EXPECT_EQ(ErrorOf(t, u"A\\4 B"), u"Unknown tag in string \"\\4 B\"!");
    EXPECT_EQ(ErrorOf(t, u"\\GG"), u"Unknown tag in string \"\\GG\"!");
    EXPECT_EQ(ErrorOf(t, u"ok\\41 then \\x1 end"), u"Unknown tag in string \"\\x1 end\"!");
    EXPECT_EQ(ErrorOf(t, u"\\ 41"), u"Unknown tag in string \"\\ 41\"!");
    // A sign or a prefix must not sneak through the hexadecimal conversion.
    EXPECT_EQ(ErrorOf(t, u"\\-1"), u"Unknown tag in string \"\\-1\"!");
    EXPECT_EQ(ErrorOf(t, u"\\+1"), u"Unknown tag in string \"\\+1\"!");
    EXPECT_EQ(ErrorOf(t, u"\\$1"), u"Unknown tag in string \"\\$1\"!");
    EXPECT_EQ(ErrorOf(t, u"\\x1"), u"Unknown tag in string \"\\x1\"!");
    // It is the general exception class, not the message service's.
    EXPECT_THROW(t.Process(u"\\4"), SysUtils::Exception);
}

TEST(EscTaggedString, NamedTags) {
    TEscTaggedString t;
    t.AddTag(u"\\STX", Chars({2}));
    EXPECT_EQ(t.Process(u"\\STXa\\03"), Chars({2, u'a', 3}));
    // Shorter hexadecimal tag wins: \AB is taken before \ABC could match.
    t.AddTag(u"\\ABC", u"never");
    EXPECT_EQ(t.Process(u"\\ABC"), Chars({0xAB, u'C'}));
    // Matching is case-sensitive; the first of two equal entries wins.
    EXPECT_EQ(ErrorOf(t, u"\\stx"), u"Unknown tag in string \"\\stx\"!");
    t.AddTag(u"\\STX", u"second");
    EXPECT_EQ(t.Process(u"\\STX"), Chars({2}));
    // A named tag may even hide a hexadecimal one.
    t.AddTag(u"\\41", u"forty-one");
    EXPECT_EQ(t.Process(u"\\41"), u"forty-one");
    t.ClearTags();
    EXPECT_EQ(t.Process(u"\\41"), u"A");
    EXPECT_EQ(ErrorOf(t, u"\\STX"), u"Unknown tag in string \"\\STX\"!");
}

TEST(EscTaggedString, NamedTagWithABlankNeverMatches) {
    TEscTaggedString t;
    t.AddTag(u"\\A B", u"x");
    EXPECT_EQ(ErrorOf(t, u"\\A B"), u"Unknown tag in string \"\\A B\"!");
    // The mark alone is no tag even when listed.
    t.AddTag(u"\\", u"y");
    EXPECT_EQ(ErrorOf(t, u"\\Q"), u"Unknown tag in string \"\\Q\"!");
}

TEST(EscTaggedString, OtherMark) {
    TEscTaggedString t;
    t.SetTagMark(u'#');
    EXPECT_EQ(t.TagMark(), u'#');
    EXPECT_EQ(t.Process(u"#41\\41##"), u"A\\41#");
}

TEST(EscTaggedString, SharedInstance) {
    TEscTaggedString::InstanceRelease();
    TEscTaggedString* a = TEscTaggedString::Instance();
    EXPECT_EQ(TEscTaggedString::Instance(), a);
    a->SetTagMark(u'#');
    EXPECT_EQ(TEscTaggedString::Transform(u"#0D"), u"\r");
    TEscTaggedString::InstanceRelease();
    // A new instance starts with the default mark again.
    EXPECT_EQ(TEscTaggedString::Transform(u"#0D\\0D"), u"#0D\r");
    EXPECT_THROW(TEscTaggedString::Transform(u"\\Z"), SysUtils::Exception);
    TEscTaggedString::InstanceRelease();
}

TEST(EscTaggedString, ReplaceHexTagTouchesOnlyItsOwnByte) {
    TEscTaggedString t;
    EXPECT_EQ(t.ReplaceHexTag(u"a\\02b\\03c\\02", 0x02),
              Chars({u'a', 2, u'b', u'\\', u'0', u'3', u'c', 2}));
    // Digits of either case; other and broken tags stay as they are.
    EXPECT_EQ(t.ReplaceHexTag(u"\\0d\\0D\\GG\\", 0x0D), Chars({13, 13, u'\\', u'G', u'G', u'\\'}));
    // A doubled mark is skipped, but its second half still starts a tag.
    EXPECT_EQ(t.ReplaceHexTag(u"\\\\41", 0x41), u"\\A");
    // Nothing to do in short text or text without the byte's tag.
    EXPECT_EQ(t.ReplaceHexTag(u"\\4", 0x04), u"\\4");
    EXPECT_EQ(t.ReplaceHexTag(u"", 0x04), u"");
    EXPECT_EQ(t.ReplaceHexTag(u"\\41", 0x42), u"\\41");
    // A substitute that is the mark itself does not start a new tag.
    EXPECT_EQ(t.ReplaceHexTag(u"\\5C41", 0x5C), u"\\41");
}
