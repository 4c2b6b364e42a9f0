// FileSystem: the fault list, the Nth call of a kind failing once, the control file that
// re-arms, the storage layer's replacements under every single failing call: the old file or
// the new one, never a mix, never a temporary file left behind; and a power cut, which leaves on
// disk exactly what the flushes made durable.
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "platform/DirStorage.h"

namespace pw {
namespace {

std::span<const std::byte> AsBytes(std::string_view text) { return std::as_bytes(std::span(text.data(), text.size())); }

std::vector<FaultyFileSystem::Fault> Faults(std::string_view text) {
    std::vector<FaultyFileSystem::Fault> faults;
    EXPECT_TRUE(FaultyFileSystem::ParseFaultList(text, faults)) << text;
    return faults;
}

TEST(FileSystemTest, FaultListsNameAKindACountAndAnError) {
    const auto faults = Faults(" fsync:3:ENOSPC, any:12:EIO,write:1:EDQUOT\n");
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_EQ(faults[0].kind, FileCall::Fsync);
    EXPECT_EQ(faults[0].nth, 3u);
    EXPECT_EQ(faults[0].error, ENOSPC);
    EXPECT_EQ(faults[1].kind, FileCall::Any);
    EXPECT_EQ(faults[1].nth, 12u);
    EXPECT_EQ(faults[2].error, EDQUOT);
    EXPECT_TRUE(Faults("").empty());
    std::vector<FaultyFileSystem::Fault> bad;
    const auto actions = Faults("rename:2:CUT,any:5:KILL,write:1:JCUT");
    ASSERT_EQ(actions.size(), 3u);
    EXPECT_EQ(actions[0].action, FaultAction::Cut);
    EXPECT_EQ(actions[1].action, FaultAction::Kill);
    EXPECT_EQ(actions[2].action, FaultAction::JournalCut);
    EXPECT_EQ(actions[1].kind, FileCall::Any);
    for (const char* text : {"fsync", "fsync:3", "fsync:0:EIO", "fsync:x:EIO", "sync:1:EIO", "fsync:1:EPERM", "fsync:1:EIO,", "fsync:1:cut"}) {
        EXPECT_FALSE(FaultyFileSystem::ParseFaultList(text, bad)) << text;
    }
}

TEST(FileSystemTest, TheNthCallOfAKindFailsOnceWithItsErrorMappedByTheStorageLayer) {
    test::ScratchDirectory scratch;
    const DirStorage dir(scratch.Path());
    FaultyFileSystem faulty(Faults("write:2:ENOSPC,mkdir:1:EDQUOT,rename:1:EIO"));
    const ScopedFileSystem installed(faulty);

    std::unique_ptr<FileStream> stream;
    ASSERT_EQ(dir.CreateStream("a", STGM_WRITE | STGM_SHARE_EXCLUSIVE, stream), S_OK);
    EXPECT_EQ(stream->Write("first"), S_OK);
    EXPECT_EQ(stream->Write("second"), STG_E_MEDIUMFULL);
    EXPECT_EQ(stream->Write("third"), S_OK);  // once only
    stream.reset();
    EXPECT_EQ(dir.CreateChildStorage("sub"), STG_E_MEDIUMFULL);
    EXPECT_EQ(dir.CreateChildStorage("sub"), S_OK);
    EXPECT_TRUE(Failed(dir.RenameElement("a", "b")));
    EXPECT_EQ(dir.RenameElement("a", "b"), S_OK);
    EXPECT_EQ(test::ReadFileText(scratch / "b"), "firstthird");
    EXPECT_EQ(faulty.Fired(), 3u);
    EXPECT_EQ(faulty.Calls(FileCall::Write), 3u);
    EXPECT_EQ(faulty.Calls(FileCall::Rename), 2u);
}

// The real file system, but for its kind (journalled or not) and one write-out that fails with EIO.
class FailingWriteOut final : public FileSystem {
public:
    explicit FailingWriteOut(bool journalled) : journalled_(journalled) {}
    int WriteBack(int fd) override {
        if (failed_) return FileSystem::WriteBack(fd);
        failed_ = true;
        errno = EIO;
        return -1;
    }
    bool CommitsWrittenOutData(int) override { return journalled_; }

private:
    bool journalled_;
    bool failed_ = false;
};

TEST(FileSystemTest, AWriteOutThatFailsFailsTheFlushOfAMessagesFilesOnEitherRoad) {
    test::ScratchDirectory scratch;
    const DirStorage dir(scratch.Path());
    ASSERT_EQ(dir.ReplaceStream("content", AsBytes("message")), S_OK);
    // Where each file is flushed after its write-out, the error the write-out spent would not come
    // again from the fsync on the same descriptor; where the directory's flush is left to make the
    // data durable, nothing else would report it.
    for (const bool journalled : {false, true}) {
        FailingWriteOut failing(journalled);
        const ScopedFileSystem installed(failing);
        EXPECT_EQ(dir.FlushElementsWithDirectory({"content"}), StorageHresultFromErrno(EIO)) << journalled;
        EXPECT_EQ(dir.FlushElementsWithDirectory({"content"}), S_OK) << journalled;
    }
}

TEST(FileSystemTest, EverySingleFailingCallOfAReplacementLeavesTheOldFileOrTheNewOne) {
    test::ScratchDirectory scratch;
    const DirStorage dir(scratch.Path());
    ASSERT_EQ(dir.ReplaceStream("settings", AsBytes("old")), S_OK);
    std::uint64_t n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 100u) << "a replacement that never runs out of calls";
        FaultyFileSystem faulty(Faults("any:" + std::to_string(n) + ":EIO"));
        HRESULT replaced = S_OK;
        HRESULT published = S_OK;
        {
            const ScopedFileSystem installed(faulty);
            replaced = dir.ReplaceStream("settings", AsBytes("new"));
            published = dir.PublishStream("fresh", AsBytes("fresh"));
        }
        // A flush of the directory that fails after the rename reports the failure with the new file
        // in place (whether the rename is durable is unknown): the caller decides what it means (an
        // envelope takes its record back). Success always means the new file.
        const std::string text = test::ReadFileText(scratch / "settings");
        EXPECT_TRUE(text == "new" || (Failed(replaced) && text == "old")) << text << " N=" << n;
        if (Succeeded(published)) {
            EXPECT_EQ(test::ReadFileText(scratch / "fresh"), "fresh") << "N=" << n;
        }
        std::vector<ElementInfo> elements;
        ASSERT_EQ(dir.Enumerate("*", elements), S_OK);
        for (const auto& element : elements) EXPECT_FALSE(IsTemporaryName(element.name)) << element.name << " N=" << n;
        if (faulty.Fired() == 0) break;
        ASSERT_EQ(dir.ReplaceStream("settings", AsBytes("old")), S_OK);
        if (test::FileExists(scratch / "fresh")) {
            ASSERT_EQ(dir.DestroyElement("fresh"), S_OK);
        }
    }
    EXPECT_GT(n, 8u);  // open, write, fsync, rename and the directory's flush, for each of the two
}

TEST(FileSystemTest, AControlFileArmsAfreshWheneverItChangesAndReportsWhatFired) {
    test::ScratchDirectory scratch;
    const DirStorage dir(scratch.Path() + "/data");
    ASSERT_EQ(dir.CreateSelf(), S_OK);
    const std::string control = scratch / "faults";
    const auto arm = [&](std::string_view text) {
        test::WriteFileText(control + ".new", text);
        ASSERT_EQ(std::rename((control + ".new").c_str(), control.c_str()), 0);
    };
    FaultyFileSystem faulty;
    faulty.WatchControlFile(control);  // missing: nothing fails
    const ScopedFileSystem installed(faulty);
    EXPECT_EQ(dir.ReplaceStream("x", AsBytes("1")), S_OK);

    arm("fsync:1:ENOSPC");
    EXPECT_EQ(dir.ReplaceStream("x", AsBytes("2")), STG_E_MEDIUMFULL);
    EXPECT_EQ(dir.ReplaceStream("x", AsBytes("3")), S_OK);
    arm("fsync:1:ENOSPC");  // the same text again, and counting starts again
    EXPECT_EQ(dir.ReplaceStream("x", AsBytes("4")), STG_E_MEDIUMFULL);
    arm("");
    EXPECT_EQ(dir.ReplaceStream("x", AsBytes("5")), S_OK);
    EXPECT_EQ(test::ReadFileText(dir.ElementPath("x")), "5");
    // The arming that ended counted the failed replacement's calls: it never came to its rename.
    const std::string counts = test::ReadFileText(control + ".calls");
    EXPECT_NE(counts.find("\nfsync 1\ntruncate 0\nrename 0\n"), std::string::npos) << counts;
    EXPECT_EQ(test::ReadFileText(control + ".fired"), "fsync 1 ENOSPC\nfsync 1 ENOSPC\n");
}

// What the directory holds, hidden names too.
std::vector<std::string> Listing(const DirStorage& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FileSystemTest, APowerCutLeavesWhatTheFlushesMadeDurableAndNothingElse) {
    test::ScratchDirectory scratch;
    const DirStorage dir(scratch.Path());
    // On disk before the cut is armed, so durable.
    for (const char* name : {"replaced", "undone", "gone", "removed", "overwritten"}) {
        ASSERT_EQ(dir.ReplaceStream(name, AsBytes(std::string("old ") + name)), S_OK);
    }

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The cut comes at the first truncate: everything before it is the script.
        FaultyFileSystem faulty(Faults("truncate:1:CUT"));
        const ScopedFileSystem installed(faulty);
        bool ok = true;
        const auto check = [&](HRESULT hr) { ok = ok && hr == S_OK; };
        std::unique_ptr<FileStream> stream;
        // Flushed data and a flushed directory: kept, but not what was appended after the flush.
        check(dir.CreateStream("synced", STGM_WRITE | STGM_SHARE_EXCLUSIVE, stream));
        check(stream->Write(AsBytes("flushed")));
        check(stream->Commit());
        check(dir.Sync());
        check(stream->Write(AsBytes(" and appended")));
        stream.reset();
        check(dir.ReplaceStream("replaced", AsBytes("new replaced")));  // renamed and flushed
        check(dir.DestroyElement("removed"));
        // Written out, never flushed on its own: the directory's flush after it commits its data too.
        check(dir.CreateStream("written-out", STGM_WRITE | STGM_SHARE_EXCLUSIVE, stream));
        check(stream->Write(AsBytes("written out")));
        stream.reset();
        check(dir.FlushElementsWithDirectory({"written-out"}));
        check(dir.Sync());
        // From here on the directory is never flushed again.
        check(dir.CreateStream("unsynced", STGM_WRITE | STGM_SHARE_EXCLUSIVE, stream));
        check(stream->Write(AsBytes("never flushed")));
        stream.reset();
        check(dir.CreateStream("data-only", STGM_WRITE | STGM_SHARE_EXCLUSIVE, stream));
        check(stream->Write(AsBytes("flushed, but not its name")));
        check(stream->Commit());
        stream.reset();
        check(dir.ReplaceStreamUnsynced("undone", AsBytes("new undone")));
        check(dir.DestroyElement("gone"));
        check(dir.RenameElement("synced", "moved"));
        check(dir.CreateChildStorage("sub"));
        check(DirStorage(dir.ElementPath("sub")).ReplaceStream("inner", AsBytes("inner")));
        // Durable bytes written over in place.
        check(dir.OpenStream("overwritten", STGM_WRITE | STGM_SHARE_EXCLUSIVE, stream));
        check(stream->Write(AsBytes("NEW")));
        // The names kept aside for the cut are in the directory, but no listing of the seam shows them.
        std::vector<ElementName> seen;
        check(dir.EnumerateNames("*", seen));
        std::vector<std::string> names;
        for (const auto& element : seen) names.push_back(element.name);
        std::sort(names.begin(), names.end());
        ok = ok &&
             names == std::vector<std::string>{"data-only", "moved", "overwritten", "replaced", "sub", "undone", "unsynced", "written-out"} &&
             Listing(dir).size() > names.size();
        if (ok) [[maybe_unused]] const HRESULT never = stream->SetSize(0);  // the cut: never returns
        ::_exit(ok ? 2 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), kPowerCutExit) << "1: the script failed before the cut; 2: the cut did not come";

    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"gone", "overwritten", "replaced", "synced", "undone", "written-out"}));
    EXPECT_EQ(test::ReadFileText(scratch / "written-out"), "written out");
    EXPECT_EQ(test::ReadFileText(scratch / "synced"), "flushed");
    EXPECT_EQ(test::ReadFileText(scratch / "replaced"), "new replaced");
    EXPECT_EQ(test::ReadFileText(scratch / "undone"), "old undone");
    EXPECT_EQ(test::ReadFileText(scratch / "gone"), "old gone");
    EXPECT_EQ(test::ReadFileText(scratch / "overwritten"), "old overwritten");
    struct stat st {};
    ASSERT_EQ(::stat((scratch / "gone").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);  // the hidden name that kept it went back to being its name
}

}  // namespace
}  // namespace pw
