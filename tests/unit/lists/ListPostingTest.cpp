#include "lists/ListPosting.h"

#include <gtest/gtest.h>

#include "mime/Codecs.h"

namespace pw::lists {
namespace {

mime::Message Load(const std::string& text) {
    mime::Message message;
    message.LoadBytes(text);
    return message;
}

TEST(ListPostingTest, SignaturesGoIntoTheDecodedTextOfTheFirstPlainAndHtmlParts) {
    const std::string html = "<html><BODY><p>caf\xc3\xa9</p></Body></html>";
    mime::Message message = Load(
        "From: a@example.org\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/alternative; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        mime::EncodeBase64("Hello\r\n") +
        "\r\n--b\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
        mime::EncodeQuotedPrintable(html) + "\r\n--b--\r\n");
    AddSignature(message, "-- \r\nThe list", "");
    const mime::Message saved = Load(message.SaveToString());
    const auto plain = saved.GetPart(saved.SearchForPart("text/plain", {}));
    const auto htmlPart = saved.GetPart(saved.SearchForPart("text/html", {}));
    ASSERT_TRUE(plain && htmlPart);
    EXPECT_EQ(plain->DecodedBody(), "Hello\r\n-- \r\nThe list\r\n");
    EXPECT_EQ(plain->Header().ContentTransferEncoding(), "base64");
    EXPECT_EQ(htmlPart->DecodedBody(), "<html><BODY><p>caf\xc3\xa9</p>-- <BR>The list</Body></html>\r\n");

    // A 7-bit plain message given an 8-bit signature is encoded, not left with raw bytes.
    mime::Message simple = Load("Subject: s\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nHi");
    AddSignature(simple, "Gr\xc3\xbc\xc3\x9f" "e", "");
    EXPECT_EQ(simple.Headers().ContentTransferEncoding(), "quoted-printable");
    EXPECT_EQ(mime::DecodeQuotedPrintable(simple.BodyText()), "Hi\r\nGr\xc3\xbc\xc3\x9f" "e\r\n");
    const std::string written = simple.SaveToString();
    EXPECT_NE(written.find("Content-Transfer-Encoding: quoted-printable\r\n\r\nHi\r\nGr=C3=BC=C3=9Fe"), std::string::npos) << written;

    // HTML without "</body>" gets none.
    mime::Message bare = Load("Subject: s\r\nMIME-Version: 1.0\r\nContent-Type: text/html\r\n\r\n<p>x</p>");
    AddSignature(bare, "sig", "<i>sig</i>");
    EXPECT_EQ(bare.BodyText(), "<p>x</p>");
}

TEST(ListPostingTest, LeafPartsAndReportsAreReadFromTheStructure) {
    const mime::Message mixed = Load(
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=o\r\n\r\n"
        "--o\r\nContent-Type: multipart/alternative; boundary=i\r\n\r\n"
        "--i\r\nContent-Type: text/plain\r\n\r\na\r\n--i\r\nContent-Type: text/html\r\n\r\n<p>a</p>\r\n--i--\r\n"
        "--o\r\nContent-Type: application/pdf\r\n\r\nPDF\r\n--o--\r\n");
    const LeafCount count = CountLeafParts(mixed);
    EXPECT_EQ(count.all, 3u);
    EXPECT_EQ(count.text, 2u);

    const mime::Message report = Load(
        "MIME-Version: 1.0\r\nContent-Type: multipart/report; report-type=\"Delivery-Status\"; boundary=r\r\n\r\n"
        "--r\r\nContent-Type: text/plain\r\n\r\nStatus: 2.0.0 is not the field\r\n"
        "--r\r\nContent-Type: message/delivery-status\r\n\r\nReporting-MTA: dns; x\r\n\r\nFinal-Recipient: rfc822; a@b\r\n"
        "Status: 5.1.1 \r\n--r--\r\n");
    EXPECT_TRUE(IsDeliveryReport(report.Headers()));
    EXPECT_EQ(ReportStatus(report), "5.1.1");
    EXPECT_FALSE(IsDeliveryReport(mixed.Headers()));
}

}  // namespace
}  // namespace pw::lists
