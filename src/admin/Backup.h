// Backup: generations of the message store ("backup<n>" below "sys:backup:path"), their manifest,
// and the checks and restore of a copy.
//
// A backup never stops the server. It saves the configuration into the store and hard-links every
// file of the store into a snapshot beside the store's own files ("pellworth.snapshot": never a store
// object, removed at start-up when a crash left it) while mail flows; then it pauses the storage
// layer's writes (platform::WritePause) only while it mends the snapshot to the store's state of that
// moment (a listing per directory and what changed since), copying the few files written in place
// (the "_uid" id counters) instead of linking them. Mailing lists' member databases ("*.mdb"), which
// SQLite writes in place, are copied through SQLite's online backup, without their journals. The
// snapshot is then copied at leisure into a new generation built under a temporary name. Files whose
// content is shared in the store (delivery copies) stay one file with several names in the copy.
// Left out: the store's lock and socket, temporary files, the routers' marks (a copied mark would
// count as an interruption after a restore) and the IMAP folder index (rebuilt from the records).
// The copy's directories are 0700 and its files 0600; its manifest "pellworth.backup" comes last:
//     taken YYYY-MM-DD HH:MM:SS        (local time of the snapshot)
//     version <server version>
//     files <count>
//     bytes <count>
//     <sha256 hex> <size> <path below the generation>      (one line per file)
// The whole copy is flushed, then swapped in for the old generation of that number in one rename
// (RENAME_EXCHANGE), and the old one removed. A failure or a stop removes the partial copy and leaves
// every other generation as it was.
// Thread safety: one backup at a time per process (BackupNow serialises); the list and verify
// functions only read.
#pragma once

#include "core/ConfigTree.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pw::admin {

inline constexpr std::string_view kManifestName = "pellworth.backup";
inline constexpr std::string_view kSnapshotName = "pellworth.snapshot";
inline constexpr std::string_view kDefaultBackupPath = "/var/lib/pellworth/backup/";

// The directory the generations live in: "sys:backup:path" with its final "/" or "\" optional
// (the default when missing or empty), always ending in "/".
std::string BackupDirectory(const core::ConfigTree& config);

struct BackupOutcome {
    bool succeeded = false;
    std::string target;    // the generation written ("<dir>backup<n>")
    std::string failure;   // what went wrong, for the log
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::chrono::milliseconds pause{0};  // how long the store's writes waited
    Date taken = 0;
};

// Takes a backup of the store at `storeRoot` now, as the settings in `config` say ("numcopies",
// "lastnum" is advanced at once and the configuration saved). `stop`, when set, ends the copy within
// one file. Logs its start and end.
BackupOutcome BackupNow(const std::string& storeRoot, core::ConfigTree& config, const std::atomic<bool>* stop = nullptr);

// Removes a snapshot a crash left in the store.
void RemoveSnapshotLeftover(const std::string& storeRoot);

struct BackupGeneration {
    int number = 0;
    std::string path;
    Date taken = 0;  // 0: no readable manifest
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

// The generations "backup<n>" found in `directory`, by number.
std::vector<BackupGeneration> ListBackups(const std::string& directory);
// The newest "taken" of the generations in `directory` (0 when none), so that a restart does not back
// up a second time on the same day.
Date LastBackupTaken(const std::string& directory);

// Checks every file of a generation against its manifest: nullopt when all match, else what is wrong
// with the first bad file (missing, size, digest, not in the manifest) or with the manifest.
std::optional<std::string> VerifyBackup(const std::string& generation);

struct RestoreOutcome {
    bool succeeded = false;
    std::string failure;
    std::string movedAside;        // where the store that was replaced now lies (never deleted)
    std::size_t folders = 0;       // folders whose ids continue after the replaced store's
    std::size_t queuedEnvelopes = 0;  // envelopes in "_In" and "_Out" that will be routed or sent again
};

// Restores a verified generation. With `to` empty, in place of the store at `storeRoot`, which no
// server may hold (the caller checks): the store is moved aside to
// "<store>.before-restore-YYYYMMDD-HHMMSS", the copy put in its place with the store's modes, every
// folder's ids continued after the highest the moved store gave out (so no POP3 UIDL or IMAP UID is
// used twice) and its "_CreateDate" written anew (IMAP clients see a new UIDVALIDITY and fetch
// again). With `to`, the copy is written to that new directory only.
RestoreOutcome RestoreBackup(const std::string& generation, const std::string& storeRoot, const std::string& to = {});

}  // namespace pw::admin
