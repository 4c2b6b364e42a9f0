// Backup: see Backup.h. The pause covers only the snapshot's links; digests, copies and flushes run
// with the store open again.
#include "admin/Backup.h"

#include "core/Configuration.h"
#include "core/Logging.h"
#include "core/Version.h"
#include "platform/AutomationDate.h"
#include "platform/DirStorage.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "platform/WriteGate.h"
#include "store/Folder.h"
#include "store/StoreTypes.h"
#include "store/UidCounter.h"

#include <openssl/evp.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace pw::admin {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kGenerationPrefix = "backup";
constexpr std::string_view kPartialSuffix = ".partial";
constexpr std::size_t kCopyBlock = 256 * 1024;

std::mutex& BackupLock() {
    static std::mutex lock;
    return lock;
}

std::string SystemError(int error) { return std::strerror(error); }

// Files the copy leaves out, wherever they are: they belong to the running process or are rebuilt.
bool LeftOut(const std::string& name) {
    if (name == "pellworth.lock" || name == "pellworth.sock" || name == kSnapshotName) return true;
    if (IsTemporaryName(name)) return true;
    return name.starts_with("router") && name.ends_with(".mark");
}

// The same, with the caches of the directory at `relative` below the store root: the IMAP folder
// index is keyed by the folders' inodes, which a restore changes, and rebuilds itself from the records.
bool LeftOut(const std::string& relative, const std::string& name) {
    return LeftOut(name) || (relative == "IMAP" && name == "index");
}

// Files written in place rather than replaced: a link would change with them, so they are copied.
bool WrittenInPlace(const std::string& name) { return name == "_uid"; }

// A mailing list's member database ("<list>.mdb") and SQLite's files beside it. SQLite writes pages
// in place, outside the storage layer and its gate: the database is copied through SQLite's own
// online backup instead, and its journal files are never copied (the copy is a whole database).
bool IsMemberDatabase(const std::string& name) { return name.ends_with(".mdb"); }
bool IsDatabaseJournal(const std::string& name) {
    return name.ends_with(".mdb-wal") || name.ends_with(".mdb-shm") || name.ends_with(".mdb-journal");
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '/' || text.back() == '\\')) text.pop_back();
    return text;
}

std::string DateText(Date date) {
    const DateFields f = FieldsFromDate(date);
    return Format("%04d-%02d-%02d %02d:%02d:%02d", {std::int64_t{f.year}, std::int64_t{f.month}, std::int64_t{f.day},
                                                     std::int64_t{f.hour}, std::int64_t{f.minute}, std::int64_t{f.second}});
}

std::optional<Date> DateFromText(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6) return std::nullopt;
    return DateFromFields(y, mo, d, h, mi, s);
}

// Reads a file through, its SHA-256 computed on the way, and writes it to `out` when that is open;
// flushing is left to the caller (one syncfs for a whole copy).
bool ReadThrough(const fs::path& from, int out, const fs::path& to, std::string& digest, std::uint64_t& size, std::string& failure) {
    const UniqueFd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) {
        failure = "can not read " + from.string() + ": " + SystemError(errno);
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> buffer(kCopyBlock);
    size = 0;
    for (;;) {
        const ssize_t got = ::read(in.Get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            failure = "can not read " + from.string() + ": " + SystemError(errno);
            return false;
        }
        if (got == 0) break;
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got));
        for (ssize_t done = 0; out >= 0 && done < got;) {
            const ssize_t put = ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) {
                failure = "can not write " + to.string() + ": " + SystemError(errno);
                return false;
            }
            done += put;
        }
        size += static_cast<std::uint64_t>(got);
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> hash{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), hash.data(), &length);
    digest = LowerHex(std::string_view(reinterpret_cast<const char*>(hash.data()), length));
    return true;
}

// Copies one file into a new one (0600), with its digest.
bool CopyFile(const fs::path& from, const fs::path& to, std::string& digest, std::uint64_t& size, std::string& failure) {
    const UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) {
        failure = "can not write " + to.string() + ": " + SystemError(errno);
        return false;
    }
    return ReadThrough(from, out.Get(), to, digest, size, failure);
}

bool FileDigest(const fs::path& file, std::string& digest, std::uint64_t& size) {
    std::string failure;
    return ReadThrough(file, -1, {}, digest, size, failure);
}

bool SyncPath(const fs::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd && ::fsync(fd.Get()) == 0;
}

struct DirectoryEntry {
    ino_t inode = 0;
    unsigned char type = DT_UNKNOWN;
};
// Hashed: an inbox of 200,000 files is listed twice inside the pause.
using DirectoryListing = std::unordered_map<std::string, DirectoryEntry>;

// The names of a directory with their inodes and kinds, from the listing alone (no stat per file).
bool ListDirectory(int directory, DirectoryListing& entries) {
    entries.clear();
    entries.reserve(1024);
    const int copy = ::dup(directory);
    if (copy < 0) return false;
    DIR* listing = ::fdopendir(copy);
    if (listing == nullptr) {
        ::close(copy);
        return false;
    }
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        DirectoryEntry found{entry->d_ino, entry->d_type};
        if (found.type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            found.type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
            found.inode = st.st_ino;
        }
        entries.emplace(name, found);
    }
    ::closedir(listing);
    return true;
}

bool RemoveEntry(int directory, const std::string& name, unsigned char type) {
    if (type != DT_DIR) return ::unlinkat(directory, name.c_str(), 0) == 0 || errno == ENOENT;
    const UniqueFd child(::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    DirectoryListing entries;
    if (child && ListDirectory(child.Get(), entries)) {
        for (const auto& [childName, entry] : entries) RemoveEntry(child.Get(), childName, entry.type);
    }
    return ::unlinkat(directory, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool CopyInto(int fromDirectory, int toDirectory, const std::string& name) {
    const UniqueFd in(::openat(fromDirectory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) return errno == ENOENT;
    ::unlinkat(toDirectory, name.c_str(), 0);
    const UniqueFd out(::openat(toDirectory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) return false;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(in.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        if (::write(out.Get(), buffer, static_cast<std::size_t>(got)) != got) return false;
    }
}

// Makes the snapshot directory `to` mirror the store's directory `from`: the same names, each file a
// link to the same inode (the few written in place copied), directories likewise, the left-out
// names absent. Run once while the store changes, it links nearly everything; run again inside the
// pause, it only mends what changed since, comparing the listings' inode numbers, so the pause costs
// two directory listings and the changes, not a link per file.
bool Mirror(int from, int to, const std::string& path, const std::string& relative, std::vector<std::string>* databases,
            std::string& failure) {
    DirectoryListing live, copied;
    if (!ListDirectory(from, live) || !ListDirectory(to, copied)) {
        failure = "can not list " + path + ": " + SystemError(errno);
        return false;
    }
    for (const auto& [name, entry] : copied) {
        const auto it = live.find(name);
        const bool gone = it == live.end() || LeftOut(relative, name) || (it->second.type == DT_DIR) != (entry.type == DT_DIR);
        if (gone && !RemoveEntry(to, name, entry.type)) {
            failure = "can not remove " + path + "/" + name + " from the snapshot: " + SystemError(errno);
            return false;
        }
    }
    for (const auto& [name, entry] : live) {
        if (LeftOut(relative, name)) continue;
        const auto have = copied.find(name);
        if (entry.type == DT_DIR) {
            if (have == copied.end() && ::mkdirat(to, name.c_str(), 0700) != 0 && errno != EEXIST) {
                failure = "can not make the snapshot of " + path + "/" + name + ": " + SystemError(errno);
                return false;
            }
            const UniqueFd childFrom(::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            const UniqueFd childTo(::openat(to, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!childFrom) continue;  // removed since the listing
            const std::string below = relative.empty() ? name : relative + "/" + name;
            if (!childTo || !Mirror(childFrom.Get(), childTo.Get(), path + "/" + name, below, databases, failure)) {
                if (failure.empty()) failure = "can not open the snapshot of " + path + "/" + name;
                return false;
            }
            continue;
        }
        // Symbolic links and special files are never part of the store and are never followed.
        if (entry.type != DT_REG || IsDatabaseJournal(name)) continue;
        if (IsMemberDatabase(name)) {
            if (databases) databases->push_back(relative.empty() ? name : relative + "/" + name);
            continue;
        }
        if (WrittenInPlace(name)) {
            if (!CopyInto(from, to, name)) {
                failure = "can not copy " + path + "/" + name + ": " + SystemError(errno);
                return false;
            }
            continue;
        }
        if (have != copied.end()) {
            if (have->second.inode == entry.inode) continue;
            ::unlinkat(to, name.c_str(), 0);
        }
        // A file removed since the listing was simply not there at the snapshot's moment.
        if (::linkat(from, name.c_str(), to, name.c_str(), 0) != 0 && errno != ENOENT) {
            failure = "can not link " + path + "/" + name + ": " + SystemError(errno);
            return false;
        }
    }
    return true;
}

bool MirrorTree(const fs::path& from, const fs::path& to, std::vector<std::string>* databases, std::string& failure) {
    if (::mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) {
        failure = "can not make " + to.string() + ": " + SystemError(errno);
        return false;
    }
    const UniqueFd source(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const UniqueFd target(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!source || !target) {
        failure = "can not open " + (source ? to : from).string() + ": " + SystemError(errno);
        return false;
    }
    return Mirror(source.Get(), target.Get(), from.string(), {}, databases, failure);
}

struct CopyState {
    std::map<std::pair<dev_t, ino_t>, fs::path> copied;  // snapshot file -> its first name in the copy
    std::ostringstream lines;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    const std::atomic<bool>* stop = nullptr;
};

bool CopyTree(const fs::path& from, const fs::path& to, const std::string& relative, CopyState& state, std::string& failure) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) entries.push_back(*it);
    if (error) {
        failure = "can not list " + from.string() + ": " + error.message();
        return false;
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        if (state.stop && state.stop->load()) {
            failure = "the server is stopping";
            return false;
        }
        const std::string name = entry.path().filename().string();
        const std::string path = relative.empty() ? name : relative + "/" + name;
        const fs::path target = to / name;
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (::mkdir(target.c_str(), 0700) != 0) {
                failure = "can not make " + target.string() + ": " + SystemError(errno);
                return false;
            }
            if (!CopyTree(entry.path(), target, path, state, failure)) return false;
            continue;
        }
        if (!S_ISREG(st.st_mode)) continue;
        std::string digest;
        std::uint64_t size = 0;
        const auto identity = std::make_pair(st.st_dev, st.st_ino);
        if (const auto first = state.copied.find(identity); st.st_nlink > 1 && first != state.copied.end()) {
            if (::link(first->second.c_str(), target.c_str()) != 0) {
                failure = "can not link " + target.string() + ": " + SystemError(errno);
                return false;
            }
            if (!FileDigest(target, digest, size)) {
                failure = "can not read " + target.string();
                return false;
            }
        } else {
            if (!CopyFile(entry.path(), target, digest, size, failure)) return false;
            if (st.st_nlink > 1) state.copied.emplace(identity, target);
        }
        state.lines << digest << ' ' << size << ' ' << path << '\n';
        ++state.files;
        state.bytes += size;
    }
    return true;
}

// A member database, whole and consistent, through SQLite's online backup: writers of the list go on
// meanwhile (SQLite restarts the copy when they change it, which is rare for a member list).
bool CopyDatabase(const fs::path& from, const fs::path& to, const std::string& relative, CopyState& state, std::string& failure) {
    sqlite3* source = nullptr;
    sqlite3* target = nullptr;
    int result = sqlite3_open_v2(from.c_str(), &source, SQLITE_OPEN_READONLY, nullptr);
    if (result == SQLITE_OK) result = sqlite3_open_v2(to.c_str(), &target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (result == SQLITE_OK) {
        sqlite3_busy_timeout(source, 30000);
        sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main");
        if (backup == nullptr) {
            result = sqlite3_errcode(target);
        } else {
            do {
                result = sqlite3_backup_step(backup, -1);
                if (result == SQLITE_BUSY || result == SQLITE_LOCKED) sqlite3_sleep(50);
            } while ((result == SQLITE_OK || result == SQLITE_BUSY || result == SQLITE_LOCKED) && !(state.stop && state.stop->load()));
            sqlite3_backup_finish(backup);
        }
        // The copy stands alone: one file, without the live database's write-ahead log mode, so that
        // reading it (a verify, a look with sqlite3) leaves no journal files beside it.
        if (result == SQLITE_DONE) sqlite3_exec(target, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    }
    const std::string problem = target ? sqlite3_errmsg(target) : source ? sqlite3_errmsg(source) : "out of memory";
    sqlite3_close(source);
    sqlite3_close(target);
    if (result != SQLITE_DONE) {
        failure = "can not copy the member database " + from.string() + ": " + (state.stop && state.stop->load() ? "the server is stopping" : problem);
        return false;
    }
    ::chmod(to.c_str(), 0600);
    std::string digest;
    std::uint64_t size = 0;
    if (!FileDigest(to, digest, size)) {
        failure = "can not read " + to.string();
        return false;
    }
    state.lines << digest << ' ' << size << ' ' << relative << '\n';
    ++state.files;
    state.bytes += size;
    return true;
}

bool WriteManifest(const fs::path& generation, Date taken, const CopyState& state, std::string& failure) {
    const fs::path manifest = generation / std::string(kManifestName);
    {
        std::ofstream out(manifest, std::ios::binary | std::ios::trunc);
        out << "taken " << DateText(taken) << '\n'
            << "version " << core::VersionText() << '\n'
            << "files " << state.files << '\n'
            << "bytes " << state.bytes << '\n'
            << state.lines.str();
        out.close();
        if (!out) {
            failure = "can not write " + manifest.string();
            return false;
        }
    }
    ::chmod(manifest.c_str(), 0600);
    if (!SyncPath(manifest) || !SyncPath(generation)) {
        failure = "can not flush " + generation.string() + ": " + SystemError(errno);
        return false;
    }
    return true;
}

// Flushes every file of the copy at once, before the manifest that vouches for them is written.
bool SyncFileSystemOf(const fs::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::syncfs(fd.Get()) == 0;
}

bool Inside(const fs::path& path, const fs::path& root) {
    const auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end();
}

// The generation number the next backup writes; "lastnum" is set to it at once, so a crash during
// the copy never makes the next backup overwrite the same generation.
int NextGeneration(core::ConfigTree& config) {
    const int copies = std::max(1, static_cast<int>(config.GetCopy("sys:backup:numcopies").AsInt64()));
    int next = static_cast<int>(config.GetCopy("sys:backup:lastnum").AsInt64()) + 1;
    if (next > copies || next < 1) next = 1;
    config.Set("sys:backup:lastnum", Variant::I4(next));
    return next;
}

void RemoveQuietly(const fs::path& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

}  // namespace

std::string BackupDirectory(const core::ConfigTree& config) {
    std::string path = Trimmed(config.GetCopy("sys:backup:path").AsText());
    if (path.empty()) path = Trimmed(std::string(kDefaultBackupPath));
    return path + "/";
}

void RemoveSnapshotLeftover(const std::string& storeRoot) {
    const fs::path snapshot = fs::path(storeRoot) / std::string(kSnapshotName);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(snapshot, error))) return;
    RemoveQuietly(snapshot);
    core::Log(core::LogLevelWarning, "Removed the snapshot an interrupted backup left in " + storeRoot);
}

BackupOutcome BackupNow(const std::string& storeRoot, core::ConfigTree& config, const std::atomic<bool>* stop) {
    std::lock_guard serial(BackupLock());
    BackupOutcome outcome;
    const fs::path root = fs::path(Trimmed(storeRoot));
    const std::string directory = BackupDirectory(config);
    std::error_code error;
    // Judged before anything is made there: ".." and links resolved as far as the path exists.
    const fs::path realDirectory = fs::weakly_canonical(directory, error);
    const fs::path realRoot = fs::weakly_canonical(root, error);
    if (Inside(realDirectory, realRoot)) {
        outcome.failure = "the backup directory " + directory + " lies inside the message store " + root.string() +
                          "; a copy there would copy itself. Choose another \"sys:backup:path\"";
        core::Log(core::LogLevelCritical, "Backup refused: " + outcome.failure);
        return outcome;
    }
    fs::create_directories(directory, error);
    const int number = NextGeneration(config);
    const fs::path generation = fs::path(directory) / (std::string(kGenerationPrefix) + std::to_string(number));
    const fs::path partial = generation.string() + std::string(kPartialSuffix);
    outcome.target = generation.string();
    core::Log(core::LogLevelNormal, "Backup of the message store to " + outcome.target + " started");
    if (!core::SaveConfiguration(config, DirStorage(root.string() + "/"))) {
        core::Log(core::LogLevelWarning, "Backup: the configuration could not be saved first; the copy holds the last saved one");
    }
    const fs::path snapshot = root / std::string(kSnapshotName);
    RemoveQuietly(snapshot);
    RemoveQuietly(partial);
    std::string failure;
    // Linked once while mail flows, then mended inside the pause: the pause pays only for the listing
    // and what changed meanwhile.
    std::vector<std::string> databases;
    bool linked = MirrorTree(root, snapshot, nullptr, failure);
    if (linked) {
        const auto start = std::chrono::steady_clock::now();
        const WritePause pause;
        outcome.taken = Now();
        linked = MirrorTree(root, snapshot, &databases, failure);
        outcome.pause = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }
    CopyState state;
    state.stop = stop;
    bool done = linked;
    if (done && ::mkdir(partial.c_str(), 0700) != 0) {
        failure = "can not make " + partial.string() + ": " + SystemError(errno);
        if (errno == EROFS) failure += " (the service may write only the paths its unit allows: add the backup directory to ReadWritePaths)";
        done = false;
    }
    done = done && CopyTree(snapshot, partial, "", state, failure);
    RemoveQuietly(snapshot);
    for (const std::string& database : databases) {
        if (!done) break;
        done = CopyDatabase(root / database, partial / database, database, state, failure);
    }
    if (done && !SyncFileSystemOf(partial)) {
        failure = "can not flush " + partial.string() + ": " + SystemError(errno);
        done = false;
    }
    done = done && WriteManifest(partial, outcome.taken, state, failure);
    if (done) {
        const bool exists = fs::exists(fs::symlink_status(generation, error));
        const int renamed = exists ? ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, generation.c_str(), RENAME_EXCHANGE)
                                   : ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, generation.c_str(), RENAME_NOREPLACE);
        if (renamed != 0) {
            failure = "can not put " + generation.string() + " in place: " + SystemError(errno);
            done = false;
        } else {
            SyncPath(directory);
        }
    }
    // After an exchange the partial name holds the old generation; after a failure the unfinished copy.
    RemoveQuietly(partial);
    if (!done) {
        outcome.failure = failure;
        core::Log(failure.find("EROFS") != std::string::npos || failure.find("Read-only") != std::string::npos ? core::LogLevelCritical
                                                                                                            : core::LogLevelWarning,
                  "Backup to " + outcome.target + " failed: " + failure);
        return outcome;
    }
    outcome.succeeded = true;
    outcome.files = state.files;
    outcome.bytes = state.bytes;
    core::Log(core::LogLevelNormal,
              Format("Backup to %s finished: %u files, %u bytes; the store's writes waited %u ms",
                     {std::string_view(outcome.target), outcome.files, outcome.bytes, static_cast<std::uint64_t>(outcome.pause.count())}));
    return outcome;
}

namespace {

struct ManifestHead {
    Date taken = 0;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

std::optional<ManifestHead> ReadHead(std::istream& in) {
    ManifestHead head;
    std::string line;
    if (!std::getline(in, line) || !line.starts_with("taken ")) return std::nullopt;
    const auto taken = DateFromText(line.substr(6));
    if (!taken) return std::nullopt;
    head.taken = *taken;
    if (!std::getline(in, line) || !line.starts_with("version ")) return std::nullopt;
    if (!std::getline(in, line) || std::sscanf(line.c_str(), "files %llu", reinterpret_cast<unsigned long long*>(&head.files)) != 1) return std::nullopt;
    if (!std::getline(in, line) || std::sscanf(line.c_str(), "bytes %llu", reinterpret_cast<unsigned long long*>(&head.bytes)) != 1) return std::nullopt;
    return head;
}

}  // namespace

std::vector<BackupGeneration> ListBackups(const std::string& directory) {
    std::vector<BackupGeneration> generations;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(kGenerationPrefix)) continue;
        const std::string digits = name.substr(kGenerationPrefix.size());
        if (digits.empty() || digits.size() > 6 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) continue;
        if (!fs::is_directory(it->symlink_status(error))) continue;
        BackupGeneration generation;
        generation.number = std::stoi(digits);
        generation.path = it->path().string();
        std::ifstream in(it->path() / std::string(kManifestName), std::ios::binary);
        if (const auto head = ReadHead(in)) {
            generation.taken = head->taken;
            generation.files = head->files;
            generation.bytes = head->bytes;
        }
        generations.push_back(generation);
    }
    std::sort(generations.begin(), generations.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
    return generations;
}

Date LastBackupTaken(const std::string& directory) {
    Date newest = 0;
    for (const auto& generation : ListBackups(directory)) newest = std::max(newest, generation.taken);
    return newest;
}

std::optional<std::string> VerifyBackup(const std::string& generation) {
    const fs::path root(generation);
    std::ifstream in(root / std::string(kManifestName), std::ios::binary);
    if (!in) return "no manifest " + (root / std::string(kManifestName)).string();
    const auto head = ReadHead(in);
    if (!head) return "the manifest's first lines are damaged";
    std::map<std::string, bool> listed;
    std::uint64_t files = 0, bytes = 0;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos) return "damaged manifest line: " + line;
        const std::string digest = line.substr(0, first);
        const std::uint64_t size = std::strtoull(line.substr(first + 1, second - first - 1).c_str(), nullptr, 10);
        const std::string path = line.substr(second + 1);
        if (path.empty() || path.find("..") != std::string::npos || path.front() == '/') return "damaged manifest line: " + line;
        std::string actual;
        std::uint64_t actualSize = 0;
        if (!FileDigest(root / path, actual, actualSize)) return path + ": missing or unreadable";
        if (actualSize != size) return path + ": " + std::to_string(actualSize) + " bytes, the manifest says " + std::to_string(size);
        if (actual != digest) return path + ": its content differs from the manifest's digest";
        listed[path] = true;
        ++files;
        bytes += size;
    }
    if (files != head->files || bytes != head->bytes) return "the manifest's counts do not match its lines";
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        const std::string path = fs::relative(it->path(), root, error).string();
        if (path != kManifestName && !listed.contains(path)) return path + ": not in the manifest";
    }
    return std::nullopt;
}

namespace {

// Copies a generation into a new directory with the store's modes, keeping shared content shared.
bool CopyGenerationInto(const fs::path& from, const fs::path& to, bool top, std::map<std::pair<dev_t, ino_t>, fs::path>& copied,
                        std::string& failure) {
    if (::mkdir(to.c_str(), 0750) != 0) {
        failure = "can not make " + to.string() + ": " + SystemError(errno);
        return false;
    }
    std::error_code error;
    for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const fs::path target = to / name;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (!CopyGenerationInto(it->path(), target, false, copied, failure)) return false;
            continue;
        }
        if (!S_ISREG(st.st_mode) || (top && name == kManifestName)) continue;
        const auto identity = std::make_pair(st.st_dev, st.st_ino);
        if (const auto first = copied.find(identity); first != copied.end()) {
            if (::link(first->second.c_str(), target.c_str()) != 0) {
                failure = "can not link " + target.string() + ": " + SystemError(errno);
                return false;
            }
            continue;
        }
        std::string digest;
        std::uint64_t size = 0;
        if (!CopyFile(it->path(), target, digest, size, failure)) return false;
        ::chmod(target.c_str(), 0640);
        if (st.st_nlink > 1) copied.emplace(identity, target);
    }
    if (error) {
        failure = "can not list " + from.string() + ": " + error.message();
        return false;
    }
    return true;
}

std::string StampText(Date date) {
    const DateFields f = FieldsFromDate(date);
    return Format("%04d%02d%02d-%02d%02d%02d", {std::int64_t{f.year}, std::int64_t{f.month}, std::int64_t{f.day},
                                               std::int64_t{f.hour}, std::int64_t{f.minute}, std::int64_t{f.second}});
}

// The highest id the replaced store gave out in the folder at `relative`, or 0 when it had none.
double HighestGivenOut(const fs::path& movedRoot, const fs::path& relative) {
    const DirStorage folder((movedRoot / relative).string() + "/");
    if (!folder.Exists()) return 0;
    double last = 0;
    bool recorded = false;
    if (Failed(store::LastPublishedUid(folder, last, recorded))) last = 0;
    return std::max(last, store::HighestStoredUid(folder));
}

// Every folder of the restored store (a directory with an id counter): ids continue above the
// replaced store's, and a new creation date gives IMAP a new UIDVALIDITY.
std::size_t RenewFolders(const fs::path& root, const fs::path& movedRoot, std::string& failure) {
    std::size_t renewed = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_directory(error) || it->is_symlink(error) || !fs::exists(it->path() / "_uid")) continue;
        const fs::path relative = fs::relative(it->path(), root, error);
        const DirStorage folder(it->path().string() + "/");
        if (const double floor = HighestGivenOut(movedRoot, relative); floor > 0) {
            double drawn = 0;
            if (const HRESULT hr = store::DrawUid(folder, drawn, floor); Failed(hr)) {
                failure = "can not continue the ids of " + it->path().string() + ": " + HresultText(hr);
                return renewed;
            }
        }
        try {
            const auto object = store::OpenStoreObject<store::Folder>(folder, root.string() + "/");
            if (object) {
                object->GetProperties().SetItem(store::kCreateDateKey, Variant::DateValue(Now()));
                object->Update();
            }
        } catch (const ComError& problem) {
            failure = "can not renew " + it->path().string() + ": " + problem.what();
            return renewed;
        }
        ++renewed;
    }
    return renewed;
}

std::size_t CountQueued(const fs::path& root) {
    std::size_t count = 0;
    for (const std::string_view queue : {store::kInFolderName, store::kOutFolderName}) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(root / std::string(queue), error), end; !error && it != end; it.increment(error)) {
            if (it->path().extension() == ".env") ++count;
        }
    }
    return count;
}

}  // namespace

RestoreOutcome RestoreBackup(const std::string& generation, const std::string& storeRoot, const std::string& to) {
    RestoreOutcome outcome;
    if (const auto bad = VerifyBackup(generation)) {
        outcome.failure = "the copy " + generation + " does not verify: " + *bad;
        return outcome;
    }
    std::map<std::pair<dev_t, ino_t>, fs::path> copied;
    const fs::path target = to.empty() ? fs::path(Trimmed(storeRoot)) : fs::path(Trimmed(to));
    const fs::path staged = target.string() + ".restoring";
    RemoveQuietly(staged);
    std::string failure;
    if (!CopyGenerationInto(generation, staged, true, copied, failure) || !SyncFileSystemOf(staged)) {
        RemoveQuietly(staged);
        outcome.failure = failure.empty() ? "can not flush " + staged.string() : failure;
        return outcome;
    }
    std::error_code error;
    if (!to.empty()) {
        if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
            outcome.failure = "can not put the copy at " + target.string() + ": " + SystemError(errno);
            RemoveQuietly(staged);
            return outcome;
        }
        outcome.succeeded = true;
        outcome.queuedEnvelopes = CountQueued(target);
        return outcome;
    }
    const fs::path aside = target.string() + ".before-restore-" + StampText(Now());
    if (::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0 && errno != ENOENT) {
        outcome.failure = "can not move the store aside to " + aside.string() + ": " + SystemError(errno);
        RemoveQuietly(staged);
        return outcome;
    }
    outcome.movedAside = aside.string();
    if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        outcome.failure = "can not put the copy in place of " + target.string() + ": " + SystemError(errno) +
                          "; the store is at " + aside.string();
        return outcome;
    }
    SyncPath(target.parent_path());
    outcome.folders = RenewFolders(target, aside, failure);
    if (!failure.empty()) {
        outcome.failure = failure;
        return outcome;
    }
    outcome.queuedEnvelopes = CountQueued(target);
    outcome.succeeded = true;
    return outcome;
}

}  // namespace pw::admin
