// SendersList: what the normaliser makes of addresses and patterns, the file byte for byte, matching,
// damaged and hostile files, and changes from several writers at once.
#include "antispam/SendersList.h"

#include "TestSupport.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <thread>

namespace pw::antispam {
namespace {

using test::Bytes;

std::string Text(const std::vector<std::byte>& bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

std::vector<std::string> All(SendersList& list) {
    list.Reset();
    return list.Next(1000);
}

TEST(SendersListTest, NormalisesAddressesAndPatternsIntoKeysAndNames) {
    const std::pair<std::string_view, SenderEntry> cases[] = {
        {"\"John Doe\" <John.DOE@Example.COM>", {"john.doe@example.com", "John Doe"}},
        {"Jane <JANE@x.test>", {"jane@x.test", "Jane"}},
        {"plain@X.Test", {"plain@x.test", ""}},
        {"*@evil.test", {"*@evil.test", "*@evil.test"}},          // a pattern is kept as written, also as its name
        {"\"Spam Co\" <*@Spam.TEST>", {"*@Spam.TEST", "Spam Co"}},  // not lower-cased
        {"<*@x.test>", {"*@x.test", "*@x.test"}},                 // nothing before "<": the inside is key and name
        {"  <  >  *", {"*", "*"}},
        {"", {"", ""}},
        {"a@b@c", {"", ""}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(NormaliseSender(text), expected) << text;
}

TEST(SendersListTest, WritesTheFileByteForByteAndEnumeratesQuotedNames) {
    test::ScratchDirectory dir;
    const DirStorage root(dir.Path());
    EnemySendersList list;
    ASSERT_EQ(list.Load(root), S_OK);  // missing: an empty list
    EXPECT_TRUE(list.Loaded());
    EXPECT_EQ(list.Add("\"John Doe\" <John.Doe@Example.COM>"), S_OK);
    EXPECT_EQ(list.Add("*@evil.test"), S_OK);
    EXPECT_EQ(list.Add("\"Johnny\" <john.doe@example.com>"), S_OK);  // same key: renamed in place
    EXPECT_EQ(list.Add("<>"), S_FALSE);
    const Bytes expected = Bytes().U32(1).U32(20).Ascii("john.doe@example.com").U32(6).Ascii("Johnny")
                               .U32(11).Ascii("*@evil.test").U32(11).Ascii("*@evil.test");
    EXPECT_EQ(test::ReadFileBytes(dir / "BadSenders.lst"), expected.Get());
    EXPECT_EQ(All(list), (std::vector<std::string>{"\"Johnny\" <john.doe@example.com>", "\"*@evil.test\" <*@evil.test>"}));

    // Removal takes the entry with exactly that key: a pattern that would match it is not it.
    EXPECT_EQ(list.Remove("*@*.test"), S_FALSE);
    EXPECT_EQ(list.Remove("*@evil.test"), S_OK);
    EXPECT_EQ(list.Remove("JOHN.DOE@example.com"), S_OK);
    EXPECT_EQ(test::ReadFileBytes(dir / "BadSenders.lst"), Bytes().U32(1).Get());

    // A 0-byte file is an empty list too, and is written with its header at the first change.
    test::WriteFileBytes(dir / "GoodSenders.lst", {});
    FriendlySendersList friendly;
    ASSERT_EQ(friendly.Load(root), S_OK);
    EXPECT_EQ(friendly.Count(), 0u);
    ASSERT_EQ(friendly.Add("a@b.test"), S_OK);
    EXPECT_EQ(test::ReadFileBytes(dir / "GoodSenders.lst"), Bytes().U32(1).U32(8).Ascii("a@b.test").U32(0).Get());
}

TEST(SendersListTest, MatchesLowerCasedQueriesAgainstCaseSensitivePatterns) {
    test::ScratchDirectory dir;
    NoRespondToList list;
    ASSERT_EQ(list.Load(DirStorage(dir.Path())), S_OK);
    ASSERT_EQ(list.AddDefaults(), S_OK);
    ASSERT_EQ(list.Count(), 8u);
    EXPECT_EQ(All(list).front(), "\"Mail Daemon\" <mail-daemon@*>");
    EXPECT_TRUE(list.IsInList("MAILER-DAEMON@Any.Test"));
    EXPECT_TRUE(list.IsInList("\"Postmaster\" <postmaster@x.test>"));
    EXPECT_FALSE(list.IsInList("mail-deamon@x.test"));
    EXPECT_FALSE(list.IsInList(""));
    ASSERT_EQ(list.Add("*@Upper.Test"), S_OK);  // written in capitals: a lower-cased query never meets it
    ASSERT_EQ(list.Add("a?c@*.q.test"), S_OK);
    ASSERT_EQ(list.Add("\"Exact\" <exact@x.test>"), S_OK);
    EXPECT_FALSE(list.IsInList("someone@upper.test"));
    EXPECT_TRUE(list.IsInList("ABC@mail.q.test"));
    EXPECT_FALSE(list.IsInList("abbc@mail.q.test"));
    EXPECT_TRUE(list.IsInList("EXACT@X.TEST"));
    EXPECT_FALSE(list.IsInList("exact@x.tes"));

    // A hostile pattern costs linear time: forty stars before a byte that never comes.
    std::string stars;
    for (int i = 0; i < 40; ++i) stars += "*a";
    EXPECT_FALSE(WildcardMatch(stars + "b", std::string(5000, 'a')));
    EXPECT_TRUE(WildcardMatch(stars, std::string(5000, 'a')));
}

TEST(SendersListTest, DamagedFilesAreNeitherAllocatedNorChanged) {
    test::ScratchDirectory dir;
    const DirStorage root(dir.Path());
    const Bytes good = Bytes().U32(1).U32(3).Ascii("a@b").U32(0);
    const Bytes damaged[] = {
        Bytes().U32(1).U32(3).Ascii("a@b"),                      // cut short before the name's length
        Bytes().Append(good).U32(0xFFFFFFFF).Ascii("xyz"),       // a length far beyond the bytes left
        Bytes().Append(good).U32(2000).Ascii(std::string(2000, 'k')).U32(0),  // a key over the bound
        Bytes().U32(7).U32(3).Ascii("a@b").U32(0),               // not a list file
        Bytes().U8(1).U8(0),
    };
    for (const auto& bytes : damaged) {
        test::WriteFileBytes(dir / "BadSenders.lst", bytes.Get());
        EnemySendersList list;
        EXPECT_EQ(list.Load(root), E_FAIL);
        EXPECT_FALSE(list.Loaded());
        EXPECT_FALSE(list.IsInList("a@b"));
        EXPECT_EQ(list.Count(), 0u);
        EXPECT_EQ(list.Add("c@d.test"), E_FAIL);
        EXPECT_EQ(list.Remove("a@b"), E_FAIL);
        EXPECT_EQ(test::ReadFileBytes(dir / "BadSenders.lst"), bytes.Get()) << "left as it was";
    }
    // Repaired behind the list's back: the next Refresh reads it.
    EnemySendersList list;
    EXPECT_EQ(list.Load(root), E_FAIL);
    test::WriteFileBytes(dir / "BadSenders.lst", good.Get());
    EXPECT_TRUE(list.Refresh());
    EXPECT_TRUE(list.IsInList("a@b"));
    // A write that fails is reported and leaves the file and the list as they were.
    {
        std::vector<FaultyFileSystem::Fault> faults;
        ASSERT_TRUE(FaultyFileSystem::ParseFaultList("fsync:1:ENOSPC", faults));
        FaultyFileSystem faulty(faults);
        const ScopedFileSystem installed(faulty);
        EXPECT_EQ(list.Add("new@b.test"), STG_E_MEDIUMFULL);
    }
    EXPECT_EQ(test::ReadFileBytes(dir / "BadSenders.lst"), good.Get());
    EXPECT_FALSE(list.IsInList("new@b.test"));
    // Entries a caller may not write: over a bound, or a line break that would split a listing.
    EXPECT_EQ(list.Add(std::string(1100, 'x') + "@b.test"), E_INVALIDARG);
    EXPECT_EQ(list.Add("\"Two\r\nLines\" <two@b.test>"), E_INVALIDARG);
}

TEST(SendersListTest, ChangesFromManyWritersAllArriveAndEnumerationKeepsItsSnapshot) {
    test::ScratchDirectory dir;
    const DirStorage root(dir.Path());
    FriendlySendersList reader;
    ASSERT_EQ(reader.Load(root), S_OK);
    ASSERT_EQ(reader.Add("first@x.test"), S_OK);
    reader.Reset();

    constexpr int kWriters = 8;
    constexpr int kEach = 25;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            FriendlySendersList list;
            ASSERT_EQ(list.Load(root), S_OK);
            for (int i = 0; i < kEach; ++i) ASSERT_EQ(list.Add("w" + std::to_string(w) + "." + std::to_string(i) + "@x.test"), S_OK);
        });
    }
    for (auto& writer : writers) writer.join();
    // The enumeration started before the writers still walks what it started with.
    EXPECT_EQ(reader.Next(100), (std::vector<std::string>{"\"\" <first@x.test>"}));
    EXPECT_TRUE(reader.Next(100).empty());
    EXPECT_TRUE(reader.Refresh());
    EXPECT_EQ(reader.Count(), 1u + kWriters * kEach);
    EXPECT_TRUE(reader.IsInList("W7.24@X.TEST"));
    const auto parsed = ParseSendersFile(Text(test::ReadFileBytes(dir / "GoodSenders.lst")));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->size(), 1u + kWriters * kEach);
}

}  // namespace
}  // namespace pw::antispam
