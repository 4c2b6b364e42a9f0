// Message: the loading and saving rules that other mailers and our own stored messages depend on.
#include "mime/Message.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "mime/Address.h"
#include "mime/MessageDate.h"

namespace pw::mime {
namespace {

Message Loaded(std::string_view text, HRESULT expected = S_OK) {
    Message message;
    EXPECT_EQ(message.LoadBytes(std::string(text)), expected) << text;
    return message;
}

TEST(MessageTest, FoldedHeaderReadsBackAsOneLineWithOneBlank) {
    const Message message = Loaded("Subject: first\r\n\tsecond\r\nTo: a@b\r\n\r\nbody");
    EXPECT_EQ(message.Subject(), "first second");
    EXPECT_EQ(message.BodyText(), "body");
    EXPECT_EQ(message.CountHeaderFields(), 2u);
}

TEST(MessageTest, MissingSeparatorIsAllHeaderAndBareLineFeedsSeparateToo) {
    const Message header = Loaded("Subject: only\r\nTo: a@b\r\n");
    EXPECT_EQ(header.Subject(), "only");
    EXPECT_EQ(header.BodyText(), "");
    const Message unix = Loaded("Subject: lf\nTo: a@b\n\nbody\n");
    EXPECT_EQ(unix.Subject(), "lf");
    EXPECT_EQ(unix.BodyText(), "body\n");
}

constexpr std::string_view kNested =
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"abc\"; charset=x\r\n\r\n"
    "preamble\r\n--abc\r\nContent-Type: multipart/alternative; boundary=abcd\r\n\r\n"
    "--abcd\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
    "--abcd\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n--abcd--\r\n"
    "--abc\r\nContent-Type: application/pdf; name=\"a.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJD\r\n"
    "--abc--\r\n";

TEST(MessageTest, QuotedBoundaryWithParameterAndNestedAlternativeInMixed) {
    const Message message = Loaded(kNested);
    EXPECT_EQ(message.Headers().Boundary(), "abc");
    EXPECT_EQ(message.BodyText(), "preamble");
    ASSERT_EQ(message.CountParts(), 2u);
    EXPECT_EQ(message.CountChildParts({0}), 2u);
    EXPECT_EQ(message.GetPart({0, 1})->EncodedBody(), "<p>html</p>");
    EXPECT_EQ(message.GetPart({1})->DecodedBody(), "ABC");
    EXPECT_EQ(message.SearchForPart("text/html", {}), (PartPosition{0, 1}));
    EXPECT_EQ(message.SearchForPart("text", {0, 0}), (PartPosition{0, 1}));
    EXPECT_EQ(message.CountAttachments(""), 1u);

    // Saved and loaded again: the same tree and the same bodies.
    Message copy = message;
    const Message again = Loaded(copy.SaveToString());
    ASSERT_EQ(again.CountParts(), 2u);
    EXPECT_EQ(again.CountChildParts({0}), 2u);
    EXPECT_EQ(again.GetPart({0, 0})->EncodedBody(), "plain");
    EXPECT_EQ(again.GetPart({1})->DecodedBody(), "ABC");
}

TEST(MessageTest, MissingCloseKeepsThePartsFoundAndFails) {
    const Message message = Loaded("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
                                   "--b\r\n\r\none\r\n--b\r\n\r\ntwo\r\n",
                                   E_FAIL);
    ASSERT_EQ(message.CountParts(), 1u);
    EXPECT_EQ(message.GetPart({0})->EncodedBody(), "one");
}

TEST(MessageTest, NestingBeyondTheLimitFailsWithoutRecursingFurther) {
    std::string text = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b0\r\n\r\n";
    for (int i = 0; i < 200; ++i) {
        text += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=b" + std::to_string(i + 1) + "\r\n\r\n";
    }
    Loaded(text, E_FAIL);
}

TEST(MessageTest, TwoBuiltPartsSaveAsMixedWithVersionAndFourDashBoundary) {
    Message message;
    message.SetSubject("two parts");
    auto first = std::make_shared<MessagePart>();
    first->AttachText("hello", "", "", "us-ascii");
    auto second = std::make_shared<MessagePart>();
    second->AttachRaw("raw");
    message.AddPart({}, first);
    message.AddPart({}, second);
    const std::string saved = message.SaveToString();
    EXPECT_EQ(message.HeaderField("MIME-Version"), "1.0");
    EXPECT_EQ(message.ContentType(), "multipart");
    EXPECT_EQ(message.Headers().Boundary().substr(0, 4), "----");
    const Message again = Loaded(saved);
    ASSERT_EQ(again.CountParts(), 2u);
    EXPECT_EQ(again.GetPart({0})->DecodedBody(), "hello\r\n");
    EXPECT_EQ(again.GetPart({1})->EncodedBody(), "raw");
}

TEST(MessageTest, PriorityReadingsAndWriting) {
    EXPECT_EQ(Loaded("X-Priority: 5 (Lowest)\r\n\r\n").Priority(), PriorityLowest);
    EXPECT_EQ(Loaded("Importance: High\r\n\r\n").Priority(), PriorityHighest);
    EXPECT_EQ(Loaded("X-MSMail-Priority: Low\r\n\r\n").Priority(), PriorityLowest);
    EXPECT_EQ(Loaded("Subject: none\r\n\r\n").Priority(), PriorityNone);
    Message message = Loaded("Importance: low\r\n\r\n");
    message.SetPriority(PriorityHigh);
    EXPECT_EQ(message.HeaderField("Importance"), "high");
    EXPECT_FALSE(message.Headers().Has("X-Priority"));
    Message plain;
    plain.SetPriority(PriorityLow);
    EXPECT_EQ(plain.HeaderField("X-Priority"), "4 (Low)");
}

TEST(MessageTest, CallerTextNeverStartsANewHeaderField) {
    Message message;
    message.SetSubject("hello\r\nBcc: victim@example.com\nX-Evil: 1\r");
    message.SetHeaderField("X-Bad\r\nName", "v");
    const std::string header = message.Header();
    EXPECT_EQ(header.find("\r\nBcc"), std::string::npos);
    EXPECT_EQ(header.find("\nX-Evil"), std::string::npos);
    const Message again = Loaded(header + "body");
    EXPECT_EQ(again.CountHeaderFields(), 2u);
    EXPECT_EQ(again.Subject(), "hello Bcc: victim@example.com X-Evil: 1");
}

TEST(MessageTest, AddressParsingAndValidity) {
    ParsedAddress parsed;
    EXPECT_FALSE(ParseAddress("a@b@c", parsed));
    ASSERT_TRUE(ParseAddress("John", parsed));
    EXPECT_EQ(parsed.domain, "localhost");
    ASSERT_TRUE(ParseAddress("\"Smith, John\" <John@Example.COM>", parsed));
    EXPECT_EQ(parsed.name, "Smith, John");
    EXPECT_EQ(parsed.local + "@" + parsed.domain, "john@example.com");
    EXPECT_EQ(Address("j@x.org").Valid(), AddressValid);
    EXPECT_EQ(Address("").Valid(), AddressNotSet);
    EXPECT_EQ(Address("a@b@c").Valid(), AddressInvalid);
    EXPECT_EQ(Address("a@exa mple.com").Valid(), AddressValid);  // the blank ends the address
    EXPECT_EQ(Address("<a@ex!ample.com>").Valid(), AddressInvalidChars);
    EXPECT_EQ(Address("\"x <a@b.c>").Valid(), AddressNotBalanced);
    EXPECT_EQ(Address("John <j@x.org>").FullAddress(), "\"John\" <j@x.org>");
}

TEST(MessageTest, AddressThatCanNotStandBetweenAngleBracketsIsInvalid) {
    // "RCPT TO:<a>b@example.org>" would name the mailbox "a" to the next server.
    EXPECT_EQ(Address("a>b@example.org").Valid(), AddressInvalidChars);
    EXPECT_EQ(Address("\"x\" <a<b@example.org>").Valid(), AddressInvalidChars);
    EXPECT_EQ(Address("<a\r\nBcc: victim@example.org>").Valid(), AddressInvalidChars);
    EXPECT_EQ(Address("<a@example.org\nX>").Valid(), AddressInvalidChars);
    EXPECT_EQ(Address("<a\x01@example.org>").Valid(), AddressInvalidChars);
    EXPECT_EQ(Address("<a b@example.org>").Valid(), AddressValid);
}

TEST(MessageTest, DateFormAndZoneSign) {
    const Date date = DateFromFields(2026, 3, 5, 7, 8, 9);
    EXPECT_EQ(FormatMessageDate(date, 0), "Thu, 5 Mar 2026 07:08:09 -0000");
    EXPECT_EQ(FormatMessageDate(date, -90), "Thu, 5 Mar 2026 07:08:09 +0130");
    EXPECT_EQ(FormatMessageDate(date, 300), "Thu, 5 Mar 2026 07:08:09 -0500");
    EXPECT_NE(MakeMessageID("host"), MakeMessageID("host"));
}

TEST(MessageTest, MessageIdsOfTwoRunsDiffer) {
    // Two fresh processes on one thread id stand for a server and its restart minutes later.
    const auto firstOfARun = [] {
        int pipe[2];
        EXPECT_EQ(::pipe(pipe), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const std::string id = MakeMessageID("host");
            // The thread id part is the child's own: only what follows it may tell runs apart.
            const std::string tail = id.substr(id.find('.'));
            (void)!::write(pipe[1], tail.data(), tail.size());
            ::_exit(0);
        }
        ::close(pipe[1]);
        char buffer[128];
        const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
        ::close(pipe[0]);
        ::waitpid(child, nullptr, 0);
        return std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    };
    const std::string first = firstOfARun();
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, firstOfARun());
}

}  // namespace
}  // namespace pw::mime
