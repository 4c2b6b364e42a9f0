// AdminSupport: what the admin tool's command groups share -- their argument list, the one-line
// failure they report, the way to the store and to its configuration.
#pragma once

#include "core/ConfigTree.h"
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

// Settings live in memory in a running server, which writes them back at its next save: a change
// made beside it would be lost, so it is refused (throws Failure) while a server holds the store.
void RefuseWhileServerRuns(const DirStorage& root);
// The configuration to change: as the server loads it (restoring from the backup when needed);
// throws Failure when neither file can be read.
void LoadInto(core::ConfigTree& tree, const DirStorage& root);
// What the commands that only look read: "pellworth.cfg", else its backup, else (a new store) the
// defaults. It never restores, renames or writes a file, so it is safe while a server runs.
void ReadOnly(core::ConfigTree& tree, const DirStorage& root);
void Save(core::ConfigTree& tree, const DirStorage& root);

// The command groups over domains and mailboxes: the exit status, or -1 for arguments they do not
// understand (the caller prints the usage).
int DomainCommand(Arguments args);
int MailBoxCommand(Arguments args);
// The connection schedule ("schedule add|list|remove") and "connect-now"; the same convention.
int ScheduleCommand(Arguments args);
int ConnectNowCommand(Arguments args);
// The sender lists, the charset filter and the phrase filter (SpamCommands.cpp), likewise.
int SendersCommand(Arguments args);
int CharsetCommand(Arguments args);
int PhrasesCommand(Arguments args);
// A mailing list's members ("member add|remove|list", MemberCommands.cpp), likewise.
int MemberCommand(Arguments args);
// "spam learn": sa-learn on the store's learning folders, now.
int SpamCommand(Arguments args);
// "backup list|verify|now|restore" (BackupCommands.cpp).
int BackupCommand(Arguments args);

}  // namespace pw::admin
