// Numbers as clients write them for mod-sequences and UID sets, and the UIDs of a set a view lacks.
#include "imap/MessageVector.h"

#include <gtest/gtest.h>

namespace pw::imap {
namespace {

TEST(imap_MessageVectorTest, ModseqsAreDigitsUpToTheSignedLimit) {
    EXPECT_EQ(ParseModseq("9223372036854775807", false), 9223372036854775807u);
    EXPECT_EQ(ParseModseq("0", true), 0u);
    for (const char* bad : {"0", "9223372036854775808", "18446744073709551616", "99999999999999999999999", "", "-1", "+1", "1x", " 1"}) {
        EXPECT_FALSE(ParseModseq(bad, false)) << bad;
    }
}

TEST(imap_MessageVectorTest, SetsJoinAndMissingUidsStepOverThoseHeld) {
    EXPECT_FALSE(ParseNumberSet("1,,2", 5));
    EXPECT_FALSE(ParseNumberSet("0:3", 5));
    EXPECT_FALSE(ParseNumberSet("1:2:3", 5));
    EXPECT_FALSE(ParseNumberSet("4294967296", 5));
    const auto set = ParseNumberSet("9:7,*,1,2:3,20:4294967295", 12);
    ASSERT_TRUE(set);
    const NumberRanges joined = Normalized(*set);
    EXPECT_EQ(joined, (NumberRanges{{1, 3}, {7, 9}, {12, 12}, {20, 4294967295u}}));
    EXPECT_TRUE(InRanges(joined, 8));
    EXPECT_TRUE(InRanges(joined, 4294967295u));
    EXPECT_FALSE(InRanges(joined, 4));
    EXPECT_FALSE(InRanges(joined, 0));

    MessageVector view;
    for (const std::uint32_t uid : {2u, 7u, 9u, 25u}) view.messages.push_back(MessageEntry{.uid = uid});
    EXPECT_EQ(MissingUids(Normalized(*ParseNumberSet("1:10,20:30", 0)), view), "1,3:6,8,10,20:24,26:30");
    EXPECT_EQ(MissingUids({{7, 7}, {9, 9}}, view), "");
    EXPECT_EQ(MissingUids({{4000000000u, 4294967295u}}, view), "4000000000:4294967295");
}

}  // namespace
}  // namespace pw::imap
