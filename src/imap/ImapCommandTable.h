// ImapCommandTable: the commands the IMAP server knows, one row each -- name, what each of its first
// three arguments must be, its identifier, the states it may run in, its flags and its handler -- and
// their lookup. The reader consults it to tell FETCH's attributes apart and to refuse unknown names at
// once; the session to check arguments and state, and to run the handler.
// Thread safety: constant data.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace pw::imap {

// Identifiers as the debug mask numbers them (X-DEBUG sets bit `id` for ids below 32).
enum class CommandId : std::uint8_t {
    Append = 0, Authenticate = 1, Capability = 2, Check = 3, Close = 4, Copy = 5, Create = 6, Delete = 7,
    Examine = 8, Expunge = 9, Fetch = 10, List = 11, Login = 12, Logout = 13, Lsub = 14, Noop = 15,
    Rename = 16, Search = 17, Select = 18, Status = 19, Store = 20, Subscribe = 21, IdleTimeout = 22,
    Unknown = 23, Unsubscribe = 24, XDebug = 26, StartTls = 28, Progress = 29, Id = 30, XTid = 31,
    Unselect = 32, Idle = 38, Namespace = 39, Move = 40, Enable = 41,
    GetQuota = 42, GetQuotaRoot = 43, SetQuota = 44, Compress = 45, Sort = 46, Thread = 47
};

// What an argument position must hold.
enum class ArgumentRule : std::uint8_t {
    Any = 0,              // anything or nothing
    Required = 1,         // anything, but present
    Absent = 2,           // nothing
    Atom = 3,
    Mailbox = 4,          // required: a mailbox name and the like
    MessageSet = 5,
    String = 6,           // required string
    List = 7,
    Flags = 8,            // a list of flags, or a run of flag words
    FetchItems = 9,       // a FETCH attribute or a list of them
    MessageSetAfterUid = 10  // a message set after UID, absent otherwise
};

// The states a command may run in, as bits.
inline constexpr unsigned kNotAuthenticated = 1;
inline constexpr unsigned kAuthenticated = 2;
inline constexpr unsigned kSelected = 4;
inline constexpr unsigned kLoggedIn = kAuthenticated | kSelected;
inline constexpr unsigned kAnyState = kNotAuthenticated | kAuthenticated | kSelected;

// Entry flags.
inline constexpr unsigned kMayFollowUid = 1;
inline constexpr unsigned kChangesStore = 2;  // refused on a read-only account
inline constexpr unsigned kNoUpdates = 4;     // no mailbox-change updates after it

struct CommandContext;
using CommandHandler = void (*)(CommandContext& context);

struct CommandEntry {
    std::string_view name;
    std::array<ArgumentRule, 3> arguments;
    CommandId id;
    unsigned states;  // kNotAuthenticated ... kAnyState
    unsigned flags;
    CommandHandler handler;  // nullptr only for the unknown command
};

// The entry of an upper-case command name, or nullptr.
const CommandEntry* FindCommand(std::string_view upperName);
// The fixed entry unknown and misused commands run as.
const CommandEntry& UnknownCommandEntry();

}  // namespace pw::imap
