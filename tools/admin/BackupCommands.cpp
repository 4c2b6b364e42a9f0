// BackupCommands: pellworth-admin's "backup list|verify|now|restore", over the same code the
// server's maintenance uses (src/admin/Backup.h).
//
// Listing and verifying only read, so they are safe at any time. A backup taken by the tool would
// race the running server's own settings ("sys:backup:lastnum"), so "now" is refused while a server
// holds the store; so is a restore in place, which replaces the store under it. A restore always
// verifies the copy first and never deletes the store it replaces.
#include <cstdio>
#include <string>

#include "AdminSupport.h"
#include "EndpointClient.h"
#include "admin/Backup.h"
#include "platform/AutomationDate.h"

namespace pw::admin {

namespace {

std::string BackupDirectoryOf(const DirStorage& root) {
    core::ConfigTree tree;
    ReadOnly(tree, root);
    return BackupDirectory(tree);
}

// "N" is generation N of the configured directory; anything else is a directory.
std::string GenerationPath(const DirStorage& root, std::string_view which) {
    const bool number = !which.empty() && which.find_first_not_of("0123456789") == std::string_view::npos;
    return number ? BackupDirectoryOf(root) + "backup" + std::string(which) : std::string(which);
}

int List(const DirStorage& root) {
    const std::string directory = BackupDirectoryOf(root);
    const auto generations = ListBackups(directory);
    if (generations.empty()) std::printf("no backups in %s\n", directory.c_str());
    for (const auto& generation : generations) {
        const std::string taken = generation.taken > 0 ? DateToIsoText(generation.taken) : std::string("(no manifest)");
        std::printf("%d %s %llu files %llu bytes %s\n", generation.number, taken.c_str(),
                    static_cast<unsigned long long>(generation.files), static_cast<unsigned long long>(generation.bytes),
                    generation.path.c_str());
    }
    return 0;
}

int Verify(const std::string& generation) {
    if (const auto bad = VerifyBackup(generation)) throw Failure{generation + ": " + *bad};
    std::printf("%s: every file matches its manifest\n", generation.c_str());
    return 0;
}

int Now(const DirStorage& root) {
    // A running server takes it itself: its settings (and "lastnum") are the ones that count.
    if (auto server = EndpointClient::IfServerRuns(root)) {
        const EndpointReply reply = server->Checked("call", "Pellworth.ServerSession", "BackupNow", {});
        std::printf("%s: %lld files, %lld bytes\n", reply.result.AsText().c_str(),
                    static_cast<long long>(reply.out.size() > 0 ? reply.out[0].AsInt64() : 0),
                    static_cast<long long>(reply.out.size() > 1 ? reply.out[1].AsInt64() : 0));
        return 0;
    }
    core::ConfigTree tree;
    LoadInto(tree, root);
    const BackupOutcome outcome = BackupNow(root.Path(), tree);
    if (!outcome.succeeded) throw Failure{"the backup failed: " + outcome.failure};
    std::printf("%s: %llu files, %llu bytes\n", outcome.target.c_str(), static_cast<unsigned long long>(outcome.files),
                static_cast<unsigned long long>(outcome.bytes));
    return 0;
}

int Restore(const DirStorage& root, const std::string& generation, const std::string& to) {
    if (to.empty()) RefuseWhileServerRuns(root);
    const RestoreOutcome outcome = RestoreBackup(generation, root.Path(), to);
    if (!outcome.succeeded) throw Failure{"the restore failed: " + outcome.failure};
    if (to.empty()) {
        std::printf("restored %s; the store it replaced is at %s\n", generation.c_str(), outcome.movedAside.c_str());
        std::printf("%zu folders continue their ids; %zu queued envelopes will be routed or sent again\n", outcome.folders,
                    outcome.queuedEnvelopes);
    } else {
        std::printf("restored %s to %s\n", generation.c_str(), to.c_str());
    }
    return 0;
}

}  // namespace

int BackupCommand(Arguments args) {
    if (args.empty()) return -1;
    const DirStorage root = StoreRoot(false);
    if (args[0] == "list" && args.size() == 1) return List(root);
    if (args[0] == "verify" && args.size() == 2) return Verify(GenerationPath(root, args[1]));
    if (args[0] == "now" && args.size() == 1) return Now(root);
    if (args[0] == "restore" && args.size() == 2) return Restore(root, GenerationPath(root, args[1]), {});
    if (args[0] == "restore" && args.size() == 4 && args[2] == "--to") return Restore(root, GenerationPath(root, args[1]), std::string(args[3]));
    return -1;
}

}  // namespace pw::admin
