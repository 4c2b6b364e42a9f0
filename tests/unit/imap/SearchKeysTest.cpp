// SEARCH keys against one message: case folding of every script, header fields by their decoded
// text and their addresses however written, and CHARSET.
#include "imap/SearchKeys.h"

#include <gtest/gtest.h>

namespace pw::imap {
namespace {

Argument Word(std::string text, ArgumentKind kind = ArgumentKind::Atom) { return {kind, std::move(text), {}, false}; }

class HeaderOnly final : public SearchSubject {
public:
    explicit HeaderOnly(std::string_view text) { (void)header_.Parse(text); }
    const MessageEntry& Entry() const override { return entry_; }
    std::size_t Index() const override { return 0; }
    const mime::HeaderBlock* Header() override { return &header_; }
    const std::string* BodyText() override { return nullptr; }

private:
    MessageEntry entry_{};
    mime::HeaderBlock header_;
};

// Whether the key (CHARSET UTF-8, its last word quoted) finds the message of that header.
bool Finds(std::string_view header, std::vector<std::string> key) {
    std::vector<Argument> arguments{Word("CHARSET"), Word("UTF-8")};
    for (std::string& word : key) arguments.push_back(Word(std::move(word)));
    arguments.back().kind = ArgumentKind::Quoted;
    SearchRefusal refusal;
    const auto criteria = ParseSearch(arguments, refusal);
    EXPECT_TRUE(criteria) << refusal.reply;
    HeaderOnly subject(header);
    return criteria && Matches(*criteria, subject);
}

TEST(SearchKeysTest, FoldsTheCaseOfEveryScriptAndKeepsOtherBytes) {
    EXPECT_EQ(FoldCase("ÄRGER Ärger"), "ärger ärger");
    EXPECT_EQ(FoldCase("GRÖSSE"), FoldCase("größe"));
    EXPECT_EQ(FoldCase("\u1E9E"), "ss");
    EXPECT_EQ(FoldCase("ΟΔΟΣ"), FoldCase("οδος"));      // the final sigma folds with the others
    EXPECT_EQ(FoldCase("ПРИВЕТ Ѐ"), "привет ѐ");
    EXPECT_EQ(FoldCase("\u212A\u017F"), "ks");           // Kelvin sign and long s
    EXPECT_EQ(FoldCase("\U00010400"), "\U00010428");     // beyond the first plane
    EXPECT_EQ(FoldCase("A\xC4 \xE2\x82 Z"), "a\xC4 \xE2\x82 z");  // not UTF-8: kept byte for byte
    EXPECT_EQ(FoldCase(""), "");
}

TEST(SearchKeysTest, HeaderKeysFindDecodedTextAndAddressesWithoutComments) {
    const std::string header =
        "From: <User (x)@ (y) Example.org>\r\n"
        "To: =?iso-8859-1?q?J=F6rg?= <j@example.net>, \"=?utf-8?q?=C3=84nne?=\" <a@example.net>,\r\n"
        " b@example.net (=?koi8-r?b?6ffh7g==?=), group: c @ example.net;\r\n"
        "Subject: =?utf-8?q?GR=C3=96SSE?=\r\n =?utf-8?q?Sache?=\r\n"
        "X-Label: =?iso-8859-13?q?=DEalgiris?=\r\n";
    EXPECT_TRUE(Finds(header, {"FROM", "user@example.org"}));
    EXPECT_TRUE(Finds(header, {"FROM", "(x)@ (y)"}));  // as stored
    EXPECT_FALSE(Finds(header, {"FROM", "localhost"}));
    EXPECT_TRUE(Finds(header, {"TO", "jörg"}));
    EXPECT_TRUE(Finds(header, {"TO", "änne"}));      // a quoted display name is decoded too
    EXPECT_TRUE(Finds(header, {"TO", "иван"}));      // and a name written as a comment
    EXPECT_TRUE(Finds(header, {"TO", "c@example.net"}));
    EXPECT_TRUE(Finds(header, {"TO", "=?iso-8859-1?q?J=F6rg?="}));
    EXPECT_TRUE(Finds(header, {"SUBJECT", "größesache"}));  // adjacent encoded words join
    EXPECT_TRUE(Finds(header, {"HEADER", "X-Label", "ŽALGIRIS"}));
    EXPECT_FALSE(Finds(header, {"CC", "user"}));
}

TEST(SearchKeysTest, CharsetIsUsAsciiOrUtf8) {
    for (const char* charset : {"us-ascii", "UTF-8", "utf-8"}) {
        SearchRefusal refusal;
        EXPECT_TRUE(ParseSearch({Word("CHARSET"), Word(charset), Word("ALL")}, refusal)) << charset;
    }
    SearchRefusal refusal;
    EXPECT_FALSE(ParseSearch({Word("CHARSET"), Word("ISO-8859-1"), Word("ALL")}, refusal));
    EXPECT_FALSE(refusal.bad);
    EXPECT_EQ(refusal.reply, "[BADCHARSET (US-ASCII UTF-8)] This server does not support searches with alternate character sets");
}

}  // namespace
}  // namespace pw::imap
