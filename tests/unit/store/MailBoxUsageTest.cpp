// Message content by id (Envelopes::OpenContent, ContentSize) and a mailbox's usage figure: kept
// right across publication, copies, removals and folder removal, counted again when asked for a
// fresh figure, and never counting a message twice when a count overlaps a delivery.
#include "store/MailBoxUsage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "store/Domain.h"
#include "store/MailBox.h"
#include "store/StoreTestSupport.h"
#include "store/UidCounter.h"

namespace pw::store {
namespace {

using store_MailBoxUsageTest = support::StoreFixture;

constexpr std::chrono::seconds kFresh{0};

std::shared_ptr<Envelope> Publish(const Folder& folder, std::string_view content) {
    auto envelope = folder.GetEnvelopes()->Add();
    ThrowIfFailed(envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write(content));
    envelope->Update();
    return envelope;
}

std::string ReadContent(const Envelopes& envelopes, double uid) {
    std::unique_ptr<FileStream> stream;
    EXPECT_EQ(envelopes.OpenContent(uid, stream), S_OK);
    std::vector<std::byte> bytes;
    if (stream) {
        EXPECT_EQ(ReadToEnd(*stream, bytes), S_OK);
    }
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void ExpectUsage(const MailBoxUsage& usage, std::uint64_t bytes, std::uint64_t messages, std::string_view when) {
    EXPECT_EQ(usage.bytes, bytes) << when;
    EXPECT_EQ(usage.messages, messages) << when;
}

class MailBoxFixture : public store_MailBoxUsageTest {
protected:
    void SetUp() override {
        store_MailBoxUsageTest::SetUp();
        mailbox_ = store_->GetDomains()->Add("example.com")->GetMailBoxes()->Add("john", UserMailBoxType);
        inbox_ = mailbox_->InFolder();
        sub_ = mailbox_->GetFolders()->Add("Sub", NormalFolderType);
        deep_ = sub_->GetFolders()->Add("Deep", NormalFolderType);
    }

    std::shared_ptr<MailBox> mailbox_;
    std::shared_ptr<Folder> inbox_;
    std::shared_ptr<Folder> sub_;
    std::shared_ptr<Folder> deep_;
};
using store_MailBoxUsageFigureTest = MailBoxFixture;

TEST_F(store_MailBoxUsageTest, ContentOpensAndSizesByIdWithoutItsRecordAndAMissingOneSaysSo) {
    const auto inbox = store_->InFolder();
    const double uid = Publish(*inbox, "hello")->UID();
    const auto envelopes = inbox->GetEnvelopes();
    // A damaged record does not matter: the content is found by its id alone.
    std::filesystem::resize_file(inbox->Storage().ElementPath(UidStem(uid) + std::string(kRecordExtension)), 3);
    EXPECT_EQ(ReadContent(*envelopes, uid), "hello");
    std::uint64_t size = 99;
    EXPECT_EQ(envelopes->ContentSize(uid, size), S_OK);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(envelopes->ContentPath(uid), inbox->Storage().ElementPath(UidStem(uid) + std::string(kContentExtension)));

    std::filesystem::remove(envelopes->ContentPath(uid));
    std::unique_ptr<FileStream> stream;
    EXPECT_EQ(envelopes->OpenContent(uid, stream), STG_E_FILENOTFOUND);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(envelopes->ContentSize(uid, size), STG_E_FILENOTFOUND);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(envelopes->ContentSize(uid + 1, size), STG_E_FILENOTFOUND) << "an id never published";
}

TEST_F(store_MailBoxUsageFigureTest, StaysRightAcrossAddCopyRemoveAndFolderRemovalWithoutCountingAgain) {
    ExpectUsage(mailbox_->Usage(), 0, 0, "empty");
    const auto first = Publish(*inbox_, "12345");
    ExpectUsage(mailbox_->Usage(), 5, 1, "after a delivery");
    deep_->GetEnvelopes()->CopyFrom(*first);
    ExpectUsage(mailbox_->Usage(), 10, 2, "after a copy two levels down");
    Publish(*sub_, "1234567");
    ExpectUsage(mailbox_->Usage(), 17, 3, "after a delivery into a sub-folder");
    ASSERT_TRUE(inbox_->GetEnvelopes()->RemoveEnvelope(first->UID()));
    ExpectUsage(mailbox_->Usage(), 12, 2, "after a removal (the copy keeps its content)");
    ExpectUsage(mailbox_->Usage(kFresh), 12, 2, "counted afresh");

    // A change behind the store's back is not seen until a fresh count: the figure is kept, not
    // counted at every call. A message without content is a message of no bytes.
    const auto copies = deep_->GetEnvelopes();
    std::filesystem::remove(copies->ContentPath(copies->Uids().at(0)));
    ExpectUsage(mailbox_->Usage(), 12, 2, "kept");
    ExpectUsage(mailbox_->Usage(kFresh), 7, 2, "a content gone, its record listed");

    mailbox_->GetFolders()->Remove("Sub");
    ExpectUsage(mailbox_->Usage(), 0, 0, "after its folders were removed");
}

TEST_F(store_MailBoxUsageFigureTest, CountsOverlappingConcurrentDeliveriesLeaveTheKeptFigureTrue) {
    constexpr int kWriters = 3;
    constexpr int kEach = 8;
    std::atomic<int> writing = kWriters;
    std::vector<std::jthread> threads;
    for (int writer = 0; writer < kWriters; ++writer) {
        threads.emplace_back([&, writer] {
            const auto folder = writer == 0 ? inbox_ : sub_;
            for (int i = 0; i < kEach; ++i) Publish(*folder, "abc");
            --writing;
        });
    }
    // Every count overlaps deliveries; one kept while a delivery was between its files and its
    // adjustment would count that message twice from then on.
    while (writing > 0) {
        const auto usage = mailbox_->Usage(kFresh);
        EXPECT_EQ(usage.bytes, usage.messages * 3);
    }
    threads.clear();
    ExpectUsage(mailbox_->Usage(), kWriters * kEach * 3, kWriters * kEach, "kept after the deliveries");
}

// The bracket itself, step by step, on a mailbox that need not exist: what a count overlapping a
// change may keep, and what a change that began before the figure existed does to it.
TEST(store_UsageChangeTest, ACountOverlappingAChangeIsUsedButNotKept) {
    const std::string root = "/nonexistent/usage-root";
    const DirStorage folder(root + "/example.com/ann/_In");
    const std::string mailbox = *MailBoxPathOf(folder, root);
    int counts = 0;
    auto counting = [&](MailBoxUsage usage) {
        return [&counts, usage] {
            ++counts;
            return usage;
        };
    };
    ExpectUsage(KeptUsage(mailbox, kFresh, counting({0, 0})), 0, 0, "first count");
    {
        UsageChange change(folder, root);
        EXPECT_TRUE(change.Wanted());
        // The count sees the new message's files before the change is committed.
        ExpectUsage(KeptUsage(mailbox, kFresh, counting({5, 1})), 5, 1, "count during the change");
        change.Commit(5, 1);
    }
    ExpectUsage(KeptUsage(mailbox, kUsageRefresh, counting({99, 99})), 5, 1, "kept and adjusted once");
    EXPECT_EQ(counts, 2);

    // A change under way while the figure was made, unknown to it: the figure is counted again.
    ForgetAllUsages();
    const std::string other = *MailBoxPathOf(DirStorage(root + "/example.com/bob/Sub/"), root);
    auto early = std::make_unique<UsageChange>(DirStorage(other + "Sub"), root);
    EXPECT_FALSE(early->Wanted());
    ExpectUsage(KeptUsage(other, kUsageRefresh, counting({3, 1})), 3, 1, "count after the change began");
    early->Commit(3, 1);
    ExpectUsage(KeptUsage(other, kUsageRefresh, counting({3, 1})), 3, 1, "counted again");
    EXPECT_EQ(counts, 4);
    // A failed change (no Commit) drops the figure too.
    { UsageChange failed(DirStorage(other + "Sub"), root); }
    ExpectUsage(KeptUsage(other, kUsageRefresh, counting({3, 1})), 3, 1, "counted after a failure");
    EXPECT_EQ(counts, 5);
}

TEST(store_MailBoxPathTest, FoldersBelowAMailboxNameItAndOthersNone) {
    const std::string root = "/srv/store";
    EXPECT_EQ(MailBoxPathOf(DirStorage("/srv/store/example.com/john/_In"), root), "/srv/store/example.com/john/");
    EXPECT_EQ(MailBoxPathOf(DirStorage("/srv/store/example.com/john/Sub/Deep/"), root + "/"), "/srv/store/example.com/john/");
    EXPECT_EQ(MailBoxPathOf(DirStorage("/srv/store/_In"), root), std::nullopt);
    EXPECT_EQ(MailBoxPathOf(DirStorage("/srv/store/example.com/john"), root), std::nullopt);
    EXPECT_EQ(MailBoxPathOf(DirStorage("/srv/other/example.com/john/_In"), root), std::nullopt);
}

}  // namespace
}  // namespace pw::store
