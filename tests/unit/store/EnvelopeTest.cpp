// Envelope: the ".env" record byte for byte, damaged records, file names, reservation and publication
// of new envelopes, ids whose files already exist, copies sharing content, and removal after a
// removal that was cut short.
#include "store/Envelope.h"

#include <gtest/gtest.h>

#include <bit>
#include <sys/stat.h>
#include <unistd.h>

#include "core/CoreTestSupport.h"
#include "platform/FileSystem.h"
#include "store/StoreTestSupport.h"
#include "store/UidCounter.h"

namespace pw::store {
namespace {

using core::support::Group;
using core::support::Head;
using core::support::TextValue;
using test::FileExists;
using store_EnvelopeTest = support::StoreFixture;

std::vector<std::byte> Record(const Envelope& envelope) {
    MemoryStream stream;
    EXPECT_EQ(envelope.WriteRecord(stream), S_OK);
    return stream.TakeBytes();
}

HRESULT ReadImage(Envelope& envelope, const std::vector<std::byte>& bytes) {
    MemoryStream stream(bytes);
    return envelope.ReadRecord(stream);
}

TEST_F(store_EnvelopeTest, WritesThePropertyTreeThenTheRecipientListByteForByte) {
    Envelope envelope(DirStorage(scratch_.Path()), root_, 7, true);
    // Nothing set: an empty tree, then the four bytes of a zero recipient count.
    EXPECT_EQ(Record(envelope), test::Bytes().U32(1).U32(0).U32(0).Get());

    envelope.SetSender("<s@x.org>");
    envelope.SetPriority(EnvelopePriorityHigh);
    envelope.GetProperties().SetItem("Relay:hops", Variant::I4(-1));
    envelope.GetRecipients().Add("a@b");
    envelope.GetRecipients().Add("\xC3\xBC@\xF0\x9F\x98\x80");  // "ü@" and U+1F600, a surrogate pair
    test::Bytes expected;
    expected.U32(1).U32(4);
    TextValue(Head(expected, "_Sender", VT_BSTR), "<s@x.org>");
    Head(expected, "_Priority", VT_I4).U32(2);
    Group(expected, "Relay");
    Head(expected, "Relay:hops", VT_I4).U32(0xFFFFFFFF);
    expected.U32(2).U32(8).Utf16("a@b").U16(0);
    expected.U32(10).U16(0x00FC).U16('@').U16(0xD83D).U16(0xDE00).U16(0);
    ASSERT_EQ(Record(envelope), expected.Get());

    Envelope reread(DirStorage(scratch_.Path()), root_, 8, true);
    ASSERT_EQ(ReadImage(reread, expected.Get()), S_OK);
    EXPECT_EQ(Record(reread), expected.Get());

    // A null entry (count 0) reads as an empty address and is written back as an empty text.
    ASSERT_EQ(ReadImage(reread, test::Bytes().U32(1).U32(0).U32(2).U32(0).U32(8).Utf16("a@b").U16(0).Get()), S_OK);
    EXPECT_EQ(reread.GetRecipients().All(), (std::vector<std::string>{"", "a@b"}));
    EXPECT_EQ(Record(reread), test::Bytes().U32(1).U32(0).U32(2).U32(2).U16(0).U32(8).Utf16("a@b").U16(0).Get());
}

TEST_F(store_EnvelopeTest, DamagedRecordsFailToLoadAndLeaveTheEnvelopeAsItWas) {
    Envelope source(DirStorage(scratch_.Path()), root_, 1, true);
    source.SetSender("<s@x.org>");
    source.GetRecipients().Add("a@b");
    source.GetRecipients().Add("c@d");
    const auto whole = Record(source);

    Envelope target(DirStorage(scratch_.Path()), root_, 2, true);
    target.SetSender("kept");
    target.GetRecipients().Add("kept@x");
    std::vector<std::vector<std::byte>> damaged;
    for (std::size_t size = 0; size < whole.size(); ++size) damaged.push_back(core::support::Cut(whole, size));
    // Counts far beyond the bytes that follow must be refused before anything is allocated.
    damaged.push_back(test::Bytes().U32(1).U32(0xFFFFFFFF).U32(1).Get());
    damaged.push_back(test::Bytes().U32(1).U32(1).U32(0xFFFFFFF0).Ascii("_k").Get());
    damaged.push_back(test::Bytes().U32(1).U32(1).U32(2).Ascii("_k").U16(VT_BSTR).U32(0xFFFFFFFE).U16('a').Get());
    damaged.push_back(test::Bytes().U32(1).U32(0).U32(0xFFFFFFFF).Get());
    damaged.push_back(test::Bytes().U32(1).U32(0).U32(0x40000000).U32(0).U32(0).Get());
    damaged.push_back(test::Bytes().U32(1).U32(0).U32(1).U32(0xFFFFFFFE).Utf16("a@b").Get());
    damaged.push_back(test::Bytes().U32(1).U32(0).U32(2).U32(8).Utf16("a@b").U16(0).U32(9).Get());
    for (std::size_t i = 0; i < damaged.size(); ++i) EXPECT_TRUE(Failed(ReadImage(target, damaged[i]))) << "image " << i;
    EXPECT_EQ(target.Sender(), "kept");
    EXPECT_EQ(target.GetRecipients().All(), std::vector<std::string>{"kept@x"});
    Recipients list;
    MemoryStream huge(test::Bytes().U32(0xFFFFFFFF).Get());
    EXPECT_TRUE(Failed(list.Load(huge)));

    // A damaged record on disk is reported, not taken for a missing envelope.
    test::WriteFileBytes(At("_In/0000009.env"), core::support::Cut(whole, whole.size() - 1));
    EXPECT_THROW(store_->InFolder()->GetEnvelopes()->FindEnvelope(9), ComError);
}

TEST_F(store_EnvelopeTest, FirstEnvelopeOfANewFolderIsListedOnlyAfterItsFirstUpdate) {
    const auto envelopes = store_->GetFolders()->Add("Fresh", NormalFolderType)->GetEnvelopes();
    auto envelope = envelopes->Add();
    // Staged under a temporary name, without an id: ids are drawn when envelopes are published, so
    // the one published first has the lower id whoever started first.
    EXPECT_EQ(envelope->UID(), 0);
    EXPECT_EQ(UidStem(268435456), "10000000");
    std::vector<ElementInfo> staged;
    ASSERT_EQ(DirStorage(At("Fresh")).Enumerate("~*", staged), S_OK);
    ASSERT_EQ(staged.size(), 1u);
    EXPECT_TRUE(IsTemporaryName(staged[0].name));
    EXPECT_EQ(envelopes->Count(), 0u);
    auto second = envelopes->Add();
    ASSERT_EQ(second->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("second"), S_OK);
    second->Update();
    EXPECT_EQ(second->UID(), 1);
    double next = 0;
    ASSERT_EQ(PeekUid(DirStorage(At("Fresh")), next), S_OK);
    EXPECT_EQ(next, 2);

    ASSERT_EQ(envelope->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("Subject: x\r\n\r\nbody\r\n"), S_OK);
    envelope->SetSender("<s@x.org>");
    envelope->Update();
    EXPECT_TRUE(envelope->IsPublished());
    EXPECT_EQ(envelope->UID(), 2);
    EXPECT_EQ(envelope->Stem(), "0000002");
    EXPECT_EQ(store_->FindEnvelope("Fresh/0000001")->ContentSize(), 6u);
    staged.clear();
    ASSERT_EQ(DirStorage(At("Fresh")).Enumerate("~*", staged), S_OK);
    EXPECT_TRUE(staged.empty());
    envelopes->Reset();
    EXPECT_EQ(envelopes->Count(), 2u);
    test::Bytes expected;
    expected.U32(1).U32(2);
    Head(expected, "_CreateDate", VT_DATE).U64(std::bit_cast<std::uint64_t>(envelope->CreateDate()));
    TextValue(Head(expected, "_Sender", VT_BSTR), "<s@x.org>");
    expected.U32(0);
    EXPECT_EQ(test::ReadFileBytes(At("Fresh/0000002.env")), expected.Get());

    // After a restart the envelope is found by its namespace with its record and content intact.
    envelope.reset();
    const auto reopened = MessageStore::Open(root_)->FindEnvelope("Fresh/0000002");
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(reopened->Sender(), "<s@x.org>");
    EXPECT_EQ(reopened->ContentSize(), 20u);
    EXPECT_EQ(reopened->Namespace(), "Fresh/0000002");
}

TEST_F(store_EnvelopeTest, EnvelopeDroppedBeforeItsFirstUpdateTakesItsReservedContentWithIt) {
    const auto envelopes = store_->InFolder()->GetEnvelopes();
    const DirStorage in(At("_In"));
    {
        auto abandoned = envelopes->Add();
        ASSERT_EQ(abandoned->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("half a message"), S_OK);
        std::vector<ElementInfo> staged;
        ASSERT_EQ(in.Enumerate("~*", staged), S_OK);
        ASSERT_EQ(staged.size(), 1u);
    }
    std::vector<ElementInfo> left;
    ASSERT_EQ(in.Enumerate("*.*", left), S_OK);
    for (const auto& element : left) EXPECT_TRUE(element.name == "_uid" || element.name.starts_with("_")) << element.name;
    EXPECT_EQ(envelopes->Count(), 0u);
    // It never took an id: the next publication gets the first.
    auto kept = envelopes->Add();
    kept->Update();
    EXPECT_EQ(kept->UID(), 1);
}

TEST_F(store_EnvelopeTest, NewEnvelopeSkipsIdsWhoseFilesExistAndLeavesThemUntouched) {
    struct Case {
        std::vector<std::string> existing;
        double counter;  // 0: the fresh folder's empty "_uid"
        double uid;
    };
    // The last case has a counter that is sound but behind: its draw hits existing files and starts
    // again after them.
    const std::vector<Case> cases = {{{"0000001.env"}, 0, 2}, {{"0000001.eml"}, 0, 2}, {{"0000002.env", "0000003.eml"}, 1, 4}};
    const std::vector<std::byte> mine{std::byte{'m'}, std::byte{'i'}, std::byte{'n'}, std::byte{'e'}};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "Fresh" + std::to_string(i);
        const auto envelopes = store_->GetFolders()->Add(name, NormalFolderType)->GetEnvelopes();
        for (const auto& file : cases[i].existing) test::WriteFileBytes(At(name + "/" + file), mine);
        if (cases[i].counter != 0) test::WriteFileBytes(At(name + "/_uid"), test::Bytes().U64(std::bit_cast<std::uint64_t>(cases[i].counter)).Get());
        const auto envelope = envelopes->Add();
        envelope->Update();
        EXPECT_EQ(envelope->UID(), cases[i].uid) << name;
        for (const auto& file : cases[i].existing) EXPECT_EQ(test::ReadFileBytes(At(name + "/" + file)), mine) << file;
        std::vector<ElementInfo> files;
        ASSERT_EQ(DirStorage(At(name)).Enumerate("0*", files), S_OK);
        EXPECT_EQ(files.size(), cases[i].existing.size() + 2) << name;  // and the new envelope's two files
    }
}

TEST_F(store_EnvelopeTest, CopiesShareOneContentFileThatOutlivesTheOriginal) {
    auto original = store_->InFolder()->GetEnvelopes()->Add();
    ASSERT_EQ(original->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("Subject: x\r\n\r\nbody\r\n"), S_OK);
    original->SetSender("<s@x.org>");
    original->GetRecipients().Add("a@example.com");
    original->Update();
    // The second folder holds a record whose content is gone: its id is passed over, and the link
    // made while trying it is taken back.
    const auto folder = store_->GetFolders()->Add("Fresh", NormalFolderType);
    test::WriteFileBytes(At("Fresh/0000001.env"), Record(*original));

    const auto copy = original->CopyTo(folder->Storage());
    EXPECT_EQ(copy->UID(), 2);
    EXPECT_FALSE(FileExists(At("Fresh/0000001.eml")));
    EXPECT_EQ(Record(*copy), Record(*original));
    EXPECT_EQ(test::ReadFileBytes(At("Fresh/0000002.env")), Record(*original));
    struct stat first {};
    struct stat second {};
    ASSERT_EQ(::stat(At("_In/0000001.eml").c_str(), &first), 0);
    ASSERT_EQ(::stat(At("Fresh/0000002.eml").c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);
    EXPECT_EQ(second.st_nlink, 2u);
    // A copy that gets content of its own before publication leaves the original's alone.
    const auto rewritten = Envelope::CreateCopy(folder->Storage(), *original);
    ASSERT_EQ(rewritten->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("Subject: y\r\n\r\n"), S_OK);
    rewritten->Update();
    EXPECT_EQ(test::ReadFileText(At("Fresh/0000003.eml")), "Subject: y\r\n\r\n");
    EXPECT_EQ(test::ReadFileText(At("_In/0000001.eml")), "Subject: x\r\n\r\nbody\r\n");
    // So does a published copy that takes another envelope's content.
    const auto replaced = original->CopyTo(folder->Storage());
    replaced->CopyFrom(*rewritten);
    EXPECT_EQ(test::ReadFileText(At("Fresh/0000004.eml")), "Subject: y\r\n\r\n");
    EXPECT_EQ(test::ReadFileText(At("_In/0000001.eml")), "Subject: x\r\n\r\nbody\r\n");

    // A record that comes out byte for byte as the original's is shared too (it is already durable);
    // one that differs is a file of its own, and so is a shared one once it is written again.
    struct stat record {};
    ASSERT_EQ(::stat(At("_In/0000001.env").c_str(), &first), 0);
    ASSERT_EQ(::stat(At("Fresh/0000002.env").c_str(), &record), 0);
    EXPECT_EQ(first.st_ino, record.st_ino);
    const auto readdressed = Envelope::CreateCopy(folder->Storage(), *original);
    readdressed->GetRecipients().Clear();
    readdressed->GetRecipients().Add("b@example.com");
    readdressed->Update();
    ASSERT_EQ(::stat(At("Fresh/0000005.env").c_str(), &record), 0);
    EXPECT_NE(first.st_ino, record.st_ino);
    EXPECT_EQ(readdressed->GetRecipients().All(), std::vector<std::string>{"b@example.com"});
    readdressed->Remove();

    const auto originalRecord = Record(*original);
    original->Remove();
    EXPECT_FALSE(FileExists(At("_In/0000001.eml")));
    EXPECT_EQ(test::ReadFileText(At("Fresh/0000002.eml")), "Subject: x\r\n\r\nbody\r\n");
    ASSERT_EQ(::stat(At("Fresh/0000002.eml").c_str(), &second), 0);
    EXPECT_EQ(second.st_nlink, 1u);
    EXPECT_EQ(test::ReadFileBytes(At("Fresh/0000002.env")), originalRecord);
    const auto written = Envelopes(folder->Storage(), store_->RootPath()).FindEnvelope(2);
    ASSERT_TRUE(written);
    written->SetPriority(EnvelopePriorityHighest);
    written->Update();
    ASSERT_EQ(::stat(At("Fresh/0000002.env").c_str(), &record), 0);
    EXPECT_NE(first.st_ino, record.st_ino);
    EXPECT_EQ(Envelopes(folder->Storage(), store_->RootPath()).FindEnvelope(2)->Priority(), EnvelopePriorityHighest);
}

TEST_F(store_EnvelopeTest, RemovesRecordWhenContentAlreadyGone) {
    const auto envelopes = store_->InFolder()->GetEnvelopes();
    for (int i = 0; i < 3; ++i) envelopes->Add()->Update();
    // Records whose content is gone, as a removal cut short left them before it took the record first.
    ASSERT_EQ(::unlink(At("_In/0000001.eml").c_str()), 0);
    ASSERT_EQ(::unlink(At("_In/0000002.eml").c_str()), 0);
    EXPECT_TRUE(envelopes->RemoveEnvelope(1));
    EXPECT_FALSE(FileExists(At("_In/0000001.env")));
    EXPECT_FALSE(envelopes->RemoveEnvelope(1));
    envelopes->Remove(0);  // now the envelope with id 2
    EXPECT_FALSE(FileExists(At("_In/0000002.env")));
    envelopes->Reset();
    EXPECT_EQ(envelopes->Uids(), std::vector<double>{3});
}


TEST_F(store_EnvelopeTest, WritesThroughAReopenedEnvelopeNeverReachTheContentOthersShare) {
    auto original = store_->InFolder()->GetEnvelopes()->Add();
    ASSERT_EQ(original->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("Subject: x\r\n\r\nbody\r\n"), S_OK);
    original->Update();
    const auto folder = store_->GetFolders()->Add("Shared", NormalFolderType);
    const auto first = original->CopyTo(folder->Storage());
    const auto second = original->CopyTo(folder->Storage());
    struct stat st {};
    ASSERT_EQ(::stat(At("_In/0000001.eml").c_str(), &st), 0);
    ASSERT_EQ(st.st_nlink, 3u);

    // Opened again, the envelope knows nothing of the copies: the link count must tell it.
    const auto emptied = Envelope::Open(folder->Storage(), root_, first->UID());
    ASSERT_EQ(emptied->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("Subject: new\r\n\r\n"), S_OK);
    const auto appended = Envelope::Open(folder->Storage(), root_, second->UID());
    auto stream = appended->StreamOnContent(false, STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
    ASSERT_EQ(stream->Seek(0, SeekOrigin::End), S_OK);
    ASSERT_EQ(stream->Write("more\r\n"), S_OK);
    stream.reset();

    EXPECT_EQ(test::ReadFileText(At("_In/0000001.eml")), "Subject: x\r\n\r\nbody\r\n");
    EXPECT_EQ(test::ReadFileText(At("Shared/0000001.eml")), "Subject: new\r\n\r\n");
    EXPECT_EQ(test::ReadFileText(At("Shared/0000002.eml")), "Subject: x\r\n\r\nbody\r\nmore\r\n");
    ASSERT_EQ(::stat(At("_In/0000001.eml").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    // A file that is the only link is written in place, as before.
    const auto again = Envelope::Open(folder->Storage(), root_, second->UID());
    ASSERT_EQ(::stat(At("Shared/0000002.eml").c_str(), &st), 0);
    const ino_t inode = st.st_ino;
    again->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
    ASSERT_EQ(::stat(At("Shared/0000002.eml").c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, inode);
}

TEST_F(store_EnvelopeTest, UpdateThatLosesARaceWithRemoveLeavesNoRecordBehind) {
    const auto envelopes = store_->InFolder()->GetEnvelopes();
    auto made = envelopes->Add();
    made->Update();
    const auto updater = Envelope::Open(store_->InFolder()->Storage(), root_, made->UID());
    const auto remover = Envelope::Open(store_->InFolder()->Storage(), root_, made->UID());
    remover->Remove();
    updater->SetSender("<late@x.org>");
    try {
        updater->Update();
        ADD_FAILURE() << "an update brought back a removed envelope";
    } catch (const ComError& error) {
        EXPECT_EQ(error.Code(), STG_E_FILENOTFOUND);
    }
    EXPECT_FALSE(FileExists(At("_In/0000001.env")));
    EXPECT_FALSE(FileExists(At("_In/0000001.eml")));
    envelopes->Reset();
    EXPECT_TRUE(envelopes->Uids().empty());
}

TEST_F(store_EnvelopeTest, PublicationUnderEverySingleFailingCallIsAllOrNothing) {
    const auto envelopes = store_->InFolder()->GetEnvelopes();
    const std::string content = "Subject: s\r\n\r\n" + std::string(300, 'x') + "\r\n";
    std::size_t published = 0;
    std::uint64_t n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 100u) << "a publication that never runs out of calls";
        std::vector<FaultyFileSystem::Fault> faults;
        ASSERT_TRUE(FaultyFileSystem::ParseFaultList("any:" + std::to_string(n) + (n % 2 ? ":EIO" : ":ENOSPC"), faults));
        FaultyFileSystem faulty(faults);
        bool succeeded = false;
        {
            const ScopedFileSystem installed(faulty);
            try {
                auto envelope = envelopes->Add();
                ThrowIfFailed(envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write(content));
                envelope->SetSender("<s@x.org>");
                envelope->Update();
                succeeded = true;
            } catch (const ComError&) {
                // refused: the envelope went with its reservation
            }
        }
        if (succeeded) ++published;
        // What is listed is whole; nothing unlisted is left behind (a content file without record).
        envelopes->Reset();
        EXPECT_EQ(envelopes->Uids().size(), published) << "N=" << n;
        for (const double uid : envelopes->Uids()) {
            EXPECT_EQ(test::ReadFileText(At("_In/" + UidStem(uid) + ".eml")), content) << "N=" << n;
        }
        EXPECT_EQ(store_->RemoveAbandonedFiles(), 0u) << "N=" << n;
        if (faulty.Fired() == 0) break;
    }
    EXPECT_GT(n, 10u);
}

TEST_F(store_EnvelopeTest, UpdatesOfManyRecordsShareOneFlushAndKeepEachRecordWholeUnderFailures) {
    const auto envelopes = store_->InFolder()->GetEnvelopes();
    std::vector<double> uids;
    // Ten: a batch that large is made durable by one flush of the file system, not one per record.
    for (int i = 0; i < 10; ++i) {
        auto envelope = envelopes->Add();
        ThrowIfFailed(envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("Subject: s\r\n\r\nx\r\n"));
        envelope->GetProperties().SetItem("_Flags", Variant::UI2(static_cast<std::uint16_t>(4 << i)));
        envelope->Update();
        uids.push_back(envelope->UID());
    }
    const auto addOne = [](const Variant& had) { return Variant::UI2(static_cast<std::uint16_t>((had.IsEmpty() ? 0 : had.AsUI2()) | 1)); };
    // Each record changes from its own value on disk; a message that is gone is reported as such.
    const auto values = envelopes->UpdateProperty({uids[0], 999, uids[2]}, "_Flags", addOne);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0]->AsUI2(), 5);
    EXPECT_FALSE(values[1]);
    EXPECT_EQ(values[2]->AsUI2(), 17);
    EXPECT_EQ(envelopes->FindEnvelope(uids[1])->GetProperties().Item("_Flags").AsUI2(), 8);
    std::vector<std::uint16_t> before;
    for (const double uid : uids) before.push_back(envelopes->FindEnvelope(uid)->GetProperties().Item("_Flags").AsUI2());

    // Any one call failing, in a batch of three (a flush each) and of all ten (one flush for all): an
    // exception, and every record whole -- old or new, never damaged -- with nothing left staged.
    for (const std::size_t batch : {std::size_t{3}, uids.size()}) {
        const std::vector<double> some(uids.begin(), uids.begin() + static_cast<std::ptrdiff_t>(batch));
        for (std::uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 200u);
            std::vector<FaultyFileSystem::Fault> faults;
            ASSERT_TRUE(FaultyFileSystem::ParseFaultList("any:" + std::to_string(n) + ":EIO", faults));
            FaultyFileSystem faulty(faults);
            {
                const ScopedFileSystem installed(faulty);
                try {
                    (void)envelopes->UpdateProperty(some, "_Flags", [](const Variant&) { return Variant::UI2(2); });
                } catch (const ComError&) {
                    // reported; what was replaced before the failure was flushed
                }
            }
            for (std::size_t i = 0; i < uids.size(); ++i) {
                const auto envelope = envelopes->FindEnvelope(uids[i]);
                ASSERT_TRUE(envelope) << "N=" << n;
                const auto flags = envelope->GetProperties().Item("_Flags").AsUI2();
                EXPECT_TRUE((i < batch && flags == 2) || flags == before[i]) << "N=" << n << " flags " << flags;
            }
            EXPECT_EQ(store_->RemoveAbandonedFiles(), 0u) << "N=" << n;
            if (faulty.Fired() == 0) break;
            // Back to the values before for the next step.
            for (std::size_t i = 0; i < batch; ++i) {
                (void)envelopes->UpdateProperty({uids[i]}, "_Flags", [&, i](const Variant&) { return Variant::UI2(before[i]); });
            }
        }
    }
    EXPECT_EQ(store_->RemoveAbandonedFiles(), 0u);
}

}  // namespace
}  // namespace pw::store
