// Store objects: what creating a domain, mailbox or folder leaves on disk, names that must never
// become paths, merged property updates from several openers, and renames that keep the property file.
#include "store/StoreObject.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "platform/FileSystem.h"
#include "platform/Guid.h"
#include "store/Password.h"
#include "store/StoreTestSupport.h"

namespace pw::store {
namespace {

using support::FileProperty;
using test::FileExists;
using store_StoreObjectTest = support::StoreFixture;

template <typename Add>
void ExpectRefused(Add add, HRESULT code, const std::string& root) {
    const auto before = support::Snapshot(root);
    try {
        add();
        ADD_FAILURE() << "accepted";
    } catch (const ComError& error) {
        EXPECT_EQ(error.Code(), code);
    }
    EXPECT_EQ(support::Snapshot(root), before);
}

TEST_F(store_StoreObjectTest, DomainsAndEveryMailBoxKindGetTheirDirectoryAndPropertyFile) {
    const auto domain = store_->GetDomains()->Add("Example.COM");
    const Variant version = FileProperty(At("example.com/_example.com"), kVersionKey);
    EXPECT_TRUE(version.Type() == VT_I4 && version.AsI4() == 1);

    const auto mailboxes = domain->GetMailBoxes();
    for (const std::int32_t kind : {PostmasterMailBoxType, UserMailBoxType, ForwardMailBoxType, GroupMailBoxType,
                                    MailingListMailBoxType, AutoResponderMailBoxType, RobotMailBoxType, RelayMailBoxType,
                                    AliasMailBoxType}) {
        const std::string name = "box" + std::to_string(kind);
        const auto mailbox = mailboxes->Add("Box" + std::to_string(kind), kind);
        EXPECT_EQ(mailbox->Address(), name + "@example.com");
        const Variant type = FileProperty(At("example.com/" + name + "/_" + name), kTypeKey);
        EXPECT_TRUE(type.Type() == VT_I4 && type.AsI4() == kind) << kind;
        const bool inbox = kind == PostmasterMailBoxType || kind == UserMailBoxType || kind == RelayMailBoxType;
        EXPECT_EQ(FileExists(At("example.com/" + name + "/_In")), inbox) << kind;
        EXPECT_EQ(mailbox->InFolder() != nullptr, inbox) << kind;
    }
    EXPECT_EQ(mailboxes->Count(), 9u);
    for (const std::int32_t kind : {std::int32_t{NoMailBoxType}, 42, -1}) {
        ExpectRefused([&] { mailboxes->Add("odd", kind); }, E_INVALIDARG, root_);
    }
    // An inbox lost by hand is given back, empty.
    ASSERT_GT(std::filesystem::remove_all(At("example.com/box100/_In")), 0u);
    ASSERT_NE(mailboxes->Item("BOX100")->InFolder(), nullptr);
    EXPECT_TRUE(FileExists(At("example.com/box100/_In/_uid")));
}

TEST_F(store_StoreObjectTest, HostileAndTakenNamesAreRefusedAndCreateNothing) {
    const auto domains = store_->GetDomains();
    const auto domain = domains->Add("example.com");
    const auto mailboxes = domain->GetMailBoxes();
    const auto mailbox = mailboxes->Add("john", UserMailBoxType);
    const auto folders = mailbox->GetFolders();
    folders->Add("Archive", NormalFolderType);
    for (const std::string_view name : {std::string_view(".."), std::string_view("."), std::string_view("a/b"),
                                        std::string_view("a\\b"), std::string_view(""), std::string_view("x\n"),
                                        std::string_view("a\0b", 3), std::string_view("_uid"),
                                        std::string_view("~x.1.2.tmp")}) {
        SCOPED_TRACE(testing::PrintToString(std::string(name)));
        ExpectRefused([&] { domains->Add(name); }, STG_E_INVALIDNAME, root_);
        ExpectRefused([&] { mailboxes->Add(name, UserMailBoxType); }, STG_E_INVALIDNAME, root_);
        ExpectRefused([&] { folders->Add(name, NormalFolderType); }, STG_E_INVALIDNAME, root_);
        ExpectRefused([&] { folders->Rename("Archive", name); }, STG_E_INVALIDNAME, root_);
        EXPECT_EQ(folders->Item(name), nullptr);
        EXPECT_EQ(mailboxes->Item(name), nullptr);
    }
    // Names differing only in case are one name.
    ExpectRefused([&] { folders->Add("ARCHIVE", NormalFolderType); }, STG_E_ALREADYEXISTS, root_);
    ExpectRefused([&] { mailboxes->Add("JOHN", RobotMailBoxType); }, STG_E_ALREADYEXISTS, root_);
    ExpectRefused([&] { domains->Add("EXAMPLE.com"); }, STG_E_ALREADYEXISTS, root_);
    folders->Add("Sent", NormalFolderType);
    ExpectRefused([&] { folders->Rename("Sent", "archive"); }, STG_E_ALREADYEXISTS, root_);
    ExpectRefused([&] { folders->Add("Other", 7); }, E_INVALIDARG, root_);
    EXPECT_EQ(folders->Item("aRCHIVE")->Name(), "Archive");
}

TEST_F(store_StoreObjectTest, UpdatesFromTwoOpenersMergeAndTheLastWriterOfAKeyWins) {
    store_->GetDomains()->Add("example.com")->GetMailBoxes()->Add("john", UserMailBoxType);
    const auto first = store_->FindMailBox("john@example.com");
    const auto second = store_->FindMailBox("john@example.com");
    first->SetPassword("pa55word!");
    first->GetProperties().SetItem("shared", Variant::Text("first"));
    second->GetProperties().SetItem("custom:flag", Variant::I4(7));
    second->GetProperties().SetItem("shared", Variant::Text("second"));
    first->Update();
    second->Update();
    const std::string file = At("example.com/john/_john");
    EXPECT_EQ(FileProperty(file, "custom:flag").AsI4(), 7);
    EXPECT_EQ(FileProperty(file, "shared").AsText(), "second");
    EXPECT_EQ(FileProperty(file, kTypeKey).AsI4(), UserMailBoxType);
    EXPECT_EQ(FileProperty(file, kPasswordKey).AsText(), EncipherPassword("pa55word!"));  // never the clear text
    EXPECT_TRUE(second->IsPassword("pa55word!"));  // its view now holds the first opener's work too

    // Writers on several threads, each with its own key, lose nothing.
    constexpr int kRounds = 15;
    std::latch start(2);
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kRounds; ++i) {
                const auto mailbox = MessageStore::Open(root_)->FindMailBox("john@example.com");
                mailbox->GetProperties().SetItem("t" + std::to_string(t) + ":" + std::to_string(i), Variant::I4(i));
                mailbox->Update();
            }
        });
    }
    for (auto& writer : writers) writer.join();
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < kRounds; ++i) EXPECT_EQ(FileProperty(file, "t" + std::to_string(t) + ":" + std::to_string(i)).AsI4(), i);
    }
    EXPECT_EQ(FileProperty(file, kPasswordKey).AsText(), EncipherPassword("pa55word!"));
}

TEST_F(store_StoreObjectTest, MakersOfOneNameAtOnceAllGetTheOneWholeObjectAndNothingPutInItIsLost) {
    // As routers reaching a new remote domain at once: make the folder or, when another was first,
    // take it -- then publish into it. A loser once removed the winner's folder with its messages.
    constexpr int kMakers = 4;
    constexpr int kRounds = 40;
    const auto out = store_->OutFolder()->GetFolders();
    for (int round = 0; round < kRounds; ++round) {
        const std::string name = "remote" + std::to_string(round) + ".test";
        std::latch start(kMakers);
        std::atomic<int> failures{0};
        std::vector<std::thread> makers;
        for (int t = 0; t < kMakers; ++t) {
            makers.emplace_back([&] {
                start.arrive_and_wait();
                try {
                    std::shared_ptr<Folder> folder;
                    try {
                        folder = out->Add(name, TempFolderType);
                    } catch (const ComError& error) {
                        if (error.Code() != STG_E_ALREADYEXISTS) throw;
                        folder = out->Item(name);
                    }
                    if (!folder) throw ComError(STG_E_PATHNOTFOUND, "no folder");
                    auto envelope = folder->GetEnvelopes()->Add();
                    ThrowIfFailed(envelope->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("mail"));
                    envelope->Update();
                } catch (const ComError& error) {
                    ADD_FAILURE() << name << ": " << error.what();
                    ++failures;
                }
            });
        }
        for (auto& maker : makers) maker.join();
        ASSERT_EQ(failures, 0);
        ASSERT_EQ(out->Item(name)->GetEnvelopes()->Count(), static_cast<std::size_t>(kMakers)) << name;
    }
    // Only whole objects are listed, and nothing hidden is left behind.
    EXPECT_EQ(out->Count(), static_cast<std::size_t>(kRounds));
    for (const auto& entry : std::filesystem::directory_iterator(At("_Out"))) EXPECT_NE(entry.path().filename().string().front(), '~');

    // A creation cut short before its name was given is cleared at start-up; a mailbox is made with
    // its inbox already inside.
    const auto mailboxes = store_->GetDomains()->Add("example.com")->GetMailBoxes();
    std::filesystem::create_directories(At("example.com/~bob.7.7.tmp/_In"));
    test::WriteFileText(At("example.com/~bob.7.7.tmp/_In/_uid"), "");
    EXPECT_TRUE(mailboxes->Names().empty());
    EXPECT_GE(store_->RemoveAbandonedFiles(), 1u);
    EXPECT_FALSE(FileExists(At("example.com/~bob.7.7.tmp")));
    mailboxes->Add("bob", UserMailBoxType);
    EXPECT_TRUE(FileExists(At("example.com/bob/_In/_uid")));
    EXPECT_TRUE(FileExists(At("example.com/bob/_In/__In")));
}

TEST_F(store_StoreObjectTest, RenameTakesThePropertyFileAlong) {
    const auto mailboxes = store_->GetDomains()->Add("example.com")->GetMailBoxes();
    auto folder = mailboxes->Add("john", UserMailBoxType)->GetFolders()->Add("Old", NormalFolderType);
    folder->SetComment("kept");
    folder->Update();
    folder->GetEnvelopes()->Add()->Update();
    mailboxes->Item("john")->GetFolders()->Rename("old", "New");
    EXPECT_TRUE(FileExists(At("example.com/john/New/_New")));
    EXPECT_FALSE(FileExists(At("example.com/john/New/_Old")));
    EXPECT_FALSE(FileExists(At("example.com/john/Old")));
    EXPECT_EQ(mailboxes->Item("john")->GetFolders()->Item("new")->Comment(), "kept");
    EXPECT_EQ(store_->FindEnvelope("example.com/john/New/0000001")->UID(), 1);

    mailboxes->Rename("John", "Jane");
    EXPECT_TRUE(FileExists(At("example.com/jane/_jane")));
    EXPECT_FALSE(FileExists(At("example.com/jane/_john")));
    EXPECT_EQ(store_->FindMailBox("jane@example.com")->MailBoxType(), UserMailBoxType);

    // A rename cut short after moving the directory: the next open gives the property file its name.
    ASSERT_EQ(::rename(At("example.com/jane").c_str(), At("example.com/joe").c_str()), 0);
    const auto joe = store_->FindMailBox("joe@example.com");
    ASSERT_NE(joe, nullptr);
    EXPECT_EQ(joe->MailBoxType(), UserMailBoxType);
    EXPECT_TRUE(FileExists(At("example.com/joe/_joe")));
}

TEST_F(store_StoreObjectTest, MoveTakesAFolderWithItsTreeAndCounterToAnotherParentAndNeverOverATakenName) {
    const auto john = store_->GetDomains()->Add("example.com")->GetMailBoxes()->Add("john", UserMailBoxType);
    const auto top = john->GetFolders();
    const auto old = top->Add("Old", NormalFolderType);
    old->SetComment("kept");
    old->Update();
    old->GetEnvelopes()->Add()->Update();
    old->GetFolders()->Add("Child", NormalFolderType);
    const auto trash = top->Add("Trash", NormalFolderType);
    trash->GetFolders()->Add("taken", NormalFolderType);

    const auto expectRefused = [&](std::string_view name, std::string_view into, HRESULT code) {
        try {
            top->Move(name, *top->Item(into)->GetFolders(), "Taken");
            ADD_FAILURE() << "moved " << name << " into " << into;
        } catch (const ComError& error) {
            EXPECT_EQ(error.Code(), code) << error.what();
        }
    };
    expectRefused("old", "Trash", STG_E_ALREADYEXISTS);  // any case of a name taken there
    expectRefused("Gone", "Trash", STG_E_PATHNOTFOUND);
    EXPECT_THROW(top->Move("Old", *top->Item("Old")->GetFolders()->Item("Child")->GetFolders(), "Old"), ComError);
    EXPECT_TRUE(FileExists(At("example.com/john/Old/_Old")));

    top->Move("old", *trash->GetFolders(), "Old");  // the same name: the property file stays as it is
    EXPECT_TRUE(FileExists(At("example.com/john/Trash/Old/_Old")));
    EXPECT_FALSE(FileExists(At("example.com/john/Old")));
    trash->GetFolders()->Move("Old", *top, "Back");
    const auto back = john->FindFolder("Back");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Comment(), "kept");
    EXPECT_TRUE(FileExists(At("example.com/john/Back/_Back")));
    EXPECT_NE(john->FindFolder("Back/Child"), nullptr);
    EXPECT_EQ(back->GetEnvelopes()->Uids(), std::vector<double>{1});
    EXPECT_EQ(back->GetEnvelopes()->NextUID(), 2) << "the id counter went along";
}

TEST(store_AgentFileName, IsTheGroupsInShortHexThenTheExtension) {
    EXPECT_EQ(AgentFileName(*Guid::Parse("{00000109-0000-0000-C000-000000000046}")), "10900c000046.agent");
    EXPECT_EQ(AgentFileName(*Guid::Parse("{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}")), "a1b2c3d4e5f6718293a4b5c6d7e8f90.agent");
}

TEST_F(store_StoreObjectTest, PropertyUpdatesUnderEverySingleFailingCallKeepAWholeFile) {
    const auto mailbox = store_->GetDomains()->Add("example.com")->GetMailBoxes()->Add("john", UserMailBoxType);
    const std::string file = At("example.com/john/_john");
    std::int32_t stored = 0;
    std::uint64_t n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 100u) << "an update that never runs out of calls";
        std::vector<FaultyFileSystem::Fault> faults;
        ASSERT_TRUE(FaultyFileSystem::ParseFaultList("any:" + std::to_string(n) + ":EDQUOT", faults));
        FaultyFileSystem faulty(faults);
        bool succeeded = false;
        {
            const ScopedFileSystem installed(faulty);
            try {
                const auto again = store_->FindMailBox("john@example.com");
                ASSERT_TRUE(again);
                again->GetProperties().SetItem("Counter", Variant::I4(static_cast<std::int32_t>(n)));
                again->Update();
                succeeded = true;
            } catch (const ComError& error) {
                EXPECT_EQ(error.Code(), STG_E_MEDIUMFULL) << "N=" << n;
            }
        }
        // The old value or the new one, in a file that reads whole; success means the new one (a
        // failure after the rename may leave the new one too).
        const std::int32_t value = FileProperty(file, "Counter").AsI4();
        EXPECT_TRUE(value == static_cast<std::int32_t>(n) || (!succeeded && value == stored)) << "N=" << n;
        stored = value;
        EXPECT_EQ(store_->RemoveAbandonedFiles(), 0u) << "N=" << n;
        if (faulty.Fired() == 0) break;
    }
    EXPECT_GT(n, 6u);
    EXPECT_EQ(FileProperty(file, "Counter").AsI4(), static_cast<std::int32_t>(n));
}

}  // namespace
}  // namespace pw::store
