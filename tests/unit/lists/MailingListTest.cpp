#include "lists/MailingList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "TestSupport.h"
#include "store/MessageStore.h"

namespace pw::lists {
namespace {

class ListsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = store::MessageStore::OpenOrCreate(scratch_ / "store");
        domain_ = store_->GetDomains()->Add("example.org");
    }
    std::shared_ptr<store::MailBox> MakeList(std::string_view name) {
        return domain_->GetMailBoxes()->Add(name, store::MailingListMailBoxType);
    }

    test::ScratchDirectory scratch_;
    std::shared_ptr<store::MessageStore> store_;
    std::shared_ptr<store::Domain> domain_;
};

TEST_F(ListsFixture, MembersAreUniqueBareAddressesInIndexOrder) {
    MailingList list(MakeList("news"));
    auto members = list.Members();
    members->Add("John Smith <John@Example.ORG>");
    members->Add("o'brien@remote.test");
    members->Add("anna@example.org");
    try {
        members->Add("john@example.org");
        FAIL() << "a second row for one address";
    } catch (const ComError& error) {
        EXPECT_EQ(error.Code(), STG_E_FILEALREADYEXISTS);
    }
    EXPECT_THROW(members->Add("no address"), ComError);
    EXPECT_THROW(members->Add("a <b>@example.org"), ComError);
    EXPECT_EQ(members->Count(), 3);

    std::vector<std::string> seen;
    for (auto batch = members->Next(2); !batch.empty(); batch = members->Next(2)) {
        for (const auto& member : batch) seen.push_back(member.Address());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"anna@example.org", "john@example.org", "o'brien@remote.test"}));
    ASSERT_TRUE(members->Item(std::int64_t{2}));
    EXPECT_EQ(members->Item(std::int64_t{2})->Address(), "o'brien@remote.test");

    auto john = members->Item("JOHN@example.org");
    ASSERT_TRUE(john);
    john->SetComment("John");
    john->SetStatus(MLStatusRestricted);
    john->Update();
    // Another connection sees the change: the file is the state.
    EXPECT_EQ(list.Members()->Item("john@example.org")->Comment(), "John");
    EXPECT_TRUE(members->Remove("john@EXAMPLE.org"));
    EXPECT_FALSE(members->Remove("john@example.org"));
    EXPECT_THROW(john->Update(), ComError);
}

TEST_F(ListsFixture, AFileThatIsNoDatabaseIsAnErrorAndStaysAsItWas) {
    auto mailbox = MakeList("other");
    MailingList list(mailbox);
    const std::string path = list.DataSource();
    const std::string text = "Standard Jet DB\nnot a SQLite file at all, and long enough to look like a header.....\n";
    std::ofstream(path, std::ios::binary) << text;
    EXPECT_THROW(list.Members(), ComError);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(test::ReadFileBytes(path).data()), test::ReadFileBytes(path).size()), text);
}

TEST_F(ListsFixture, TokensNeedTheListsOwnSecret) {
    MailingList first(MakeList("first"));
    MailingList second(MakeList("second"));
    first.MailBox().SetPassword("same");
    second.MailBox().SetPassword("same");
    const std::string token = first.Token("join", "anna@example.org");
    ASSERT_EQ(token.size(), kTokenDigits);
    EXPECT_NE(token, second.Token("join", "anna@example.org"));
    EXPECT_NE(token, first.Token("leave", "anna@example.org"));
    EXPECT_NE(token, first.Token("join", "bert@example.org"));
    EXPECT_TRUE(first.CheckToken("join", "Anna <ANNA@example.org>", token));
    std::string changed = token;
    changed[5] = changed[5] == '0' ? '1' : '0';
    EXPECT_FALSE(first.CheckToken("join", "anna@example.org", changed));
    EXPECT_FALSE(first.CheckToken("join", "anna@example.org", token.substr(1)));
    // The secret is kept: the list opened again makes the same token.
    MailingList again(domain_->GetMailBoxes()->Item("first"));
    EXPECT_TRUE(again.CheckToken("join", "anna@example.org", token));
}

TEST_F(ListsFixture, WritersOnTwoConnectionsWaitForEachOtherInsteadOfFailing) {
    MailingList list(MakeList("busy"));
    list.Members();  // made once, as the first router to need it would
    std::atomic<int> failures{0};
    auto writer = [&](char tag) {
        try {
            auto members = list.Members();
            for (int i = 0; i < 300; ++i) {
                members->Add(std::string(1, tag) + std::to_string(i) + "@example.org");
                if (i % 3 == 0) members->CountPosting(std::string(1, tag) + std::to_string(i) + "@example.org");
            }
        } catch (const ComError&) {
            ++failures;
        }
    };
    std::thread first(writer, 'a');
    std::thread second(writer, 'b');
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(list.Members()->Count(), 600);
}

TEST_F(ListsFixture, ErrorsCountUntilAMonthPasses) {
    MailingList list(MakeList("bounces"));
    auto members = list.Members();
    const auto row = members->Add("anna@example.org").RowId();
    EXPECT_EQ(members->CountError(row, 1000.0), 1);
    EXPECT_EQ(members->CountError(row, 1010.0), 2);
    EXPECT_EQ(members->CountError(row, 1010.0 + kMemberErrorDays + 1), 1);
    EXPECT_EQ(members->CountError(row + 99, 1000.0), 0);
}

}  // namespace
}  // namespace pw::lists
