// Mailbox names between UTF-8 and modified UTF-7: the RFC's own examples both ways, names outside the
// basic plane, and every refusal with the reply it gives.
#include "imap/ModifiedUtf7.h"

#include <gtest/gtest.h>

#include "imap/ImapStrings.h"

namespace pw::imap {
namespace {

TEST(ModifiedUtf7Test, EncodesAndDecodesNamesBothWays) {
    const struct {
        std::string_view utf8;
        std::string_view wire;
    } cases[] = {
        {"INBOX", "INBOX"},
        {"a&b", "a&-b"},
        {"Entw\xC3\xBC" "rfe", "Entw&APw-rfe"},
        {"~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        {"\xF0\x9F\x93\xA8 mail", "&2D3c6A- mail"},  // a surrogate pair
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeModifiedUtf7(c.utf8), c.wire) << c.wire;
        const auto decoded = DecodeModifiedUtf7(c.wire);
        ASSERT_TRUE(decoded.Ok()) << c.wire << ": " << decoded.diagnostic;
        EXPECT_EQ(decoded.name, c.utf8);
    }
    // A damaged stored name still goes out as something a client can show.
    EXPECT_EQ(EncodeModifiedUtf7("a\xFF" "b"), "a&,,0-b");
    EXPECT_EQ(ImapMailboxName("Entw\xC3\xBC" "rfe", false), "\"Entw&APw-rfe\"");
    // A client that enabled UTF-8 gets names as they stand: quoted while they are valid UTF-8.
    EXPECT_EQ(ImapMailboxName("R&D \"Entw\xC3\xBC" "rfe\"", true), "\"R&D \\\"Entw\xC3\xBC" "rfe\\\"\"");
    EXPECT_EQ(ImapMailboxName("a\xFF", true), "{2}\r\na\xFF");
    EXPECT_EQ(DecodeMailboxName("R&D", true).name, "R&D");
    EXPECT_EQ(DecodeMailboxName("R&-D", false).name, "R&D");
    EXPECT_TRUE(DecodeMailboxName("a\xC3", true).bad);
    EXPECT_TRUE(DecodeMailboxName("\xED\xA0\x80", true).bad);  // a surrogate is no UTF-8
}

TEST(ModifiedUtf7Test, RefusesWhatNoCorrectClientSends) {
    const struct {
        std::string wire;  // owned: some are built here
        std::string_view diagnostic;
        bool bad;
    } cases[] = {
        {"a&APw", "Unterminated modified UTF-7 sequence in mailbox path", true},
        {"&APw-&APw-", "Superfluous UTF-7 shift in mailbox path", true},
        {"&AGE-", "Printable ASCII encoded as modified UTF-7 in mailbox name", true},
        {"&AP*-", "Invalid character '*' in modified UTF-7 sequence", true},
        {"&2D0-", "Mailbox path is syntactically invalid", true},      // a lone high surrogate
        {"&3AA-", "Mailbox path is syntactically invalid", true},      // a lone low surrogate
        {"&APx-", "Mailbox path is syntactically invalid", true},      // bits left over that are not zero
        {"&" + std::string(5600, 'A') + "-", "Unicode sequence longer than allowed mailbox name", false},
        {std::string(1100, 'x'), "Mailbox name is too long", false},
    };
    for (const auto& c : cases) {
        const auto decoded = DecodeModifiedUtf7(c.wire);
        EXPECT_EQ(decoded.diagnostic, c.diagnostic) << c.wire.substr(0, 20);
        EXPECT_EQ(decoded.bad, c.bad) << c.wire.substr(0, 20);
        EXPECT_TRUE(decoded.name.empty());
    }
    EXPECT_EQ(DecodeModifiedUtf7("a&APw").logLine, "DeUtf7:  Unterminated UTF-7 sequence in \"a&APw\"");
}

TEST(ModifiedUtf7Test, StringsGoOutQuotedAsLiteralsOrNil) {
    EXPECT_EQ(ImapString("plain"), "\"plain\"");
    EXPECT_EQ(ImapString("say \"hi\" \\o/"), "\"say \\\"hi\\\" \\\\o/\"");
    EXPECT_EQ(ImapString("two\r\nlines"), "{10}\r\ntwo\r\nlines");
    EXPECT_EQ(ImapString("caf\xC3\xA9"), "{5}\r\ncaf\xC3\xA9");
    EXPECT_EQ(ImapString(std::string(1024, 'a')).size(), 1026u);
    EXPECT_EQ(ImapString(std::string(1025, 'a')).substr(0, 8), "{1025}\r\n");
    EXPECT_EQ(ImapNString(std::nullopt), "NIL");
    EXPECT_EQ(ImapNString(""), "NIL");
    EXPECT_EQ(ImapNString("x"), "\"x\"");
}

}  // namespace
}  // namespace pw::imap
