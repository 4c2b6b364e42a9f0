// Registry: the ".reg" document keeps what it does not understand byte for byte, reads what regedit
// writes (continued hex lines, UTF-16LE with BOM), and the file-backed registry loses no concurrent update
// and survives any single failing file-system call with the old file or the new one.
#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace pw {
namespace {

constexpr std::string_view kKey = "HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\Pellworth\\General";

std::set<std::string> DirectoryNames(const std::string& path) {
    std::set<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        ::closedir(dir);
    }
    return names;
}

TEST(RegistryFileTest, RoundTripKeepsUnknownValuesCommentsAndKeysExactly) {
    const std::string text = R"(Windows Registry Editor Version 5.00

; exported by another tool

[HKEY_LOCAL_MACHINE\Software\Other\Vendor]
"Binary"=hex:01,02,ff
"Multi"=hex(7):41,00,00,00,00,00
"Qword"=hex(b):01,00,00,00,00,00,00,00
; a comment inside a key
"Path"="C:\\Program Files\\\"x\""
"Count"=dword:0000002a
@="default"
"Odd"=something-else

[HKEY_CURRENT_USER\Unknown\Key]
"x"=dword:ffffffff
[-HKEY_LOCAL_MACHINE\Deleted]

)";
    const RegistryFile file = RegistryFile::Parse(text);
    EXPECT_EQ(file.Serialize(), text);

    const std::string vendor = "HKEY_LOCAL_MACHINE\\Software\\Other\\Vendor";
    const RegistryValue* multi = file.FindValue(vendor, "Multi");
    ASSERT_NE(multi, nullptr);
    EXPECT_EQ(multi->type, RegistryValueType::Other);
    EXPECT_EQ(multi->text, "hex(7):41,00,00,00,00,00");
    const RegistryValue* path = file.FindValue(vendor, "Path");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->type, RegistryValueType::String);
    EXPECT_EQ(path->text, "C:\\Program Files\\\"x\"");
    ASSERT_NE(file.FindValue(vendor, "Count"), nullptr);
    EXPECT_EQ(file.FindValue(vendor, "Count")->dword, 42u);
    ASSERT_NE(file.FindValue(vendor, ""), nullptr);
    EXPECT_EQ(file.FindValue(vendor, "")->text, "default");
    EXPECT_EQ(file.FindValue(vendor, "; a comment inside a key"), nullptr) << "comments are not values";

    // A change elsewhere keeps every foreign line in place.
    RegistryFile changed = file;
    changed.SetDword(kKey, "Language", 9);
    const std::string rewritten = changed.Serialize();
    EXPECT_EQ(rewritten.substr(0, text.size()), text);
    EXPECT_EQ(rewritten.substr(text.size()), "[" + std::string(kKey) + "]\n\"Language\"=dword:00000009\n\n");
}

TEST(RegistryFileTest, StringsEscapeBackslashAndQuoteInNamesAndData) {
    RegistryFile file;
    file.SetString(kKey, "MessageStore", "C:\\store \"main\"");
    file.SetString(kKey, "we\"ird\\name", "v");
    const std::string text = file.Serialize();
    EXPECT_NE(text.find(R"("MessageStore"="C:\\store \"main\"")" "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("we\"ird\\name"="v")"), std::string::npos) << text;
    const RegistryFile back = RegistryFile::Parse(text);
    ASSERT_NE(back.FindValue(kKey, "MessageStore"), nullptr);
    EXPECT_EQ(back.FindValue(kKey, "MessageStore")->text, "C:\\store \"main\"");
    ASSERT_NE(back.FindValue(kKey, "we\"ird\\name"), nullptr);

    // A lone backslash before another character is taken as it stands.
    const RegistryFile loose = RegistryFile::Parse("[K]\n\"p\"=\"C:\\dir\"\n");
    ASSERT_NE(loose.FindValue("K", "p"), nullptr);
    EXPECT_EQ(loose.FindValue("K", "p")->text, "C:\\dir");
}

TEST(RegistryFileTest, DwordValuesAreEightHexDigitsAndMalformedOnesAreKept) {
    RegistryFile file;
    file.SetDword(kKey, "Small", 0x2A);
    file.SetDword(kKey, "All", 0xFFFFFFFFu);
    const std::string text = file.Serialize();
    EXPECT_NE(text.find("\"Small\"=dword:0000002a\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"All\"=dword:ffffffff\n"), std::string::npos) << text;

    const RegistryFile parsed = RegistryFile::Parse("[K]\n\"Upper\"=DWORD:DEADBEEF\n\"Long\"=dword:123456789\n"
                                                    "\"Junk\"=dword:xyz\n");
    ASSERT_NE(parsed.FindValue("K", "Upper"), nullptr);
    EXPECT_EQ(parsed.FindValue("K", "Upper")->type, RegistryValueType::Dword);
    EXPECT_EQ(parsed.FindValue("K", "Upper")->dword, 0xDEADBEEFu);
    for (const char* name : {"Long", "Junk"}) {
        const RegistryValue* value = parsed.FindValue("K", name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(value->type, RegistryValueType::Other) << name;
    }
    EXPECT_NE(parsed.Serialize().find("\"Long\"=dword:123456789\n"), std::string::npos);
}

TEST(RegistryFileTest, ExpandStringIsUtf16HexWithTerminatorAndReadsBack) {
    RegistryFile file;
    file.SetExpandString(kKey, "Short", "%A%");
    const std::string longText = "%ProgramFiles%\\Pellworth\\Gr\xC3\xBC\xC3\x9F" "e";
    file.SetExpandString(kKey, "Long", longText);
    const std::string text = file.Serialize();
    EXPECT_NE(text.find("\"Short\"=hex(2):25,00,41,00,25,00,00,00\n"), std::string::npos) << text;
    // 30 characters: 62 bytes, wrapped after every 25 bytes onto indented continuation lines.
    EXPECT_NE(text.find(",\\\n  "), std::string::npos) << text;

    const RegistryFile back = RegistryFile::Parse(text);
    for (const auto& [name, expected] : {std::pair<const char*, std::string>{"Short", "%A%"}, {"Long", longText}}) {
        const RegistryValue* value = back.FindValue(kKey, name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(value->type, RegistryValueType::ExpandString) << name;
        EXPECT_EQ(value->text, expected) << name;
    }
    EXPECT_EQ(back.Serialize(), text);
}

TEST(RegistryFileTest, HexValuesContinuedWithBackslashParseAsRegeditWritesThem) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
        "\"Long\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,\\\r\n"
        "  25,00,5c,00,73,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,00,00\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  03,04\r\n"
        "\"After\"=dword:00000001\r\n"
        "\"Trailing\"=\"C:\\\\\"\r\n"
        "  \"Indented\"=dword:00000002\r\n"
        "\"Broken\"=hex:05,\\\r\n"
        "\"Next\"=dword:00000003\r\n";
    const RegistryFile file = RegistryFile::Parse(text);
    const std::string key = "hkey_local_machine\\software\\test";
    const RegistryValue* longValue = file.FindValue(key, "Long");
    ASSERT_NE(longValue, nullptr);
    EXPECT_EQ(longValue->type, RegistryValueType::ExpandString);
    EXPECT_EQ(longValue->text, "%SystemRoot%\\system32");
    ASSERT_NE(file.FindValue(key, "Blob"), nullptr);
    EXPECT_EQ(file.FindValue(key, "Blob")->text, "hex:01,02,03,04");
    ASSERT_NE(file.FindValue(key, "Trailing"), nullptr);
    EXPECT_EQ(file.FindValue(key, "Trailing")->text, "C:\\");
    for (const auto& [name, dword] : {std::pair<const char*, std::uint32_t>{"After", 1}, {"Indented", 2}, {"Next", 3}}) {
        const RegistryValue* value = file.FindValue(key, name);
        ASSERT_NE(value, nullptr) << name << " was swallowed by a continuation";
        EXPECT_EQ(value->dword, dword) << name;
    }
}

TEST(RegistryFileTest, KeysAndValueNamesCompareWithoutRegardToCase) {
    RegistryFile file;
    file.SetString(kKey, "MessageStore", "/a");
    file.SetString(ToUpperAscii(kKey), "MESSAGESTORE", "/b");
    ASSERT_EQ(file.Keys().size(), 1u);
    ASSERT_EQ(file.Keys()[0].values.size(), 1u) << "replaced, not added";
    ASSERT_NE(file.FindValue(ToLowerAscii(kKey), "messagestore"), nullptr);
    EXPECT_EQ(file.FindValue(ToLowerAscii(kKey), "messagestore")->text, "/b");
    EXPECT_TRUE(file.DeleteValue(ToLowerAscii(kKey), "MessageSTORE"));
    EXPECT_EQ(file.FindValue(kKey, "MessageStore"), nullptr);
    EXPECT_FALSE(file.DeleteValue(kKey, "MessageStore"));

    file.SetString(kKey, "", "the default");
    EXPECT_NE(file.Serialize().find("\n@=\"the default\"\n"), std::string::npos);
    const RegistryFile back = RegistryFile::Parse("[K]\n@ = \"d\"\n");
    ASSERT_NE(back.FindValue("k", ""), nullptr);
    EXPECT_EQ(back.FindValue("k", "")->text, "d");
}

TEST(RegistryFileTest, AKeyThatAppearsAgainKeepsItsValuesAndTheLaterValueWins) {
    // Hand-edited files append sections; their values must land in the key they name.
    const RegistryFile file = RegistryFile::Parse("[A]\n\"X\"=dword:00000001\n[B]\n\"Y\"=\"b\"\n[a]\n\"x\"=dword:00000000\n");
    ASSERT_EQ(file.Keys().size(), 2u);
    ASSERT_NE(file.FindValue("A", "X"), nullptr);
    EXPECT_EQ(file.FindValue("A", "X")->dword, 0u);
    EXPECT_EQ(file.FindValue("B", "x"), nullptr);
    EXPECT_EQ(file.FindValue("B", "Y")->text, "b");
}

TEST(RegistryFileTest, KeyExistsForParentsAndDeleteKeyTreeStopsAtTheBoundary) {
    RegistryFile file;
    for (const char* key : {"R\\A", "R\\A\\B", "R\\A\\B\\C\\D", "R\\A\\BC", "R\\A\\B2"}) file.EnsureKey(key);
    EXPECT_TRUE(file.KeyExists("R"));
    EXPECT_TRUE(file.KeyExists("r\\a\\b\\c")) << "a parent of a listed key exists";
    EXPECT_EQ(file.FindKey("R\\A\\B\\C"), nullptr) << "but is not listed itself";
    EXPECT_FALSE(file.KeyExists("R\\A\\B\\C\\D\\E"));
    EXPECT_FALSE(file.KeyExists("R\\A\\Bx"));

    EXPECT_TRUE(file.DeleteKeyTree("r\\a\\b"));
    std::vector<std::string> left;
    for (const RegistryKey& key : file.Keys()) left.push_back(key.path);
    EXPECT_EQ(left, (std::vector<std::string>{"R\\A", "R\\A\\BC", "R\\A\\B2"}));
    EXPECT_FALSE(file.DeleteKeyTree("R\\A\\B"));
}

TEST(RegistryFileTest, TextsWithLineBreaksAndNulsRoundTrip) {
    RegistryFile file;
    const std::string multiLine = "line1\nline2\r\n\"quoted\" end";
    const std::string withNul("a\0b", 3);
    file.SetString(kKey, "Multi", multiLine);
    file.SetString(kKey, "Nul", withNul);
    file.SetString(kKey, "Empty", "");
    file.SetDword(kKey, "Following", 7);
    const std::string text = file.Serialize();
    EXPECT_EQ(text.find("\nline2"), std::string::npos) << "a raw line break would split the value";
    const RegistryFile back = RegistryFile::Parse(text);
    ASSERT_NE(back.FindValue(kKey, "Multi"), nullptr);
    EXPECT_EQ(back.FindValue(kKey, "Multi")->text, multiLine);
    ASSERT_NE(back.FindValue(kKey, "Nul"), nullptr);
    EXPECT_EQ(back.FindValue(kKey, "Nul")->text, withNul);
    ASSERT_NE(back.FindValue(kKey, "Empty"), nullptr);
    EXPECT_EQ(back.FindValue(kKey, "Empty")->text, "");
    ASSERT_NE(back.FindValue(kKey, "Following"), nullptr);
    EXPECT_EQ(back.FindValue(kKey, "Following")->dword, 7u);
}

class RegistryTest : public ::testing::Test {
protected:
    test::ScratchDirectory scratch_;
    Registry registry_{scratch_ / "etc/pellworth.reg"};
};

TEST_F(RegistryTest, MissingFileReadsAsEmptyAndReadsCreateNothing) {
    RegistryFile file;
    file.EnsureKey("stale");
    EXPECT_EQ(registry_.Read(file), S_OK);
    EXPECT_TRUE(file.Keys().empty());
    EXPECT_FALSE(registry_.GetString(kKey, "MessageStore"));
    EXPECT_FALSE(registry_.GetDword(kKey, "Language"));
    EXPECT_FALSE(registry_.KeyExists(kKey));
    EXPECT_TRUE(DirectoryNames(scratch_.Path()).empty());
}

TEST_F(RegistryTest, WrittenFileStartsWithTheEditorHeaderAndLeavesNoTemporaries) {
    ASSERT_EQ(registry_.SetString(kKey, "MessageStore", "/var/lib/pellworth/store"), S_OK);
    ASSERT_EQ(registry_.SetDword(kKey, "Language", 9), S_OK);
    const std::string text = test::ReadFileText(registry_.Path());
    EXPECT_EQ(text, "Windows Registry Editor Version 5.00\n\n[" + std::string(kKey) +
                        "]\n\"MessageStore\"=\"/var/lib/pellworth/store\"\n\"Language\"=dword:00000009\n\n");
    EXPECT_EQ(registry_.GetString(ToLowerAscii(kKey), "messagestore"), "/var/lib/pellworth/store");
    EXPECT_EQ(registry_.GetDword(kKey, "Language"), 9u);
    EXPECT_FALSE(registry_.GetDword(kKey, "MessageStore")) << "a text is not a number";
    EXPECT_FALSE(registry_.GetString(kKey, "Language")) << "a number is not a text";
    for (const std::string& name : DirectoryNames(scratch_ / "etc")) {
        EXPECT_TRUE(name == "pellworth.reg" || name == "pellworth.reg.lock") << "left behind: " << name;
    }

    ASSERT_EQ(registry_.DeleteValue(kKey, "LANGUAGE"), S_OK);
    EXPECT_FALSE(registry_.GetDword(kKey, "Language"));
    ASSERT_EQ(registry_.DeleteKeyTree("HKEY_LOCAL_MACHINE\\Software"), S_OK);
    EXPECT_FALSE(registry_.KeyExists("HKEY_LOCAL_MACHINE"));
}

TEST_F(RegistryTest, EverySingleFailingCallOfAChangeLeavesTheOldFileOrTheNewOneAndNoTemporary) {
    ASSERT_EQ(registry_.SetDword(kKey, "Value", 1), S_OK);
    // A full disk under the new file's write or flush fails the change and keeps the old file.
    for (const char* fault : {"write:1:ENOSPC", "fsync:1:ENOSPC"}) {
        std::vector<FaultyFileSystem::Fault> faults;
        ASSERT_TRUE(FaultyFileSystem::ParseFaultList(fault, faults));
        FaultyFileSystem faulty(std::move(faults));
        {
            const ScopedFileSystem installed(faulty);
            EXPECT_EQ(registry_.SetDword(kKey, "Value", 3), STG_E_MEDIUMFULL) << fault;
        }
        EXPECT_EQ(faulty.Fired(), 1u) << fault;
        EXPECT_EQ(registry_.GetDword(kKey, "Value"), 1u) << fault;
    }
    std::uint64_t n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 100u) << "a change that never runs out of calls";
        std::vector<FaultyFileSystem::Fault> faults;
        ASSERT_TRUE(FaultyFileSystem::ParseFaultList("any:" + std::to_string(n) + ":EIO", faults));
        FaultyFileSystem faulty(std::move(faults));
        HRESULT hr = S_OK;
        {
            const ScopedFileSystem installed(faulty);
            hr = registry_.SetDword(kKey, "Value", 2);
        }
        // As for the store's files, a failing flush of the directory after the rename reports the
        // failure with the new file in place; success always means the new file.
        const auto value = registry_.GetDword(kKey, "Value");
        EXPECT_TRUE(value == 2u || (Failed(hr) && value == 1u)) << "N=" << n;
        for (const std::string& name : DirectoryNames(scratch_ / "etc")) {
            EXPECT_TRUE(name == "pellworth.reg" || name == "pellworth.reg.lock") << "left behind: " << name << " N=" << n;
        }
        if (faulty.Fired() == 0) break;
        ASSERT_EQ(registry_.SetDword(kKey, "Value", 1), S_OK);
    }
    EXPECT_GT(n, 5u);  // the lock file's open, the temporary's open, write and fsync, the rename, the directory's flush
    // The registry file keeps its own permissions, not those of the store's files: every tool reads it.
    struct stat st {};
    ASSERT_EQ(::stat(registry_.Path().c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
    // A file an administrator narrowed (an installed server's is 0640) stays narrow after a change.
    ASSERT_EQ(::chmod(registry_.Path().c_str(), 0640), 0);
    ASSERT_EQ(registry_.SetDword(kKey, "Value", 3), S_OK);
    ASSERT_EQ(::stat(registry_.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// The one rule of every executable: the variable, the installed file, the checkout's private file
// (only for an executable in <checkout>/<build>/bin, and only when both the checkout's scripts/run
// and the file are there), else the installed file's place.
TEST(LocateRegistryTest, VariableThenSystemFileThenTheCheckoutsRunFile) {
    std::set<std::string> files;
    const auto exists = [&files](const std::string& path) { return files.count(path) != 0; };
    const std::string system = "/etc/pellworth/pellworth.reg";

    EXPECT_EQ(LocateRegistry(nullptr, "/src/pw/build/bin", exists).path, system);
    files = {"/src/pw/run/pellworth.reg"};
    EXPECT_EQ(LocateRegistry(nullptr, "/src/pw/build/bin", exists).path, system) << "not a checkout without scripts/run";
    files.insert("/src/pw/scripts/run");
    EXPECT_EQ(LocateRegistry(nullptr, "/src/pw/build/bin", exists).path, "/src/pw/run/pellworth.reg");
    EXPECT_EQ(LocateRegistry("", "/src/pw/build/bin", exists).path, "/src/pw/run/pellworth.reg") << "empty is unset";
    EXPECT_EQ(LocateRegistry(nullptr, "/src/pw/build/bin/sub", exists).path, system);
    EXPECT_EQ(LocateRegistry(nullptr, "/usr/sbin", exists).path, system);

    files.insert(system);
    EXPECT_EQ(LocateRegistry(nullptr, "/src/pw/build/bin", exists).path, system);
    const RegistryLocation named = LocateRegistry("/tmp/x.reg", "/src/pw/build/bin", exists);
    EXPECT_EQ(named.path, "/tmp/x.reg");
    EXPECT_NE(named.reason.find("PELLWORTH_REGISTRY"), std::string::npos);
}

TEST_F(RegistryTest, ReadsAUtf16FileWithByteOrderMarkAsRegeditSavesIt) {
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[" + std::string(kKey) +
                             "]\r\n\"Greeting\"=\"Gr\xC3\xBC\xC3\x9F" "e\"\r\n\"Port\"=dword:00000019\r\n";
    std::vector<std::byte> bytes = {std::byte{0xFF}, std::byte{0xFE}};
    const std::vector<std::byte> utf16 = Utf8ToUtf16Le(text);
    bytes.insert(bytes.end(), utf16.begin(), utf16.end());
    ASSERT_EQ(::mkdir((scratch_ / "etc").c_str(), 0755), 0);
    test::WriteFileBytes(registry_.Path(), bytes);

    EXPECT_EQ(registry_.GetString(kKey, "Greeting"), "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(registry_.GetDword(kKey, "Port"), 25u);
    // An update rewrites it in UTF-8 and keeps what was there.
    ASSERT_EQ(registry_.SetDword(kKey, "Other", 1), S_OK);
    EXPECT_EQ(test::ReadFileText(registry_.Path()).rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_EQ(registry_.GetString(kKey, "Greeting"), "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(registry_.GetDword(kKey, "Port"), 25u);

    // UTF-8 with a byte-order mark reads too.
    test::WriteFileText(registry_.Path(), "\xEF\xBB\xBF" + text);
    EXPECT_EQ(registry_.GetDword(kKey, "Port"), 25u);
}

TEST_F(RegistryTest, ConcurrentUpdatesFromManyThreadsLoseNoValue) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 20;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const Registry mine(registry_.Path());  // its own object, as another component would have
            for (int i = 0; i < kPerThread; ++i) {
                const std::string name = "T" + std::to_string(t) + "V" + std::to_string(i);
                if (Failed(mine.SetDword(kKey, name, static_cast<std::uint32_t>(t * 1000 + i)))) ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;

    RegistryFile file;
    ASSERT_EQ(registry_.Read(file), S_OK);
    const RegistryKey* key = file.FindKey(kKey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values.size(), static_cast<std::size_t>(kThreads * kPerThread));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            const RegistryValue* value = file.FindValue(kKey, "T" + std::to_string(t) + "V" + std::to_string(i));
            ASSERT_NE(value, nullptr) << t << "/" << i;
            EXPECT_EQ(value->dword, static_cast<std::uint32_t>(t * 1000 + i));
        }
    }
}

}  // namespace
}  // namespace pw
