// ImapSession: one IMAP4rev1 conversation (RFC 3501) -- the greeting, the command loop, the checks
// every command passes before its handler runs (state, arguments, read-only accounts), the tagged
// reply, the updates after each command and the idle time-outs. The commands themselves are rows of
// the command table and functions of their own (ImapCommands.h).
//
// Before login, the command limit is smaller and ten BAD replies in a row end the session. Stopping
// the module ends a session with "* BYE [ALERT] Server shutting down immediately".
// Thread safety: one session per thread.
#pragma once

#include <memory>
#include <optional>

#include "imap/AppendStaging.h"
#include "imap/ImapCommandReader.h"
#include "imap/ImapConnection.h"
#include "imap/ImapContext.h"
#include "imap/ImapReplies.h"
#include "imap/ImapServer.h"
#include "imap/ImapStore.h"
#include "imap/SelectedMailbox.h"
#include "imap/StoredMessage.h"
#include "net/Listener.h"

namespace pw::imap {

// Makes IMAP4 instances run this session for each connection (the service registers every protocol's
// session, as it does SMTP's and POP3's; StartImapServer reads the module's settings).
void RegisterImapServer();

class ImapSession {
public:
    ImapSession(std::shared_ptr<net::ConnectionTicket> ticket, ImapSettings settings);

    void Run();

private:
    bool Greet();
    // Runs one command; false when the session ends.
    bool Step();
    void Dispatch(Command& command);
    bool ArgumentsValid(const CommandEntry& entry, const Command& command);
    void AfterCommand(const Command& command);

    std::shared_ptr<net::ConnectionTicket> ticket_;
    SessionStatus session_;
    std::optional<ImapConnection> connection_;
    std::optional<Replies> replies_;
    std::optional<CommandReader> reader_;
    ImapStore store_;
    MessageParser parser_;
    // Constructed in Run, with the connection: both speak through the replies.
    std::optional<SelectedMailbox> mailbox_;
    std::optional<AppendStaging> staging_;
};

}  // namespace pw::imap
