// M5Message: the one-pass walk -- parts, byte ranges against the raw text, delimiters, embedded
// messages, the diagnostics of odd structure and the limits.
#include "m5/M5Limits.h"
#include "m5/M5Message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace pw::m5 {
namespace {

std::string_view Range(const M5Message& message, M5Range range) { return message.Bytes().substr(range.offset, range.length); }

bool Reported(const M5Message& message, std::string_view text) {
    const auto& all = message.Diagnostics();
    return std::find(all.begin(), all.end(), text) != all.end();
}

const std::string kMixed =
    "From: Ann <ann@example.com>\r\n"
    "To: bob@example.com, \"Carl, Jr\" <carl@example.org>\r\n"
    "Subject: =?utf-8?Q?Gr=C3=BC=C3=9Fe?= from\r\n"
    " Ann\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"outer b\"\r\n"
    "\r\n"
    "preamble text\r\n"
    "--outer b\r\n"
    "Content-Type: text/plain; charset=Windows-1251\r\n"
    "Content-Transfer-Encoding: Quoted-Printable\r\n"
    "\r\n"
    "a=3Db soft=\r\n"
    "joined\r\n"
    "--outer b-- not a delimiter\r\n"
    "--outer bx\r\n"
    "--outer b  \r\n"
    "Content-Type: message/rfc822\r\n"
    "Content-Disposition: attachment; filename*0*=utf-8''na%C3%AFve; filename*1=\".eml\"\r\n"
    "\r\n"
    "From: Dan <dan@example.net>\r\n"
    "Subject: inner\r\n"
    "Content-Type: multipart/alternative; boundary=inner\r\n"
    "\r\n"
    "--inner\r\n"
    "\r\n"
    "plain\r\n"
    "--inner\r\n"
    "Content-Type: text/html\r\n"
    "Content-Transfer-Encoding: BASE64\r\n"
    "\r\n"
    "PGI+aGk8L2I+\r\n"
    "--inner--\r\n"
    "--outer b--\r\n"
    "epilogue\r\n";

TEST(M5MessageTest, WalksNestedPartsWithRangesOfTheRawText) {
    M5Message message(kMixed, false);
    ASSERT_FALSE(message.LimitReached());
    const auto& parts = message.Parts();
    ASSERT_EQ(parts.size(), 6U);
    // 0 multipart/mixed, 1 text/plain, 2 message/rfc822, 3 its message (multipart/alternative), 4 and 5.
    EXPECT_EQ(parts[0].type, "multipart");
    EXPECT_EQ(parts[0].boundary, "outer b");
    EXPECT_EQ(parts[0].children, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(parts[1].charset, "windows-1251");
    EXPECT_EQ(parts[1].codePage, 1251U);
    EXPECT_EQ(parts[1].encoding, "quoted-printable");
    // The lines that only look like delimiters belong to the body.
    EXPECT_EQ(Range(message, parts[1].body), "a=3Db soft=\r\njoined\r\n--outer b-- not a delimiter\r\n--outer bx");
    EXPECT_EQ(Range(message, parts[1].header),
              "Content-Type: text/plain; charset=Windows-1251\r\nContent-Transfer-Encoding: Quoted-Printable\r\n");
    EXPECT_EQ(message.Body(1, M5Delivery::Decoded),
              "a=b softjoined\r\n--outer b-- not a delimiter\r\n--outer bx");
    EXPECT_EQ(message.Body(1, M5Delivery::Raw), Range(message, parts[1].body));

    EXPECT_EQ(parts[2].type, "message");
    EXPECT_EQ(parts[2].subType, "rfc822");
    EXPECT_EQ(parts[2].disposition, "attachment");
    EXPECT_EQ(parts[2].DispositionParameter("filename"), "na\xC3\xAFve.eml");
    EXPECT_EQ(parts[2].children, (std::vector<std::size_t>{3}));
    ASSERT_EQ(parts[2].envelope, 1U);
    EXPECT_TRUE(Range(message, parts[2].body).starts_with("From: Dan"));
    EXPECT_TRUE(Range(message, parts[2].body).ends_with("--inner--"));

    EXPECT_EQ(parts[3].parent, 2U);
    EXPECT_EQ(parts[3].subType, "alternative");
    EXPECT_EQ(parts[3].header.offset, parts[2].body.offset);
    EXPECT_EQ(parts[3].children, (std::vector<std::size_t>{4, 5}));
    EXPECT_EQ(parts[4].type, "text");  // no header: the defaults
    EXPECT_EQ(parts[4].charset, "us-ascii");
    EXPECT_EQ(parts[4].header.length, 0U);
    EXPECT_EQ(Range(message, parts[4].body), "plain");
    EXPECT_EQ(parts[5].subType, "html");
    EXPECT_EQ(message.Body(5, M5Delivery::Decoded), "<b>hi</b>");
    EXPECT_EQ(message.Body(5, M5Delivery::Raw), "PGI+aGk8L2I+");

    ASSERT_EQ(message.Envelopes().size(), 2U);
    const M5EnvelopeDesc& outer = message.Envelopes()[0];
    EXPECT_EQ(outer.subject, "Gr\xC3\xBC\xC3\x9F" "e from Ann");
    ASSERT_EQ(outer.to.size(), 2U);
    EXPECT_EQ(outer.to[1].name, "Carl, Jr");
    EXPECT_EQ(outer.to[1].domain, "example.org");
    ASSERT_EQ(outer.from.size(), 1U);
    EXPECT_EQ(outer.from[0].local, "ann");
    const M5EnvelopeDesc& inner = message.Envelopes()[1];
    EXPECT_EQ(inner.part, 3U);
    EXPECT_EQ(inner.subject, "inner");
    EXPECT_EQ(inner.from[0].name, "Dan");

    EXPECT_TRUE(Reported(message, "M5 data before first MIME boundary"));
    EXPECT_TRUE(Reported(message, "M5 data beyond closing MIME boundary"));
    EXPECT_FALSE(Reported(message, "M5 closing MIME boundary missing"));
}

TEST(M5MessageTest, SectionNumbersNameParts) {
    M5Message message(kMixed, false);
    // 0 mixed: 1 text, 2 message/rfc822 holding 3 alternative: 4 plain, 5 html.
    EXPECT_EQ(message.FindSection("1"), 1U);
    EXPECT_EQ(message.FindSection("2"), 2U);
    EXPECT_EQ(message.FindSection("2.1"), 4U);
    EXPECT_EQ(message.FindSection("2.2"), 5U);
    // Below a single part there is nothing to name: "1.1" of a text part is no part.
    for (const char* none : {"", "3", "0", "2.3", "1.1", "1.2", "2.1.1", "2.", ".1", "1..1", "x", "01", "99999999999999999999"}) {
        EXPECT_EQ(message.FindSection(none), kM5NoPart) << none;
    }
    M5Message plain("Subject: s\r\n\r\nbody", false);
    EXPECT_EQ(plain.FindSection("1"), 0U);
    EXPECT_EQ(plain.FindSection("2"), kM5NoPart);
    EXPECT_EQ(plain.FindSection("1.1"), kM5NoPart);
    // A stored message that is itself message/rfc822: 1 is the message it holds, 1.n its parts.
    M5Message forward("Content-Type: message/rfc822\r\n\r\n" + kMixed, false);
    EXPECT_EQ(forward.FindSection("1"), 0U);
    EXPECT_EQ(forward.FindSection("1.1"), 2U);
    EXPECT_EQ(forward.FindSection("1.2.2"), 6U);
    EXPECT_EQ(forward.FindSection("2"), kM5NoPart);

    // Line counts of the stored bodies, the text of each range counted by hand.
    EXPECT_EQ(message.BodyLines(1), 4U);  // the last line is ended by the delimiter's line break
    EXPECT_EQ(message.BodyLines(4), 1U);
    EXPECT_EQ(plain.BodyLines(0), 1U);
    M5Message breaks("\r\na\rb\n\r\nc\r\n", false);
    EXPECT_EQ(breaks.BodyLines(0), 4U);
    M5Message empty("Subject: s\r\n\r\n", false);
    EXPECT_EQ(empty.BodyLines(0), 0U);
}

TEST(M5MessageTest, MissingClosingDelimiterStillYieldsEveryPart) {
    const std::string text =
        "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: multipart/related; boundary=c\n\n"
        "--c\n\none\n--c\n\ntwo\n--b\n\nthree\n--b\nContent-Type: text/plain\n\nfour";
    M5Message message(text, false);
    const auto& parts = message.Parts();
    ASSERT_EQ(parts.size(), 6U);
    EXPECT_EQ(Range(message, parts[2].body), "one");
    EXPECT_EQ(Range(message, parts[3].body), "two");  // ended by the outer delimiter
    EXPECT_EQ(Range(message, parts[4].body), "three");
    EXPECT_EQ(Range(message, parts[5].body), "four");
    EXPECT_EQ(parts[0].body.End(), text.size());
    EXPECT_EQ(std::count(message.Diagnostics().begin(), message.Diagnostics().end(), "M5 closing MIME boundary missing"), 2);
    EXPECT_FALSE(Reported(message, "M5 data before first MIME boundary"));
}

TEST(M5MessageTest, HeaderCutShortByADelimiterStaysInsideItsParent) {
    const std::string text =
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: message/rfc822\r\n\r\n"
        "Subject: no blank line\r\n--b\r\nX: y\r\n--b--\r\n";
    M5Message message(text, false);
    const auto& parts = message.Parts();
    ASSERT_EQ(parts.size(), 4U);
    EXPECT_EQ(Range(message, parts[2].header), "Subject: no blank line");
    EXPECT_EQ(parts[2].body.length, 0U);
    EXPECT_LE(parts[2].body.End(), parts[1].body.End());
    EXPECT_EQ(message.Envelopes()[1].subject, "no blank line");
    EXPECT_EQ(Range(message, parts[3].header), "X: y");

    // Empty bodies: the line break of the blank line is the delimiter's, and nothing reaches past it.
    for (const std::string emptyBody : {"Content-Type: message/rfc822\r\n\r\n", "Content-Type: message/rfc822\r\n\r\nA: b\r\n\r\n"}) {
        const std::string outer = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" + emptyBody + "--b--\r\n";
        M5Message empty(outer, false);
        ASSERT_EQ(empty.Parts().size(), 3U);
        for (std::size_t i = 1; i < 3; ++i) {
            const M5PartDesc& part = empty.Parts()[i];
            const M5PartDesc& parent = empty.Parts()[part.parent];
            EXPECT_GE(part.header.offset, parent.body.offset);
            EXPECT_LE(part.body.End(), parent.body.End());
            EXPECT_LE(part.header.End(), part.body.offset);
        }
        EXPECT_EQ(empty.Parts()[2].body.length, 0U);
    }
}

TEST(M5MessageTest, LoneCarriageReturnsEndLinesAndHeaders) {
    const std::string text = "Subject: old mac\rContent-Type: multipart/mixed; boundary=z\r\r--z\r\rbody\r--z--\r";
    M5Message message(text, false);
    ASSERT_EQ(message.Parts().size(), 2U);
    EXPECT_EQ(message.Envelopes()[0].subject, "old mac");
    EXPECT_EQ(Range(message, message.Parts()[1].body), "body");
}

TEST(M5MessageTest, UnknownEncodingIsDeliveredAsStoredAndReported) {
    M5Message message("Content-Transfer-Encoding: x-rot13\r\nSubject: a\r\nSubject: b\r\n\r\nuryyb", false);
    EXPECT_EQ(message.Body(0, M5Delivery::Decoded), "uryyb");
    EXPECT_TRUE(Reported(message, "M5 invalid encoding type"));
    EXPECT_TRUE(Reported(message, "M5 multiple Subjects"));
    EXPECT_EQ(message.Envelopes()[0].subject, "a");
    // Reading the part again and again reports again, up to a bound.
    for (std::size_t i = 0; i < kMaxReadDiagnostics + 10; ++i) message.Body(0, M5Delivery::Decoded);
    EXPECT_LE(message.Diagnostics().size(), kMaxReadDiagnostics + 1);
}

TEST(M5MessageTest, PiecewiseReadsJoinToTheWholeBody) {
    M5Message message("Content-Transfer-Encoding: base64\r\n\r\naGVsbG8gd29ybGQ=\r\n", false);
    std::string joined;
    std::byte buffer[3];
    for (std::size_t read = 0;;) {
        message.Read(0, M5Delivery::Decoded, buffer, read);
        if (read == 0) break;
        joined.append(reinterpret_cast<const char*>(buffer), read);
    }
    EXPECT_EQ(joined, "hello world");
}

TEST(M5MessageTest, PastTheNestingLimitAMultipartIsOnePartAndThePartsAfterItStay) {
    // Part 1 nests deeper than the limit; part 2, after it, is an attachment that must stay visible.
    std::string text = "Content-Type: multipart/mixed; boundary=top\r\n\r\n--top\r\n";
    for (std::size_t level = 0; level < kMaxNesting + 5; ++level) {
        text += "Content-Type: multipart/mixed; boundary=b" + std::to_string(level) + "\r\n\r\n--b" + std::to_string(level) + "\r\n";
    }
    text += "\r\nleaf\r\n--top\r\nContent-Type: application/pdf; name=visible.pdf\r\n\r\nPDF\r\n--top--\r\n";
    M5Message message(text, false);
    EXPECT_TRUE(message.LimitReached());
    ASSERT_EQ(message.Parts().size(), kMaxNesting + 1);
    for (const auto& part : message.Parts()) EXPECT_LE(part.body.End(), text.size());
    const M5PartDesc& deepest = message.Parts()[kMaxNesting - 1];
    EXPECT_FALSE(deepest.multipart);
    EXPECT_TRUE(deepest.children.empty());
    const std::size_t attachment = message.FindSection("2");
    ASSERT_NE(attachment, kM5NoPart);
    EXPECT_EQ(message.Parts()[attachment].Parameter("name"), "visible.pdf");
    EXPECT_EQ(message.Body(attachment, M5Delivery::Raw), "PDF");
    // The outer parts end where they should: part 1 runs up to the attachment's delimiter.
    EXPECT_EQ(std::string_view(text).substr(message.Parts()[1].body.End(), 7), "\r\n--top");

    // Embedded messages count as levels too; the deepest is one part.
    std::string embedded;
    for (std::size_t level = 0; level < kMaxNesting + 5; ++level) embedded += "Content-Type: message/rfc822\r\n\r\n";
    M5Message deep(embedded, false);
    EXPECT_EQ(deep.Parts().size(), kMaxNesting);
    EXPECT_TRUE(deep.Parts().back().children.empty());
}

TEST(M5MessageTest, ThePartLimitStopsTheWalkAndHeaderLimitsStopReadingFields) {
    std::string text = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (std::size_t i = 0; i < kMaxParts + 10; ++i) text += "--b\r\n\r\n" + std::to_string(i) + "\r\n";
    text += "--b--\r\n";
    M5Message many(text, false);
    EXPECT_TRUE(many.LimitReached());
    ASSERT_EQ(many.Parts().size(), kMaxParts);
    EXPECT_EQ(Range(many, many.Parts()[kMaxParts - 2].body), std::to_string(kMaxParts - 3));

    // Past a header limit the fields are not read, but the header still ends at its blank line and the
    // walk goes on: the body stays the body, and the parts after it stay.
    std::string header = "Subject: kept\r\n";
    for (std::size_t i = 0; i < kMaxHeaderLines + 1; ++i) header += "X: y\r\n";
    M5Message longHeader(header + "\r\nbody", false);
    EXPECT_TRUE(longHeader.LimitReached());
    EXPECT_EQ(longHeader.Envelopes()[0].subject, "kept");
    EXPECT_EQ(longHeader.Parts()[0].header.End(), header.size());
    EXPECT_EQ(Range(longHeader, longHeader.Parts()[0].body), "body");

    M5Message longLine("Subject: " + std::string(kMaxHeaderLine, 'x') + "\r\n\r\nbody", false);
    EXPECT_TRUE(longLine.LimitReached());
    EXPECT_EQ(Range(longLine, longLine.Parts()[0].body), "body");

    const std::string parts = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nX-Long: " + std::string(kMaxHeaderLine, 'x') +
                              "\r\n\r\none\r\n--b\r\nContent-Type: text/plain; name=two\r\n\r\ntwo\r\n--b--\r\n";
    M5Message afterLong(parts, false);
    EXPECT_TRUE(afterLong.LimitReached());
    ASSERT_EQ(afterLong.Parts().size(), 3U);
    EXPECT_EQ(Range(afterLong, afterLong.Parts()[1].body), "one");
    EXPECT_EQ(Range(afterLong, afterLong.Parts()[2].body), "two");
}

TEST(M5MessageTest, HeaderOnlyReadsNoParts) {
    M5Message message(kMixed, true);
    ASSERT_EQ(message.Parts().size(), 1U);
    EXPECT_TRUE(message.Parts()[0].children.empty());
    EXPECT_EQ(message.Envelopes()[0].from[0].domain, "example.com");
}

TEST(M5MessageTest, DigestChildrenDefaultToEmbeddedMessages) {
    M5Message message("Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: one\r\n\r\nbody\r\n--d--\r\n", false);
    ASSERT_EQ(message.Parts().size(), 3U);
    EXPECT_EQ(message.Parts()[1].subType, "rfc822");
    EXPECT_EQ(message.Envelopes()[1].subject, "one");
    EXPECT_EQ(Range(message, message.Parts()[2].body), "body");
}

}  // namespace
}  // namespace pw::m5
