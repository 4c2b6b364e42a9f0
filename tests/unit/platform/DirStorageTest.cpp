// DirStorage: creation and open errors, share modes between openers and threads, name validation,
// enumeration, renames that never replace, recursive deletes that never follow links, atomic replace.
#include "platform/DirStorage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"

namespace pw {
namespace {

constexpr std::uint32_t kReadWriteExclusive = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

std::span<const std::byte> AsBytes(std::string_view text) { return std::as_bytes(std::span(text.data(), text.size())); }

std::set<std::string> Names(const std::vector<ElementInfo>& elements) {
    std::set<std::string> names;
    for (const ElementInfo& element : elements) names.insert(element.name);
    return names;
}

class DirStorageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(storage_.CreateSelf(), S_OK); }

    std::string Path(std::string_view name) const { return storage_.ElementPath(name); }
    std::set<std::string> Listing() const {
        std::vector<ElementInfo> elements;
        EXPECT_EQ(storage_.Enumerate("", elements), S_OK);
        return Names(elements);
    }
    HRESULT OpenWith(std::string_view name, std::uint32_t mode, std::unique_ptr<FileStream>& stream) const {
        return storage_.OpenStream(name, mode, stream);
    }

    test::ScratchDirectory scratch_;
    DirStorage storage_{scratch_ / "store"};
};

TEST_F(DirStorageTest, CreateWithoutCreateFlagRefusesAnExistingFileAndCreateFlagTruncates) {
    test::WriteFileText(Path("mail.eml"), "old content");
    std::unique_ptr<FileStream> stream;
    EXPECT_EQ(storage_.CreateStream("mail.eml", kReadWriteExclusive, stream), MakeHresult(0x80030050));
    EXPECT_FALSE(stream);
    EXPECT_EQ(test::ReadFileText(Path("mail.eml")), "old content");

    ASSERT_EQ(storage_.CreateStream("mail.eml", kReadWriteExclusive | STGM_CREATE, stream), S_OK);
    ElementInfo info;
    ASSERT_EQ(stream->Stat(info), S_OK);
    EXPECT_EQ(info.size, 0u);
    ASSERT_EQ(stream->Write("new"), S_OK);
    stream.reset();
    EXPECT_EQ(test::ReadFileText(Path("mail.eml")), "new");

    // Both forms create a missing file.
    EXPECT_EQ(storage_.CreateStream("fresh", kReadWriteExclusive, stream), S_OK);
    EXPECT_EQ(storage_.CreateStream("fresh2", kReadWriteExclusive | STGM_CREATE, stream), S_OK);
    EXPECT_EQ(Listing(), (std::set<std::string>{"mail.eml", "fresh", "fresh2"}));
}

// Property files are read whole, and kept by the process while a stat shows them unchanged. What
// another program changes -- in place with the same size and the old modification time put back, or
// by a rename -- must be read anew.
TEST_F(DirStorageTest, AWholeReadKeptByTheProcessNeverHidesAChangedFile) {
    const auto read = [&] {
        std::vector<std::byte> bytes;
        EXPECT_EQ(storage_.ReadWholeCached("_box", bytes), S_OK);
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    };
    // Kept only once its times lie well behind the clock: wait for that.
    const auto settle = [&] {
        struct stat st {};
        ASSERT_EQ(::stat(Path("_box").c_str(), &st), 0);
        const auto changed = std::chrono::system_clock::time_point(std::chrono::seconds(st.st_ctim.tv_sec) +
                                                                  std::chrono::nanoseconds(st.st_ctim.tv_nsec));
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::system_clock::now() < changed + std::chrono::milliseconds(300) && std::chrono::steady_clock::now() < bound) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    ASSERT_EQ(storage_.ReplaceStream("_box", AsBytes("one-1")), S_OK);
    settle();
    EXPECT_EQ(read(), "one-1");
    EXPECT_EQ(read(), "one-1");

    struct stat before {};
    ASSERT_EQ(::stat(Path("_box").c_str(), &before), 0);
    {
        const int fd = ::open(Path("_box").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "two-2", 5, 0), 5);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(fd, times), 0);
        ::close(fd);
    }
    EXPECT_EQ(read(), "two-2");

    settle();
    EXPECT_EQ(read(), "two-2");
    ASSERT_EQ(storage_.ReplaceStream("_box", AsBytes("thr-3")), S_OK);
    EXPECT_EQ(read(), "thr-3");

    ASSERT_EQ(storage_.DestroyElement("_box"), S_OK);
    std::vector<std::byte> bytes;
    EXPECT_EQ(storage_.ReadWholeCached("_box", bytes), STG_E_FILENOTFOUND);
}

TEST_F(DirStorageTest, MissingFileAndMissingDirectoryHaveDistinctErrors) {
    std::unique_ptr<FileStream> stream;
    EXPECT_EQ(storage_.OpenStream("absent", STGM_READ | STGM_SHARE_DENY_NONE, stream), STG_E_FILENOTFOUND);
    ElementInfo info;
    EXPECT_EQ(storage_.StatElement("absent", info), STG_E_FILENOTFOUND);
    EXPECT_EQ(storage_.DestroyElement("absent"), STG_E_FILENOTFOUND);
    EXPECT_EQ(storage_.RenameElement("absent", "other"), STG_E_FILENOTFOUND);
    DirStorage child;
    EXPECT_EQ(storage_.OpenChildStorage("absent", child), STG_E_FILENOTFOUND);

    const DirStorage gone(scratch_ / "store" + "/gone");
    EXPECT_FALSE(gone.Exists());
    EXPECT_EQ(gone.OpenStream("x", STGM_READ | STGM_SHARE_DENY_NONE, stream), STG_E_PATHNOTFOUND);
    EXPECT_EQ(gone.CreateStream("x", kReadWriteExclusive, stream), STG_E_PATHNOTFOUND);
    EXPECT_EQ(gone.StatElement("x", info), STG_E_PATHNOTFOUND);
    EXPECT_EQ(gone.CreateChildStorage("x"), STG_E_PATHNOTFOUND);
    std::vector<ElementInfo> elements;
    EXPECT_EQ(gone.Enumerate("*", elements), STG_E_PATHNOTFOUND);
    EXPECT_FALSE(gone.Exists()) << "nothing may create the missing directory on the way";
}

struct ShareCase {
    std::uint32_t first;
    std::uint32_t second;
    HRESULT expected;
};

TEST_F(DirStorageTest, ShareModesConflictAsWindowsOpenersDo) {
    test::WriteFileText(Path("shared"), "content");
    constexpr std::uint32_t rw = STGM_READWRITE;
    constexpr std::uint32_t ro = STGM_READ;
    const ShareCase cases[] = {
        {rw | STGM_SHARE_EXCLUSIVE, rw | STGM_SHARE_EXCLUSIVE, STG_E_SHAREVIOLATION},
        {ro | STGM_SHARE_EXCLUSIVE, ro | STGM_SHARE_EXCLUSIVE, STG_E_SHAREVIOLATION},  // also read-only
        {ro | STGM_SHARE_DENY_WRITE, ro | STGM_SHARE_DENY_WRITE, S_OK},
        {rw | STGM_SHARE_DENY_WRITE, ro | STGM_SHARE_DENY_WRITE, S_OK},
        {ro | STGM_SHARE_DENY_WRITE, rw | STGM_SHARE_EXCLUSIVE, STG_E_SHAREVIOLATION},
        {rw | STGM_SHARE_EXCLUSIVE, ro | STGM_SHARE_DENY_WRITE, STG_E_SHAREVIOLATION},
        {rw | STGM_SHARE_DENY_READ, ro | STGM_SHARE_DENY_WRITE, STG_E_SHAREVIOLATION},
        {rw | STGM_SHARE_DENY_NONE, rw | STGM_SHARE_DENY_NONE, S_OK},
        {rw | STGM_SHARE_EXCLUSIVE, ro | STGM_SHARE_DENY_NONE, STG_E_SHAREVIOLATION},  // exclusive denies reading
        {ro | STGM_SHARE_DENY_WRITE, rw | STGM_SHARE_DENY_NONE, STG_E_SHAREVIOLATION},  // deny-write denies a writer
        {ro | STGM_SHARE_DENY_WRITE, ro | STGM_SHARE_DENY_NONE, S_OK},
        // Known limit: an opener that holds no lock is invisible to those that come after it.
        {rw | STGM_SHARE_DENY_NONE, rw | STGM_SHARE_EXCLUSIVE, S_OK},
    };
    for (const ShareCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "first 0x" << c.first << " second 0x" << c.second);
        std::unique_ptr<FileStream> first, second;
        ASSERT_EQ(OpenWith("shared", c.first, first), S_OK);
        EXPECT_EQ(OpenWith("shared", c.second, second), c.expected);
        EXPECT_EQ(second != nullptr, c.expected == S_OK);
        first.reset();
        second.reset();
        EXPECT_EQ(OpenWith("shared", c.second, second), S_OK) << "free again once the first closed";
    }
    EXPECT_EQ(test::ReadFileText(Path("shared")), "content");
}

TEST_F(DirStorageTest, ExclusiveOpensExcludeOtherThreadsOfTheProcess) {
    test::WriteFileText(Path("contended"), "");
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> wins{0};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                std::unique_ptr<FileStream> stream;
                const HRESULT hr = OpenWith("contended", kReadWriteExclusive, stream);
                if (hr == STG_E_SHAREVIOLATION) continue;
                if (hr != S_OK) {
                    ++unexpected;
                    continue;
                }
                if (holders.fetch_add(1) != 0) ++overlaps;
                ++wins;
                std::this_thread::yield();
                holders.fetch_sub(1);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0) << "two threads held the file exclusively at once";
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(wins.load(), 0);

    // And the plain two-thread case: a holder in one thread, a refused opener in another.
    std::unique_ptr<FileStream> held;
    ASSERT_EQ(OpenWith("contended", kReadWriteExclusive, held), S_OK);
    HRESULT other = S_OK;
    std::thread([&] {
        std::unique_ptr<FileStream> stream;
        other = OpenWith("contended", STGM_READ | STGM_SHARE_DENY_WRITE, stream);
    }).join();
    EXPECT_EQ(other, STG_E_SHAREVIOLATION);
}

TEST_F(DirStorageTest, CreateOverAnExclusivelyHeldFileFailsAndKeepsItsContent) {
    std::unique_ptr<FileStream> holder;
    ASSERT_EQ(storage_.CreateStream("locked", kReadWriteExclusive, holder), S_OK);
    ASSERT_EQ(holder->Write("precious"), S_OK);
    std::unique_ptr<FileStream> intruder;
    EXPECT_EQ(storage_.CreateStream("locked", kReadWriteExclusive | STGM_CREATE, intruder), STG_E_SHAREVIOLATION);
    EXPECT_EQ(storage_.CreateStream("locked", STGM_WRITE | STGM_SHARE_DENY_WRITE | STGM_CREATE, intruder),
              STG_E_SHAREVIOLATION);
    EXPECT_FALSE(intruder);
    EXPECT_EQ(test::ReadFileText(Path("locked")), "precious");
}

TEST_F(DirStorageTest, CreateWithDenyNoneDoesNotTruncateAnExclusivelyHeldFile) {
    std::unique_ptr<FileStream> holder;
    ASSERT_EQ(storage_.CreateStream("held", kReadWriteExclusive, holder), S_OK);
    ASSERT_EQ(holder->Write("precious"), S_OK);
    std::unique_ptr<FileStream> intruder;
    const HRESULT hr = storage_.CreateStream("held", STGM_READWRITE | STGM_SHARE_DENY_NONE | STGM_CREATE, intruder);
    const std::string after = test::ReadFileText(Path("held"));
    EXPECT_EQ(after, "precious");
    EXPECT_EQ(hr, STG_E_SHAREVIOLATION);
}

TEST_F(DirStorageTest, DestroyElementRemovesATreeWithReadOnlyFilesAndDirectories) {
    DirStorage tree;
    ASSERT_EQ(storage_.CreateChildStorage("tree", &tree), S_OK);
    DirStorage readOnlyDir, closedDir;
    ASSERT_EQ(tree.CreateChildStorage("rodir", &readOnlyDir), S_OK);
    ASSERT_EQ(tree.CreateChildStorage("closed", &closedDir), S_OK);
    test::WriteFileText(tree.ElementPath("ro.txt"), "r");
    test::WriteFileText(readOnlyDir.ElementPath("inner.txt"), "i");
    test::WriteFileText(closedDir.ElementPath("hidden.txt"), "h");
    ASSERT_EQ(::chmod(tree.ElementPath("ro.txt").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(readOnlyDir.ElementPath("inner.txt").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(tree.ElementPath("rodir").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(tree.ElementPath("closed").c_str(), 0000), 0);

    EXPECT_EQ(storage_.DestroyElement("tree"), S_OK);
    EXPECT_FALSE(test::FileExists(Path("tree")));
    EXPECT_TRUE(Listing().empty());
}

TEST_F(DirStorageTest, RecursiveDeleteNeverFollowsALinkOutOfTheTree) {
    const std::string outside = scratch_ / "outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    test::WriteFileText(outside + "/keep.txt", "keep");
    DirStorage tree;
    ASSERT_EQ(storage_.CreateChildStorage("tree", &tree), S_OK);
    test::WriteFileText(tree.ElementPath("own.txt"), "own");
    ASSERT_EQ(::symlink(outside.c_str(), tree.ElementPath("dirlink").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/keep.txt").c_str(), tree.ElementPath("filelink").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), Path("toplink").c_str()), 0);

    EXPECT_EQ(storage_.DestroyElement("tree"), S_OK);
    EXPECT_FALSE(test::FileExists(Path("tree")));
    EXPECT_EQ(storage_.DestroyElement("toplink"), S_OK);
    EXPECT_FALSE(test::FileExists(Path("toplink")));
    EXPECT_EQ(test::ReadFileText(outside + "/keep.txt"), "keep");
}

TEST_F(DirStorageTest, RenameNeverReplacesAnExistingElement) {
    test::WriteFileText(Path("a"), "A");
    test::WriteFileText(Path("b"), "B");
    ASSERT_EQ(storage_.CreateChildStorage("d1"), S_OK);
    ASSERT_EQ(storage_.CreateChildStorage("d2"), S_OK);
    EXPECT_EQ(storage_.RenameElement("a", "b"), MakeHresult(0x800300B7));
    EXPECT_EQ(storage_.RenameElement("a", "d1"), STG_E_ALREADYEXISTS);
    EXPECT_EQ(storage_.RenameElement("d1", "d2"), STG_E_ALREADYEXISTS) << "an empty directory is not replaced";
    EXPECT_EQ(test::ReadFileText(Path("a")), "A");
    EXPECT_EQ(test::ReadFileText(Path("b")), "B");
    EXPECT_EQ(Listing(), (std::set<std::string>{"a", "b", "d1", "d2"}));

    EXPECT_EQ(storage_.RenameElement("a", "c"), S_OK);
    EXPECT_EQ(storage_.RenameElement("d1", "d3"), S_OK);
    EXPECT_EQ(test::ReadFileText(Path("c")), "A");
    EXPECT_EQ(Listing(), (std::set<std::string>{"b", "c", "d2", "d3"}));
}

TEST_F(DirStorageTest, InvalidNamesAreRefusedByEveryOperationAndCreateNothing) {
    const std::string badNames[] = {"",     ".",        "..",       "a/b",   "../escape", "a\\b", "\\",
                                    std::string("a\0b", 3), "tab\there", "nl\n", "cr\r",      "\x01", "del\x7F"};
    for (const std::string& name : badNames) EXPECT_EQ(ValidateElementName(name), STG_E_INVALIDNAME) << name;
    for (const char* name : {"a", "...", "a.b", "~tmp", "with space", "Gr\xC3\xBC\xC3\x9F" "e", ".hidden"}) {
        EXPECT_EQ(ValidateElementName(name), S_OK) << name;
    }

    test::WriteFileText(Path("good"), "g");
    const std::string content = "x";
    for (const std::string& name : badNames) {
        SCOPED_TRACE(testing::Message() << "name \"" << name << "\"");
        std::unique_ptr<FileStream> stream;
        DirStorage child;
        ElementInfo info;
        EXPECT_EQ(storage_.CreateStream(name, kReadWriteExclusive | STGM_CREATE, stream), STG_E_INVALIDNAME);
        EXPECT_EQ(storage_.OpenStream(name, STGM_READ | STGM_SHARE_DENY_NONE, stream), STG_E_INVALIDNAME);
        EXPECT_EQ(storage_.CreateChildStorage(name), STG_E_INVALIDNAME);
        EXPECT_EQ(storage_.OpenChildStorage(name, child), STG_E_INVALIDNAME);
        EXPECT_EQ(storage_.StatElement(name, info), STG_E_INVALIDNAME);
        EXPECT_EQ(storage_.RenameElement("good", name), STG_E_INVALIDNAME);
        EXPECT_EQ(storage_.RenameElement(name, "renamed"), STG_E_INVALIDNAME);
        EXPECT_EQ(storage_.DestroyElement(name), STG_E_INVALIDNAME);
        EXPECT_EQ(storage_.ReplaceStream(name, AsBytes(content)), STG_E_INVALIDNAME);
    }
    EXPECT_EQ(Listing(), (std::set<std::string>{"good"}));
    std::vector<ElementInfo> parent;
    ASSERT_EQ(DirStorage(scratch_.Path()).Enumerate("*", parent), S_OK);
    EXPECT_EQ(Names(parent), (std::set<std::string>{"store"})) << "nothing escaped into the parent";
}

TEST_F(DirStorageTest, EnumerateMatchesPatternsWithoutRegardToCase) {
    for (const char* name : {"one.env", "TWO.ENV", "three.txt", "noext", "x.envy"}) test::WriteFileText(Path(name), "");
    ASSERT_EQ(storage_.CreateChildStorage("sub.Env"), S_OK);
    std::vector<ElementInfo> elements;
    ASSERT_EQ(storage_.Enumerate("*.env", elements), S_OK);
    EXPECT_EQ(Names(elements), (std::set<std::string>{"one.env", "TWO.ENV", "sub.Env"}));
    for (const ElementInfo& element : elements) EXPECT_EQ(element.isDirectory, element.name == "sub.Env");

    const std::set<std::string> all{"one.env", "TWO.ENV", "three.txt", "noext", "x.envy", "sub.Env"};
    for (const char* pattern : {"*.*", "*", ""}) {
        ASSERT_EQ(storage_.Enumerate(pattern, elements), S_OK);
        EXPECT_EQ(elements.size(), all.size()) << pattern << ": no duplicates, no \".\" or \"..\"";
        EXPECT_EQ(Names(elements), all) << pattern;
    }
    ASSERT_EQ(storage_.Enumerate("?wo.*", elements), S_OK);
    EXPECT_EQ(Names(elements), (std::set<std::string>{"TWO.ENV"}));
    ASSERT_EQ(storage_.Enumerate("*.nothing", elements), S_OK);
    EXPECT_TRUE(elements.empty());

    // The listing by name says the same, without a stat per element.
    for (const char* pattern : {"*.env", "*", "?wo.*", "*.nothing"}) {
        ASSERT_EQ(storage_.Enumerate(pattern, elements), S_OK);
        std::vector<ElementName> names;
        ASSERT_EQ(storage_.EnumerateNames(pattern, names), S_OK);
        std::set<std::pair<std::string, bool>> expected;
        std::set<std::pair<std::string, bool>> listed;
        for (const ElementInfo& element : elements) expected.emplace(element.name, element.isDirectory);
        for (const ElementName& element : names) listed.emplace(element.name, element.isDirectory);
        EXPECT_EQ(listed, expected) << pattern;
        EXPECT_EQ(names.size(), elements.size()) << pattern;
    }
    std::vector<ElementName> names;
    EXPECT_EQ(DirStorage(Path("gone")).EnumerateNames("*", names), STG_E_PATHNOTFOUND);
}

TEST_F(DirStorageTest, StatElementReportsSizeDirectoryBitAndTheLinkItself) {
    test::WriteFileText(Path("file"), std::string(1234, 'z'));
    ASSERT_EQ(storage_.CreateChildStorage("dir"), S_OK);
    ASSERT_EQ(::symlink(Path("dir").c_str(), Path("link").c_str()), 0);
    ElementInfo info;
    ASSERT_EQ(storage_.StatElement("file", info), S_OK);
    EXPECT_EQ(info.name, "file");
    EXPECT_EQ(info.size, 1234u);
    EXPECT_FALSE(info.isDirectory);
    EXPECT_FALSE(info.isReadOnly);
    EXPECT_NEAR(info.modified, Now(), 10.0 / 1440) << "modified within ten minutes, in local time";

    ASSERT_EQ(storage_.StatElement("dir", info), S_OK);
    EXPECT_TRUE(info.isDirectory);
    EXPECT_EQ(info.size, 0u);
    ASSERT_EQ(storage_.StatElement("link", info), S_OK);
    EXPECT_FALSE(info.isDirectory) << "a link is reported as itself, never as its target";

    ASSERT_EQ(::chmod(Path("file").c_str(), 0444), 0);
    ASSERT_EQ(storage_.StatElement("file", info), S_OK);
    EXPECT_TRUE(info.isReadOnly);
}

TEST_F(DirStorageTest, ReplaceStreamSwapsContentAtomicallyAndLeavesNoTemporaryFile) {
    test::WriteFileText(Path("settings"), "old settings");
    std::unique_ptr<FileStream> reader;
    ASSERT_EQ(storage_.OpenStream("settings", STGM_READ | STGM_SHARE_DENY_NONE, reader), S_OK);
    const std::string fresh = "new settings, longer than before";
    ASSERT_EQ(storage_.ReplaceStream("settings", AsBytes(fresh)), S_OK);
    EXPECT_EQ(test::ReadFileText(Path("settings")), fresh);
    std::vector<std::byte> seen;
    ASSERT_EQ(ReadToEnd(*reader, seen), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(seen.data()), seen.size()), "old settings")
        << "an opener of the old file keeps the old file whole";
    ASSERT_EQ(storage_.ReplaceStream("created", AsBytes(std::string_view("c"))), S_OK);
    EXPECT_EQ(Listing(), (std::set<std::string>{"settings", "created"}));

    // A replace that can not rename (a directory holds the name) fails and cleans up after itself.
    ASSERT_EQ(storage_.CreateChildStorage("dir"), S_OK);
    EXPECT_TRUE(Failed(storage_.ReplaceStream("dir", AsBytes(fresh))));
    EXPECT_EQ(Listing(), (std::set<std::string>{"settings", "created", "dir"}));
}

TEST_F(DirStorageTest, ConcurrentReadersOnlyEverSeeOneWholeVersion) {
    const std::vector<std::string> versions = {std::string(5000, 'a'), std::string(7000, 'b'), std::string(3000, 'c')};
    ASSERT_EQ(storage_.ReplaceStream("doc", AsBytes(versions[0])), S_OK);
    std::atomic<bool> writing{true};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        // Reads at least once more after the writer stopped, so the check never depends on timing.
        for (bool last = false; !last;) {
            last = !writing.load();
            std::unique_ptr<FileStream> stream;
            if (Failed(storage_.OpenStream("doc", STGM_READ | STGM_SHARE_DENY_NONE, stream))) {
                ++torn;
                continue;
            }
            std::vector<std::byte> bytes;
            const std::string text = Succeeded(ReadToEnd(*stream, bytes))
                                         ? std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())
                                         : std::string();
            if (std::find(versions.begin(), versions.end(), text) == versions.end()) ++torn;
            ++reads;
        }
    });
    for (int round = 0; round < 60; ++round) {
        ASSERT_EQ(storage_.ReplaceStream("doc", AsBytes(versions[static_cast<std::size_t>(round) % 3])), S_OK);
    }
    writing = false;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(Listing(), (std::set<std::string>{"doc"}));
}

TEST_F(DirStorageTest, ReplaceStreamAcceptsEveryNameCreateStreamAccepts) {
    const std::string longName(250, 'n');  // inside NAME_MAX (255)
    std::unique_ptr<FileStream> stream;
    ASSERT_EQ(storage_.CreateStream(longName, kReadWriteExclusive, stream), S_OK);
    stream.reset();
    const HRESULT hr = storage_.ReplaceStream(longName, AsBytes(std::string_view("v")));
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(test::ReadFileText(Path(longName)), "v");
}

TEST_F(DirStorageTest, LinksPlantedAtAnElementNameAreNeverFollowed) {
    const std::string secret = scratch_ / "secret";
    test::WriteFileText(secret, "secret");
    ASSERT_EQ(::symlink(secret.c_str(), Path("planted").c_str()), 0);
    ASSERT_EQ(::symlink((scratch_ / "would-be-created").c_str(), Path("dangling").c_str()), 0);
    ASSERT_EQ(::symlink(scratch_.Path().c_str(), Path("dirlink").c_str()), 0);

    std::unique_ptr<FileStream> stream;
    EXPECT_EQ(storage_.OpenStream("planted", STGM_READ | STGM_SHARE_DENY_NONE, stream), STG_E_ACCESSDENIED);
    EXPECT_TRUE(Failed(storage_.CreateStream("planted", kReadWriteExclusive | STGM_CREATE, stream)));
    EXPECT_TRUE(Failed(storage_.CreateStream("planted", kReadWriteExclusive, stream)));
    EXPECT_TRUE(Failed(storage_.CreateStream("dangling", kReadWriteExclusive | STGM_CREATE, stream)));
    EXPECT_FALSE(stream);
    EXPECT_FALSE(test::FileExists(scratch_ / "would-be-created"));
    DirStorage child;
    EXPECT_TRUE(Failed(storage_.OpenChildStorage("dirlink", child)));

    // Replacing the name replaces the link itself.
    ASSERT_EQ(storage_.ReplaceStream("planted", AsBytes(std::string_view("mine"))), S_OK);
    EXPECT_EQ(test::ReadFileText(Path("planted")), "mine");
    EXPECT_EQ(test::ReadFileText(secret), "secret");
}

TEST_F(DirStorageTest, ChildStoragesMustBeNewForCreateAndRealDirectoriesForOpen) {
    DirStorage child;
    ASSERT_EQ(storage_.CreateChildStorage("sub", &child), S_OK);
    EXPECT_EQ(child.Path(), Path("sub") + "/");
    EXPECT_EQ(child.Name(), "sub");
    EXPECT_TRUE(child.Exists());
    EXPECT_EQ(storage_.CreateChildStorage("sub"), MakeHresult(0x800300B7));
    test::WriteFileText(Path("plain"), "p");
    EXPECT_EQ(storage_.CreateChildStorage("plain"), STG_E_ALREADYEXISTS);

    DirStorage opened;
    EXPECT_EQ(storage_.OpenChildStorage("sub", opened), S_OK);
    EXPECT_EQ(opened.Path(), child.Path());
    EXPECT_TRUE(Failed(storage_.OpenChildStorage("plain", opened)));
    std::unique_ptr<FileStream> stream;
    EXPECT_EQ(storage_.OpenStream("sub", STGM_READ | STGM_SHARE_DENY_NONE, stream), STG_E_ACCESSDENIED);
    EXPECT_FALSE(stream);

    // CreateSelf makes the missing parents and accepts an existing directory; a file in the way fails.
    const DirStorage deep(scratch_ / "a/b/c");
    EXPECT_EQ(deep.Path(), scratch_ / "a/b/c/");
    EXPECT_EQ(deep.CreateSelf(), S_OK);
    EXPECT_EQ(deep.CreateSelf(), S_OK);
    EXPECT_TRUE(deep.Exists());
    EXPECT_TRUE(Failed(DirStorage(Path("plain") + "/below").CreateSelf()));
}

}  // namespace
}  // namespace pw
