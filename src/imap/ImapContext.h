// CommandContext: what an IMAP command's handler may use -- the command, its replies over the
// connection, the session's login facts, the store, the selected mailbox, the message reader and
// APPEND's staged message -- and nothing else of the session (its command reader, its listener
// ticket, its loop). Handlers are plain functions (ImapCommands.h) that the command table names.
// Thread safety: one session thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "imap/ImapCommandReader.h"
#include "imap/ImapReplies.h"
#include "imap/ImapServer.h"
#include "platform/IpAddress.h"

namespace pw::imap {

class AppendStaging;
class ImapStore;
class MessageParser;
class SelectedMailbox;

enum class SessionState { NotAuthenticated = 0, Authenticated = 1, Selected = 2, Logout = 3 };

// Who the session is and what it may do: set at the greeting and at login.
struct SessionStatus {
    // Option bits of a session: 2 allows CRAM-MD5.
    static constexpr unsigned kOptionCramMd5 = 2;
    static constexpr unsigned kSessionOptions = 7;

    SessionState state = SessionState::NotAuthenticated;
    ImapSettings settings;
    std::string clientAddress;    // for the log
    IpAddress clientIp;           // for the failed-login table and POP-before-SMTP
    unsigned options = 0;
    unsigned storeCapabilities = 0;
    bool plaintextAuth = true;  // passwords in the clear outside TLS ("sys:imap4:%d:plaintextauth")
    bool readOnly = false;      // the account may not change the store
    std::string user;
    std::string inbox;
    std::string userDirectory;  // the user's own directory under the module's, with a trailing "/"
    std::uint32_t debugMask = 0;     // X-DEBUG: bit n traces the command with id n
    unsigned progressTenths = 0;     // PROGRESS: the interval of progress lines, 0 for none
    bool utf8Names = false;          // ENABLE UTF8=ACCEPT: mailbox names in UTF-8 both ways (RFC 6855)

    bool LoggedIn() const { return state == SessionState::Authenticated || state == SessionState::Selected; }
};

struct CommandContext {
    const Command& command;
    Replies& replies;
    SessionStatus& session;
    ImapStore& store;
    SelectedMailbox& mailbox;
    MessageParser& parser;
    AppendStaging& staging;

    void Untagged(std::string_view text) { replies.Untagged(text); }
    void SetReply(std::string text) { replies.SetReply(std::move(text)); }
    void Bad(std::string text) { replies.Bad(std::move(text)); }
    void No(std::string text) { replies.No(std::move(text)); }
};

// "* BYE Idle for too long" with the log line of the state it happened in; the session logs out.
void SayTimedOut(Replies& replies, SessionStatus& session);

// A mailbox name argument decoded (from modified UTF-7, or UTF-8 once enabled) and checked; nullopt
// with the reply set.
std::optional<std::string> MailboxName(CommandContext& context, const Argument& argument);

}  // namespace pw::imap
