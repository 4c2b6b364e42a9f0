// Numbers as clients write them for mod-sequences and UID sets, and the UIDs of a set a view lacks.
#include "imap/MessageVector.h"

#include <gtest/gtest.h>

namespace pw::imap {
namespace {

// A table of messages with these UIDs, the odd ones \Seen, each its UID's mod-sequence.
std::shared_ptr<MessageTable> Table(const std::vector<std::uint32_t>& uids, std::uint16_t flags = 0) {
    auto table = std::make_shared<MessageTable>();
    for (const std::uint32_t uid : uids) {
        table->rows.push_back(MessageRow{.uid = uid, .stored = static_cast<std::uint16_t>(flags | (uid % 2 ? kFlagSeen : 0)), .size = uid * 10u, .modseq = uid});
    }
    return table;
}

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

    const MessageVector view(Table({2, 7, 9, 25}), true);
    EXPECT_EQ(MissingUids(Normalized(*ParseNumberSet("1:10,20:30", 0)), view), "1,3:6,8,10,20:24,26:30");
    EXPECT_EQ(MissingUids({{7, 7}, {9, 9}}, view), "");
    EXPECT_EQ(MissingUids({{4000000000u, 4294967295u}}, view), "4000000000:4294967295");
}

// Two sessions share one table; what one shows of its own (flags, \Recent, a message set) never
// reaches the other, and taking a newer state keeps it with the messages still there.
TEST(imap_MessageVectorTest, ViewsShareTheTableAndKeepWhatIsTheirOwn) {
    const std::shared_ptr<const MessageTable> shared = Table({1, 2, 3, 4, 5});
    MessageVector mine(shared, false);
    MessageVector other(shared, false);
    mine.MarkRecent(3);
    EXPECT_EQ(mine.recent, 2u);
    EXPECT_EQ(mine.firstUnseen, 2u);
    EXPECT_EQ(mine.Entry(3).flags, kFlagRecent);
    EXPECT_EQ(other.Entry(3).flags, 0);

    MessageFlags flags = mine.Flags(1);
    flags.flags |= kFlagFlagged;
    flags.keywords = {"$Junk"};
    mine.SetFlags(1, flags);
    EXPECT_EQ(mine.Entry(1).flags, kFlagFlagged);
    EXPECT_EQ(mine.Entry(1).stored, 0);
    EXPECT_EQ(mine.ShownKeywords(1), Keywords{"$Junk"});
    EXPECT_TRUE(mine.StoredKeywords(1).empty());
    EXPECT_EQ(other.Entry(1).flags, 0);
    EXPECT_EQ(mine.OwnFlagCount(), 1u);
    // Back to what the row says: nothing of its own left.
    mine.SetFlags(1, other.Flags(1));
    EXPECT_EQ(mine.OwnFlagCount(), 0u);
    mine.SetFlags(1, flags);

    std::string diagnostic;
    ASSERT_TRUE(mine.Select("2:*", true, diagnostic));
    EXPECT_FALSE(mine.IsSelected(0));
    EXPECT_TRUE(mine.IsSelected(4));
    EXPECT_FALSE(other.IsSelected(4));
    EXPECT_FALSE(mine.Select("6", false, diagnostic));
    EXPECT_EQ(diagnostic, "Message number (6) invalid.  Selected mailbox contains 5 messages.");

    // Expunging copies the table: the other view still has every message.
    EXPECT_EQ(mine.Expunge({false, false, true, false, true}), (std::vector<std::size_t>{5, 3}));
    EXPECT_EQ(mine.Count(), 3u);
    EXPECT_EQ(mine.Uid(2), 4u);
    EXPECT_EQ(mine.recent, 1u);
    EXPECT_EQ(other.Count(), 5u);
    EXPECT_EQ(shared->rows.size(), 5u);
    EXPECT_FALSE(mine.IsSelected(1));

    // A newer state: message 2 stays with what this view showed, 6 arrives, 7 (published late below
    // a UID known) is left out, which takes a table of the view's own.
    auto newer = Table({1, 2, 4, 6, 7});
    const MessageVector fresh(newer, false);
    mine.Adopt(fresh, {});
    EXPECT_EQ(mine.Table(), fresh.Table());
    EXPECT_EQ(mine.Entry(1).flags, kFlagFlagged);
    EXPECT_EQ(mine.ShownKeywords(1), Keywords{"$Junk"});
    mine.MarkRecent(5, 3);
    EXPECT_EQ(mine.recent, 3u);  // 4, and the arrivals 6 and 7
    mine.Adopt(fresh, {6});
    EXPECT_NE(mine.Table(), fresh.Table());
    EXPECT_EQ(mine.Count(), 4u);
    EXPECT_EQ(mine.Uid(3), 7u);
    EXPECT_EQ(*mine.Find(7), 3u);
    EXPECT_FALSE(mine.Find(6));
    EXPECT_EQ(mine.LowerBound(5), 3u);
    EXPECT_EQ(mine.UpperBound(4), 3u);
    EXPECT_EQ(mine.UpperBound(7), 4u);
    EXPECT_EQ(mine.UpperBound(0), 0u);
    mine.ShowStored(1);
    EXPECT_EQ(mine.Entry(1).flags, 0);
    EXPECT_EQ(mine.OwnFlagCount(), 0u);
}

// The "$" of SAVE names messages by UID, whatever their numbers are now.
TEST(imap_MessageVectorTest, SavedResultSelectsByUid) {
    MessageVector view(Table({3, 8, 9, 12}), true);
    view.saved = {1, 8, 12, 40};
    std::string diagnostic;
    ASSERT_TRUE(view.Select("$", false, diagnostic));
    EXPECT_FALSE(view.IsSelected(0));
    EXPECT_TRUE(view.IsSelected(1));
    EXPECT_FALSE(view.IsSelected(2));
    EXPECT_TRUE(view.IsSelected(3));
    view.ClearSelection();
    EXPECT_FALSE(view.IsSelected(1));
    EXPECT_TRUE(view.Select("*", false, diagnostic));
    EXPECT_TRUE(view.IsSelected(3));
}

}  // namespace
}  // namespace pw::imap
