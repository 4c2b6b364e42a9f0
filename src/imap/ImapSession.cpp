// ImapSession: greeting, the command loop, the checks before each handler, replies and the steps
// after each command.
#include "imap/ImapSession.h"

#include <algorithm>

#include "core/Configuration.h"
#include "core/Logging.h"
#include "imap/ImapLimits.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

using enum CommandId;

constexpr std::string_view kArgumentNames[] = {"First", "Second", "Third"};

// A system flag, a keyword or NIL: STORE's own parse tells them apart.
bool IsFlagWord(const Argument& argument) { return argument.kind == ArgumentKind::Atom; }

}  // namespace

void RegisterImapServer() {
    net::SetSessionHandler(core::IMAPServerType, [](const std::shared_ptr<net::ConnectionTicket>& ticket) {
        ImapSession(ticket, CurrentImapSettings()).Run();
        return 0;
    });
}

ImapSession::ImapSession(std::shared_ptr<net::ConnectionTicket> ticket, ImapSettings settings) : ticket_(std::move(ticket)) {
    session_.settings = std::move(settings);
}

void SayTimedOut(Replies& replies, SessionStatus& session) {
    static constexpr std::string_view kTexts[] = {"Timed out waiting for user authentication",
                                                  "Timed out in Authenticated state", "Timed out in Selected state"};
    ImapLog('I', kTexts[static_cast<int>(session.state)]);
    replies.Untagged("BYE Idle for too long");
    session.state = SessionState::Logout;
}

void ImapSession::Run() {
    if (!ticket_->connection) return;
    // Received bytes are not logged by the connection: they may carry passwords.
    ticket_->connection->SetLogReceived(false);
    connection_.emplace(*ticket_->connection);
    replies_.emplace(*connection_);
    reader_.emplace(*connection_);
    mailbox_.emplace(store_, *replies_);
    staging_.emplace(session_, store_, *mailbox_);
    reader_->SetLiteralSink(&*staging_);
    session_.clientAddress = ticket_->ClientAddress();
    session_.clientIp = ticket_->client;
    if (Greet()) {
        while (Step()) {
        }
    }
    connection_->Flush();
    staging_->Reset();
    mailbox_->Close(false);
    store_.Close();
    ImapLog('D', "IMAP4 Session ending with " + session_.clientAddress +
                     (connection_->ErrorText().empty() ? std::string() : ": " + connection_->ErrorText()));
}

bool ImapSession::Greet() {
    ImapLog('I', "IMAP4 Session starting with " + session_.clientAddress);
    std::string diagnostic;
    if (!store_.Open(diagnostic)) {
        ImapLog('E', diagnostic);
        replies_->Untagged("BYE " + diagnostic);
        session_.state = SessionState::Logout;
        return false;
    }
    session_.options = SessionStatus::kSessionOptions;
    session_.storeCapabilities = store_.Capabilities();
    // "plaintextauth" off: passwords in the clear only inside TLS (LOGIN and AUTHENTICATE PLAIN).
    const int instance = ticket_->listener ? ticket_->listener->instance : 0;
    const Variant plaintext = core::ServerConfig().GetCopy(Format("sys:imap4:%d:plaintextauth", {std::int64_t{instance}}));
    session_.plaintextAuth = plaintext.IsEmpty() || plaintext.AsInt64() != 0;
    replies_->Untagged("OK " + std::string(kGreetingText));
    return connection_->Flush() == CommandSource::Status::Ok;
}

bool ImapSession::Step() {
    replies_->Begin();
    const SessionState state = session_.state;
    reader_->SetLimit(session_.LoggedIn() ? kMaxCommandBytes : kMaxCommandBytesBeforeLogin);
    const auto idle = state == SessionState::Logout             ? std::chrono::seconds(kLogoutIdleTimeout)
                      : state == SessionState::NotAuthenticated ? std::min<std::chrono::seconds>(kLoginIdleTimeout, session_.settings.idleTimeout)
                                                                : session_.settings.idleTimeout;
    CommandRead read = reader_->Read(idle);

    switch (read.outcome) {
    case CommandRead::Outcome::TimedOut:
        if (state != SessionState::Logout) SayTimedOut(*replies_, session_);
        return false;
    case CommandRead::Outcome::Closed:
        // A stop ends the reads of every session; this one still says why it goes.
        if (ImapStopping() && connection_->Alive() && state != SessionState::Logout) {
            replies_->Untagged("BYE [ALERT] Server shutting down immediately");
        }
        return false;
    case CommandRead::Outcome::Fatal:
        connection_->WriteLine(read.replyTag + " BAD " + read.diagnostic);
        replies_->Untagged("BYE " + read.diagnostic);
        return false;
    case CommandRead::Outcome::Refused:
        replies_->SetDiagnostic(read.diagnostic, !read.no);
        replies_->Finish(read.replyTag);
        break;
    case CommandRead::Outcome::Command:
        Dispatch(read.command);
        break;
    }
    staging_->Reset();  // a message no APPEND published is not kept
    if (replies_->Ending() || !connection_->Alive()) return false;
    if (session_.state == SessionState::NotAuthenticated && replies_->BadInARow() >= kMaxBadRepliesBeforeLogin) {
        ImapLog('W', "Too many protocol errors before login from " + session_.clientAddress);
        replies_->Untagged("BYE Too many invalid commands");
        connection_->Flush();
        return false;
    }
    // LOGOUT, a goodbye alert or a stop: the last reply has gone, the session ends.
    return session_.state != SessionState::Logout;
}

void ImapSession::Dispatch(Command& command) {
    // The command without its arguments: they may hold a password.
    ImapLog('D', "< " + command.tag + (command.uid ? " UID " : " ") + command.name);
    Replies& replies = *replies_;
    if (!command.entry) {
        replies.Bad("Null command");
        replies.Finish(command.tag);
        return;
    }
    const CommandEntry* entry = command.entry;
    if (command.uid && !(entry->flags & kMayFollowUid)) entry = &UnknownCommandEntry();
    if (session_.state == SessionState::Logout) {
        replies.Silence();
    } else if (session_.readOnly && (entry->flags & kChangesStore)) {
        replies.No("Access denied");
    } else if (!ArgumentsValid(*entry, command)) {
        // answered by the check
    } else if (entry->handler == nullptr) {
        replies.Bad(Format("Unknown command:  \"%s\"", {std::string_view(command.name)}));
    } else if (!(entry->states & (1u << static_cast<unsigned>(session_.state)))) {
        replies.Bad(Format("Command invalid in current context:  \"%s\"", {std::string_view(command.name)}));
    } else {
        CommandContext context{command, replies, session_, store_, *mailbox_, parser_, *staging_};
        entry->handler(context);
    }
    AfterCommand(command);
    replies.Finish(command.tag);
}

bool ImapSession::ArgumentsValid(const CommandEntry& entry, const Command& command) {
    for (std::size_t i = 0; i < 3; ++i) {
        const Argument* argument = i < command.arguments.size() ? &command.arguments[i] : nullptr;
        const std::string_view name = kArgumentNames[i];
        switch (entry.arguments[i]) {
        case ArgumentRule::Any: break;
        case ArgumentRule::Absent:
            if (argument) return replies_->Bad(Format("%s argument should not appear", {name})), false;
            break;
        case ArgumentRule::Required:
        case ArgumentRule::Mailbox:
            if (!argument) return replies_->Bad(Format("%s argument missing", {name})), false;
            break;
        case ArgumentRule::Atom:
            if (!argument) return replies_->Bad(Format("%s argument missing", {name})), false;
            if (argument->kind != ArgumentKind::Atom) return replies_->Bad(Format("%s argument should be an atom", {name})), false;
            break;
        case ArgumentRule::MessageSetAfterUid:
            if (!command.uid) {
                if (argument) return replies_->Bad(Format("%s argument should not appear", {name})), false;
                break;
            }
            [[fallthrough]];
        case ArgumentRule::MessageSet:
            // The set itself is checked against the selected mailbox by the command that uses it.
            if (!argument || argument->kind != ArgumentKind::Atom) return replies_->Bad("Message-set argument missing"), false;
            break;
        case ArgumentRule::String:
            if (!argument || !argument->IsString()) return replies_->Bad("Required argument missing"), false;
            break;
        case ArgumentRule::List:
            if (!argument) return replies_->Bad(Format("%s argument missing", {name})), false;
            if (argument->kind != ArgumentKind::List) return replies_->Bad(Format("%s argument should be a list", {name})), false;
            break;
        case ArgumentRule::Flags:
            if (!argument) return replies_->Bad(Format("%s argument missing", {name})), false;
            if (argument->kind != ArgumentKind::List) {
                for (std::size_t j = i; j < command.arguments.size(); ++j) {
                    if (!IsFlagWord(command.arguments[j])) {
                        return replies_->Bad(Format("%s argument should be a list of flags", {name})), false;
                    }
                }
            }
            break;
        case ArgumentRule::FetchItems:
            if (!argument) return replies_->Bad(Format("%s argument missing", {name})), false;
            if (argument->kind != ArgumentKind::FetchAttribute && argument->kind != ArgumentKind::List) {
                return replies_->Bad(Format("%s argument should be a FETCH attribute or list", {name})), false;
            }
            break;
        }
    }
    return true;
}

void ImapSession::AfterCommand(const Command& command) {
    if (ImapStopping() && session_.state != SessionState::Logout) {
        replies_->Untagged("BYE [ALERT] Server shutting down immediately");
        session_.state = SessionState::Logout;
        replies_->EndSession();
    }
    // The message-set marks of a command are its own: an idle session keeps none.
    mailbox_->view.ClearSelection();
    const bool quiet = command.entry && (command.entry->flags & kNoUpdates);
    if (session_.state == SessionState::Selected && !quiet && !(session_.storeCapabilities & kStoreCapabilityNoUpdates)) {
        mailbox_->SendUpdates();
    }
}

}  // namespace pw::imap
