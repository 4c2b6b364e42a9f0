// InboundCheckTest: the Authentication-Results field put into stored content in place -- every byte
// of the message kept, in both directions of the move, past the move's block size -- and the fields
// a sender plants under our name taken out.
#include "mailauth/InboundCheck.h"

#include "mailauth/HeaderFields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pw::mailauth {
namespace {

std::string Text(MemoryStream& stream) {
    const auto& bytes = stream.Bytes();
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

MemoryStream Stream(const std::string& text) {
    const auto* start = reinterpret_cast<const std::byte*>(text.data());
    return MemoryStream(std::vector<std::byte>(start, start + text.size()));
}

std::string Body() {
    std::string body;
    for (int line = 0; body.size() < 300 * 1024; ++line) body += "line " + std::to_string(line) + " of the body\r\n";
    return body;
}

TEST(InboundCheckTest, FieldGoesBelowOurReceivedAndPlantedResultsGoWhateverTheMoveDirection) {
    const std::string field = "Authentication-Results: mx.example;\r\n\tspf=pass smtp.mailfrom=a.test;\r\n\tdkim=none;\r\n\tdmarc=none\r\n";
    const std::string received = "Received: from <a@a.test> ([192.0.2.1]) by mx.example\r\n\t( x ) ; date\r\n";
    const std::string theirs = "Authentication-Results: other.example; spf=pass\r\nSubject: s\r\n\r\n";
    const std::string body = Body();
    // A short planted field: the rest moves up; a long one: the rest moves down.
    for (const std::string& planted : {std::string("Authentication-Results: MX.example; dkim=pass\r\n"),
                                      "Authentication-Results: mx.example (1);\r\n\tdkim=pass " + std::string(400, 'x') + "\r\n"}) {
        MemoryStream content = Stream(received + planted + theirs + body);
        InsertAtTop(content, field, "mx.example");
        EXPECT_EQ(Text(content), received + field + theirs + body);
    }
    // No end of header within the bound: nothing is filtered, the field goes first, the rest stays.
    const std::string endless = "Received: x\r\nX-Long: " + std::string(300 * 1024, 'y');
    MemoryStream content = Stream(endless);
    InsertAtTop(content, field, "mx.example");
    EXPECT_EQ(Text(content), field + endless);
}

TEST(InboundCheckTest, AuthorDomainNeedsExactlyOneAddress) {
    EXPECT_EQ(AuthorDomain("\"Ann, B\" <ann@Example.ORG>"), "example.org");
    EXPECT_EQ(AuthorDomain("ann@a.test, ben@b.test"), std::nullopt);
    EXPECT_EQ(AuthorDomain("undisclosed"), std::nullopt);
    const auto header = ReadHeaderFields("From: a@x.test\r\nSubject: one\r\n two\r\n\r\nbody", 1024, 10);
    EXPECT_TRUE(header.complete);
    EXPECT_EQ(header.Values("subject"), std::vector<std::string>{"one two"});
}

}  // namespace
}  // namespace pw::mailauth
