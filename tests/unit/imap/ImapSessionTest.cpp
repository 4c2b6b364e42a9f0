// The IMAP session over a socket pair: commands pipelined in one write answered in order, a login
// that makes the user's working directory, and the idle time-out of each state ending the session
// with its goodbye.
#include "imap/ImapSession.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "SessionConversation.h"
#include "SessionStore.h"

namespace pw::imap {
namespace {

class ImapSessionTest : public ::testing::Test {
protected:
    test::SessionConversation Converse(std::chrono::seconds idle) {
        ImapSettings settings;
        settings.idleTimeout = idle;
        settings.workingDirectory = working_.string() + "/";
        auto listener = std::make_shared<net::ServerListener>(core::IMAPServerType, 143);
        return test::SessionConversation(listener, [settings](std::shared_ptr<net::ConnectionTicket> ticket) {
            ImapSession(std::move(ticket), settings).Run();
        });
    }

    test::SessionStore store_;
    test::ScratchDirectory scratch_;
    std::filesystem::path working_ = scratch_ / "IMAP";
    bool made_ = std::filesystem::create_directory(working_);
};

TEST_F(ImapSessionTest, PipelinedCommandsAreAnsweredInOrderAndLoginMakesTheUsersDirectory) {
    auto client = Converse(std::chrono::seconds(60));
    EXPECT_EQ(client.Line(), "* OK Quillon IMAP4rev1 Server Ready!\r\n");
    client.Send("a NOOP\r\nb LOGIN john secret\r\nc LOGIN x y\r\n\r\nd LOGOUT\r\n");
    EXPECT_EQ(client.Line(), "a OK NOOP completed\r\n");
    EXPECT_EQ(client.Line(), "b OK LOGIN completed\r\n");  // no domain: the primary one
    EXPECT_EQ(client.Line(), "c BAD Command invalid in current context:  \"LOGIN\"\r\n");
    EXPECT_EQ(client.Line(), "* BYE IMAP4rev1 Server logging out\r\n");
    EXPECT_EQ(client.Line(), "d OK Logout completed\r\n");
    EXPECT_EQ(client.Line(), "");
    EXPECT_TRUE(std::filesystem::is_directory(working_ / "john@example.com"));
}

TEST_F(ImapSessionTest, SilenceInEachStateEndsTheSessionWithItsGoodbye) {
    {
        auto client = Converse(std::chrono::seconds(1));
        client.Line();
        EXPECT_EQ(client.Line(), "* BYE Idle for too long\r\n");
        EXPECT_EQ(client.Line(), "");
    }
    auto client = Converse(std::chrono::seconds(1));
    client.Line();
    client.Send("a LOGIN john@example.com secret\r\n");
    EXPECT_EQ(client.Line(), "a OK LOGIN completed\r\n");
    EXPECT_EQ(client.Line(), "* BYE Idle for too long\r\n");
    EXPECT_EQ(client.Line(), "");
}

}  // namespace
}  // namespace pw::imap
