#include "app/CommandLine.h"
#include "app/ExitCodes.h"

#include <gtest/gtest.h>
#include <set>

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
        std::u16string text; ///< empty: no problem
        bool fatal = true;
    } cases[] = {
        {u"+Timeout=500", u""},
        {u"+Output=x.json", u""},
        {u"+Send=", u""},
        {u"World", u"Argument ignored: World", false},
        {u"job.ini", u"Argument ignored: job.ini (did you mean +CFG=job.ini?)", false},
        {u"+Timout=500", u"Unknown option +Timout=500 (did you mean +Timeout=?)"},
        {u"+timeout=500", u"Unknown option +timeout=500 (did you mean +Timeout=?)"},
        {u"+Respone=OK*", u"Unknown option +Respone=OK* (did you mean +Response=?)"},
        {u"+Send", u"Unknown option +Send (did you mean +Send=?)"},
        {u"+Sned=x", u"Unknown option +Sned=x (did you mean +Send=?)"},
        {u"+X=1", u"Unknown option +X=1"},
        {u"-v", u"Unknown option -v (did you mean -V?)"},
        {u"--halp", u"Unknown option --halp (did you mean --help?)"},
        {u"--verbose", u"Unknown option --verbose"},
        {u"--cfg=job.ini", u"Unknown option --cfg=job.ini (did you mean +CFG=?)"},
        {u"-c", u"Unknown option -c"},
        {u"-", u"Unknown option -"},
    };
    auto exists = [](const std::u16string& s) { return s == u"job.ini"; };
    for (const auto& c : cases) {
        auto problems = UnknownArguments({u"telvik", c.arg}, exists);
        ASSERT_EQ(problems.size(), c.text.empty() ? 0u : 1u);
        if (!c.text.empty()) {
            EXPECT_EQ(problems[0].Text, c.text);
            EXPECT_EQ(problems[0].Fatal, c.fatal);
        }
    }
}

TEST(ExitCodes, AJobEndsWithAStepsCodeWithOrWithoutAFailedFailureInstruction) {
    std::set<int> codes;
    for (int c = -1; c < 300; ++c)
        if (ExitCodes::JobCanEndWith(c))
            codes.insert(c);
    EXPECT_EQ(codes, (std::set<int>{0,  20,  51,  54,  56,  59,  65,  67,  68,  69,  91,
                                    95, 120, 151, 154, 156, 159, 165, 167, 168, 169, 191}));
}
