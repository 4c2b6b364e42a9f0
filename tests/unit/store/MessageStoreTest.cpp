// MessageStore: the layout start-up makes (and leaves alone the second time), lookups by address,
// the primary domain, and the clean-up of files that writers which died left behind.
#include "store/MessageStore.h"

#include <gtest/gtest.h>

#include "store/StoreTestSupport.h"

namespace pw::store {
namespace {

using support::FileProperty;
using test::FileExists;
using store_MessageStoreTest = support::StoreFixture;

TEST(store_MessageStore, OpenOrCreateMakesTheWellKnownFoldersOnceAndRepairsOnlyWhatIsMissing) {
    test::ScratchDirectory scratch;
    const std::string root = scratch / "mail";
    std::vector<std::string> made;
    const auto store = MessageStore::OpenOrCreate(root, &made);
    EXPECT_EQ(made.size(), 7u);  // the root, its property file and five folders
    EXPECT_EQ(store->Name(), "mail");
    EXPECT_EQ(FileProperty(root + "/_mail", kVersionKey).AsI4(), 1);
    struct Expected {
        const char* path;
        const char* file;
        std::int32_t type;
    };
    for (const Expected& e : {Expected{"_In", "__In", InboxFolderType}, Expected{"_Out", "__Out", OutboxFolderType},
                              Expected{"Bayesian Learn", "_Bayesian Learn", PublicSystemFolderType},
                              Expected{"Bayesian Learn/Spam", "_Spam", PublicSystemFolderType},
                              Expected{"Bayesian Learn/Good", "_Good", PublicSystemFolderType}}) {
        const std::string file = root + "/" + e.path + "/" + e.file;
        EXPECT_TRUE(FileExists(root + "/" + e.path + "/_uid")) << e.path;
        const Variant type = FileProperty(file, kTypeKey);
        EXPECT_TRUE(type.Type() == VT_I4 && type.AsI4() == e.type) << e.path;
        const char* rights = e.type == PublicSystemFolderType ? "lip" : "";
        EXPECT_EQ(FileProperty(file, "_ACL:members:default").AsText(), rights) << e.path;
        EXPECT_EQ(FileProperty(file, "_ACL:members:localhost").AsText(), rights) << e.path;
    }
    EXPECT_EQ(store->FindFolder("bayesian learn/SPAM")->FolderType(), PublicSystemFolderType);

    const auto before = support::Snapshot(root);
    MessageStore::OpenOrCreate(root, &made);
    EXPECT_TRUE(made.empty());
    EXPECT_EQ(support::Snapshot(root), before);

    std::filesystem::remove_all(root + "/_Out");
    MessageStore::OpenOrCreate(root, &made);
    EXPECT_EQ(made.size(), 1u);
    EXPECT_EQ(store->OutFolder()->FolderType(), OutboxFolderType);
    EXPECT_EQ(support::Snapshot(root).size(), before.size());
}

TEST_F(store_MessageStoreTest, FindsMailBoxesWithoutRegardToCaseAndRefusesOtherShapes) {
    store_->GetDomains()->Add("example.com")->GetMailBoxes()->Add("john", UserMailBoxType);
    for (const char* address : {"JOHN@Example.Com", "<john@example.com>", " john@EXAMPLE.COM "}) {
        const auto mailbox = store_->FindMailBox(address);
        ASSERT_NE(mailbox, nullptr) << address;
        EXPECT_EQ(mailbox->Address(), "john@example.com");
    }
    for (const char* address : {"john", "nobody@example.com", "john@example.org", "../john@example.com", "john@..",
                                "@example.com", "john@", "_In@example.com"}) {
        EXPECT_EQ(store_->FindMailBox(address), nullptr) << address;
    }
    EXPECT_EQ(store_->FindDomain("_In"), nullptr);  // a folder of the root is no domain
}

TEST_F(store_MessageStoreTest, PrimaryDomainComesFromTheSettingElseTheFirstDomainElseLocalhost) {
    core::ConfigTree config;
    EXPECT_EQ(store_->PostmasterAddress(config), "<postmaster@localhost>");
    EXPECT_EQ(store_->SystemSender(config), "<mail-deamon@localhost>");
    store_->GetDomains()->Add("zeta.org");
    store_->GetDomains()->Add("Alpha.net");
    EXPECT_EQ(store_->PostmasterAddress(config), "<postmaster@alpha.net>");
    config.Set(kPrimaryDomainKey, Variant::Text(""));
    EXPECT_EQ(store_->PrimaryDomain(config), "alpha.net");
    config.Set(kPrimaryDomainKey, Variant::Text("mail.example.com"));
    EXPECT_EQ(store_->PostmasterAddress(config), "<postmaster@mail.example.com>");
}

TEST_F(store_MessageStoreTest, RemoveAbandonedFilesClearsWhatDeadWritersLeftAndNothingElse) {
    const auto envelopes = store_->InFolder()->GetEnvelopes();
    auto published = envelopes->Add();
    ASSERT_EQ(published->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("kept"), S_OK);
    published->Update();
    store_->GetDomains()->Add("example.com")->GetMailBoxes()->Add("john", UserMailBoxType);
    // A record whose content is gone (a removal cut short, or an update that raced it) is as dead as
    // content without a record.
    const std::vector<std::string> abandoned = {"~x.1.2.tmp", "_In/0000005.eml", "_In/~0000001.env.77.3.tmp",
                                                "example.com/john/_In/00000aa.eml", "example.com/~_example.com.9.9.tmp",
                                                "_In/0000008.env", "example.com/john/_In/00000BB.env"};
    // Not an envelope; a mailbox is no folder; a pair whose stems differ only in case.
    const std::vector<std::string> made = {"_In/notes.eml", "example.com/john/0000007.eml", "example.com/john/0000007.env",
                                           "_In/000000A.ENV", "_In/000000a.eml"};
    for (const auto& name : abandoned) test::WriteFileText(At(name), "left behind");
    for (const auto& name : made) test::WriteFileText(At(name), name);
    std::vector<std::string> kept = {"_In/0000001.env", "_In/0000001.eml"};
    kept.insert(kept.end(), made.begin(), made.end());
    const auto before = support::Snapshot(root_);

    EXPECT_EQ(store_->RemoveAbandonedFiles(), abandoned.size());
    for (const auto& name : abandoned) EXPECT_FALSE(FileExists(At(name))) << name;
    for (const auto& name : kept) EXPECT_EQ(test::ReadFileBytes(At(name)), before.at(name)) << name;
    EXPECT_EQ(support::Snapshot(root_).size(), before.size() - abandoned.size());
    EXPECT_EQ(store_->FindEnvelope("_In/0000001")->ContentSize(), 4u);
    EXPECT_EQ(store_->RemoveAbandonedFiles(), 0u);
}

}  // namespace
}  // namespace pw::store
