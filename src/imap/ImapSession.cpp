// ImapSession: greeting, the command loop, dispatch by state, argument checks, replies and the steps
// after each command.
#include "imap/ImapSession.h"

#include <algorithm>

#include "core/Configuration.h"
#include "core/Logging.h"
#include "imap/ImapLimits.h"
#include "imap/ImapStrings.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

using enum CommandId;

constexpr std::string_view kArgumentNames[] = {"First", "Second", "Third"};

// The states a command may run in; CLOSE and unknown names are answered in every state by the handler.
bool AllowedIn(CommandId id, SessionState state) {
    switch (id) {
    case Capability: case Noop: case Logout: case Id: case Progress: case XTid: case XDebug: case Close: case Unknown:
        return true;
    case Login: case Authenticate: case StartTls:
        return state == SessionState::NotAuthenticated;
    case Append: case Create: case Delete: case Rename: case Examine: case Select: case List: case Lsub:
    case Status: case Subscribe: case Unsubscribe: case Idle: case Namespace:
        return state == SessionState::Authenticated || state == SessionState::Selected;
    case Enable:  // RFC 5161: before a mailbox is selected, so that what it enables holds from the start
        return state == SessionState::Authenticated;
    default:
        return state == SessionState::Selected;
    }
}

// A system flag, a keyword or NIL: STORE's own parse tells them apart.
bool IsFlagWord(const Argument& argument) { return argument.kind == ArgumentKind::Atom; }

}  // namespace

void RegisterImapServer() {
    net::SetSessionHandler(core::IMAPServerType, [](const std::shared_ptr<net::ConnectionTicket>& ticket) {
        ImapSession(ticket, CurrentImapSettings()).Run();
        return 0;
    });
}

ImapSession::ImapSession(std::shared_ptr<net::ConnectionTicket> ticket, ImapSettings settings)
    : ticket_(std::move(ticket)), settings_(std::move(settings)) {}

void ImapSession::Log(char severity, std::string_view text) const {
    const core::LoggingLevelEnum level = severity == 'E'   ? core::LogLevelCritical
                                         : severity == 'W' ? core::LogLevelWarning
                                         : severity == 'D' ? core::LogLevelDebug
                                                           : core::LogLevelNormal;
    core::Log(level, "IMAP4 Server: " + std::string(text));
}

void ImapSession::Untagged(std::string_view text) { connection_->WriteLine("* " + std::string(text)); }

void ImapSession::SetDiagnostic(std::string text, bool bad) {
    if (!diagnostic_.empty()) return;  // the first diagnostic of a command wins
    diagnostic_ = std::move(text);
    bad_ = bad;
}

void ImapSession::Run() {
    if (!ticket_->connection) return;
    // Received bytes are not logged by the connection: they may carry passwords.
    ticket_->connection->SetLogReceived(false);
    connection_.emplace(*ticket_->connection);
    reader_.emplace(*connection_);
    reader_->SetLiteralSink(&staging_);
    if (Greet()) {
        while (Step()) {
        }
    }
    connection_->Flush();
    staging_.Reset();
    selected_.reset();
    if (m5_) (void)m5::M5CloseSession(*m5_);
    store_.Close();
    Log('D', "IMAP4 Session ending with " + ticket_->ClientAddress() +
                 (connection_->ErrorText().empty() ? std::string() : ": " + connection_->ErrorText()));
}

bool ImapSession::Greet() {
    Log('I', "IMAP4 Session starting with " + ticket_->ClientAddress());
    std::string diagnostic;
    if (!store_.Open(diagnostic)) {
        Log('E', diagnostic);
        Untagged("BYE " + diagnostic);
        state_ = SessionState::Logout;
        return false;
    }
    options_ = kSessionOptions;
    storeCapabilities_ = store_.Capabilities();
    // "plaintextauth" off: passwords in the clear only inside TLS (LOGIN and AUTHENTICATE PLAIN).
    const int instance = ticket_->listener ? ticket_->listener->instance : 0;
    const Variant plaintext = core::ServerConfig().GetCopy(Format("sys:imap4:%d:plaintextauth", {std::int64_t{instance}}));
    plaintextAuth_ = plaintext.IsEmpty() || plaintext.AsInt64() != 0;
    Untagged("OK " + std::string(kGreetingText));
    return connection_->Flush() == CommandSource::Status::Ok;
}

bool ImapSession::Step() {
    reply_.clear();
    diagnostic_.clear();
    bad_ = noReply_ = false;
    const bool loggedIn = state_ == SessionState::Authenticated || state_ == SessionState::Selected;
    reader_->SetLimit(loggedIn ? kMaxCommandBytes : kMaxCommandBytesBeforeLogin);
    const auto idle = state_ == SessionState::Logout             ? std::chrono::seconds(kLogoutIdleTimeout)
                      : state_ == SessionState::NotAuthenticated ? std::min<std::chrono::seconds>(kLoginIdleTimeout, settings_.idleTimeout)
                                                                 : settings_.idleTimeout;
    CommandRead read = reader_->Read(idle);

    switch (read.outcome) {
    case CommandRead::Outcome::TimedOut:
        if (state_ != SessionState::Logout) TimedOut();
        return false;
    case CommandRead::Outcome::Closed:
        // A stop ends the reads of every session; this one still says why it goes.
        if (ImapStopping() && connection_->Alive() && state_ != SessionState::Logout) {
            Untagged("BYE [ALERT] Server shutting down immediately");
        }
        return false;
    case CommandRead::Outcome::Fatal:
        connection_->WriteLine(read.replyTag + " BAD " + read.diagnostic);
        Untagged("BYE " + read.diagnostic);
        return false;
    case CommandRead::Outcome::Refused:
        SetDiagnostic(read.diagnostic, !read.no);
        SendReply(read.replyTag, nullptr);
        break;
    case CommandRead::Outcome::Command:
        Dispatch(read.command);
        break;
    }
    staging_.Reset();  // a message no APPEND published is not kept
    if (endSession_ || !connection_->Alive()) return false;
    if (state_ == SessionState::NotAuthenticated && badInARow_ >= kMaxBadRepliesBeforeLogin) {
        Log('W', "Too many protocol errors before login from " + ticket_->ClientAddress());
        Untagged("BYE Too many invalid commands");
        connection_->Flush();
        return false;
    }
    // LOGOUT, a goodbye alert or a stop: the last reply has gone, the session ends.
    return state_ != SessionState::Logout;
}

void ImapSession::Dispatch(Command& command) {
    // The command without its arguments: they may hold a password.
    Log('D', "< " + command.tag + (command.uid ? " UID " : " ") + command.name);
    if (!command.entry) {
        Bad("Null command");
        SendReply(command.tag, nullptr);
        return;
    }
    const CommandEntry* entry = command.entry;
    if (command.uid && !(entry->flags & kMayFollowUid)) entry = &UnknownCommandEntry();
    if (state_ == SessionState::Logout) {
        noReply_ = true;
    } else if (readOnly_ && (entry->flags & kChangesStore)) {
        No("Access denied");
    } else if (!ArgumentsValid(*entry, command)) {
        // answered by the check
    } else if (entry->id == CommandId::Unknown) {
        Bad(Format("Unknown command:  \"%s\"", {std::string_view(command.name)}));
    } else if (!AllowedIn(entry->id, state_)) {
        Bad(Format("Command invalid in current context:  \"%s\"", {std::string_view(command.name)}));
    } else {
        RunHandler(command);
    }
    AfterCommand(command);
    SendReply(command.tag, &command);
}

bool ImapSession::ArgumentsValid(const CommandEntry& entry, const Command& command) {
    for (std::size_t i = 0; i < 3; ++i) {
        const Argument* argument = i < command.arguments.size() ? &command.arguments[i] : nullptr;
        const std::string_view name = kArgumentNames[i];
        switch (entry.arguments[i]) {
        case ArgumentRule::Any: break;
        case ArgumentRule::Absent:
            if (argument) return Bad(Format("%s argument should not appear", {name})), false;
            break;
        case ArgumentRule::Required:
        case ArgumentRule::Mailbox:
            if (!argument) return Bad(Format("%s argument missing", {name})), false;
            break;
        case ArgumentRule::Atom:
            if (!argument) return Bad(Format("%s argument missing", {name})), false;
            if (argument->kind != ArgumentKind::Atom) return Bad(Format("%s argument should be an atom", {name})), false;
            break;
        case ArgumentRule::MessageSetAfterUid:
            if (!command.uid) {
                if (argument) return Bad(Format("%s argument should not appear", {name})), false;
                break;
            }
            [[fallthrough]];
        case ArgumentRule::MessageSet:
            // The set itself is checked against the selected mailbox by the command that uses it.
            if (!argument || argument->kind != ArgumentKind::Atom) return Bad("Message-set argument missing"), false;
            break;
        case ArgumentRule::String:
            if (!argument || !argument->IsString()) return Bad("Required argument missing"), false;
            break;
        case ArgumentRule::List:
            if (!argument) return Bad(Format("%s argument missing", {name})), false;
            if (argument->kind != ArgumentKind::List) return Bad(Format("%s argument should be a list", {name})), false;
            break;
        case ArgumentRule::Flags:
            if (!argument) return Bad(Format("%s argument missing", {name})), false;
            if (argument->kind != ArgumentKind::List) {
                for (std::size_t j = i; j < command.arguments.size(); ++j) {
                    if (!IsFlagWord(command.arguments[j])) {
                        return Bad(Format("%s argument should be a list of flags", {name})), false;
                    }
                }
            }
            break;
        case ArgumentRule::FetchItems:
            if (!argument) return Bad(Format("%s argument missing", {name})), false;
            if (argument->kind != ArgumentKind::FetchAttribute && argument->kind != ArgumentKind::List) {
                return Bad(Format("%s argument should be a FETCH attribute or list", {name})), false;
            }
            break;
        }
    }
    return true;
}

void ImapSession::RunHandler(const Command& command) {
    switch (command.entry->id) {
    case CommandId::Capability: return Capability();
    case CommandId::Noop: return SetReply("OK NOOP completed");
    case CommandId::Logout: return Logout();
    case CommandId::Id: {
        const auto& arguments = command.arguments;
        if (!arguments.empty() && arguments[0].kind == ArgumentKind::List) {
            const auto& items = arguments[0].items;
            const bool tooLong = std::any_of(items.begin(), items.end(), [](const Argument& a) { return a.text.size() > kMaxIdValueBytes; });
            if (items.size() > 2 * kMaxIdPairs || tooLong) return Bad("ID list too long");
        }
        // RFC 2971 wants the server's own ID line before the reply.
        Untagged("ID (\"name\" \"Quillon Email Server\")");
        return SetReply("OK ID completed");
    }
    case CommandId::Idle: return Idle(command);
    case CommandId::XTid: return XTid();
    case CommandId::XDebug: return XDebug(command);
    case CommandId::Progress: return Progress(command);
    case CommandId::StartTls: return StartTls(command);
    case CommandId::Login: return Login(command);
    case CommandId::Authenticate: return Authenticate(command);
    case CommandId::Close:
        if (state_ != SessionState::Selected) return SetReply("OK but CLOSE is really invalid in the current state");
        CloseMailbox(true);
        return SetReply("OK Folder closed");
    case CommandId::Unselect:
        CloseMailbox(false);
        return SetReply("OK UNSELECT completed");
    case CommandId::Check: return SetReply("OK CHECK completed");
    case CommandId::Select: return Select(command, false);
    case CommandId::Examine: return Select(command, true);
    case CommandId::Fetch: return Fetch(command);
    case CommandId::Search: return Search(command);
    case CommandId::Store: return Store(command);
    case CommandId::Expunge: return Expunge(command);
    case CommandId::Copy: return Copy(command);
    case CommandId::Move: return Move(command);
    case CommandId::Enable:
        // RFC 5161: none of the extensions ENABLE turns on is offered, so it enables nothing.
        Untagged("ENABLED");
        return SetReply("OK ENABLE completed");
    case CommandId::Append: return Append(command);
    case CommandId::Subscribe: return Subscribe(command, true);
    case CommandId::Unsubscribe: return Subscribe(command, false);
    case CommandId::Create: return Create(command);
    case CommandId::Delete: return Delete(command);
    case CommandId::Rename: return Rename(command);
    case CommandId::List: return List(command, false);
    case CommandId::Lsub: return List(command, true);
    case CommandId::Status: return Status(command);
    case CommandId::Namespace:
        // RFC 2342: the user's own folders at the top, nobody else's, the public ones under the prefix.
        Untagged("NAMESPACE ((\"\" \"/\")) NIL ((" + ImapString(store_.PublicPrefix()) + " \"/\"))");
        return SetReply("OK NAMESPACE completed");
    default:
        // The mailbox commands arrive with the mailbox access of the store.
        return No(Format("%s is not available on this server yet", {std::string_view(command.name)}));
    }
}

void ImapSession::AfterCommand(const Command& command) {
    if (ImapStopping() && state_ != SessionState::Logout) {
        Untagged("BYE [ALERT] Server shutting down immediately");
        state_ = SessionState::Logout;
        endSession_ = true;
    }
    if (!alert_.empty()) {
        Untagged("OK [ALERT] " + alert_);
        alert_.clear();
    }
    const bool quiet = command.entry && (command.entry->flags & kNoUpdates);
    if (state_ == SessionState::Selected && !quiet && !(storeCapabilities_ & kStoreCapabilityNoUpdates)) SendUpdates();
}

void ImapSession::SendReply(const std::string& tag, const Command* command) {
    if (reply_.empty() && !diagnostic_.empty()) reply_ = (bad_ ? "BAD " : "NO ") + diagnostic_;
    const bool startTls = command && command->entry && command->entry->id == CommandId::StartTls;
    if (reply_.empty() && !noReply_ && !startTls) reply_ = "BAD Internal server failure";
    if (reply_.starts_with("BAD")) ++badInARow_;
    else if (!reply_.empty()) badInARow_ = 0;
    if (!reply_.empty()) connection_->WriteLine(tag + " " + reply_);
    connection_->Flush();
}

void ImapSession::TimedOut() {
    static constexpr std::string_view kTexts[] = {"Timed out waiting for user authentication",
                                                  "Timed out in Authenticated state", "Timed out in Selected state"};
    Log('I', kTexts[static_cast<int>(state_)]);
    Untagged("BYE Idle for too long");
    state_ = SessionState::Logout;
}

}  // namespace pw::imap
