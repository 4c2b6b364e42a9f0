// ImapCommandTable: the table, in name order, and its lookup.
#include "imap/ImapCommandTable.h"

namespace pw::imap {

namespace {

using enum ArgumentRule;

constexpr CommandEntry kCommands[] = {
    {"APPEND", {Mailbox, Required, Any}, CommandId::Append, kChangesStore},
    {"AUTHENTICATE", {Required, Any, Absent}, CommandId::Authenticate, 0},
    {"CAPABILITY", {Absent, Absent, Absent}, CommandId::Capability, 0},
    {"CHECK", {Absent, Absent, Absent}, CommandId::Check, 0},
    {"CLOSE", {Absent, Absent, Absent}, CommandId::Close, 0},
    {"COPY", {MessageSet, Mailbox, Absent}, CommandId::Copy, kMayFollowUid | kChangesStore},
    {"CREATE", {Mailbox, Any, Absent}, CommandId::Create, kChangesStore},
    {"DELETE", {Mailbox, Absent, Absent}, CommandId::Delete, kChangesStore},
    {"ENABLE", {Required, Any, Any}, CommandId::Enable, 0},
    {"EXAMINE", {Mailbox, Absent, Absent}, CommandId::Examine, 0},
    {"EXPUNGE", {MessageSetAfterUid, Absent, Absent}, CommandId::Expunge, kMayFollowUid},
    {"FETCH", {MessageSet, FetchItems, Absent}, CommandId::Fetch, kMayFollowUid | kNoUpdates},
    {"ID", {Any, Any, Any}, CommandId::Id, 0},
    {"IDLE", {Absent, Absent, Absent}, CommandId::Idle, 0},
    {"LIST", {Mailbox, Required, Absent}, CommandId::List, 0},
    {"LOGIN", {String, String, Absent}, CommandId::Login, 0},
    {"LOGOUT", {Absent, Absent, Absent}, CommandId::Logout, 0},
    {"LSUB", {Mailbox, Required, Absent}, CommandId::Lsub, 0},
    {"MOVE", {MessageSet, Mailbox, Absent}, CommandId::Move, kMayFollowUid | kChangesStore},
    {"NAMESPACE", {Absent, Absent, Absent}, CommandId::Namespace, 0},
    {"NOOP", {Absent, Absent, Absent}, CommandId::Noop, 0},
    {"PROGRESS", {Required, Absent, Absent}, CommandId::Progress, 0},
    {"RENAME", {Mailbox, Mailbox, Absent}, CommandId::Rename, kChangesStore},
    {"SEARCH", {Required, Any, Any}, CommandId::Search, kMayFollowUid | kNoUpdates},
    {"SELECT", {Mailbox, Absent, Absent}, CommandId::Select, 0},
    {"STARTTLS", {Absent, Absent, Absent}, CommandId::StartTls, 0},
    {"STATUS", {Mailbox, List, Absent}, CommandId::Status, 0},
    {"STORE", {MessageSet, Any, Flags}, CommandId::Store, kMayFollowUid | kChangesStore | kNoUpdates},
    {"SUBSCRIBE", {Mailbox, Absent, Absent}, CommandId::Subscribe, 0},
    {"UNSELECT", {Absent, Absent, Absent}, CommandId::Unselect, 0},
    {"UNSUBSCRIBE", {Mailbox, Absent, Absent}, CommandId::Unsubscribe, 0},
    {"X-DEBUG", {String, Absent, Absent}, CommandId::XDebug, 0},
    {"X-TID", {Absent, Absent, Absent}, CommandId::XTid, 0},
};

constexpr CommandEntry kUnknown = {"", {Any, Any, Any}, CommandId::Unknown, 0};

}  // namespace

const CommandEntry* FindCommand(std::string_view upperName) {
    for (const CommandEntry& entry : kCommands) {
        if (entry.name == upperName) return &entry;
    }
    return nullptr;
}

const CommandEntry& UnknownCommandEntry() { return kUnknown; }

}  // namespace pw::imap
