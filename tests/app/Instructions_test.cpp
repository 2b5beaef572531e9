#include "TestUtils.h"
#include "app/Instructions.h"

#include <gtest/gtest.h>

using Instructions::SplitInstructions;
using V = std::vector<std::u16string>;

TEST(SplitInstructions, SeparatorsBlanksAndEmptyStatements) {
    EXPECT_EQ(SplitInstructions(u"W=100;;W=200"), (V{u"W=100", u"", u"W=200"}));
    EXPECT_EQ(SplitInstructions(u"  SetDTR  ClrRTS\t;W=5 "), (V{u"SetDTR", u"ClrRTS", u"W=5"}));
    EXPECT_EQ(SplitInstructions(u"W=1;"), (V{u"W=1", u""}));
    EXPECT_EQ(SplitInstructions(u""), V{});
    EXPECT_EQ(SplitInstructions(u" ; "), (V{u""}));
}

TEST(SplitInstructions, QuotedStatements) {
    EXPECT_EQ(SplitInstructions(u"\"a b;c\";d"), (V{u"a b;c", u"d"}));
    EXPECT_EQ(SplitInstructions(u"\"say \"\"hi\"\"\""), (V{u"say \"hi\""}));
    EXPECT_EQ(SplitInstructions(u"\"open"), (V{u"open"}));
}

TEST(SplitInstructions, NulEndsTheList) {
    EXPECT_EQ(SplitInstructions(std::u16string(u"A;B\0C;D", 7)), (V{u"A", u"B"}));
}
