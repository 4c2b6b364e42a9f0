// FileSystem: the fault list, the Nth call of a kind failing once, the control file that
// re-arms, and the storage layer's replacements under every single failing call: the old file or
// the new one, never a mix, never a temporary file left behind.
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
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
    for (const char* text : {"fsync", "fsync:3", "fsync:0:EIO", "fsync:x:EIO", "sync:1:EIO", "fsync:1:EPERM", "fsync:1:EIO,"}) {
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
    EXPECT_EQ(test::ReadFileText(control + ".fired"), "fsync 1 ENOSPC\nfsync 1 ENOSPC\n");
}

}  // namespace
}  // namespace pw
