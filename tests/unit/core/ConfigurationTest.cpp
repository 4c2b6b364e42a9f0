// Configuration: the defaults of a new store and their exact file, the restore from the backup,
// damaged files left alone, saves that write only changes and back up first, and ports.
#include "core/Configuration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>

#include "core/CoreTestSupport.h"
#include "core/LanguageTexts.h"

namespace pw::core {
namespace {

using support::Dump;
using support::Group;
using support::Head;
using support::TextValue;

void ListenerRecords(test::Bytes& bytes, const std::string& protocol, std::uint16_t storedPort, bool pop3auth) {
    const std::string prefix = "sys:" + protocol + ":0:";
    Group(bytes, "sys:" + protocol);
    Group(bytes, "sys:" + protocol + ":0");
    Head(bytes, prefix + "enabled", VT_I2).U16(0xFFFF);
    Head(bytes, prefix + "ip", VT_I4).U32(0);
    Head(bytes, prefix + "port", VT_UI2).U16(storedPort);
    Head(bytes, prefix + "timeout", VT_I4).U32(360);
    if (pop3auth) Head(bytes, prefix + "pop3auth", VT_I2).U16(0xFFFF);
}

// The file of a new store, built by hand.
// Nodes of a new store's configuration, grouping nodes included.
constexpr std::uint32_t kDefaultNodes = 42;

// Instance 1 of a protocol: implicit TLS on its port (stored in network byte order), off until a
// certificate is configured; SMTP's takes mail from logged-in users only.
void ImplicitTlsRecords(test::Bytes& bytes, const std::string& name, std::uint16_t storedPort, bool submission) {
    const std::string base = "sys:" + name + ":1";
    Group(bytes, base);
    Head(bytes, base + ":enabled", VT_I2).U16(0);
    Head(bytes, base + ":ip", VT_I4).U32(0);
    Head(bytes, base + ":port", VT_UI2).U16(storedPort);
    Head(bytes, base + ":timeout", VT_I4).U32(360);
    Head(bytes, base + ":ssl", VT_I2).U16(0xFFFF);
    if (submission) {
        Head(bytes, base + ":smtpauth", VT_I2).U16(0xFFFF);
        Head(bytes, base + ":smtpauthrequired", VT_I2).U16(0xFFFF);
    }
}

std::vector<std::byte> DefaultsImage() {
    test::Bytes bytes;
    bytes.U32(1).U32(kDefaultNodes);
    Group(bytes, "sys");
    ListenerRecords(bytes, "smtp", 0x1900, true);
    ImplicitTlsRecords(bytes, "smtp", 0xD101, true);  // 465
    ListenerRecords(bytes, "pop3", 0x6E00, false);
    ImplicitTlsRecords(bytes, "pop3", 0xE303, false);  // 995
    ListenerRecords(bytes, "imap4", 0x8F00, false);
    ImplicitTlsRecords(bytes, "imap4", 0xE103, false);  // 993
    Group(bytes, "sys:public");
    Head(bytes, "sys:public:prefix", VT_BSTR);
    TextValue(bytes, "Public Folders");
    return bytes.Get();
}

// A small hand-built configuration with a value per argument.
std::vector<std::byte> SmallImage(std::uint16_t storedPort, std::string_view prefix) {
    test::Bytes bytes;
    bytes.U32(1).U32(6);
    Group(bytes, "sys");
    Group(bytes, "sys:smtp");
    Group(bytes, "sys:smtp:0");
    Head(bytes, "sys:smtp:0:port", VT_UI2).U16(storedPort);
    Group(bytes, "sys:public");
    Head(bytes, "sys:public:prefix", VT_BSTR);
    TextValue(bytes, prefix);
    return bytes.Get();
}

struct FileIdentity {
    ino_t inode = 0;
    long long mtimeNs = 0;
};

FileIdentity Identify(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {st.st_ino, static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

class ConfigurationTest : public ::testing::Test {
protected:
    // The default public prefix comes from the process's catalogue: start and end without one.
    void SetUp() override { LanguageTexts::Instance().ParseCatalogue(""); }
    void TearDown() override { LanguageTexts::Instance().ParseCatalogue(""); }

    std::string Cfg() const { return scratch_ / "pellworth.cfg"; }
    std::string Bak() const { return scratch_ / "pellworth.bak"; }
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(scratch_.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    test::ScratchDirectory scratch_;
    DirStorage root_{scratch_.Path()};
};

TEST_F(ConfigurationTest, NewStoreGetsTheDefaultsAndItsFirstSaveWritesThemExactly) {
    ConfigTree tree;
    EXPECT_FALSE(LoadConfiguration(tree, root_));
    EXPECT_TRUE(tree.IsDirty());
    EXPECT_TRUE(Listing().empty());  // loading writes no file

    const std::vector<std::pair<std::string, Variant>> expected = {
        {"sys:smtp:0:enabled", Variant::I2(-1)},     {"sys:smtp:0:ip", Variant::I4(0)},
        {"sys:smtp:0:port", Variant::UI2(0x1900)},   {"sys:smtp:0:timeout", Variant::I4(360)},
        {"sys:smtp:0:pop3auth", Variant::I2(-1)},    {"sys:pop3:0:enabled", Variant::I2(-1)},
        {"sys:pop3:0:ip", Variant::I4(0)},           {"sys:pop3:0:port", Variant::UI2(0x6E00)},
        {"sys:pop3:0:timeout", Variant::I4(360)},    {"sys:imap4:0:enabled", Variant::I2(-1)},
        {"sys:imap4:0:ip", Variant::I4(0)},          {"sys:imap4:0:port", Variant::UI2(0x8F00)},
        {"sys:imap4:0:timeout", Variant::I4(360)},   {"sys:imap4:1:enabled", Variant::I2(0)},
        {"sys:imap4:1:ip", Variant::I4(0)},          {"sys:imap4:1:port", Variant::UI2(0xE103)},
        {"sys:imap4:1:timeout", Variant::I4(360)},   {"sys:imap4:1:ssl", Variant::I2(-1)},
        {"sys:public:prefix", Variant::Text("Public Folders")},
    };
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(tree.GetCopy(key), value) << key << " is " << support::Describe(tree.GetCopy(key));
    }
    EXPECT_EQ(tree.NodeCount(), kDefaultNodes);
    Variant absent;
    EXPECT_FALSE(tree.Get("sys:pop3:0:pop3auth", absent));

    ASSERT_TRUE(SaveConfiguration(tree, root_));
    EXPECT_FALSE(tree.IsDirty());
    EXPECT_EQ(test::ReadFileBytes(Cfg()), DefaultsImage());
    EXPECT_EQ(Listing(), std::vector<std::string>{"pellworth.cfg"});  // no earlier file, no backup

    // The next load reads it back as it was.
    ConfigTree again;
    EXPECT_TRUE(LoadConfiguration(again, root_));
    EXPECT_EQ(Dump(again), Dump(tree));
    EXPECT_FALSE(again.IsDirty());
}

TEST_F(ConfigurationTest, DefaultPublicPrefixComesFromTheCatalogue) {
    LanguageTexts::Instance().ParseCatalogue("219\t\xC3\x96" "ffentliche Ordner\n");
    ConfigTree tree;
    WriteConfigurationDefaults(tree);
    EXPECT_EQ(tree.GetCopy("sys:public:prefix"), Variant::Text("\xC3\x96" "ffentliche Ordner"));

    LanguageTexts::Instance().ParseCatalogue("219\t\n");  // an empty text falls back
    ConfigTree fallback;
    WriteConfigurationDefaults(fallback);
    EXPECT_EQ(fallback.GetCopy("sys:public:prefix"), Variant::Text("Public Folders"));
}

TEST_F(ConfigurationTest, SaveWritesNothingUnlessTheTreeChanged) {
    const auto image = SmallImage(0x1900, "Shared");
    test::WriteFileBytes(Cfg(), image);
    // An old modification time shows any rewrite, however coarse the file system's clock.
    const timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(Cfg().c_str(), old), 0);
    const FileIdentity before = Identify(Cfg());

    ConfigTree tree;
    ASSERT_TRUE(LoadConfiguration(tree, root_));
    EXPECT_FALSE(tree.IsDirty());
    EXPECT_EQ(tree.GetCopy("sys:public:prefix"), Variant::Text("Shared"));
    ASSERT_TRUE(SaveConfiguration(tree, root_));

    const FileIdentity after = Identify(Cfg());
    EXPECT_EQ(after.inode, before.inode);
    EXPECT_EQ(after.mtimeNs, before.mtimeNs);
    EXPECT_EQ(test::ReadFileBytes(Cfg()), image);
    EXPECT_EQ(Listing(), std::vector<std::string>{"pellworth.cfg"});
}

TEST_F(ConfigurationTest, SaveAfterAChangeBacksUpTheOldFileFirst) {
    const auto first = SmallImage(0x1900, "One");
    test::WriteFileBytes(Cfg(), first);
    ConfigTree tree;
    ASSERT_TRUE(LoadConfiguration(tree, root_));

    ASSERT_TRUE(tree.Set("sys:public:prefix", Variant::Text("Two")));
    ASSERT_TRUE(SaveConfiguration(tree, root_));
    const auto second = SmallImage(0x1900, "Two");
    EXPECT_EQ(test::ReadFileBytes(Bak()), first);
    EXPECT_EQ(test::ReadFileBytes(Cfg()), second);
    EXPECT_FALSE(tree.IsDirty());

    ASSERT_TRUE(tree.Set("sys:smtp:0:port", PortValue(2525)));
    ASSERT_TRUE(SaveConfiguration(tree, root_));
    EXPECT_EQ(test::ReadFileBytes(Bak()), second);
    EXPECT_EQ(test::ReadFileBytes(Cfg()), SmallImage(0xDD09, "Two"));
    // Only the two files: no temporary file is left behind.
    EXPECT_EQ(Listing(), (std::vector<std::string>{"pellworth.bak", "pellworth.cfg"}));
}

TEST_F(ConfigurationTest, UnreadableFileIsReplacedByTheBackup) {
    const auto backup = SmallImage(0x1900, "From backup");
    test::WriteFileBytes(Cfg(), test::Bytes().U32(2).U32(0).Get());  // a version this server can not read
    test::WriteFileBytes(Bak(), backup);

    ConfigTree tree;
    EXPECT_TRUE(LoadConfiguration(tree, root_));
    EXPECT_EQ(tree.GetCopy("sys:public:prefix"), Variant::Text("From backup"));
    EXPECT_EQ(PortFromValue(tree.GetCopy("sys:smtp:0:port")), 25);
    EXPECT_FALSE(tree.IsDirty());
    EXPECT_EQ(test::ReadFileBytes(Cfg()), backup);
    EXPECT_EQ(test::ReadFileBytes(Bak()), backup);
    EXPECT_EQ(test::ReadFileBytes(root_.ElementPath("pellworth.cfg.damaged")), test::Bytes().U32(2).U32(0).Get());
}

TEST_F(ConfigurationTest, MissingFileIsRestoredFromALargeBackup) {
    // Larger than several copy blocks of the restore.
    ConfigTree big;
    for (int i = 0; i < 900; ++i) {
        ASSERT_TRUE(big.Set("big:k" + std::to_string(i), Variant::Text("value number " + std::to_string(i * 7919))));
    }
    const auto image = support::WriteImage(big);
    ASSERT_GT(image.size(), 3 * kRestoreBlockSize);
    test::WriteFileBytes(Bak(), image);

    ConfigTree tree;
    EXPECT_TRUE(LoadConfiguration(tree, root_));
    EXPECT_EQ(Dump(tree), Dump(big));
    EXPECT_EQ(test::ReadFileBytes(Cfg()), image);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"pellworth.bak", "pellworth.cfg"}));
}

TEST_F(ConfigurationTest, DamagedFileWithoutBackupIsLeftInPlaceUntilAChange) {
    const auto damaged = support::Cut(SmallImage(0x1900, "Lost"), 40);
    test::WriteFileBytes(Cfg(), damaged);

    ConfigTree tree;
    EXPECT_FALSE(LoadConfiguration(tree, root_));
    EXPECT_EQ(tree.NodeCount(), 0u);  // no defaults over a damaged store
    EXPECT_FALSE(tree.IsDirty());
    ASSERT_TRUE(SaveConfiguration(tree, root_));
    EXPECT_EQ(test::ReadFileBytes(Cfg()), damaged);
    // A copy of what the damaged file held is kept aside for a person to look at.
    EXPECT_EQ(Listing(), (std::vector<std::string>{"pellworth.cfg", "pellworth.cfg.damaged"}));
    EXPECT_EQ(test::ReadFileBytes(root_.ElementPath("pellworth.cfg.damaged")), damaged);

    // A change is saved, and the damaged file becomes the backup.
    ASSERT_TRUE(tree.Set("sys:public:prefix", Variant::Text("New")));
    ASSERT_TRUE(SaveConfiguration(tree, root_));
    EXPECT_EQ(test::ReadFileBytes(Bak()), damaged);
    ConfigTree reread;
    EXPECT_TRUE(LoadConfiguration(reread, root_));
    EXPECT_EQ(Dump(reread), "sys = empty:\nsys:public = empty:\nsys:public:prefix = str:\"New\"\n");
}

TEST_F(ConfigurationTest, FailedSaveKeepsTheTreeDirtyForTheNextAttempt) {
    const DirStorage store(scratch_ / "store");
    ASSERT_EQ(store.CreateSelf(), S_OK);
    ConfigTree tree;
    EXPECT_FALSE(LoadConfiguration(tree, store));
    ASSERT_EQ(tree.NodeCount(), kDefaultNodes);

    std::filesystem::remove_all(scratch_ / "store");
    EXPECT_FALSE(SaveConfiguration(tree, store));
    EXPECT_TRUE(tree.IsDirty());
    EXPECT_FALSE(test::FileExists(scratch_ / "store"));

    ASSERT_EQ(store.CreateSelf(), S_OK);
    EXPECT_TRUE(SaveConfiguration(tree, store));
    EXPECT_FALSE(tree.IsDirty());
    EXPECT_EQ(test::ReadFileBytes(scratch_ / "store/pellworth.cfg"), DefaultsImage());
}

TEST_F(ConfigurationTest, SavesRacingWithChangesLoseNoChange) {
    ConfigTree tree;
    ASSERT_FALSE(LoadConfiguration(tree, root_));
    std::atomic<int> writersLeft{2};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&tree, &writersLeft, t] {
            for (int i = 0; i < 400; ++i) tree.Set("race:w" + std::to_string(t) + ":k" + std::to_string(i % 50), Variant::I4(i));
            --writersLeft;
        });
    }
    int saves = 0;
    bool allSaved = true;
    while (writersLeft.load() > 0 && saves < 25) {
        allSaved = SaveConfiguration(tree, root_) && allSaved;
        ++saves;
    }
    for (auto& thread : threads) thread.join();
    allSaved = SaveConfiguration(tree, root_) && allSaved;
    EXPECT_TRUE(allSaved);

    // Whatever the interleaving, the file holds the final tree: no change was marked saved unsaved.
    ConfigTree reread;
    ASSERT_TRUE(LoadConfiguration(reread, root_));
    EXPECT_EQ(Dump(reread), Dump(tree));
    EXPECT_EQ(tree.GetCopy("race:w0:k49"), Variant::I4(399));
    const auto names = Listing();
    EXPECT_TRUE(names == std::vector<std::string>{"pellworth.cfg"} ||
                names == (std::vector<std::string>{"pellworth.bak", "pellworth.cfg"}));
}

TEST(PortValueTest, PortsAreStoredInNetworkByteOrder) {
    EXPECT_EQ(PortValue(25), Variant::UI2(0x1900));
    EXPECT_EQ(PortValue(110), Variant::UI2(0x6E00));
    EXPECT_EQ(PortValue(143), Variant::UI2(0x8F00));
    for (const std::uint16_t port : {0, 1, 25, 0x1234, 8080, 0xFFFF}) {
        EXPECT_EQ(PortFromValue(PortValue(port)), port);
    }
    EXPECT_EQ(PortFromValue(Variant::UI2(0x1900)), 25);
}

}  // namespace
}  // namespace pw::core
