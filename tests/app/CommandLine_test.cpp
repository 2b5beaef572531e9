#include "app/CommandLine.h"

#include <gtest/gtest.h>

using namespace CommandLine;

TEST(CommandLine, FirstFlagDecidesTheImmediateAction) {
    struct Case {
        std::vector<std::string> args;
        TImmediateAction expected;
    } cases[] = {
        {{"telvik"}, iaNone},
        {{"--help"}, iaNone}, // argument 0 is the program
        {{"telvik", "+Send=-h", "-H"}, iaNone},
        {{"telvik", "+Send=x", "-h"}, iaHelp},
        {{"telvik", "-V", "--help"}, iaVersion},
        {{"telvik", "--list"}, iaList},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FindImmediateAction(c.args), c.expected) << c.args.back();
}

TEST(CommandLine, UnknownArgumentsAreNamedWithTheNearestKnownOne) {
    struct Case {
        std::u16string arg;
        std::u16string warning; ///< empty: no warning
    } cases[] = {
        {u"+Timeout=500", u""},
        {u"+Output=x.json", u""},
        {u"+Send=", u""},
        {u"World", u""},
        {u"+Timout=500", u"Unknown option ignored: +Timout=500 (did you mean +Timeout=?)"},
        {u"+timeout=500", u"Unknown option ignored: +timeout=500 (did you mean +Timeout=?)"},
        {u"+Send", u"Unknown option ignored: +Send (did you mean +Send=?)"},
        {u"+Sned=x", u"Unknown option ignored: +Sned=x (did you mean +Send=?)"},
        {u"+X=1", u"Unknown option ignored: +X=1"},
        {u"-v", u"Unknown option ignored: -v (did you mean -V?)"},
        {u"--halp", u"Unknown option ignored: --halp (did you mean --help?)"},
        {u"--verbose", u"Unknown option ignored: --verbose"},
    };
    for (const auto& c : cases) {
        auto warnings = UnknownArguments({u"telvik", c.arg});
        std::vector<std::u16string> expected;
        if (!c.warning.empty())
            expected.push_back(c.warning);
        EXPECT_EQ(warnings, expected);
    }
}
