// Collections: the walk over a parent's domains, mailboxes or folders -- its order, its snapshot, the
// lookups by place and name, and the lower-case names of domains and mailboxes beside folders that
// keep their case.
#include "store/Collection.h"

#include <gtest/gtest.h>

#include "store/StoreTestSupport.h"

namespace pw::store {
namespace {

using store_CollectionTest = support::StoreFixture;
using Names = std::vector<std::string>;

// The names a walk from Reset hands out.
template <typename Objects>
Names Walk(Objects& objects) {
    Names names;
    objects.Reset();
    while (const auto object = objects.Next()) names.push_back(object->Name());
    return names;
}

template <typename Objects>
void ExpectOutOfRange(const Objects& objects, std::size_t index, std::string_view noun) {
    try {
        objects.Item(index);
        ADD_FAILURE() << "index " << index << " accepted";
    } catch (const ComError& error) {
        EXPECT_EQ(error.Code(), E_INVALIDARG);
        EXPECT_EQ(std::string(error.what()).find(std::string(noun) + " index out of range"), 0u) << error.what();
    }
}

TEST_F(store_CollectionTest, WalksEachKindInNameOrderOverASnapshotAndFoldsOnlyDomainAndMailBoxNames) {
    const auto domains = store_->GetDomains();
    domains->Add("b.test");
    domains->Add("A.test");
    domains->Add("c.test");
    EXPECT_EQ(Walk(*domains), (Names{"a.test", "b.test", "c.test"}));
    EXPECT_EQ(domains->Item(std::size_t{1})->Name(), "b.test");
    EXPECT_EQ(domains->Item("B.TEST")->Name(), "b.test");
    ExpectOutOfRange(*domains, 3, "domain");

    // Removed after Reset: passed over. Added after Reset: not in this walk, in the next.
    domains->Reset();
    ASSERT_EQ(domains->Next()->Name(), "a.test");
    domains->Remove("b.test");
    domains->Add("bb.test");
    EXPECT_EQ(domains->Next()->Name(), "c.test");
    EXPECT_EQ(domains->Next(), nullptr);
    EXPECT_EQ(Walk(*domains), (Names{"a.test", "bb.test", "c.test"}));

    const auto mailboxes = domains->Item("a.test")->GetMailBoxes();
    mailboxes->Add("Zed", UserMailBoxType);
    mailboxes->Add("amy", AliasMailBoxType);
    EXPECT_EQ(Walk(*mailboxes), (Names{"amy", "zed"}));
    mailboxes->Rename("ZED", "Bob");
    EXPECT_EQ(Walk(*mailboxes), (Names{"amy", "bob"}));
    EXPECT_TRUE(test::FileExists(At("a.test/bob/_bob")));
    ExpectOutOfRange(*mailboxes, 2, "mailbox");

    // Folders keep their case on disk, order without regard to it, and are never mailboxes.
    const auto folders = mailboxes->Item("bob")->GetFolders();
    folders->Add("sent", NormalFolderType);
    folders->Add("Archive", NormalFolderType);
    EXPECT_EQ(Walk(*folders), (Names{"_In", "Archive", "sent"}));
    folders->Rename("SENT", "Outbox");
    EXPECT_EQ(Walk(*folders), (Names{"_In", "Archive", "Outbox"}));
    EXPECT_EQ(folders->Item("archive")->Name(), "Archive");
    EXPECT_EQ(folders->Item(std::size_t{2})->Name(), "Outbox");
    ExpectOutOfRange(*folders, 3, "folder");
    EXPECT_EQ(mailboxes->Item("_In"), nullptr);
    EXPECT_EQ(Walk(*store_->GetDomains()->Item("a.test")->GetFolders()), Names{});
}

TEST_F(store_CollectionTest, ADomainIsFoundByEitherSpellingAlsoWhenItWasMadeUnderItsAsciiForm) {
    const auto domains = store_->GetDomains();
    EXPECT_EQ(domains->Add("BÜCHER.test")->Name(), "bücher.test");
    EXPECT_EQ(domains->Item("xn--bcher-kva.TEST")->Name(), "bücher.test");
    EXPECT_EQ(store_->FindMailBox("x@xn--bcher-kva.test"), nullptr);
    domains->Item("bücher.test")->GetMailBoxes()->Add("Jörg", UserMailBoxType);
    EXPECT_EQ(store_->FindMailBox("jÖrg@xn--bcher-kva.test"), nullptr) << "only ASCII letters fold in a local part";
    ASSERT_NE(store_->FindMailBox("JöRG@XN--BCHER-KVA.test"), nullptr);
    EXPECT_THROW(domains->Add("xn--bcher-kva.test"), ComError);

    // A domain made before names were kept in Unicode sits under its ASCII form.
    DirStorage made;
    ASSERT_TRUE(Succeeded(CreateStoreObject(store_->Storage(), "xn--mnchen-3ya.test", 0, false, made)));
    EXPECT_EQ(domains->Item("München.test")->Name(), "xn--mnchen-3ya.test");
    EXPECT_EQ(domains->Item("xn--mnchen-3ya.test")->Name(), "xn--mnchen-3ya.test");
    EXPECT_THROW(domains->Add("münchen.test"), ComError);
    domains->Remove("MÜNCHEN.test");
    EXPECT_EQ(domains->Item("xn--mnchen-3ya.test"), nullptr);
}

}  // namespace
}  // namespace pw::store
