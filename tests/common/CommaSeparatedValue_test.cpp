// Splitting option values at a separator, with quotation marks protecting separators.

#include "TestUtils.h"
#include "common/CommaSeparatedValue.h"

#include <gtest/gtest.h>

#include <clocale>
#include <vector>

using CommaSeparatedValue::TCommaSeparatedValue;

namespace {

std::vector<std::u16string> Values(const TCommaSeparatedValue& c) {
    std::vector<std::u16string> out;
    for (int32_t i = 0; i < c.ValueCount(); ++i)
        out.push_back(c.GetValue(i));
    return out;
}

using V = std::vector<std::u16string>;

} // namespace

TEST(CommaSeparatedValue, Defaults) {
    TCommaSeparatedValue c;
    EXPECT_EQ(c.Separator(), u';');
    EXPECT_EQ(c.QuotationMarks(), u'"');
    EXPECT_EQ(c.ValueCount(), 0);
    EXPECT_EQ(c.StringLine(), u"");
}

TEST(CommaSeparatedValue, OnlyASeparatorCompletesAValue) {
    TCommaSeparatedValue c;
    c.SetSeparator(u',');
    c.SetStringLine(u"COM1,9600,");
    EXPECT_EQ(Values(c), (V{u"COM1", u"9600"}));
    c.SetStringLine(u"COM1,9600");
    EXPECT_EQ(Values(c), (V{u"COM1"}));
    EXPECT_EQ(c.StringLine(), u"COM1,9600");
    c.SetStringLine(u",,");
    EXPECT_EQ(Values(c), (V{u"", u""}));
    c.SetStringLine(u"");
    EXPECT_EQ(Values(c), V{});
    c.SetStringLine(u"P,,8N1N,");
    EXPECT_EQ(Values(c), (V{u"P", u"", u"8N1N"}));
}

TEST(CommaSeparatedValue, QuotesProtectSeparators) {
    TCommaSeparatedValue c;
    c.SetStringLine(u"a; b ;\"x;y\";");
    EXPECT_EQ(Values(c), (V{u"a", u" b ", u"\"x;y\""}));
    EXPECT_EQ(c.GetValueTrimmed(1), u"b");
    EXPECT_EQ(c.GetString(2), u"x;y");
    // An unclosed quote swallows the rest of the line, which then is no value.
    c.SetStringLine(u"a;\"b;c;");
    EXPECT_EQ(Values(c), (V{u"a"}));
}

TEST(CommaSeparatedValue, GetStringTakesTheTextBetweenTheFirstTwoMarks) {
    TCommaSeparatedValue c;
    c.SetStringLine(u"ab\"cd\"ef;  plain  ;\" in \";\"\";\"a\"b\"c\";");
    EXPECT_EQ(c.GetString(0), u"cd");
    EXPECT_EQ(c.GetString(1), u"plain");
    EXPECT_EQ(c.GetString(2), u" in ");
    EXPECT_EQ(c.GetStringTrimmed(2), u"in");
    EXPECT_EQ(c.GetString(3), u"");
    EXPECT_EQ(c.GetString(4), u"a");
    // A lone opening mark protects the separators after it, so it swallows the rest of the line.
    c.SetStringLine(u"x;ab\"cd;");
    EXPECT_EQ(c.ValueCount(), 1);
    // Split with another mark, the value keeps its lone mark for GetString to find.
    c.SetQuotationMarks(u'\'');
    c.SetStringLine(u"ab\"cd;");
    c.SetQuotationMarks(u'"');
    EXPECT_EQ(c.GetString(0), u"cd");
}

TEST(CommaSeparatedValue, Numbers) {
    TCommaSeparatedValue c;
    // The decimal separator is the locale's.
    const char* point = std::localeconv()->decimal_point;
    std::u16string sep(1, static_cast<char16_t>(point[0]));
    c.SetStringLine(u" 42 ;$1F;0x10;-7;abc;1" + sep + u"5;\t2" + sep + u"25\t;;");
    EXPECT_EQ(c.GetInteger(0), 42);
    EXPECT_EQ(c.GetInteger(1), 31);
    EXPECT_EQ(c.GetInteger(2), 16);
    EXPECT_EQ(c.GetInteger(3), -7);
    EXPECT_THROW(c.GetInteger(4), SysUtils::EConvertError);
    EXPECT_THROW(c.GetInteger(5), SysUtils::EConvertError);
    EXPECT_THROW(c.GetInteger(7), SysUtils::EConvertError);
    EXPECT_DOUBLE_EQ(static_cast<double>(c.GetFloat(5)), 1.5);
    EXPECT_DOUBLE_EQ(static_cast<double>(c.GetFloat(6)), 2.25);
    EXPECT_THROW(c.GetFloat(4), SysUtils::EConvertError);
    // A failed getter leaves the values alone.
    EXPECT_EQ(c.ValueCount(), 8);
    EXPECT_EQ(c.GetValue(4), u"abc");
    try {
        c.GetInteger(4);
    } catch (const SysUtils::EConvertError& e) {
        EXPECT_NE(e.Message().find(u"abc"), std::u16string::npos);
    }
}

TEST(CommaSeparatedValue, IndexErrors) {
    TCommaSeparatedValue c;
    c.SetStringLine(u"a;b;");
    try {
        c.GetValue(2);
        FAIL() << "no error";
    } catch (const SysUtils::Exception& e) {
        EXPECT_EQ(e.Message(), u"Invalid csv index 2 to list count 2!");
    }
    for (auto get : {&TCommaSeparatedValue::GetValueTrimmed, &TCommaSeparatedValue::GetString,
                     &TCommaSeparatedValue::GetStringTrimmed})
        EXPECT_THROW((c.*get)(5), SysUtils::Exception);
    EXPECT_THROW(c.GetInteger(2), SysUtils::Exception);
    EXPECT_THROW(c.GetFloat(2), SysUtils::Exception);
    try {
        c.GetValue(-1);
        FAIL() << "no error";
    } catch (const SysUtils::EListError& e) {
        EXPECT_EQ(e.Message(), u"List index out of bounds (-1)");
    }
}

TEST(CommaSeparatedValue, SeparatorAndQuoteTakeEffectOnTheNextLine) {
    TCommaSeparatedValue c;
    c.SetStringLine(u"a,b;c;");
    c.SetSeparator(u',');
    EXPECT_EQ(Values(c), (V{u"a,b", u"c"}));
    c.SetStringLine(c.StringLine());
    EXPECT_EQ(Values(c), (V{u"a"}));
    c.SetQuotationMarks(u'\'');
    c.SetStringLine(u"'x,y',\"p,q\",");
    EXPECT_EQ(Values(c), (V{u"'x,y'", u"\"p", u"q\""}));
    EXPECT_EQ(c.GetString(0), u"x,y");
}
