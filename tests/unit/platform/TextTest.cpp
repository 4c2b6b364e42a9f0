// Text: case folding, splitting at separators, UTF-16LE round trips and the formatter's safety with hostile formats.
#include "platform/Text.h"

#include <gtest/gtest.h>

namespace pw {
namespace {

TEST(TextTest, ComparesAsciiWithoutRegardToCase) {
    EXPECT_TRUE(EqualsNoCase("SYS:SMTP:0:PORT", "sys:smtp:0:port"));
    EXPECT_FALSE(EqualsNoCase("sys", "sys:"));
    EXPECT_LT(CompareNoCase("Apple", "banana"), 0);
    EXPECT_TRUE(StartsWithNoCase("Pellworth.MailBox", "PELLWORTH."));
}

TEST(TextTest, Utf16RoundTripKeepsEveryCharacter) {
    const std::string text = "Grüße \xE2\x82\xAC \xF0\x9F\x93\xA7";  // umlauts, euro sign, an emoji
    EXPECT_EQ(Utf16LeToUtf8(Utf8ToUtf16Le(text)), text);
    EXPECT_EQ(Utf8ToUtf16Le("A").size(), 2u);
    EXPECT_EQ(Utf8ToUtf16Le("\xF0\x9F\x93\xA7").size(), 4u);  // a surrogate pair
}

TEST(TextTest, InvalidUtf8IsReadAsLatin1) {
    const std::vector<std::byte> bytes = Utf8ToUtf16Le("caf\xE9");
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(bytes[6], std::byte{0xE9});
    EXPECT_EQ(Utf16LeToUtf8(bytes), "caf\xC3\xA9");
}

TEST(TextTest, UnpairedSurrogateBecomesReplacementCharacter) {
    const std::vector<std::byte> lone = {std::byte{0x00}, std::byte{0xD8}, std::byte{0x41}, std::byte{0x00}};
    EXPECT_EQ(Utf16LeToUtf8(lone), "\xEF\xBF\xBD" "A");
}

TEST(TextTest, FormatsTheServersOwnForms) {
    EXPECT_EQ(Format("%d.%d.%d.%d", {std::int64_t{1}, std::int64_t{0}, std::int64_t{0}, std::int64_t{7}}), "1.0.0.7");
    EXPECT_EQ(Format("%07I64X", {std::uint64_t{0x1A2B}}), "0001A2B");
    EXPECT_EQ(Format("Thread %08x did not terminate for %i second%c",
                     {std::int64_t{0xBEEF}, std::int64_t{3}, std::int64_t{'s'}}),
              "Thread 0000beef did not terminate for 3 seconds");
    EXPECT_EQ(Format("%-5s|%5s|%.2s", {std::string_view("ab"), std::string_view("cd"), std::string_view("xyz")}),
              "ab   |   cd|xy");
    EXPECT_EQ(Format("100%%", {}), "100%");
}

TEST(TextTest, FormatNeverTrustsTheFormat) {
    // More conversions than arguments, the wrong kinds, %n and absurd widths: all safe.
    EXPECT_EQ(Format("%s and %s", {std::string_view("one")}), "one and ");
    EXPECT_EQ(Format("%d", {std::string_view("text")}), "text");
    EXPECT_EQ(Format("%s", {std::int64_t{42}}), "42");
    EXPECT_EQ(Format("%n%s", {std::string_view("x")}), "x");
    EXPECT_LE(Format("%999999999d", {std::int64_t{1}}).size(), 512u);
    EXPECT_EQ(Format("trailing %", {}), "trailing ");
}

TEST(TextTest, SplitsAtAnySeparatorWithoutEmptyRuns) {
    using Runs = std::vector<std::string>;
    EXPECT_EQ(SplitAtAny(";a,,b ;\tc\r\n", ";, \t\r\n"), (Runs{"a", "b", "c"}));
    EXPECT_EQ(SplitAtAny("//Bayesian Learn\\Spam/", "/\\"), (Runs{"Bayesian Learn", "Spam"}));
    EXPECT_EQ(SplitAtAny("whole", ","), Runs{"whole"});
    EXPECT_TRUE(SplitAtAny("", ",").empty());
    EXPECT_TRUE(SplitAtAny(",,,", ",").empty());
    EXPECT_EQ(SplitWords("\tMAIL  FROM:<a@b>\t"), (Runs{"MAIL", "FROM:<a@b>"}));
}

}  // namespace
}  // namespace pw
