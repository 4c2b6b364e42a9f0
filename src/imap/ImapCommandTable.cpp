// ImapCommandTable: the table, in name order, and its lookup. A new command is a row here and its
// handler (ImapCommands.h).
#include "imap/ImapCommandTable.h"

#include "imap/ImapCommands.h"

namespace pw::imap {

namespace {

using enum ArgumentRule;
namespace run = commands;

constexpr CommandEntry kCommands[] = {
    {"APPEND", {Mailbox, Required, Any}, CommandId::Append, kLoggedIn, kChangesStore, run::Append},
    {"AUTHENTICATE", {Required, Any, Absent}, CommandId::Authenticate, kNotAuthenticated, 0, run::Authenticate},
    {"CAPABILITY", {Absent, Absent, Absent}, CommandId::Capability, kAnyState, 0, run::Capability},
    {"CHECK", {Absent, Absent, Absent}, CommandId::Check, kSelected, 0, run::Check},
    // Answered in every state: outside the selected one with an OK that says it did nothing.
    {"CLOSE", {Absent, Absent, Absent}, CommandId::Close, kAnyState, 0, run::Close},
    // RFC 4978: after login; its OK goes out uncompressed, and the updates wait for the next command.
    {"COMPRESS", {Atom, Absent, Absent}, CommandId::Compress, kLoggedIn, kNoUpdates, run::Compress},
    {"COPY", {MessageSet, Mailbox, Absent}, CommandId::Copy, kSelected, kMayFollowUid | kChangesStore, run::Copy},
    {"CREATE", {Mailbox, Any, Absent}, CommandId::Create, kLoggedIn, kChangesStore, run::Create},
    {"DELETE", {Mailbox, Absent, Absent}, CommandId::Delete, kLoggedIn, kChangesStore, run::Delete},
    // RFC 5161: before a mailbox is selected, so that what it enables holds from the start.
    {"ENABLE", {Required, Any, Any}, CommandId::Enable, kAuthenticated, 0, run::Enable},
    {"EXAMINE", {Mailbox, Any, Absent}, CommandId::Examine, kLoggedIn, 0, run::Examine},
    {"EXPUNGE", {MessageSetAfterUid, Absent, Absent}, CommandId::Expunge, kSelected, kMayFollowUid, run::Expunge},
    {"FETCH", {MessageSet, FetchItems, Any}, CommandId::Fetch, kSelected, kMayFollowUid | kNoUpdates, run::Fetch},
    {"GETQUOTA", {String, Absent, Absent}, CommandId::GetQuota, kLoggedIn, 0, run::GetQuota},
    {"GETQUOTAROOT", {Mailbox, Absent, Absent}, CommandId::GetQuotaRoot, kLoggedIn, 0, run::GetQuotaRoot},
    {"ID", {Any, Any, Any}, CommandId::Id, kAnyState, 0, run::Id},
    {"IDLE", {Absent, Absent, Absent}, CommandId::Idle, kLoggedIn, 0, run::Idle},
    // RFC 5258: selection options may come first, RETURN and its options after the pattern.
    {"LIST", {Required, Required, Any}, CommandId::List, kLoggedIn, 0, run::List},
    {"LOGIN", {String, String, Absent}, CommandId::Login, kNotAuthenticated, 0, run::Login},
    {"LOGOUT", {Absent, Absent, Absent}, CommandId::Logout, kAnyState, 0, run::Logout},
    {"LSUB", {Mailbox, Required, Absent}, CommandId::Lsub, kLoggedIn, 0, run::Lsub},
    {"MOVE", {MessageSet, Mailbox, Absent}, CommandId::Move, kSelected, kMayFollowUid | kChangesStore, run::Move},
    {"NAMESPACE", {Absent, Absent, Absent}, CommandId::Namespace, kLoggedIn, 0, run::Namespace},
    {"NOOP", {Absent, Absent, Absent}, CommandId::Noop, kAnyState, 0, run::Noop},
    {"PROGRESS", {Required, Absent, Absent}, CommandId::Progress, kAnyState, 0, run::Progress},
    {"RENAME", {Mailbox, Mailbox, Absent}, CommandId::Rename, kLoggedIn, kChangesStore, run::Rename},
    {"SEARCH", {Required, Any, Any}, CommandId::Search, kSelected, kMayFollowUid | kNoUpdates, run::Search},
    {"SELECT", {Mailbox, Any, Absent}, CommandId::Select, kLoggedIn, 0, run::Select},
    {"SETQUOTA", {String, List, Absent}, CommandId::SetQuota, kLoggedIn, 0, run::SetQuota},
    // RFC 5267 (ESORT): "RETURN (...)" may come before the criteria list, which Sort checks then.
    {"SORT", {Required, Required, Required}, CommandId::Sort, kSelected, kMayFollowUid | kNoUpdates, run::Sort},
    {"STARTTLS", {Absent, Absent, Absent}, CommandId::StartTls, kNotAuthenticated, 0, run::StartTls},
    {"STATUS", {Mailbox, List, Absent}, CommandId::Status, kLoggedIn, 0, run::Status},
    {"STORE", {MessageSet, Any, Required}, CommandId::Store, kSelected, kMayFollowUid | kChangesStore | kNoUpdates, run::Store},
    {"SUBSCRIBE", {Mailbox, Absent, Absent}, CommandId::Subscribe, kLoggedIn, 0, run::Subscribe},
    {"THREAD", {Atom, Required, Required}, CommandId::Thread, kSelected, kMayFollowUid | kNoUpdates, run::Thread},
    {"UNSELECT", {Absent, Absent, Absent}, CommandId::Unselect, kSelected, 0, run::Unselect},
    {"UNSUBSCRIBE", {Mailbox, Absent, Absent}, CommandId::Unsubscribe, kLoggedIn, 0, run::Unsubscribe},
    {"X-DEBUG", {String, Absent, Absent}, CommandId::XDebug, kAnyState, 0, run::XDebug},
    {"X-TID", {Absent, Absent, Absent}, CommandId::XTid, kAnyState, 0, run::XTid},
};

constexpr CommandEntry kUnknown = {"", {Any, Any, Any}, CommandId::Unknown, kAnyState, 0, nullptr};

}  // namespace

const CommandEntry* FindCommand(std::string_view upperName) {
    for (const CommandEntry& entry : kCommands) {
        if (entry.name == upperName) return &entry;
    }
    return nullptr;
}

const CommandEntry& UnknownCommandEntry() { return kUnknown; }

}  // namespace pw::imap
