// The IMAP session over a socket pair: commands pipelined in one write answered in order, a login
// that makes the user's working directory, the idle time-out of each state ending the session with
// its goodbye, and a public folder's rights and per-user flags for two users.
#include "imap/ImapSession.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "SessionConversation.h"
#include "SessionStore.h"
#include "store/Envelopes.h"
#include "store/FolderIndex.h"
#include "store/MailBox.h"

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

void AddMessage(store::Folder& folder, std::string_view content) {
    auto envelope = folder.GetEnvelopes()->Add();
    envelope->SetSender("a@remote.test");
    {
        auto stream = envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        ThrowIfFailed(stream->Write(content));
    }
    envelope->Update();
}

// Sends one command and returns every line up to its tagged reply.
std::string Ask(test::SessionConversation& client, std::string_view command) {
    client.Send("t " + std::string(command) + "\r\n");
    std::string lines;
    for (std::string line = client.Line(); !line.empty(); line = client.Line()) {
        lines += line;
        if (line.starts_with("t ")) break;
    }
    return lines;
}

TEST_F(ImapSessionTest, PublicFoldersGrantWhatTheirAclSaysAndKeepEachUsersFlags) {
    auto mary = store_.messageStore->GetDomains()->Item("example.com")->GetMailBoxes()->Add("mary", store::UserMailBoxType);
    mary->SetPassword("other");
    mary->Update();
    auto team = store_.messageStore->GetFolders()->Add("Team", store::NormalFolderType);
    team->GetProperties().SetItem("_IMAP:FlagsPerUser", Variant::I4(1));
    team->GetProperties().SetItem("_ACL:Members:default", Variant::Text("LRSWD"));
    team->GetProperties().SetItem("_ACL:Members:mary@example.com", Variant::Text("lrw"));
    team->Update();
    AddMessage(*team, "Subject: one\r\n\r\nfirst\r\n");
    AddMessage(*team, "Subject: two\r\n\r\nsecond\r\n");
    store_.messageStore->GetFolders()->Add("Hidden", store::NormalFolderType);

    auto john = Converse(std::chrono::seconds(60));
    john.Line();
    EXPECT_EQ(Ask(john, "LOGIN john secret"), "t OK LOGIN completed\r\n");
    const std::string selected = Ask(john, "SELECT \"Public Folders/Team\"");
    EXPECT_NE(selected.find("* 2 RECENT\r\n"), std::string::npos) << selected;
    EXPECT_NE(selected.find("[PERMANENTFLAGS (\\Answered \\Deleted \\Draft \\Flagged \\Seen \\*)]"), std::string::npos);
    EXPECT_TRUE(selected.ends_with("t OK [READ-WRITE] SELECT completed\r\n"));
    EXPECT_EQ(Ask(john, "STORE 1 +FLAGS.SILENT (\\Seen)"), "t OK STORE completed\r\n");
    EXPECT_EQ(Ask(john, "SELECT \"public folders/Hidden\""), "t NO No such folder exists\r\n");

    auto other = Converse(std::chrono::seconds(60));
    other.Line();
    EXPECT_EQ(Ask(other, "LOGIN mary@example.com other"), "t OK LOGIN completed\r\n");
    EXPECT_NE(Ask(other, "EXAMINE INBOX").find("* 0 EXISTS\r\n* 0 RECENT\r\n* OK [UIDNEXT 1] "), std::string::npos);
    const std::string hers = Ask(other, "SELECT \"Public Folders/Team\"");
    // John's \Seen is his own; without "s" hers is shown to her session only.
    EXPECT_NE(hers.find("* 2 RECENT\r\n* OK [UNSEEN 1] Message 1 is first unread\r\n"), std::string::npos) << hers;
    EXPECT_NE(hers.find("[PERMANENTFLAGS (\\Answered \\Draft \\Flagged \\*)]"), std::string::npos) << hers;
    EXPECT_EQ(Ask(other, "STORE 2 +FLAGS (\\Seen \\Flagged)"), "* 2 FETCH (FLAGS (\\Flagged \\Recent \\Seen))\r\nt OK STORE completed\r\n");

    // The flags are in the folder's index first; its records catch up, each user's under their key.
    const auto shared = store_.messageStore->FindFolder("Team");
    ASSERT_EQ(store::CatchUpIndexedRecords(shared->Storage(), shared->RootPath()), S_OK);
    const auto envelopes = shared->GetEnvelopes();
    const auto first = envelopes->Item(0);
    const auto second = envelopes->Item(1);
    EXPECT_EQ(first->GetProperties().Item("_ImapFlags:john@example.com").AsUI2(), 1);
    EXPECT_TRUE(first->GetProperties().Item("_ImapFlags:mary@example.com").IsEmpty());
    EXPECT_TRUE(first->GetProperties().Item("_ImapFlags").IsEmpty());
    EXPECT_EQ(second->GetProperties().Item("_ImapFlags:mary@example.com").AsUI2(), 4);  // \Flagged only
}

}  // namespace
}  // namespace pw::imap
