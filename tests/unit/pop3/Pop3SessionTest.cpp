// Pop3Session: a whole dialogue over a socket pair -- login, listing, the transfer of a stored message
// with every kind of line end, TOP's line count, deletion at QUIT only.
#include "pop3/Pop3Session.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "SessionConversation.h"
#include "SessionStore.h"
#include "core/Configuration.h"
#include "net/Pop3Client.h"
#include "net/PopBeforeSmtp.h"
#include "store/Envelope.h"

namespace pw::pop3 {
namespace {

class Pop3SessionTest : public ::testing::Test {
protected:
    test::SessionStore sessionStore;  // john@example.com, password "secret"
};

TEST_F(Pop3SessionTest, TabSeparatedLoginTransferWithEveryLineEndAndDeletionAtQuit) {
    const auto inbox = sessionStore.john->InFolder();
    const std::string stored = "Subject: s\r\n\r\none\rtwo\nthree\r\n.four\r.five";
    {
        auto envelope = inbox->GetEnvelopes()->Add();
        envelope->SetSender("a@remote.test");
        auto stream = envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        ThrowIfFailed(stream->Write(stored));
        stream.reset();
        envelope->Update();
    }
    const auto listener = std::make_shared<net::ServerListener>(core::POP3ServerType, 110);
    {
        test::SessionConversation client(listener, [](auto ticket) { Pop3Session(std::move(ticket)).Run(); });
        EXPECT_EQ(client.Line().rfind("+OK POP3 Welcome <", 0), 0u);
        EXPECT_EQ(client.Command("STAT", false), "-ERR Unknown command\r\n");
        // Arguments are separated by blanks or tabs, as in SMTP.
        EXPECT_EQ(client.Command("USER\tjohn@example.com", false), "+OK \r\n");
        EXPECT_EQ(client.Command("PASS\tsecret", false), "+OK Authorized\r\n");
        EXPECT_EQ(client.Command("STAT", false), "+OK 1 " + std::to_string(stored.size()) + "\r\n");
        // Every stored line end goes out as CR LF, and a dot after a lone CR is doubled like any other.
        EXPECT_EQ(client.Command("RETR 1", false), "+OK " + std::to_string(stored.size()) + " octets\r\n");
        EXPECT_EQ(client.Pop3MultiLine(), "Subject: s\r\n\r\none\r\ntwo\r\nthree\r\n..four\r\n..five\r\n.\r\n");
        EXPECT_EQ(client.Command("TOP 1 2", false), "+OK Top of message follows\r\n");
        EXPECT_EQ(client.Pop3MultiLine(), "Subject: s\r\n\r\none\r\ntwo\r\n.\r\n");
        EXPECT_EQ(client.Command("DELE 1", false), "+OK Message deleted\r\n");
        EXPECT_EQ(client.Command("RETR 1", false), "-ERR Message deleted\r\n");
        EXPECT_EQ(inbox->GetEnvelopes()->Count(), 1u);  // a mark until QUIT
        EXPECT_EQ(client.Command("QUIT", false), "+OK Done\r\n");
        EXPECT_EQ(client.Line(), "");
    }
    EXPECT_EQ(inbox->GetEnvelopes()->Count(), 0u);
}

// The transport's login before sending, through the client of net/, against this session on loopback.
TEST_F(Pop3SessionTest, Pop3ClientLoginAgainstTheSessionOpensThePopBeforeSmtpWindow) {
    const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listening, 1), 0);
    ASSERT_EQ(::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const auto listener = std::make_shared<net::ServerListener>(core::POP3ServerType, 110);
    std::thread server([&] {
        auto ticket = std::make_shared<net::ConnectionTicket>();
        sockaddr_storage client{};
        socklen_t size = sizeof client;
        ticket->socket.Reset(::accept4(listening, reinterpret_cast<sockaddr*>(&client), &size, SOCK_CLOEXEC));
        ticket->client = IpAddress::FromSocketAddress(reinterpret_cast<const sockaddr*>(&client), size).value_or(IpAddress());
        ticket->listener = listener;
        ticket->OpenConnection();
        Pop3Session(std::move(ticket)).Run();
    });
    {
        net::Pop3Client client(20);
        EXPECT_TRUE(client.Open(IpAddress::FromHostOrder(INADDR_LOOPBACK), ntohs(address.sin_port)));
        EXPECT_FALSE(client.Command("STAT"));  // not before the login
        EXPECT_TRUE(client.Login("john@example.com", "secret"));
        EXPECT_TRUE(client.Command("STAT"));
        client.Quit();
        server.join();
    }
    ::close(listening);
    EXPECT_TRUE(net::PopBeforeSmtp::Instance().IsRecorded(IpAddress::FromHostOrder(INADDR_LOOPBACK)));
}

}  // namespace
}  // namespace pw::pop3
