#include "app/Wildcard.h"
#include "common/SysUtils.h"

#include <gtest/gtest.h>

using Wildcard::MatchesWildcard;

TEST(MatchesWildcard, PlainMeaningOfStarAndQuestionMark) {
    struct Case {
        const char16_t* text;
        const char16_t* pattern;
        bool match;
    } cases[] = {
        {u"OK 12", u"OK*", true},
        {u"ok", u"OK*", false},
        {u"axxbyc", u"a*b?c", true},
        {u"xaab", u"*?ab", true},
        {u"", u"", true},
        {u"", u"*", true},
        {u"a", u"", false},
        {u"", u"?", false},
        {u"abc", u"abc", true},
        {u"abcd", u"abc", false},
        {u"abc", u"abcd", false},
        {u"aXbXc", u"*b*c", true},
        {u"abab", u"*ab", true},
        {u"mississippi", u"m*iss*ppi", true},
        {u"a*b", u"a\\*b", false},
        {u"ab", u"a**b", true},
        {u"ab", u"*a*b*", true},
        {u"abc", u"*?", true},
        {u"ABC", u"a*", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchesWildcard(c.text, c.pattern), c.match)
            << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)) << " ~ "
            << std::string(c.pattern, c.pattern + std::char_traits<char16_t>::length(c.pattern));
}

TEST(MatchesWildcard, EscapedStarAndQuestionMarkAreLiteral) {
    struct Case {
        const char16_t* text;
        const char16_t* value; ///< as configured, escape tags unresolved
        bool match;
    } cases[] = {
        {u"$GPGGA,1*47", u"$GP*\\*4?", true},
        {u"$GPGGA,1x47", u"$GP*\\*4?", false},
        {u"a?", u"a\\?", true},
        {u"ab", u"a\\?", false},
        {u"a*", u"\\61*", true},
        {u"ab", u"\\61\\2A", true}, // a tag stays a wildcard
        {u"\\x", u"\\\\*", true},
        {u"\\*", u"\\\\\\*", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchesWildcard(c.text, Wildcard::ReadPattern(c.value)), c.match)
            << std::string(c.value, c.value + std::char_traits<char16_t>::length(c.value));
    EXPECT_EQ(Wildcard::ReadPattern(u"x\\*\\?*").Display(), u"x\\*\\?*");
    EXPECT_THROW(Wildcard::ReadPattern(u"\\4 \\*"), SysUtils::Exception);
}

TEST(MatchesWildcard, LongTextsStayQuick) {
    std::u16string text(20000, u'a');
    EXPECT_FALSE(MatchesWildcard(text, u"*a*a*a*a*b"));
    EXPECT_TRUE(MatchesWildcard(text + u"b", u"*a*a*a*a*b"));
}
