// PhraseFilter: the file byte for byte and when it is damaged, and scoring -- whole words, the stop
// rule, negative scores, obfuscation, HTML markup and entities, overlapping occurrences -- over
// messages as the server reads them.
#include "antispam/PhraseFilter.h"

#include "antispam/HtmlText.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace pw::antispam {
namespace {

using test::Bytes;

mime::Message Parse(std::string_view content) {
    mime::Message message;
    (void)message.LoadBytes(std::string(content));
    return message;
}

PhraseScore ScoreOf(const PhraseSettings& settings, std::string_view content) {
    return PhraseScorer(settings).Score(Parse(content));
}

PhraseSettings With(std::vector<Phrase> phrases) {
    PhraseSettings settings;
    settings.phrases = std::move(phrases);
    return settings;
}

TEST(PhraseFilterTest, KeepsItsFileByteForByteAndRefusesToChangeOneItCanNotRead) {
    test::ScratchDirectory dir;
    const DirStorage root(dir.Path());
    PhraseFilter filter;
    ASSERT_EQ(filter.Load(root), S_OK);
    EXPECT_TRUE(filter.Settings().ignoreHtmlTags);
    EXPECT_FALSE(filter.Settings().ignoreObfuscationChars);
    EXPECT_EQ(filter.Settings().obfuscationChars, "!*-&%#$_");
    ASSERT_EQ(filter.Change([](PhraseSettings& s) {
        s.phrases.push_back({"cheap", -2.5, true});
        s.ignoreObfuscationChars = true;
        return S_OK;
    }), S_OK);
    const Bytes settings = Bytes().U32(1).U32(1).U32(1).U32(8).Ascii("!*-&%#$_").U32(1);
    const Bytes written = Bytes().Append(settings).U32(0).U32(5).Ascii("cheap").U64(0xC004000000000000).U32(1);
    EXPECT_EQ(test::ReadFileBytes(dir / "PhraseFilter.dat"), written.Get());

    // The reserved value is kept; a last record cut short is dropped and the rest stays usable.
    const Bytes kept = Bytes().Append(settings).U32(0xDEADBEEF).U32(2).Ascii("ab").U64(0x4059000000000000).U32(0);
    test::WriteFileBytes(dir / "PhraseFilter.dat", Bytes().Append(kept).U32(4).Ascii("cut").Get());
    ASSERT_EQ(filter.Load(root), S_OK);
    EXPECT_EQ(filter.State(), PhraseFileState::LastRecordDropped);
    ASSERT_EQ(filter.Settings().phrases.size(), 1u);
    EXPECT_EQ(filter.Settings().phrases[0].score, 100.0);
    ASSERT_EQ(filter.Change([](PhraseSettings&) { return S_OK; }), S_OK);
    EXPECT_EQ(test::ReadFileBytes(dir / "PhraseFilter.dat"), kept.Get());

    // Another header, settings cut short, a phrase over the bound: defaults for scoring, never rewritten.
    const Bytes unreadable[] = {Bytes().U32(2).U32(1), Bytes().U32(1).U32(1).U32(0).U32(500),
                                Bytes().Append(kept).U32(5000).Ascii(std::string(5000, 'p')).U64(0).U32(0)};
    for (const auto& bytes : unreadable) {
        test::WriteFileBytes(dir / "PhraseFilter.dat", bytes.Get());
        ASSERT_EQ(filter.Load(root), S_OK);
        EXPECT_EQ(filter.State(), PhraseFileState::Unreadable);
        EXPECT_EQ(filter.Change([](PhraseSettings& s) { s.phrases.clear(); return S_OK; }), E_FAIL);
        EXPECT_EQ(test::ReadFileBytes(dir / "PhraseFilter.dat"), bytes.Get());
    }
}

TEST(PhraseFilterTest, ScoresWholeWordsNegativeScoresAndStopsAtTheThreshold) {
    const auto settings = With({{"free", 10, true}, {"money", 30, false}, {"friend", -5, false}, {"aa", 1, false}});
    // Empty message: nothing counts and nothing is reported.
    EXPECT_EQ(ScoreOf(settings, "Subject:\r\n\r\n").total, 0);
    EXPECT_EQ(ScoreOf(settings, "Subject:\r\n\r\n").results, "");
    // A whole word counts at both ends of the text, not inside a longer word; white space collapses.
    auto score = ScoreOf(settings, "Subject: free\r\n\r\nfreedom\tand\r\n  carefree   free");
    EXPECT_EQ(score.total, 20);
    EXPECT_EQ(score.results, "free=20.00");
    // Negative scores lower the total; overlapping occurrences each count ("aaaa" holds "aa" three times).
    score = ScoreOf(settings, "Subject: my FRIEND\r\n\r\nmoney, friend: aaaa");
    EXPECT_EQ(score.total, 30 - 10 + 3);
    EXPECT_EQ(score.results, "money=30.00, friend=-10.00, aa=3.00");
    // With the stop flag a subject that reaches 100 ends the scan before the body is read...
    score = ScoreOf(settings, "Subject: money money money money\r\n\r\nfree money");
    EXPECT_EQ(score.total, 120);
    EXPECT_EQ(score.results, "money=120.00");
    // ... a text stops counting as soon as it reaches 100, and without the flag everything counts.
    score = ScoreOf(settings, "Subject: x\r\n\r\nmoney money money money money free");
    EXPECT_EQ(score.total, 120);
    auto endless = settings;
    endless.stopAtThreshold = false;
    EXPECT_EQ(ScoreOf(endless, "Subject: money money money money\r\n\r\nfree money").total, 160);
}

TEST(PhraseFilterTest, ReadsDecodedTextPartsWithoutMarkupAndObfuscation) {
    auto settings = With({{"viagra", 50, true}, {"caf\xE9 ole", 5, false}, {"cheap pills", 20, false}});
    const std::string multipart =
        "MIME-Version: 1.0\r\nSubject: =?utf-8?B?Y2hlYXAgcGlsbHM=?=\r\n"  // "cheap pills"
        "Content-Type: multipart/alternative; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nv-i*a_g=\r\nra\r\n"
        "--b\r\nContent-Type: text/html\r\n\r\n"
        "<html><head><title>viagra</title><style type=\"text/css\">viagra</style></head>"
        "<body><p>caf&eacute;&nbsp;ole</p><a href=\"x\">viagra</a><br>VIAGRA&amp;</body></html>\r\n"
        "--b\r\nContent-Type: application/octet-stream\r\n\r\nviagra\r\n--b--\r\n";
    // Obfuscation off: the plain part's word stays broken; the HTML part's link text counts, its title
    // and style do not; "&amp;" becomes "&", which is not part of the whole word.
    auto score = ScoreOf(settings, multipart);
    EXPECT_EQ(score.results, "viagra=50.00, cheap pills=20.00");
    settings.ignoreObfuscationChars = true;
    score = ScoreOf(settings, multipart);
    EXPECT_EQ(score.results, "viagra=150.00, cheap pills=20.00");
    EXPECT_EQ(score.total, 170);

    // The entity between the paragraph's two words is the byte 0xA0, which is not white space.
    EXPECT_EQ(HtmlToText("<p>two&nbsp;words</p>"), "two\xA0words");
    EXPECT_EQ(HtmlToText("&LT;b&gt; &#65;&#x42; &#300; &bogus; &Eacute;&eacute; & ;"), "<b> AB &#300; &bogus; \xC9\xE9 & ;");
    EXPECT_EQ(HtmlToText("<a href=\"http://x.test/\">go</a><img src=x> <BR>"), " <a href=\"> go <img src=\">   ");
    // Blocks without their closing tags lose only the tag; a "<" without ">" is text.
    EXPECT_EQ(HtmlToText("a<style>b<title>c</TITLE>d<style>e"), "abde");
    EXPECT_EQ(HtmlToText("x <y"), "x <y");
    EXPECT_EQ(RemoveCharacters("f-r*e__e", "!*-&%#$_"), "free");
}

TEST(PhraseFilterTest, HostileBodiesCostLinearTime) {
    // Markup that re-opens blocks without closing them, entities without ends, and text that holds
    // every phrase at every place: each is one pass, so a large body scores in a moment.
    std::string html;
    while (html.size() < (4u << 20)) html += "<style><title>&amp&#xFFFF;<b a=1>aaaa ";
    std::vector<Phrase> phrases;
    for (int length = 1; length <= 40; ++length) phrases.push_back({std::string(static_cast<std::size_t>(length), 'a'), 0.00001, false});
    auto settings = With(phrases);
    settings.ignoreObfuscationChars = true;
    settings.stopAtThreshold = false;
    const std::string content = "MIME-Version: 1.0\r\nContent-Type: text/html\r\n\r\n" + html;
    const PhraseScore score = ScoreOf(settings, content);
    EXPECT_GT(score.total, 0);
    EXPECT_LT(score.total, 100);
}

}  // namespace
}  // namespace pw::antispam
