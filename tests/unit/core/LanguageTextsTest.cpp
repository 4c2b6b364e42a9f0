// LanguageTexts: catalogue parsing with its escapes and hostile lines, the program's own texts,
// fallbacks, file names per language, and the shipped English catalogue.
#include "core/LanguageTexts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "TestSupport.h"

namespace pw::core {
namespace {

// The process's catalogue is shared: tests that change it start and end with none loaded.
class ProcessCatalogue {
public:
    ProcessCatalogue() { LanguageTexts::Instance().ParseCatalogue(""); }
    ~ProcessCatalogue() { LanguageTexts::Instance().ParseCatalogue(""); }
};

TEST(LanguageTextsTest, ParsesNumberedLinesWithEscapesAndIgnoresTheRest) {
    LanguageTexts texts;
    texts.ParseCatalogue(
        "# a comment\n"
        "\n"
        "101\tHello %s\r\n"
        "102\tone\\ntwo\\tcolumn \\\\ slash\n"
        "103\ttab\tinside\n"
        "104\t\\q stays, and a trailing \\\n"
        "105\\n\t\\\\n is a backslash and n\n"
        "#106\tcommented out\n"
        " 107\tleading space\n"
        "108 \tspace before the tab\n"
        "abc\tnot a number\n"
        "109 no tab at all\n"
        "99999999999\tout of range\n"
        "\t no number\n"
        "\r\n"
        "110\t\n"
        "111\tfirst\n"
        "111\tsecond\n"
        "113\t\\\\n\n"
        "112\tlast line without newline");

    EXPECT_EQ(texts.Text(101), "Hello %s");
    EXPECT_EQ(texts.Text(102), "one\ntwo\tcolumn \\ slash");
    EXPECT_EQ(texts.Text(103), "tab\tinside");
    EXPECT_EQ(texts.Text(104), "\\q stays, and a trailing \\");
    EXPECT_EQ(texts.Text(105), "");
    for (const int ignored : {106, 107, 108, 109}) EXPECT_EQ(texts.Text(ignored), "") << ignored;
    EXPECT_EQ(texts.Text(110), "");
    EXPECT_EQ(texts.Text(111), "second");
    EXPECT_EQ(texts.Text(112), "last line without newline");
    EXPECT_EQ(texts.Text(113), "\\n");  // an escaped backslash, then a plain n
    EXPECT_EQ(texts.Text(5), "");

    // The program's own texts stay available; a new catalogue replaces the old one whole.
    EXPECT_EQ(texts.Text(100), "Pellworth");
    EXPECT_FALSE(texts.Text(215).empty());
    texts.ParseCatalogue("200\tonly this\n");
    EXPECT_EQ(texts.Text(101), "");
    EXPECT_EQ(texts.Text(200), "only this");
    EXPECT_EQ(texts.Text(100), "Pellworth");
}

TEST(LanguageTextsTest, ProgramTextsExistWithoutCatalogue) {
    const ProcessCatalogue none;
    EXPECT_EQ(LoadText(100), "Pellworth");
    EXPECT_FALSE(LoadText(215).empty());
    EXPECT_EQ(LoadText(219), "");
    EXPECT_EQ(LoadText(-1), "");
    EXPECT_EQ(FormatText(102, {std::string_view("x"), std::int64_t{3}}, "Dialling %s: attempt %d failed"),
              "Dialling x: attempt 3 failed");

    LanguageTexts::Instance().ParseCatalogue("102\tWahl %s: Versuch %d\n103\t\n");
    EXPECT_EQ(FormatText(102, {std::string_view("x"), std::int64_t{3}}, "fallback %s"), "Wahl x: Versuch 3");
    EXPECT_EQ(FormatText(103, {std::string_view("y")}, "fallback %s"), "fallback y");
    EXPECT_EQ(FormatText(104, {}), "");
}

TEST(LanguageTextsTest, LanguageChoosesTheCatalogueFile) {
    EXPECT_EQ(CatalogueFileName(7), "pellworth-DEU.txt");
    EXPECT_EQ(CatalogueFileName(10), "pellworth-ESU.txt");
    EXPECT_EQ(CatalogueFileName(12), "pellworth-FRU.txt");
    for (const std::uint32_t other : {0u, 9u, 11u, 1031u, 0xFFFFFFFFu}) {
        EXPECT_EQ(CatalogueFileName(other), "pellworth-ENU.txt") << other;
    }
}

TEST(LanguageTextsTest, LoadCatalogueReadsAFileAndKeepsTheTextsWhenItIsMissing) {
    test::ScratchDirectory scratch;
    LanguageTexts texts;
    test::WriteFileText(scratch / "cat.txt", "# heading\r\n300\tfrom file\\n\r\n301\tsecond\r\n");
    ASSERT_TRUE(texts.LoadCatalogue(scratch / "cat.txt"));
    EXPECT_EQ(texts.Text(300), "from file\n");
    EXPECT_EQ(texts.Text(301), "second");

    EXPECT_FALSE(texts.LoadCatalogue(scratch / "missing.txt"));
    EXPECT_EQ(texts.Text(300), "from file\n");
}

TEST(LanguageTextsTest, ShippedEnglishCatalogueDefinesEveryTextTheServerUses) {
    const std::filesystem::path repository = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
    const std::string path = (repository / "lang" / "pellworth-ENU.txt").string();
    ASSERT_TRUE(test::FileExists(path)) << path;
    LanguageTexts texts;
    ASSERT_TRUE(texts.LoadCatalogue(path));
    for (const int number : {101,  102,  103,  106,  107,  108,  109,  110,  202,  203,  204,  205,  206,
                             207,  208,  209,  210,  211,  212,  213,  216,  219,  220,  221,  5000, 5001,
                             5003, 5004, 5006, 5008, 5009, 5010, 5011, 5012, 5013, 5015, 5025, 5031}) {
        EXPECT_FALSE(texts.Text(number).empty()) << "text " << number;
    }
    EXPECT_EQ(texts.Text(219), "Public Folders");
}

TEST(LanguageTextsTest, TextsReadWhileACatalogueIsReplacedAreWhole) {
    LanguageTexts texts;
    const std::string a(200, 'a');
    const std::string b(300, 'b');
    texts.ParseCatalogue("400\t" + a + "\n");
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const std::string text = texts.Text(400);
                if (text != a && text != b) ++torn;
            }
        });
    }
    for (int i = 0; i < 2000; ++i) texts.ParseCatalogue("400\t" + (i % 2 ? a : b) + "\n");
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace pw::core
