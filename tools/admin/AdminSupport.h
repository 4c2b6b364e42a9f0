// AdminSupport: what the admin tool's command groups share -- their argument list, the one-line
// failure they report, and the way to the store.
#pragma once

#include "platform/DirStorage.h"

#include <span>
#include <string>
#include <string_view>

namespace pw::admin {

using Arguments = std::span<const std::string_view>;

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// A failure to report: the one line the tool prints.
struct Failure {
    std::string text;
};

// The store root named by the registry file (throws Failure). With createWhenMissing, a missing root
// directory is made.
DirStorage StoreRoot(bool createWhenMissing);

// The command groups over domains and mailboxes: the exit status, or -1 for arguments they do not
// understand (the caller prints the usage).
int DomainCommand(Arguments args);
int MailBoxCommand(Arguments args);
// The sender lists, the charset filter and the phrase filter (SpamCommands.cpp), likewise.
int SendersCommand(Arguments args);
int CharsetCommand(Arguments args);
int PhrasesCommand(Arguments args);

}  // namespace pw::admin
