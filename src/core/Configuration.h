// Configuration: the server-wide settings -- one ConfigTree per process, kept in "pellworth.cfg" at the
// root of the message store with the previous version in "pellworth.bak".
//
// Load parses "pellworth.cfg" into a fresh tree and takes it only when the whole file parsed. A
// missing or damaged file is replaced by a copy of "pellworth.bak" and parsed again. When neither file
// exists (a new store), the defaults are written into the tree and left dirty, so the first save
// records them. A damaged file without a usable backup leaves the tree as it was (empty at start-up)
// and the damaged file in place (nothing is saved over it until somebody changes a setting). Before a
// damaged file is replaced by the backup, a copy of it is kept as "pellworth.cfg.damaged", so a
// person can still look at what it held.
// Save does nothing unless the tree changed. Otherwise it copies the current file to "pellworth.bak",
// then writes the tree to "pellworth.cfg"; both are replaced atomically (temporary file, flush,
// rename, flush of the directory), so a crash leaves the old file or the new one, never half of one.
// A failed save keeps the tree dirty for the next attempt.
// Thread safety: load and save hold the tree's lock for their whole work, file access included.
#pragma once

#include "core/ConfigTree.h"
#include "platform/DirStorage.h"

#include <string_view>

namespace pw::core {

inline constexpr std::string_view kConfigFileName = "pellworth.cfg";
inline constexpr std::string_view kConfigBackupName = "pellworth.bak";
inline constexpr std::string_view kConfigDamagedName = "pellworth.cfg.damaged";

// Copy block of the restore from the backup.
inline constexpr std::size_t kRestoreBlockSize = 10960;

// The process-wide configuration tree.
ConfigTree& ServerConfig();

// True when "pellworth.cfg" (or, after a restore, its copy of the backup) loaded; false otherwise,
// including a new store that received the defaults.
bool LoadConfiguration(ConfigTree& tree, const DirStorage& root);
// True when saved or when nothing had changed.
bool SaveConfiguration(ConfigTree& tree, const DirStorage& root);
// The settings of a new store: listeners for SMTP (25), POP3 (110) and IMAP4 (143) on all addresses,
// instance 1 of each for implicit TLS (SMTP 465 with authentication required, POP3 995, IMAP4 993;
// "ssl" on, switched off until a certificate is configured)
// and the public-folder prefix.
void WriteConfigurationDefaults(ConfigTree& tree);

// Ports are stored as VT_UI2 in network byte order: port 25 is the value 0x1900.
Variant PortValue(std::uint16_t port);
std::uint16_t PortFromValue(const Variant& value);

}  // namespace pw::core
