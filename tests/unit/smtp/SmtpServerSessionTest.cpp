// SmtpServerSession: whole dialogues over a socket pair -- relaying refused and then allowed by AUTH,
// a transaction published to "_In" with its dots unstuffed and its bare line feeds kept, and the
// replies of commands out of order.
#include "smtp/SmtpServerSession.h"

#include <gtest/gtest.h>

#include "SessionConversation.h"
#include "SessionStore.h"
#include "core/Configuration.h"
#include "mime/Codecs.h"
#include "router/RouterQueue.h"
#include "store/Envelope.h"

namespace pw::smtp {
namespace {

class SmtpServerSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        core::ServerConfig().Set("sys:dns:0:server", Variant::Text("127.0.0.1"));
        listener_ = std::make_shared<net::SMTPListener>();
        listener_->smtpAuth = true;
    }
    void TearDown() override {
        auto& queue = router::RouterQueue::Instance();
        while (const auto uid = queue.Take(std::chrono::milliseconds(0))) queue.Done(*uid);
    }

    // The content of the one published message in "_In".
    std::string Published() {
        const auto envelopes = store_->InFolder()->GetEnvelopes();
        const auto uids = envelopes->Uids();
        if (uids.size() != 1) return "(" + std::to_string(uids.size()) + " messages)";
        const auto stream = envelopes->FindEnvelope(uids.front())->StreamOnContent(false, STGM_READ);
        std::string content;
        std::byte block[4096];
        std::size_t got = 0;
        while (Succeeded(stream->Read(block, got)) && got != 0) content.append(reinterpret_cast<const char*>(block), got);
        return content;
    }

    test::SessionStore sessionStore_;  // john@example.com, password "secret"
    const std::shared_ptr<store::MessageStore> store_ = sessionStore_.messageStore;
    std::shared_ptr<net::SMTPListener> listener_;
};

TEST_F(SmtpServerSessionTest, RelayingNeedsAuthAndAcceptedDataIsPublishedUnstuffed) {
    test::SessionConversation client(listener_, [](auto ticket) { SmtpServerSession(std::move(ticket)).Run(); });
    EXPECT_EQ(client.SmtpReply(), "220 example.com Welcome SMTP\r\n");
    EXPECT_EQ(client.Command("DATA", true), "500 5.5.1 Unknown command\r\n");  // before the greeting
    // A tab separates words as a blank does.
    EXPECT_EQ(client.Command("EHLO\tclient.test", true),
              "250-Hello client.test\r\n250-AUTH CRAM-MD5 PLAIN LOGIN\r\n250-ETRN\r\n250-ATRN\r\n250-PIPELINING\r\n250-SIZE\r\n"
              "250-8BITMIME\r\n250-CHUNKING\r\n250-SMTPUTF8\r\n250-DSN\r\n250 ENHANCEDSTATUSCODES\r\n");
    // DATA without a transaction is a local error of the same code as every other.
    EXPECT_EQ(client.Command("DATA", true), "451 4.3.0 Requested action aborted: local error in processing\r\n");
    EXPECT_EQ(client.Command("RCPT TO:<john@example.com>", true), "503 5.5.0 Bad sequence of commands\r\n");
    EXPECT_EQ(client.Command("MAIL FROM:<sender@remote.test>", true), "250 2.1.0 Requested mail action okay, completed\r\n");
    EXPECT_EQ(client.Command("RCPT TO:<alice@remote.test>", true), "571 5.7.1 Relaying not permitted\r\n");
    EXPECT_EQ(client.Command("AUTH PLAIN " + mime::EncodeBase64(std::string("\0john\0secret", 12), false), true),
              "235 2.7.0 Authorized\r\n");
    EXPECT_EQ(client.Command("RCPT TO:<alice@remote.test>", true), "250 2.1.5 Requested mail action okay, completed\r\n");
    EXPECT_EQ(client.Command("RCPT TO:<john@example.com>", true), "250 2.1.5 Requested mail action okay, completed\r\n");
    EXPECT_EQ(client.Command("DATA", true), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(store_->InFolder()->GetEnvelopes()->Count(), 0u);
    client.Send("Subject: t\r\n\r\n..one\r\n.\ntwo\r\nthree\r\n.\r\n");
    EXPECT_EQ(client.SmtpReply(), "250 2.0.0 Requested mail action okay, completed\r\n");
    const std::string content = Published();
    EXPECT_EQ(content.rfind("Received: from <sender@remote.test> ([127.0.0.2]) by example.com ", 0), 0u) << content;
    // Only CR LF ends a line: the dot of ".\ntwo" starts a line and goes, the bare LF stays.
    EXPECT_NE(content.find("\r\nSubject: t\r\n\r\n.one\r\n\ntwo\r\nthree\r\n"), std::string::npos) << content;
    EXPECT_EQ(content.substr(content.size() - 7), "three\r\n");
    // The transaction is over: a new one needs a new MAIL.
    EXPECT_EQ(client.Command("RCPT TO:<john@example.com>", true), "503 5.5.0 Bad sequence of commands\r\n");
    EXPECT_EQ(client.Command("QUIT", true), "221 2.0.0 Service closing transmission channel\r\n");
    EXPECT_EQ(client.Line(), "");
}

}  // namespace
}  // namespace pw::smtp
