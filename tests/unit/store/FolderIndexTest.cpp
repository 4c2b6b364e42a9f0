// FolderIndex and its log: the format cut at every byte and with every bit flipped, and an index that
// after changes through the store, torn logs and writes past it always equals what the records hold.
#include "store/FolderIndex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <latch>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/FileSystem.h"
#include "store/Envelopes.h"
#include "store/Folder.h"
#include "store/StoreTestSupport.h"
#include "store/StoreTypes.h"
#include "store/UidCounter.h"

namespace pw::store {
namespace {

std::vector<IndexRecord> SampleRecords() {
    IndexRecord message;
    message.kind = IndexRecordKind::Message;
    message.uid = 7;
    message.size = 4096;
    message.date = 46000.25;
    message.inode = 123456789;
    message.modseq = 1765000000123456ull;
    message.properties = {{"_ImapFlags", Variant::I8(9)}, {"_ImapFlags:ann@example.com", Variant::I8(1)},
                          {"_ImapKeywords", Variant::Text("$Forwarded NonJunk")}};
    IndexRecord intent;
    intent.kind = IndexRecordKind::Intent;
    intent.uids = {7, 8, 4000000000u};
    IndexRecord removed;
    removed.kind = IndexRecordKind::Removed;
    removed.uid = 8;
    removed.modseq = 1765000000123457ull;
    IndexRecord folder;
    folder.kind = IndexRecordKind::Folder;
    folder.modseq = 1765000000123457ull;
    folder.vanishedFloor = 1765000000000000ull;
    folder.vanished = {{3, 5, 1765000000000001ull}, {9, 9, 1765000000000002ull}};
    IndexRecord recent;
    recent.kind = IndexRecordKind::Recent;
    recent.key = "_IMAP:RecentUid:ann@example.com";
    recent.uid = 4000000000u;
    IndexRecord pending = message;
    pending.kind = IndexRecordKind::Pending;
    pending.properties = {{"_ImapFlags", Variant::I8(1)}};
    IndexRecord written;
    written.kind = IndexRecordKind::Written;
    written.uid = 7;
    written.inode = 987654321;
    IndexRecord done;
    done.kind = IndexRecordKind::Done;
    done.modified = 1765000000123456789;
    done.changed = 1765000000123456790;
    return {folder, recent, intent, message, pending, written, removed, done};
}

void ExpectSame(const IndexRecord& a, const IndexRecord& b) {
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.uid, b.uid);
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.date, b.date);
    EXPECT_EQ(a.inode, b.inode);
    EXPECT_EQ(a.properties, b.properties);
    EXPECT_EQ(a.uids, b.uids);
    EXPECT_EQ(a.modified, b.modified);
    EXPECT_EQ(a.changed, b.changed);
    EXPECT_EQ(a.modseq, b.modseq);
    EXPECT_EQ(a.vanishedFloor, b.vanishedFloor);
    EXPECT_EQ(a.vanished, b.vanished);
    EXPECT_EQ(a.key, b.key);
}

TEST(store_IndexLogTest, RecordsReadBackAndATornOrFlippedRecordEndsTheLogBeforeIt) {
    const std::vector<IndexRecord> records = SampleRecords();
    std::vector<std::byte> bytes = IndexHeader(42);
    ASSERT_EQ(bytes.size(), kIndexHeaderSize);
    EXPECT_TRUE(IsIndexHeader(bytes, 42));
    EXPECT_FALSE(IsIndexHeader(bytes, 43));
    std::vector<std::size_t> boundaries{bytes.size()};
    for (const IndexRecord& record : records) {
        AppendIndexRecord(bytes, record);
        boundaries.push_back(bytes.size());
    }
    // "D": length 17, then the CRC, the kind and two little-endian i64.
    const std::size_t doneAt = boundaries[boundaries.size() - 2];
    EXPECT_EQ(bytes[doneAt], std::byte{17});
    EXPECT_EQ(bytes[doneAt + 8], std::byte{'D'});
    const ParsedIndex whole = ParseIndexRecords(bytes, kIndexHeaderSize);
    // Logs begin with the folder's record; one cut inside it, or beginning otherwise, lost its start.
    EXPECT_TRUE(IsIndexStart(bytes, 42));
    EXPECT_FALSE(IsIndexStart(bytes, 43));
    EXPECT_FALSE(IsIndexStart(std::vector<std::byte>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(boundaries[1]) - 1), 42));
    std::vector<std::byte> noFolder = IndexHeader(42);
    AppendIndexRecord(noFolder, records.back());
    EXPECT_FALSE(IsIndexStart(noFolder, 42));
    ASSERT_EQ(whole.records.size(), records.size());
    EXPECT_FALSE(whole.torn);
    for (std::size_t i = 0; i < records.size(); ++i) ExpectSame(whole.records[i], records[i]);

    // Cut at every byte: the records wholly before the cut stand, nothing else.
    for (std::size_t cut = kIndexHeaderSize; cut <= bytes.size(); ++cut) {
        const std::vector<std::byte> torn(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        const ParsedIndex parsed = ParseIndexRecords(torn, kIndexHeaderSize);
        std::size_t kept = 0;
        while (kept + 1 < boundaries.size() && boundaries[kept + 1] <= cut) ++kept;
        ASSERT_EQ(parsed.records.size(), kept) << "cut at " << cut;
        EXPECT_EQ(parsed.end, boundaries[kept]);
        EXPECT_EQ(parsed.torn, cut != boundaries[kept]);
    }
    // Every bit of every record flipped: the damaged record and all after it are dropped.
    for (std::size_t at = kIndexHeaderSize; at < bytes.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<std::byte> flipped = bytes;
            flipped[at] ^= static_cast<std::byte>(1 << bit);
            const ParsedIndex parsed = ParseIndexRecords(flipped, kIndexHeaderSize);
            std::size_t damaged = 0;
            while (boundaries[damaged + 1] <= at) ++damaged;
            ASSERT_EQ(parsed.records.size(), damaged) << "byte " << at << " bit " << bit;
            EXPECT_TRUE(parsed.torn);
            for (std::size_t i = 0; i < damaged; ++i) ExpectSame(parsed.records[i], records[i]);
        }
    }
    // A length beyond any record is damage, not a record still being written.
    std::vector<std::byte> huge = IndexHeader(42);
    huge.insert(huge.end(), {std::byte{0xff}, std::byte{0xff}, std::byte{0xff}, std::byte{0x7f}});
    huge.resize(huge.size() + 64);
    EXPECT_TRUE(ParseIndexRecords(huge, kIndexHeaderSize).records.empty());
}

class store_FolderIndexTest : public support::StoreFixture {
protected:
    void SetUp() override {
        support::StoreFixture::SetUp();
        ForgetFolderIndexes();
        folder_ = store_->GetFolders()->Add("Big", NormalFolderType);
    }
    void TearDown() override { ForgetFolderIndexes(); }

    std::uint32_t Deliver(std::string_view body, std::uint16_t flags = 0) {
        const auto envelope = folder_->GetEnvelopes()->Add();
        EXPECT_EQ(envelope->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write(body), S_OK);
        if (flags != 0) envelope->GetProperties().SetItem("_ImapFlags", Variant::UI2(flags));
        envelope->Update();
        return static_cast<std::uint32_t>(envelope->UID());
    }

    std::string LogPath() const {
        struct stat st {};
        EXPECT_EQ(::stat(folder_->Storage().Path().c_str(), &st), 0);
        return FolderIndexDirectory(root_, st.st_dev, st.st_ino) + "log";
    }

    // What the records say, read one by one as the index would be rebuilt.
    struct Expected {
        std::uint32_t uid;
        std::uint64_t size;
        double date;
        IndexedProperties properties;
        bool operator==(const Expected&) const = default;
    };
    std::vector<Expected> FromRecords() const {
        std::vector<Expected> expected;
        const auto envelopes = folder_->GetEnvelopes();
        for (const double uid : envelopes->Uids()) {
            const auto envelope = envelopes->FindEnvelope(uid);
            if (!envelope) continue;
            expected.push_back({static_cast<std::uint32_t>(uid), envelope->ContentSize(), envelope->CreateDate(),
                                IndexedPropertiesOf(envelope->GetProperties())});
        }
        return expected;
    }
    std::shared_ptr<const FolderIndexState> ReadState(bool fresh = false) const {
        if (fresh) ForgetFolderIndexes();
        std::shared_ptr<const FolderIndexState> state;
        EXPECT_EQ(ReadFolderIndex(folder_->Storage(), root_, state), S_OK);
        return state;
    }
    std::vector<Expected> FromIndex(bool fresh = false) const {
        if (fresh) ForgetFolderIndexes();
        std::shared_ptr<const FolderIndexState> state;
        EXPECT_EQ(ReadFolderIndex(folder_->Storage(), root_, state), S_OK);
        std::vector<Expected> got;
        if (!state) return got;
        for (const IndexedMessage& message : state->messages) {
            got.push_back({message.uid, message.size, message.date, state->PropertiesOf(message)});
        }
        return got;
    }
    // Waits (bounded) until the folder directory's times lie outside the clock tick a write past the
    // index could share with them: only then is such a write bound to move them.
    void WaitForSettledDirectory() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            struct stat st {};
            ASSERT_EQ(::stat(folder_->Storage().Path().c_str(), &st), 0);
            timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            const auto ns = [](const timespec& t) { return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; };
            if (ns(now) - std::max(ns(st.st_mtim), ns(st.st_ctim)) > 50'000'000) return;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::yield();
        }
    }

    std::shared_ptr<Folder> folder_;
};

TEST_F(store_FolderIndexTest, FollowsEveryWriterAndRepairsTornLogsAndWritesPastIt) {
    const std::uint32_t first = Deliver("Subject: one\r\n\r\n1\r\n");
    Deliver("Subject: two\r\n\r\n22\r\n", 1);
    // Made from the records at the first look.
    EXPECT_EQ(FromIndex(), FromRecords());
    ASSERT_TRUE(test::FileExists(LogPath()));
    // Publication, a batch of flags, one property, removal: each through the store, each in the log.
    const std::uint32_t third = Deliver("Subject: three\r\n\r\n333\r\n");
    const auto envelopes = folder_->GetEnvelopes();
    (void)envelopes->UpdateProperty({double(first), double(third)}, "_ImapFlags:ann@example.com",
                                    [](const Variant&) { return Variant::UI2(4); });
    envelopes->FindEnvelope(third)->UpdateProperty("_ImapKeywords", Variant::Text("$Junk"));
    ASSERT_TRUE(envelopes->RemoveEnvelope(first));
    const auto afterChanges = FromRecords();
    ASSERT_EQ(afterChanges.size(), 2u);
    EXPECT_EQ(FromIndex(), afterChanges);
    EXPECT_EQ(FromIndex(true), afterChanges);

    // The last change (a flag) torn at every byte: whatever is left, the index equals the records.
    const std::vector<std::byte> before = test::ReadFileBytes(LogPath());
    (void)envelopes->UpdateProperty({double(third)}, "_ImapFlags", [](const Variant&) { return Variant::UI2(8); });
    const std::vector<std::byte> after = test::ReadFileBytes(LogPath());
    ASSERT_GT(after.size(), before.size());
    const auto flagged = FromRecords();
    for (std::size_t cut = before.size(); cut <= after.size(); ++cut) {
        test::WriteFileBytes(LogPath(), std::vector<std::byte>(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(cut)));
        ASSERT_EQ(FromIndex(true), flagged) << "log cut at " << cut;
    }
    // Damage anywhere, a foreign header or no log at all: made again from the records.
    std::vector<std::byte> damaged = after;
    damaged[kIndexHeaderSize + 3] ^= std::byte{1};
    test::WriteFileBytes(LogPath(), damaged);
    EXPECT_EQ(FromIndex(true), flagged);
    damaged = after;
    damaged[4] = std::byte{99};  // another version
    test::WriteFileBytes(LogPath(), damaged);
    EXPECT_EQ(FromIndex(true), flagged);
    ASSERT_EQ(::unlink(LogPath().c_str()), 0);
    EXPECT_EQ(FromIndex(true), flagged);

    // Writes that pass the index by: a copied record and content, a removed one, a record rewritten
    // in place of the old by rename (an older binary storing a flag). Seen by the process that keeps
    // its state as well as by a fresh one.
    (void)FromIndex();
    WaitForSettledDirectory();
    const std::string big = folder_->Storage().Path();
    const std::string copied = UidStem(100);
    test::WriteFileBytes(big + copied + ".eml", test::ReadFileBytes(big + UidStem(third) + ".eml"));
    test::WriteFileBytes(big + copied + ".env", test::ReadFileBytes(big + UidStem(third) + ".env"));
    EXPECT_EQ(FromIndex(), FromRecords());
    WaitForSettledDirectory();
    ASSERT_EQ(::unlink((big + UidStem(third) + ".env").c_str()), 0);
    EXPECT_EQ(FromIndex(), FromRecords());
    WaitForSettledDirectory();
    {
        auto envelope = envelopes->FindEnvelope(100);
        ASSERT_TRUE(envelope);
        envelope->GetProperties().SetItem("_ImapFlags", Variant::UI2(2));
        MemoryStream record;
        ASSERT_EQ(envelope->WriteRecord(record), S_OK);
        ASSERT_EQ(folder_->Storage().ReplaceStream(copied + ".env", record.Bytes()), S_OK);
    }
    const auto bypassed = FromRecords();
    ASSERT_EQ(bypassed.size(), 2u);
    EXPECT_EQ(IndexedValue(bypassed.back().properties, "_imapflags").AsInt64(), 2);
    EXPECT_EQ(FromIndex(), bypassed);
    EXPECT_EQ(FromIndex(true), bypassed);
}

// Writers in two processes and in threads -- publication, flag batches, single properties, removal --
// with readers following along: afterwards the index equals the records, as this process's readers
// keep it and as a fresh one reads it.
TEST_F(store_FolderIndexTest, ConcurrentWritersInThreadsAndProcessesLeaveTheIndexEqualToTheRecords) {
    for (int i = 0; i < 20; ++i) Deliver("Subject: seed\r\n\r\nseed\r\n");
    ASSERT_EQ(FromIndex(), FromRecords());
    const auto work = [this](int seed) {
        const auto envelopes = folder_->GetEnvelopes();
        for (int round = 0; round < 24; ++round) {
            const std::uint32_t uid = Deliver("Subject: more\r\n\r\n" + std::string(static_cast<std::size_t>(round + 1), 'x'));
            const auto uids = folder_->GetEnvelopes()->Uids();
            std::vector<double> some;
            for (std::size_t i = static_cast<std::size_t>(seed + round) % 3; i < uids.size(); i += 3) some.push_back(uids[i]);
            (void)envelopes->UpdateProperty(some, seed % 2 ? "_ImapFlags" : "_ImapFlags:ann@example.com",
                                            [round](const Variant&) { return Variant::UI2(static_cast<std::uint16_t>(round % 32)); });
            if (round % 4 == 0) (void)envelopes->RemoveEnvelope(uid);
            if (round % 5 == 0) (void)envelopes->RemoveEnvelope(uids[static_cast<std::size_t>(seed + round) % uids.size()]);
            std::shared_ptr<const FolderIndexState> state;
            EXPECT_EQ(ReadFolderIndex(folder_->Storage(), root_, state), S_OK);
        }
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A process of its own: no state shared with the parent's.
        ForgetFolderIndexes();
        work(1);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    std::thread second(work, 2);
    work(3);
    second.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto records = FromRecords();
    EXPECT_EQ(FromIndex(), records);
    EXPECT_EQ(FromIndex(true), records);
    // Every change in the log took a mod-sequence above all before it, whichever process wrote it;
    // what a compaction wrote stays at or below the folder's value it wrote with it.
    const std::vector<std::byte> log = test::ReadFileBytes(LogPath());
    const ParsedIndex parsed = ParseIndexRecords(log, kIndexHeaderSize);
    ASSERT_FALSE(parsed.torn);
    ASSERT_FALSE(parsed.records.empty());
    ASSERT_EQ(parsed.records.front().kind, IndexRecordKind::Folder);
    std::uint64_t last = parsed.records.front().modseq;
    std::uint64_t change = 0;
    std::size_t i = 1;
    for (; i < parsed.records.size() && parsed.records[i].kind != IndexRecordKind::Done; ++i) {
        if (parsed.records[i].kind == IndexRecordKind::Message) {
            ASSERT_LE(parsed.records[i].modseq, last);
        }
    }
    std::size_t changes = 0;
    for (; i < parsed.records.size(); ++i) {
        const IndexRecord& record = parsed.records[i];
        if (record.kind == IndexRecordKind::Done) {
            if (change != 0) last = change;
            change = 0;
        } else if (record.kind == IndexRecordKind::Message || record.kind == IndexRecordKind::Removed) {
            if (change == 0) {
                ASSERT_GT(record.modseq, last) << "record " << i;
                change = record.modseq;
                ++changes;
            }
            ASSERT_EQ(record.modseq, change) << "record " << i;  // one change, one mod-sequence
        }
    }
    EXPECT_GT(changes, 10u);
    EXPECT_EQ(ReadState()->highestModseq, last);
    EXPECT_EQ(ReadState(true)->highestModseq, last);
}

// A reader that has a state to show is not held up by a writer midway for long: it shows the state
// before the change, and the change once the writer has logged it.
TEST_F(store_FolderIndexTest, AReaderIsNotHeldUpForLongByAWriterMidway) {
    const std::uint32_t uid = Deliver("Subject: m\r\n\r\nm\r\n");
    std::shared_ptr<const FolderIndexState> before;
    ASSERT_EQ(ReadFolderIndex(folder_->Storage(), root_, before), S_OK);
    std::latch begun(1);
    std::latch done(1);
    std::thread writer([&] {
        IndexWriter index(folder_->Storage(), root_);
        EXPECT_TRUE(index.Begin({uid}));
        begun.count_down();
        done.wait();
        EXPECT_EQ(folder_->Storage().DestroyElement(UidStem(uid) + ".env"), S_OK);
        EXPECT_EQ(folder_->Storage().DestroyElement(UidStem(uid) + ".eml"), S_OK);
        index.Removed(uid);
        index.Commit();
    });
    begun.wait();
    std::shared_ptr<const FolderIndexState> during;
    EXPECT_EQ(ReadFolderIndex(folder_->Storage(), root_, during), S_OK);
    EXPECT_EQ(during->change, before->change);
    done.count_down();
    writer.join();
    std::shared_ptr<const FolderIndexState> after;
    ASSERT_EQ(ReadFolderIndex(folder_->Storage(), root_, after), S_OK);
    EXPECT_NE(after->change, before->change);
    EXPECT_TRUE(after->messages.empty());
}

// A log grown far past what it describes is rewritten whole by the writer that finds it so; a process
// that read the old file reads the new one from its start and misses nothing.
TEST_F(store_FolderIndexTest, ALogFarLongerThanItsStateIsCompactedAndReadAgain) {
    for (int i = 0; i < 3; ++i) Deliver("Subject: m\r\n\r\nm\r\n");
    ASSERT_EQ(FromIndex(), FromRecords());
    const auto envelopes = folder_->GetEnvelopes();
    const auto uids = envelopes->Uids();
    std::uint64_t longest = 0;
    struct stat st {};
    for (int round = 0; round < 800; ++round) {
        (void)envelopes->UpdateProperty(uids, "_ImapKeywords", [round](const Variant&) {
            return Variant::Text("$Label" + std::to_string(round) + std::string(40, 'k'));
        });
        ASSERT_EQ(::stat(LogPath().c_str(), &st), 0);
        longest = std::max<std::uint64_t>(longest, static_cast<std::uint64_t>(st.st_size));
    }
    EXPECT_GT(longest, 64u * 1024);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_size), 64u * 1024 + 4096);
    const auto records = FromRecords();
    EXPECT_EQ(FromIndex(), records);
    EXPECT_EQ(FromIndex(true), records);
}

// Dies (SIGKILL) at its Nth write, flush, truncation, rename, link or unlink: a crash at that step.
class KillingFileSystem final : public FileSystem {
public:
    explicit KillingFileSystem(std::uint64_t at) : at_(at) {}
    std::uint64_t Steps() const { return steps_; }

    ssize_t Write(int fd, const void* data, std::size_t size) override { return Step() ? FileSystem::Write(fd, data, size) : -1; }
    int Fsync(int fd) override { return Step() ? FileSystem::Fsync(fd) : -1; }
    int SyncFileSystem(int fd) override { return Step() ? FileSystem::SyncFileSystem(fd) : -1; }
    int Truncate(int fd, off_t size) override { return Step() ? FileSystem::Truncate(fd, size) : -1; }
    int Rename(const char* from, const char* to, unsigned flags) override { return Step() ? FileSystem::Rename(from, to, flags) : -1; }
    int Link(const char* from, const char* to) override { return Step() ? FileSystem::Link(from, to) : -1; }
    int Unlink(const char* path) override { return Step() ? FileSystem::Unlink(path) : -1; }
    int UnlinkAt(int dirFd, const char* name, int flags) override { return Step() ? FileSystem::UnlinkAt(dirFd, name, flags) : -1; }

private:
    bool Step() {
        if (++steps_ == at_) ::raise(SIGKILL);
        return true;
    }
    std::uint64_t at_;
    std::uint64_t steps_ = 0;
};

// A writer killed at every step of a workload (a publication, a batch of flags, a removal, a single
// property): whatever step it died at, the index -- as the surviving process keeps it, and as a new
// one reads it -- equals the records, and ids and the highest mod-sequence only ever grow.
TEST_F(store_FolderIndexTest, AWriterKilledAtAnyStepLeavesTheIndexEqualToTheRecords) {
    for (int i = 0; i < 4; ++i) Deliver("Subject: seed\r\n\r\nseed\r\n");
    ASSERT_EQ(FromIndex(), FromRecords());
    const auto workload = [this] {
        const std::uint32_t uid = Deliver("Subject: new\r\n\r\nnew\r\n");
        const auto envelopes = folder_->GetEnvelopes();
        const auto uids = envelopes->Uids();
        (void)envelopes->UpdateProperty({uids[0], uids[1], double(uid)}, "_ImapFlags",
                                        [](const Variant& now) { return Variant::UI2(static_cast<std::uint16_t>(now.IsEmpty() ? 1 : now.AsInt64() + 1)); });
        (void)envelopes->RemoveEnvelope(uids[1]);
        envelopes->FindEnvelope(uid)->UpdateProperty("_ImapKeywords", Variant::Text("$Junk"));
    };
    // The steps of one whole run, counted in a child so that the parent's state stays its own.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        KillingFileSystem counting(0);
        {
            ScopedFileSystem scoped(counting);
            workload();
        }
        const std::uint64_t steps = counting.Steps();
        ::_exit(::write(pipeFds[1], &steps, sizeof steps) == sizeof steps ? 0 : 1);
    }
    std::uint64_t steps = 0;
    ASSERT_EQ(::read(pipeFds[0], &steps, sizeof steps), static_cast<ssize_t>(sizeof steps));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_GT(steps, 10u);
    (void)FromIndex();  // the parent follows the completed run
    double next = 0;
    ASSERT_EQ(PeekUid(folder_->Storage(), next), S_OK);
    std::uint64_t highest = ReadState()->highestModseq;
    for (std::uint64_t at = 1; at <= steps; ++at) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            KillingFileSystem killing(at);
            ScopedFileSystem scoped(killing);
            workload();
            ::_exit(0);
        }
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) || WIFEXITED(status));
        const auto records = FromRecords();
        ASSERT_EQ(FromIndex(), records) << "killed at step " << at;
        ASSERT_EQ(FromIndex(true), records) << "killed at step " << at;
        double now = 0;
        ASSERT_EQ(PeekUid(folder_->Storage(), now), S_OK);
        ASSERT_GE(now, next) << "killed at step " << at;
        next = now;
        const std::uint64_t modseq = ReadState()->highestModseq;
        ASSERT_GE(modseq, highest) << "killed at step " << at;
        highest = modseq;
    }
    // The same workload cut by a power loss at every call that changes the disk: what a new process
    // reads equals the records as the cut left them, and neither ids nor mod-sequences fall.
    constexpr FileCall kKinds[] = {FileCall::Write, FileCall::Fsync, FileCall::Truncate, FileCall::Rename, FileCall::Unlink};
    FaultyFileSystem counting;
    {
        ScopedFileSystem scoped(counting);
        workload();
    }
    ASSERT_EQ(PeekUid(folder_->Storage(), next), S_OK);
    highest = ReadState(true)->highestModseq;
    for (const FileCall kind : kKinds) {
        for (std::uint64_t n = 1; n <= counting.Calls(kind); ++n) {
            const std::string where = "cut at " + std::string(FileCallName(kind)) + " " + std::to_string(n);
            child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                FaultyFileSystem::Fault fault;
                fault.kind = kind;
                fault.nth = n;
                fault.action = FaultAction::Cut;
                FaultyFileSystem cutting({fault});
                ScopedFileSystem scoped(cutting);
                workload();
                ::_exit(0);
            }
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_EQ(FromIndex(true), FromRecords()) << where;
            double now = 0;
            ASSERT_EQ(PeekUid(folder_->Storage(), now), S_OK);
            ASSERT_GE(now, next) << where;
            next = now;
            const std::uint64_t modseq = ReadState()->highestModseq;
            ASSERT_GE(modseq, highest) << where;
            highest = modseq;
        }
    }
}

// Every change raises the folder's highest mod-sequence and gives it to the messages it touched; a
// removal is remembered with it. Neither falls when the log is read afresh, compacted, torn, damaged
// or deleted: an index made again starts above all, and says that it knows no removal before.
TEST_F(store_FolderIndexTest, ModSequencesRiseWithEveryChangeAndNeverFallWhateverBecomesOfTheLog) {
    std::vector<std::uint32_t> uids;
    for (int i = 0; i < 6; ++i) uids.push_back(Deliver("Subject: m\r\n\r\nm\r\n"));
    auto state = ReadState();
    std::uint64_t highest = state->highestModseq;
    ASSERT_GT(highest, 0u);
    for (const IndexedMessage& message : state->messages) EXPECT_LE(message.modseq, highest);
    const auto rises = [&](const char* what) {
        state = ReadState();
        EXPECT_GT(state->highestModseq, highest) << what;
        const std::uint64_t before = highest;
        highest = state->highestModseq;
        return before;
    };
    const auto modseqOf = [&](std::uint32_t uid) {
        const IndexedMessage* message = state->Find(uid);
        return message ? message->modseq : 0;
    };
    const auto envelopes = folder_->GetEnvelopes();
    (void)envelopes->UpdateProperty({double(uids[1]), double(uids[2])}, "_ImapFlags", [](const Variant&) { return Variant::UI2(1); });
    const std::uint64_t beforeFlags = rises("flags");
    EXPECT_EQ(modseqOf(uids[1]), highest);
    EXPECT_EQ(modseqOf(uids[2]), highest);
    EXPECT_LE(modseqOf(uids[0]), beforeFlags);
    const std::uint32_t added = Deliver("Subject: n\r\n\r\nn\r\n");
    rises("delivery");
    EXPECT_EQ(modseqOf(added), highest);
    // Removals: each with its mod-sequence, asked for from any point the index still knows.
    const std::uint64_t beforeRemovals = highest;
    ASSERT_TRUE(envelopes->RemoveEnvelope(uids[3]));
    ASSERT_TRUE(envelopes->RemoveEnvelope(uids[4]));
    rises("removal");
    const std::uint64_t afterRemovals = highest;
    const auto gone = state->VanishedSince(beforeRemovals);
    ASSERT_TRUE(gone);
    ASSERT_EQ(gone->size(), 1u);  // adjacent ids, one range
    EXPECT_EQ((*gone)[0].first, uids[3]);
    EXPECT_EQ((*gone)[0].last, uids[4]);
    EXPECT_EQ((*gone)[0].modseq, afterRemovals);
    EXPECT_EQ(state->VanishedSince(afterRemovals), std::vector<VanishedRange>{});
    EXPECT_EQ(state->VanishedSince(0), std::nullopt);  // before the index was made: not known
    // A new process reads the same; a compacted log keeps it all.
    const auto same = [&](const char* what) {
        const auto again = ReadState(true);
        EXPECT_EQ(again->highestModseq, highest) << what;
        EXPECT_EQ(again->VanishedSince(beforeRemovals), gone) << what;
        for (const IndexedMessage& message : again->messages) EXPECT_EQ(message.modseq, modseqOf(message.uid)) << what;
    };
    same("read afresh");
    {
        // Grown past the compaction threshold by single flag changes until a reader compacts it.
        std::size_t size = test::ReadFileBytes(LogPath()).size();
        for (int i = 0;; ++i) {
            ASSERT_LT(i, 10000) << "never compacted";
            envelopes->FindEnvelope(uids[0])->UpdateProperty("_ImapKeywords", Variant::Text("k" + std::to_string(i)));
            state = ReadState();
            const std::size_t now = test::ReadFileBytes(LogPath()).size();
            if (now < size) break;
            size = now;
        }
        rises("many flags");
        same("compacted");
    }
    // The last change torn at every byte, in a process that saw it whole and in new ones: never lower
    // than what was shown.
    const std::vector<std::byte> before = test::ReadFileBytes(LogPath());
    (void)envelopes->UpdateProperty({double(uids[5])}, "_ImapFlags", [](const Variant&) { return Variant::UI2(8); });
    const std::vector<std::byte> after = test::ReadFileBytes(LogPath());
    rises("flag to tear");
    for (std::size_t cut = before.size(); cut < after.size(); ++cut) {
        test::WriteFileBytes(LogPath(), std::vector<std::byte>(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(cut)));
        ASSERT_GE(ReadState()->highestModseq, highest) << "cut at " << cut;
        ASSERT_GE(ReadState(true)->highestModseq, highest) << "cut at " << cut;
        highest = ReadState()->highestModseq;
    }
    // Damaged, another version, deleted: made again above everything before, knowing no removal.
    for (const char* what : {"damaged", "version", "deleted"}) {
        std::vector<std::byte> bytes = test::ReadFileBytes(LogPath());
        if (std::string_view(what) == "damaged") bytes[kIndexHeaderSize + 5] ^= std::byte{4};
        if (std::string_view(what) == "version") bytes[4] = std::byte{1};
        if (std::string_view(what) == "deleted") {
            ASSERT_EQ(::unlink(LogPath().c_str()), 0);
        } else {
            test::WriteFileBytes(LogPath(), bytes);
        }
        const std::uint64_t shown = highest;
        state = ReadState(true);
        EXPECT_GT(state->highestModseq, shown) << what;
        EXPECT_EQ(state->VanishedSince(shown), std::nullopt) << what;
        EXPECT_EQ(state->VanishedSince(state->highestModseq), std::vector<VanishedRange>{}) << what;
        for (const IndexedMessage& message : state->messages) EXPECT_GT(message.modseq, shown) << what;
        highest = state->highestModseq;
    }
    // A write past the index (a record copied by hand) is found and raises it too.
    WaitForSettledDirectory();
    const std::string path = folder_->Storage().Path();
    test::WriteFileBytes(path + UidStem(900) + ".eml", test::ReadFileBytes(path + UidStem(uids[0]) + ".eml"));
    test::WriteFileBytes(path + UidStem(900) + ".env", test::ReadFileBytes(path + UidStem(uids[0]) + ".env"));
    rises("copied by hand");
    EXPECT_EQ(modseqOf(900), highest);
}

// Tells when a thread other than the writer's stats the folder, and counts directory listings.
class WatchingFileSystem final : public FileSystem {
public:
    WatchingFileSystem(std::string folder, std::thread::id writer) : folder_(std::move(folder)), writer_(writer) {}
    int Stat(const char* path, struct stat& st) override {
        const int result = FileSystem::Stat(path, st);
        if (std::this_thread::get_id() != writer_ && folder_ == path && !statted_.exchange(true)) seen_.count_down();
        return result;
    }
    DIR* OpenDirectory(const char* path) override {
        if (std::this_thread::get_id() != writer_) ++listings_;
        return FileSystem::OpenDirectory(path);
    }
    void WaitForStat() { seen_.wait(); }
    int Listings() const { return listings_; }

private:
    std::string folder_;
    std::thread::id writer_;
    std::atomic<bool> statted_{false};
    std::latch seen_{1};
    std::atomic<int> listings_{0};
};

// A reader that looked at the folder and then waited for a writer midway finds the writer's change
// explained by the log: it does not rescan the folder for it. (The stat it took before waiting
// predates the change; comparing that with the writer's 'D' would send every session woken by a
// delivery to list and stat the whole folder.)
TEST_F(store_FolderIndexTest, AReaderThatWaitedForAWriterDoesNotRescanForTheWritersChange) {
    Deliver("Subject: m\r\n\r\nm\r\n");
    (void)ReadState();
    WaitForSettledDirectory();
    std::latch begun(1);
    std::unique_ptr<WatchingFileSystem> watching;
    std::mutex made;
    std::thread writer([&] {
        IndexWriter index(folder_->Storage(), root_);
        EXPECT_TRUE(index.Begin({}));
        {
            std::lock_guard guard(made);
            watching = std::make_unique<WatchingFileSystem>(folder_->Storage().Path(), std::this_thread::get_id());
        }
        begun.count_down();
        watching->WaitForStat();  // the reader has looked at the folder, and now waits for us
        std::unique_ptr<FileStream> staged;
        EXPECT_EQ(folder_->Storage().CreateStream(TemporaryName("probe.eml"), STGM_WRITE | STGM_SHARE_EXCLUSIVE, staged), S_OK);
        index.Commit();
    });
    begun.wait();
    std::shared_ptr<const FolderIndexState> state;
    {
        ScopedFileSystem scoped(*watching);
        EXPECT_EQ(ReadFolderIndex(folder_->Storage(), root_, state), S_OK);
        writer.join();
    }
    EXPECT_EQ(watching->Listings(), 0);
    EXPECT_EQ(state->messages.size(), 1u);
}

// A log whose folder record alone is long (many removals remembered, an empty folder) is not taken
// for one that needs compacting: every look would rewrite it, and a look could never finish.
TEST_F(store_FolderIndexTest, ALogLongOnlyForItsRemembersRemovalsIsReadAsItIs) {
    (void)ReadState();
    struct stat st {};
    ASSERT_EQ(::stat(folder_->Storage().Path().c_str(), &st), 0);
    std::vector<std::byte> bytes = IndexHeader(st.st_ino);
    IndexRecord folder;
    folder.kind = IndexRecordKind::Folder;
    folder.modseq = 5000;
    folder.vanishedFloor = 100;
    for (std::uint32_t i = 0; i < 4096; ++i) folder.vanished.push_back({2 * i + 1, 2 * i + 1, 101 + i});
    AppendIndexRecord(bytes, folder);
    IndexRecord done;
    done.kind = IndexRecordKind::Done;
    AppendIndexRecord(bytes, done);
    ASSERT_GT(bytes.size(), 64u * 1024);
    test::WriteFileBytes(LogPath(), bytes);
    const auto state = ReadState(true);
    ASSERT_TRUE(state);
    EXPECT_GE(state->highestModseq, 5000u);
    const auto gone = state->VanishedSince(4195);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->size(), 1u);
    EXPECT_EQ(ReadState(true)->VanishedSince(4195), gone);
}

// \Recent goes to one session only: of claims racing in threads and processes, each id is claimed
// once, and the marks of different users of a folder are their own.
TEST_F(store_FolderIndexTest, RecentIdsAreClaimedOnceAcrossThreadsAndProcesses) {
    for (int i = 0; i < 3; ++i) Deliver("Subject: m\r\n\r\nm\r\n");
    std::optional<std::uint32_t> previous;
    ASSERT_EQ(ClaimRecent(folder_->Storage(), root_, "a", 3, previous), S_OK);
    EXPECT_EQ(previous, std::nullopt);  // none claimed since the index was made
    ASSERT_EQ(ClaimRecent(folder_->Storage(), root_, "a", 3, previous), S_OK);
    EXPECT_EQ(previous, 3u);
    ASSERT_EQ(ClaimRecent(folder_->Storage(), root_, "b", 2, previous), S_OK);
    EXPECT_EQ(previous, std::nullopt);
    EXPECT_EQ(ReadState(true)->RecentMark("a"), 3u);
    EXPECT_EQ(ReadState()->RecentMark("b"), 2u);
    // A claim changes no message: sessions comparing change numbers are not sent to look again.
    const std::uint64_t change = ReadState()->change;
    ASSERT_EQ(ClaimRecent(folder_->Storage(), root_, "b", 3, previous), S_OK);
    EXPECT_EQ(previous, 2u);
    EXPECT_EQ(ReadState()->change, change);
    EXPECT_EQ(ReadState()->RecentMark("b"), 3u);
    ASSERT_EQ(ClaimRecent(folder_->Storage(), root_, "b", 2, previous), S_OK);
    EXPECT_EQ(previous, 3u);
    // Claims of rising marks from two processes and two threads each: the ranges each was given
    // (above its previous mark, up to its own) never overlap and leave no id unclaimed.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    constexpr std::uint32_t kClaims = 150;
    const auto claim = [&](int fd, std::uint32_t offset) {
        for (std::uint32_t i = 0; i < kClaims; ++i) {
            const std::uint32_t mark = 4 + 2 * i + offset;  // a claim may also find the mark above its own
            std::optional<std::uint32_t> before;
            EXPECT_EQ(ClaimRecent(folder_->Storage(), root_, "a", mark, before), S_OK);
            const std::uint32_t pair[2] = {before.value_or(0), mark};
            if (pair[0] < mark) {
                EXPECT_EQ(::write(fd, pair, sizeof pair), static_cast<ssize_t>(sizeof pair));
            }
        }
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ForgetFolderIndexes();
        std::thread other(claim, pipeFds[1], 1);
        claim(pipeFds[1], 0);
        other.join();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    std::thread other(claim, pipeFds[1], 1);
    claim(pipeFds[1], 0);
    other.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(pipeFds[1]);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> given;
    std::uint32_t pair[2];
    while (::read(pipeFds[0], pair, sizeof pair) == static_cast<ssize_t>(sizeof pair)) given.emplace_back(pair[0], pair[1]);
    ::close(pipeFds[0]);
    std::sort(given.begin(), given.end());
    std::uint32_t covered = 3;
    for (const auto& [from, to] : given) {
        ASSERT_EQ(from, covered) << "claims overlap or leave a gap";
        covered = to;
    }
    EXPECT_EQ(covered, 4 + 2 * (kClaims - 1) + 1);
    EXPECT_EQ(ReadState(true)->RecentMark("a"), covered);
    EXPECT_EQ(ReadState()->RecentMark("b"), 3u);
}

// Once a process has read a folder's index, looking at it again after a change reads the change, not
// the folder: the records of 300 messages are not opened again.
TEST_F(store_FolderIndexTest, ALookAfterAChangeOpensAHandfulOfFilesWhateverTheFolderSize) {
    const std::uint32_t first = Deliver("Subject: m\r\n\r\nbody\r\n");
    const std::string path = folder_->Storage().Path();
    const auto record = test::ReadFileBytes(path + UidStem(first) + ".env");
    const auto content = test::ReadFileBytes(path + UidStem(first) + ".eml");
    for (double uid = first + 1; uid < first + 300; ++uid) {
        test::WriteFileBytes(path + UidStem(uid) + ".eml", content);
        test::WriteFileBytes(path + UidStem(uid) + ".env", record);
    }
    // Once the copies made by hand lie a clock tick back, a look vouches for the folder as it is.
    WaitForSettledDirectory();
    std::shared_ptr<const FolderIndexState> before;
    ASSERT_EQ(ReadFolderIndex(folder_->Storage(), root_, before), S_OK);
    ASSERT_EQ(before->messages.size(), 300u);
    // A delivery (staging included) and a flag, both through the store.
    const std::uint32_t delivered = Deliver("Subject: new\r\n\r\nnew\r\n");
    (void)folder_->GetEnvelopes()->UpdateProperty({5.0}, "_ImapFlags", [](const Variant&) { return Variant::UI2(1); });
    FaultyFileSystem counting;
    std::shared_ptr<const FolderIndexState> state;
    {
        ScopedFileSystem scoped(counting);
        ASSERT_EQ(ReadFolderIndex(folder_->Storage(), root_, state), S_OK);
    }
    EXPECT_LE(counting.Calls(FileCall::Any), 10u) << counting.Calls(FileCall::Open) << " opens";
    EXPECT_EQ(counting.Calls(FileCall::ReadDirectory), 0u);  // the log explained every change: no rescan
    ASSERT_EQ(state->messages.size(), 301u);
    EXPECT_EQ(IndexedValue(state->PropertiesOf(state->messages[4]), "_ImapFlags").AsInt64(), 1);
    // A reader that saw the state before learns which message to look at, not the whole folder.
    EXPECT_EQ(state->TouchedSince(before->change), (std::vector<std::uint32_t>{5, delivered}));
    EXPECT_EQ(state->TouchedSince(state->change), std::vector<std::uint32_t>{});
    EXPECT_EQ(state->TouchedSince(state->change + 1), std::nullopt);
}

}  // namespace
}  // namespace pw::store

namespace pw::store {
namespace {

// Flag changes logged ahead of their records, swept by a kill and by a power cut at every call that
// changes the disk: a change reported done (here: the call returned) is never lost, whether the
// records had caught up with it or not, and once they catch up the records equal the index.
class store_LoggedAheadTest : public store_FolderIndexTest {
protected:
    void SetUp() override {
        store_FolderIndexTest::SetUp();
        // A forked child must not copy a background writer midway through a lock.
        SetIndexedCatchUpInBackground(false);
        CatchUpIndexedRecords();
    }
    void TearDown() override {
        SetIndexedCatchUpInBackground(true);
        store_FolderIndexTest::TearDown();
    }

    static std::uint16_t Flags(const Properties& properties) {
        const Variant flags = properties.Item("_ImapFlags");
        return flags.IsEmpty() ? 0 : flags.AsUI2();
    }
    // The workload: logged ahead, caught up, written through, logged ahead again, a removal. After the
    // nth step is done, `expected[n]` holds every message's flags (0xffff: removed).
    void Workload(const std::vector<double>& ids, int reportFd) const {
        const auto envelopes = folder_->GetEnvelopes();
        const auto add = [](std::uint16_t bit) {
            return [bit](double, Properties& properties) {
                properties.SetItem("_ImapFlags", Variant::UI2(static_cast<std::uint16_t>(Flags(properties) | bit)));
                return true;
            };
        };
        const auto done = [reportFd](char step) { ASSERT_EQ(::write(reportFd, &step, 1), 1); };
        (void)envelopes->UpdateIndexedById({ids[0], ids[1], ids[2]}, add(1));
        done(1);
        (void)envelopes->UpdateIndexedById({ids[1]}, add(4));
        done(2);
        ASSERT_EQ(CatchUpIndexedRecords(folder_->Storage(), root_), S_OK);
        (void)envelopes->UpdateIndexedById({ids[3]}, add(16));
        done(3);
        (void)envelopes->UpdateRecordsById({ids[3]}, add(2));  // through to the record, from the log's value
        done(4);
        (void)envelopes->UpdateIndexedById({ids[2]}, add(8));
        done(5);
        (void)envelopes->RemoveEnvelope(ids[0]);
        done(6);
    }
    static constexpr std::uint16_t kGone = 0xffff;
    static constexpr std::uint16_t kExpected[7][4] = {
        {0, 0, 0, 0}, {1, 1, 1, 0}, {1, 5, 1, 0}, {1, 5, 1, 16}, {1, 5, 1, 18}, {1, 5, 9, 18}, {kGone, 5, 9, 18},
    };

    // Runs the workload in a child on `fileSystem` (made in the child), and returns the steps done.
    template <typename MakeFileSystem>
    int RunChild(const std::vector<double>& ids, MakeFileSystem make) const {
        int report[2];
        EXPECT_EQ(::pipe(report), 0);
        const pid_t child = ::fork();
        EXPECT_GE(child, 0);
        if (child == 0) {
            ::close(report[0]);
            auto fileSystem = make();
            {
                ScopedFileSystem scoped(*fileSystem);
                Workload(ids, report[1]);
            }
            ::_exit(0);
        }
        ::close(report[1]);
        int steps = 0;
        char step = 0;
        while (::read(report[0], &step, 1) == 1) steps = step;
        ::close(report[0]);
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        return steps;
    }

    // After a child ended at any point: what a new process reads holds every change reported done (and
    // at most the one in hand besides), and the records, once caught up, equal it.
    void Check(const std::vector<double>& ids, int steps, const std::string& where) const {
        const auto state = ReadState(true);
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const IndexedMessage* message = state->Find(static_cast<std::uint32_t>(ids[i]));
            const std::uint16_t before = kExpected[steps][i];
            const std::uint16_t after = kExpected[std::min(steps + 1, 6)][i];
            if (!message) {
                ASSERT_TRUE(before == kGone || after == kGone) << where << ": message " << i << " lost";
                continue;
            }
            const Variant value = IndexedValue(state->PropertiesOf(*message), "_ImapFlags");
            const auto flags = static_cast<std::uint16_t>(value.IsEmpty() ? 0 : value.AsInt64());
            ASSERT_TRUE(flags == (before == kGone ? after : before) || flags == (after == kGone ? before : after))
                << where << ": message " << i << " has " << flags << " after " << steps << " steps";
        }
        ASSERT_EQ(CatchUpIndexedRecords(folder_->Storage(), root_), S_OK) << where;
        ASSERT_EQ(FromIndex(true), FromRecords()) << where;
    }

    // Four new messages for a run, and their removal after it: the folder stays small.
    std::vector<double> Fresh() {
        std::vector<double> ids;
        for (int i = 0; i < 4; ++i) ids.push_back(Deliver("Subject: fresh\r\n\r\nfresh\r\n"));
        (void)ReadState();
        return ids;
    }
    void Forget(const std::vector<double>& ids) const {
        for (const double id : ids) (void)folder_->GetEnvelopes()->RemoveEnvelope(id);
    }
};

TEST_F(store_LoggedAheadTest, AChangeReportedDoneSurvivesAKillOrAPowerCutAtAnyCall) {
    (void)ReadState();  // the folder has an index: changes are logged ahead
    // The calls of a whole run, counted here; then a child per point and mode, ended at that call.
    constexpr FileCall kKinds[] = {FileCall::Write, FileCall::Fsync, FileCall::Truncate, FileCall::Rename, FileCall::Unlink};
    std::map<FileCall, std::uint64_t> calls;
    {
        const auto ids = Fresh();
        FaultyFileSystem counting;
        const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        {
            ScopedFileSystem scoped(counting);
            Workload(ids, sink);
        }
        ::close(sink);
        for (const FileCall kind : kKinds) calls[kind] = counting.Calls(kind);
        Check(ids, 6, "a whole run");
        Forget(ids);
    }
    ASSERT_GT(calls[FileCall::Fsync], 6u);
    std::size_t points = 0;
    for (const FaultAction action : {FaultAction::Kill, FaultAction::Cut}) {
        for (const FileCall kind : kKinds) {
            for (std::uint64_t n = 1; n <= calls[kind]; ++n) {
                const auto ids = Fresh();
                const int steps = RunChild(ids, [&] {
                    FaultyFileSystem::Fault fault;
                    fault.kind = kind;
                    fault.nth = n;
                    fault.action = action;
                    return std::make_unique<FaultyFileSystem>(std::vector<FaultyFileSystem::Fault>{fault});
                });
                const std::string where = std::string(action == FaultAction::Cut ? "cut" : "killed") + " at " +
                                          std::string(FileCallName(kind)) + " " + std::to_string(n);
                Check(ids, steps, where);
                Forget(ids);
                ++points;
            }
        }
    }
    EXPECT_GT(points, 20u);
}

}  // namespace
}  // namespace pw::store
