// FileStream: end-of-file reporting, seeking and sizing, byte-range locks and their independence from
// the share locks, delete-on-release.
#include "platform/FileStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/DirStorage.h"

namespace pw {
namespace {

constexpr std::uint32_t kReadWriteExclusive = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

std::string ReadAll(Stream& stream) {
    EXPECT_EQ(stream.Seek(0, SeekOrigin::Begin), S_OK);
    std::vector<std::byte> bytes;
    EXPECT_EQ(ReadToEnd(stream, bytes), S_OK);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

class FileStreamTest : public ::testing::Test {
protected:
    std::unique_ptr<FileStream> Create(std::string_view name, std::uint32_t mode = kReadWriteExclusive) {
        std::unique_ptr<FileStream> stream;
        EXPECT_EQ(storage_.CreateStream(name, mode | STGM_CREATE, stream), S_OK) << name;
        return stream;
    }
    std::unique_ptr<FileStream> Open(std::string_view name, std::uint32_t mode) {
        std::unique_ptr<FileStream> stream;
        EXPECT_EQ(storage_.OpenStream(name, mode, stream), S_OK) << name;
        return stream;
    }

    test::ScratchDirectory scratch_;
    DirStorage storage_{scratch_.Path()};
};

TEST_F(FileStreamTest, ReadAtEndReturnsEndOfFileNotSuccess) {
    auto stream = Create("data");
    ASSERT_TRUE(stream);
    std::byte buffer[16];
    std::size_t got = 99;
    EXPECT_EQ(stream->Read(buffer, got), STG_E_ENDOFFILE) << "an empty file";
    EXPECT_EQ(got, 0u);

    ASSERT_EQ(stream->Write("hello"), S_OK);
    ASSERT_EQ(stream->Seek(0, SeekOrigin::Begin), S_OK);
    EXPECT_EQ(stream->Read(buffer, got), S_OK);
    EXPECT_EQ(got, 5u);
    got = 99;
    EXPECT_EQ(stream->Read(buffer, got), STG_E_ENDOFFILE);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(STG_E_ENDOFFILE, MakeHresult(0x80030026));

    // ReadExact past the end fails the same way; ReadToEnd treats the end as success.
    ASSERT_EQ(stream->Seek(2, SeekOrigin::Begin), S_OK);
    std::byte five[5];
    EXPECT_EQ(ReadExact(*stream, five), STG_E_ENDOFFILE);
    EXPECT_EQ(ReadAll(*stream), "hello");
}

TEST_F(FileStreamTest, SeekSetSizeAndRemainingAgreeWithTheFile) {
    auto stream = Create("sized");
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->Write("0123456789"), S_OK);
    std::uint64_t position = 0;
    EXPECT_EQ(stream->Seek(-3, SeekOrigin::End, &position), S_OK);
    EXPECT_EQ(position, 7u);
    std::uint64_t remaining = 0;
    EXPECT_EQ(stream->Remaining(remaining), S_OK);
    EXPECT_EQ(remaining, 3u);
    EXPECT_EQ(stream->Seek(-100, SeekOrigin::Current), STG_E_INVALIDPARAMETER);

    EXPECT_EQ(stream->SetSize(4), S_OK);
    ElementInfo info;
    EXPECT_EQ(stream->Stat(info), S_OK);
    EXPECT_EQ(info.size, 4u);
    EXPECT_EQ(info.name, "sized");
    EXPECT_FALSE(info.isDirectory);

    // Writing past the end leaves a gap of zero bytes.
    ASSERT_EQ(stream->Seek(6, SeekOrigin::Begin), S_OK);
    ASSERT_EQ(stream->Write("X"), S_OK);
    EXPECT_EQ(stream->Commit(), S_OK);
    EXPECT_EQ(test::ReadFileText(scratch_ / "sized"), std::string("0123\0\0X", 7));
}

TEST_F(FileStreamTest, WriteOnReadOnlyStreamFailsAndChangesNothing) {
    test::WriteFileText(scratch_ / "ro", "keep");
    auto stream = Open("ro", STGM_READ | STGM_SHARE_DENY_WRITE);
    ASSERT_TRUE(stream);
    EXPECT_TRUE(Failed(stream->Write("overwrite")));
    EXPECT_TRUE(Failed(stream->SetSize(0)));
    EXPECT_EQ(test::ReadFileText(scratch_ / "ro"), "keep");
    // A range lock needs a writable descriptor.
    EXPECT_EQ(stream->LockRegion(0, 1, false), STG_E_ACCESSDENIED);
}

TEST_F(FileStreamTest, RegionLocksConflictBetweenStreamsButNotWithShareLocks) {
    test::WriteFileText(scratch_ / "queue", std::string(200, 'q'));
    // Two writers that share the file (as a counter's users do); their range locks exclude each other.
    auto first = Open("queue", STGM_READWRITE | STGM_SHARE_DENY_NONE);
    auto second = Open("queue", STGM_READWRITE | STGM_SHARE_DENY_NONE);
    ASSERT_TRUE(first && second);

    EXPECT_EQ(first->LockRegion(0, 100, false), S_OK);
    EXPECT_EQ(first->LockRegion(0, 100, false), S_OK) << "the holder may lock its own range again";
    EXPECT_EQ(second->LockRegion(50, 10, false), STG_E_LOCKVIOLATION);
    EXPECT_EQ(second->LockRegion(99, 1, false), STG_E_LOCKVIOLATION);
    EXPECT_EQ(second->LockRegion(100, 10, false), S_OK) << "the adjacent range is free";
    EXPECT_EQ(first->LockRegion(105, 1, false), STG_E_LOCKVIOLATION);

    EXPECT_EQ(first->UnlockRegion(0, 100), S_OK);
    EXPECT_EQ(second->LockRegion(50, 10, false), S_OK);
    EXPECT_EQ(second->UnlockRegion(50, 10), S_OK);
    EXPECT_EQ(second->UnlockRegion(100, 10), S_OK);

    // Range locks never make a share lock fail, and a share lock never blocks a range lock.
    first.reset();
    second.reset();
    auto ranged = Open("queue", STGM_READWRITE | STGM_SHARE_DENY_NONE);
    ASSERT_TRUE(ranged);
    ASSERT_EQ(ranged->LockRegion(0, 200, false), S_OK);
    auto exclusive = Open("queue", kReadWriteExclusive);
    ASSERT_TRUE(exclusive);
    EXPECT_EQ(exclusive->LockRegion(0, 10, false), STG_E_LOCKVIOLATION);
    EXPECT_EQ(exclusive->LockRegion(200, 10, false), S_OK);
}

TEST_F(FileStreamTest, WaitingRegionLockIsGrantedWhenTheHolderUnlocks) {
    test::WriteFileText(scratch_ / "waited", "0123456789");
    auto holder = Open("waited", STGM_READWRITE | STGM_SHARE_DENY_NONE);
    auto waiter = Open("waited", STGM_READWRITE | STGM_SHARE_DENY_NONE);
    ASSERT_TRUE(holder && waiter);
    ASSERT_EQ(holder->LockRegion(0, 10, false), S_OK);

    std::future<HRESULT> granted = std::async(std::launch::async, [&] { return waiter->LockRegion(0, 10, true); });
    // Still blocked while the range is held (a late start only makes this check weaker, never wrong).
    EXPECT_EQ(granted.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ASSERT_EQ(holder->UnlockRegion(0, 10), S_OK);
    if (granted.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the waiting lock was not granted after the unlock";
        holder.reset();  // closing the descriptor drops every lock it held, so the waiter returns
    }
    EXPECT_EQ(granted.get(), S_OK);
    if (holder) {
        EXPECT_EQ(holder->LockRegion(0, 1, false), STG_E_LOCKVIOLATION) << "the waiter holds it now";
    }
}

TEST_F(FileStreamTest, DeleteOnReleaseRemovesTheFileWhenTheStreamCloses) {
    auto stream = Create("scratchpad", kReadWriteExclusive | STGM_DELETEONRELEASE);
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->Write("temporary"), S_OK);
    EXPECT_TRUE(test::FileExists(scratch_ / "scratchpad"));
    stream.reset();
    EXPECT_FALSE(test::FileExists(scratch_ / "scratchpad"));

    // Also for a stream opened on an existing file; without the flag the file stays.
    test::WriteFileText(scratch_ / "existing", "x");
    stream = Open("existing", STGM_READ | STGM_SHARE_EXCLUSIVE | STGM_DELETEONRELEASE);
    ASSERT_TRUE(stream);
    stream.reset();
    EXPECT_FALSE(test::FileExists(scratch_ / "existing"));
    test::WriteFileText(scratch_ / "kept", "x");
    stream = Open("kept", STGM_READ | STGM_SHARE_EXCLUSIVE);
    stream.reset();
    EXPECT_TRUE(test::FileExists(scratch_ / "kept"));
}

}  // namespace
}  // namespace pw
