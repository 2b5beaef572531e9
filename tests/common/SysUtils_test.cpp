// Format texts, the common integer syntax and the text codecs the configuration relies on.

#include "TestUtils.h"
#include "common/SysUtils.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace SysUtils;

TEST(Format, Directives) {
    EXPECT_EQ(Format(u"%s|%d|%x", {u"ab", -42, 255}), u"ab|-42|FF");
    EXPECT_EQ(Format(u"%.6x", {0x1234u}), u"001234");
    // More digits than the precision are all kept.
    EXPECT_EQ(Format(u"%.6x", {0x3F20314u}), u"3F20314");
    EXPECT_EQ(Format(u"%.6x", {0xFFFFFFFFu}), u"FFFFFFFF");
    EXPECT_EQ(Format(u"%.2x", {uint8_t{0x0A}}), u"0A");
    EXPECT_EQ(Format(u"%.2x", {0xABCu}), u"ABC");
    EXPECT_EQ(Format(u"%u", {4000000000u}), u"4000000000");
    EXPECT_EQ(Format(u"100%%", {}), u"100%");
    EXPECT_EQ(Format(u"%d", {INT32_MIN}), u"-2147483648");
    // User text is an argument: its own "%" is never interpreted.
    EXPECT_EQ(Format(u"[%s]", {u"%d%s"}), u"[%d%s]");
}

TEST(Format, NegativeHexShowsThe32BitPattern) {
    EXPECT_EQ(Format(u"%x", {-1}), u"FFFFFFFF");
    EXPECT_EQ(Format(u"0x%x", {-3}), u"0xFFFFFFFD");
    EXPECT_EQ(Format(u"%.6x", {int32_t{-0x10}}), u"FFFFFFF0");
}

TEST(Format, PointerShowsEveryDigitOfTheAddress) {
    const void* p = reinterpret_cast<const void*>(uintptr_t{0xAB12});
    std::u16string expected(sizeof(void*) * 2 - 4, u'0');
    EXPECT_EQ(Format(u"[%p]", {p}), u"[" + expected + u"AB12]");
    EXPECT_EQ(Format(u"%p", {static_cast<const void*>(nullptr)}),
              std::u16string(sizeof(void*) * 2, u'0'));
}

TEST(Format, MismatchRaisesConvertError) {
    EXPECT_THROW(Format(u"%d", {u"text"}), EConvertError);
    EXPECT_THROW(Format(u"%s", {1}), EConvertError);
    EXPECT_THROW(Format(u"%d %d", {1}), EConvertError);
    EXPECT_THROW(Format(u"50%", {}), EConvertError);
    EXPECT_THROW(Format(u"%.x", {1}), EConvertError);
    EXPECT_THROW(Format(u"%q", {1}), EConvertError);
}

struct IntCase {
    const char16_t* text;
    bool ok;
    int32_t value;
};

void PrintTo(const IntCase& c, std::ostream* os) {
    *os << TestUtils::Printable(c.text);
}

class IntegerSyntax : public testing::TestWithParam<IntCase> {};

TEST_P(IntegerSyntax, Converts) {
    const IntCase& c = GetParam();
    int32_t v = 12345;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << ToUtf8(c.text);
    if (c.ok) {
        EXPECT_EQ(v, c.value) << ToUtf8(c.text);
        EXPECT_EQ(StrToInt(c.text), c.value);
    } else {
        EXPECT_EQ(StrToIntDef(c.text, -77), -77) << ToUtf8(c.text);
        EXPECT_THROW(StrToInt(c.text), EConvertError);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntegerSyntax,
    testing::Values(
        // decimal, sign, leading blanks
        IntCase{u"0", true, 0}, IntCase{u"42", true, 42}, IntCase{u"-5", true, -5},
        IntCase{u"+7", true, 7}, IntCase{u"   250", true, 250}, IntCase{u"  -12", true, -12},
        IntCase{u"007", true, 7},
        // hexadecimal after "$", "x" and "0x", either case
        IntCase{u"$10", true, 16}, IntCase{u"$1f", true, 31}, IntCase{u"x1F", true, 31},
        IntCase{u"X1F", true, 31}, IntCase{u"0x1f", true, 31}, IntCase{u"0XFF", true, 255},
        IntCase{u"-$10", true, -16}, IntCase{u" $A", true, 10},
        // the full 32 bits of hexadecimal wrap to negative
        IntCase{u"$7FFFFFFF", true, INT32_MAX}, IntCase{u"$FFFFFFFF", true, -1},
        IntCase{u"$80000000", true, INT32_MIN},
        // decimal range
        IntCase{u"2147483647", true, INT32_MAX}, IntCase{u"-2147483648", true, INT32_MIN},
        IntCase{u"2147483648", false, 0}, IntCase{u"-2147483649", false, 0},
        IntCase{u"99999999999999999999", false, 0}, IntCase{u"$100000000", false, 0},
        // with a sign, hexadecimal is a value that must fit, not a pattern that wraps
        IntCase{u"-$FFFFFFFF", false, 0}, IntCase{u"+$FFFFFFFF", false, 0},
        IntCase{u"-$80000000", true, INT32_MIN}, IntCase{u"-$80000001", false, 0},
        IntCase{u"+$7FFFFFFF", true, INT32_MAX},
        // nothing may follow, nothing may be missing
        IntCase{u"", false, 0}, IntCase{u"   ", false, 0}, IntCase{u"-", false, 0},
        IntCase{u"$", false, 0}, IntCase{u"0x", false, 0}, IntCase{u"x", false, 0},
        IntCase{u"12 ", false, 0}, IntCase{u"12abc", false, 0}, IntCase{u"abc", false, 0},
        IntCase{u"1.5", false, 0}, IntCase{u"$G1", false, 0}, IntCase{u"1F", false, 0},
        IntCase{u"- 5", false, 0}, IntCase{u"--5", false, 0}, IntCase{u"\t5", false, 0},
        IntCase{u"$-1", false, 0}, IntCase{u"\uFF11", false, 0}));

TEST(IntegerSyntax, ConvertErrorNamesTheText) {
    try {
        StrToInt(u"abc");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), u"'abc' is not a valid integer value");
    }
}

TEST(StrToFloat, PlainDecimalOnly) {
    EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat(u" 1.5 ")), 1.5);
    EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat(u"-2e3")), -2000.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat(u".5")), 0.5);
    for (const char16_t* bad : {u"", u"abc", u"1.5x", u"0x10", u"inf", u"nan", u"1e", u"."})
        EXPECT_THROW(StrToFloat(bad), EConvertError) << ToUtf8(bad);
}

TEST(Trim, BlanksAndControlCharactersAtBothEnds) {
    EXPECT_EQ(Trim(u" \t\r\n a b \x01\x1F "), u"a b");
    EXPECT_EQ(Trim(u"   "), u"");
    EXPECT_EQ(Trim(u"\u00A0x\u00A0"), u"\u00A0x\u00A0");
}

TEST(TextBytes, ByteNIsCharacterN) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    std::u16string text = BytesToText(all);
    ASSERT_EQ(text.size(), 256u);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(text[static_cast<size_t>(i)], static_cast<char16_t>(i));
    EXPECT_EQ(TextToBytes(text), all);
}

TEST(Utf8, RoundTripIncludingSurrogatePairs) {
    std::u16string text = u"A\u00E9\u20AC\U0001F600";
    std::string bytes = ToUtf8(text);
    EXPECT_EQ(bytes, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    std::u16string back;
    ASSERT_TRUE(TryFromUtf8(bytes, back));
    EXPECT_EQ(back, text);
    // A lone surrogate cannot be written as UTF-8.
    EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Utf8, MalformedInputIsRejected) {
    std::u16string out;
    for (const char* bad : {"\xC3", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xFF", "ab\xE9"})
        EXPECT_FALSE(TryFromUtf8(bad, out)) << testing::PrintToString(std::string(bad));
    EXPECT_EQ(FromUtf8("a\xFF"
                       "b"),
              u"a\uFFFD"
              u"b");
}

TEST(Windows1252, UpperHalfAndItsSpecialRange) {
    EXPECT_EQ(FromWindows1252("\x80\x85\x8A\x9F"), u"\u20AC\u2026\u0160\u0178");
    EXPECT_EQ(FromWindows1252("\xE9\xFF\xA0"), u"\u00E9\u00FF\u00A0");
    // The unassigned bytes keep their Latin-1 meaning instead of vanishing.
    EXPECT_EQ(FromWindows1252("\x81\x8D\x8F\x90\x9D"), u"\u0081\u008D\u008F\u0090\u009D");
    EXPECT_EQ(FromWindows1252("plain"), u"plain");
}
