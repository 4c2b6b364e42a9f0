// ConfigAccess: how the admin tool's commands read and change "pellworth.cfg" -- refusing changes
// while a server holds the store, reading without touching a file.
#include "AdminSupport.h"

#include "core/Configuration.h"
#include "core/ServerLock.h"

#include <memory>
#include <string>
#include <vector>

namespace pw::admin {

void RefuseWhileServerRuns(const DirStorage& root) {
    if (const auto holder = core::ServerLock::HolderOf(root)) {
        throw Failure{"the server (process " + std::to_string(*holder) +
                      ") holds this store and would overwrite the change at its next save; stop it first"};
    }
}

void LoadInto(core::ConfigTree& tree, const DirStorage& root) {
    if (!core::LoadConfiguration(tree, root) && tree.NodeCount() == 0) {
        throw Failure{"the configuration in " + root.Path() + " can not be read (pellworth.cfg and pellworth.bak)"};
    }
}

namespace {

// Reads a configuration file as it stands, taking no share lock a writer would meet.
HRESULT ParseWithoutChanges(const DirStorage& root, std::string_view name, core::ConfigTree& tree) {
    std::unique_ptr<FileStream> stream;
    std::vector<std::byte> bytes;
    HRESULT hr = root.OpenStream(name, STGM_READ | STGM_SHARE_DENY_NONE, stream);
    if (Succeeded(hr)) hr = ReadToEnd(*stream, bytes);
    if (Failed(hr)) return hr;
    MemoryStream content(std::move(bytes));
    return tree.ReadFrom(content);
}

}  // namespace

// What the commands that only look read: "pellworth.cfg", else its backup, else (a new store) the
// defaults. Unlike the server's load it never restores, renames or writes a file, so it is safe while
// a server runs.
void ReadOnly(core::ConfigTree& tree, const DirStorage& root) {
    const HRESULT current = ParseWithoutChanges(root, core::kConfigFileName, tree);
    if (Succeeded(current)) return;
    const HRESULT backup = ParseWithoutChanges(root, core::kConfigBackupName, tree);
    if (Succeeded(backup)) return;
    if (current == STG_E_FILENOTFOUND && backup == STG_E_FILENOTFOUND) {
        core::WriteConfigurationDefaults(tree);
        return;
    }
    throw Failure{"the configuration in " + root.Path() + " can not be read (pellworth.cfg and pellworth.bak)"};
}

void Save(core::ConfigTree& tree, const DirStorage& root) {
    if (!core::SaveConfiguration(tree, root)) throw Failure{"can not save the configuration in " + root.Path()};
}

}  // namespace pw::admin
