// MessageStore: the layout start-up makes (and leaves alone the second time), lookups by address,
// the primary domain, and the clean-up of files that writers which died left behind.
#include "store/MessageStore.h"

#include <gtest/gtest.h>

#include "store/StoreTestSupport.h"
#include "store/UidCounter.h"

#include <filesystem>

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

// Children are told apart by their property files: directories that are no store object are passed
// over, and folders that lost their counters (or never got them) stay folders and get them back.
TEST_F(store_MessageStoreTest, ChildrenAreToldByTheirPropertyFilesAndHalfMadeFoldersAreRepaired) {
    namespace fs = std::filesystem;
    const auto domain = store_->GetDomains()->Add("zeta.example");
    domain->GetMailBoxes()->Add("postmaster", PostmasterMailBoxType);
    const auto mary = domain->GetMailBoxes()->Add("mary", UserMailBoxType);
    domain->GetMailBoxes()->Add("john", UserMailBoxType);
    mary->GetFolders()->Add("Archive", NormalFolderType);
    domain->GetFolders()->Add("Shared", NormalFolderType);
    store_->GetFolders()->Add("Public", PublicFolderType);
    // A file system's own directory in the root and in a domain; a creation cut right after mkdir.
    fs::create_directory(At("lost+found"));
    fs::create_directory(At("zeta.example/lost+found"));
    fs::remove_all(At("zeta.example/john/_In"));
    fs::create_directory(At("zeta.example/john/_In"));
    // Folders whose counters are gone; one holds messages up to 0000007.
    for (const char* folder : {"zeta.example/mary/Archive", "zeta.example/Shared", "Public", "zeta.example/mary/_In"}) {
        ASSERT_TRUE(fs::remove(At(std::string(folder) + "/_uid"))) << folder;
    }
    test::WriteFileText(At("zeta.example/mary/Archive/0000007.eml"), "x");
    test::WriteFileText(At("zeta.example/mary/Archive/0000007.env"), "x");

    core::ConfigTree config;
    EXPECT_EQ(store_->PrimaryDomain(config), "zeta.example");
    EXPECT_EQ(store_->GetDomains()->Names(), std::vector<std::string>{"zeta.example"});
    EXPECT_EQ(store_->StoreObjectType("lost+found"), StoreNoType);
    EXPECT_EQ(store_->StoreObjectType("zeta.example/lost+found"), StoreNoType);
    EXPECT_EQ(store_->StoreObjectType("zeta.example/postmaster"), StoreMailBoxType);
    EXPECT_EQ(store_->StoreObjectType("zeta.example/Shared"), StoreFolderType);
    EXPECT_EQ(store_->StoreObjectType("zeta.example/mary/Archive/0000007.env"), StoreEnvelopeType);
    EXPECT_EQ(domain->GetMailBoxes()->Names(), (std::vector<std::string>{"john", "mary", "postmaster"}));
    EXPECT_EQ(domain->GetFolders()->Names(), std::vector<std::string>{"Shared"});
    EXPECT_EQ(store_->GetFolders()->MatchPattern("P*"), std::vector<std::string>{"Public"});
    EXPECT_NE(store_->FindFolder("Public"), nullptr);
    EXPECT_NE(mary->GetFolders()->FindFolder("Archive"), nullptr);

    // On first use: the inbox cut short is taken over, and the counters come back.
    const auto johnInbox = store_->FindMailBox("john@zeta.example")->InFolder();
    ASSERT_NE(johnInbox, nullptr);
    EXPECT_EQ(johnInbox->FolderType(), InboxFolderType);
    EXPECT_TRUE(FileExists(At("zeta.example/john/_In/_uid")));
    EXPECT_EQ(store_->FindMailBox("mary@zeta.example")->InFolder()->GetEnvelopes()->NextUID(), 1.0);

    // At start-up: every folder without a counter gets one that starts after its highest stem.
    std::vector<std::string> made;
    ASSERT_NO_THROW(MessageStore::OpenOrCreate(root_, &made));
    for (const char* folder : {"zeta.example/mary/Archive", "zeta.example/Shared", "Public", "zeta.example/mary/_In"}) {
        EXPECT_TRUE(FileExists(At(std::string(folder) + "/_uid"))) << folder;
    }
    EXPECT_EQ(made.size(), 3u);  // mary's inbox got its counter on first use
    EXPECT_FALSE(FileExists(At("lost+found/_uid")));
    EXPECT_FALSE(FileExists(At("zeta.example/_uid")));
    EXPECT_FALSE(FileExists(At("zeta.example/mary/_uid")));
    EXPECT_EQ(test::ReadFileBytes(At("zeta.example/mary/Archive/_uid")).size(), 8u);
    double uid = 0;
    ASSERT_EQ(DrawUid(DirStorage(At("zeta.example/mary/Archive")), uid), S_OK);
    EXPECT_EQ(uid, 8.0);
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
