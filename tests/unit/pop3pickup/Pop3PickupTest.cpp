// The seen-id record as a restart finds it (another account's file never stands for this one's, a
// damaged line costs only itself) and the recipients Determine mode reads from a header.
#include "pop3pickup/Pop3Pickup.h"
#include "pop3pickup/SeenUids.h"

#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"

namespace pw::pop3pickup {
namespace {

TEST(SeenUids, SurvivesARestartPerServerPortAndAccountAndSkipsDamagedLines) {
    test::ScratchDirectory root;
    SeenUids written(root.Path(), "Pop.Example.COM", 110, "john");
    written.Set("uid-a", {1'700'000'000, SeenUids::State::Kept});
    written.Set("uid-b", {1'700'000'100, SeenUids::State::Delivered});
    ASSERT_TRUE(written.Save());

    // The server's name without regard to case; another port or account is another record.
    SeenUids again(root.Path(), "pop.example.com", 110, "john");
    ASSERT_TRUE(again.Load());
    ASSERT_NE(again.Find("uid-a"), nullptr);
    EXPECT_EQ(again.Find("uid-a")->firstSeen, 1'700'000'000);
    EXPECT_EQ(again.Find("uid-b")->state, SeenUids::State::Delivered);
    for (const auto& [port, account] : {std::pair<std::uint16_t, const char*>{995, "john"}, {110, "John"}}) {
        SeenUids other(root.Path(), "pop.example.com", port, account);
        EXPECT_TRUE(other.Load());
        EXPECT_TRUE(other.Entries().empty());
    }

    // A file under this record's name that belongs to another account is not taken for it.
    SeenUids stranger(root.Path(), "pop.example.com", 110, "mary");
    stranger.Set("uid-z", {1, SeenUids::State::Kept});
    {
        std::ofstream(root / (std::string(kSeenDirectoryName) + "/" + again.FileName()), std::ios::binary | std::ios::trunc)
            << stranger.Serialize();
    }
    EXPECT_FALSE(again.Load());
    EXPECT_TRUE(again.Entries().empty());

    // A damaged line (a torn edit by hand, an unknown state) is skipped; the rest holds.
    EXPECT_TRUE(again.Parse(written.Serialize() + "uid-c notanumber kept\nuid-d 5 gone\nuid-e 7 kept\n"));
    EXPECT_EQ(again.Entries().size(), 3u);
    EXPECT_EQ(again.Find("uid-c"), nullptr);
    EXPECT_NE(again.Find("uid-e"), nullptr);
}

TEST(HeaderAddresses, ReadsTheFieldsInOrderOnceEachAndReceivedOnlyFromForToTheSemicolon) {
    const std::string header =
        "Received: from relay.example.org (relay [192.0.2.1]) by mx.example.com\r\n"
        "\twith ESMTP id 42 for <Kate@example.com>; Tue, 1 Dec 2026 10:00:00 +0000\r\n"
        "Received: from formosa.example.org by mx.example.com id 43; Tue, 1 Dec 2026 10:00:00 +0000\r\n"
        "x-rctp-to: lou@example.com\r\n"
        "To: \"Doe, John\" <john@example.com>,\r\n mary@example.com\r\n"
        "Cc: kate@example.com; other@remote.test\r\n"
        "Subject: for <subject@example.com>;\r\n";
    EXPECT_EQ(HeaderAddresses(header),
              (std::vector<std::string>{"john@example.com", "mary@example.com", "kate@example.com", "other@remote.test", "lou@example.com"}));
}

}  // namespace
}  // namespace pw::pop3pickup
