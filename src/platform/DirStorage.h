// DirStorage: a directory of the store in the shape of a structured storage.
//
// The store and the configuration never build paths themselves: they open child storages and streams
// by element name through this class, which maps the storage modes (STGM_*) to open(2) and share
// locks, and every failure to a STORAGE-facility HRESULT built from the Windows error number
// (a missing file is STG_E_FILENOTFOUND, a missing directory STG_E_PATHNOTFOUND, a held file
// STG_E_SHAREVIOLATION). The layer never retries, logs or throws.
//
// Every element name is checked by ValidateElementName before it touches the file system, so no name
// from a peer or a client can climb out of its directory. Symbolic links are never followed below a
// storage: streams open with O_NOFOLLOW, child storages must be real directories, and the recursive
// delete removes a link itself, never what it points to. Renames never replace an existing element.
// Thread safety: holds no handle and no state beyond its path; any thread may use any copy.
#pragma once

#include "platform/FileStream.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pw::platform {

// Storage modes, with their Windows values (callers and persisted data use the numbers).
enum Stgm : std::uint32_t {
    STGM_READ = 0x0,
    STGM_WRITE = 0x1,
    STGM_READWRITE = 0x2,
    STGM_SHARE_EXCLUSIVE = 0x10,
    STGM_SHARE_DENY_WRITE = 0x20,
    STGM_SHARE_DENY_READ = 0x30,
    STGM_SHARE_DENY_NONE = 0x40,
    STGM_CREATE = 0x1000,
    STGM_DELETEONRELEASE = 0x4000000,
};

// The permissions of the files the storage layer makes: readable by the server's group
// (administrators), never by everybody, because they hold mail.
inline constexpr mode_t kStorageFileMode = 0640;

// What a stat tells of one version of a file or directory: another file under the name, or a change
// of it, makes another version (within the file system clock's tick; see DirStorage::ReadWholeCached).
struct FileVersion {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    bool operator==(const FileVersion&) const = default;
};

// What a listing by name reports of an element.
struct ElementName {
    std::string name;
    bool isDirectory = false;
};

// S_OK, or STG_E_INVALIDNAME for a name that must never become a path component: empty, ".", "..",
// or holding "/", "\", NUL or another control character.
[[nodiscard]] HRESULT ValidateElementName(std::string_view name);

// Is this the name of a temporary file that ReplaceStream or PublishStream writes before its rename?
// One found when no writer runs is the leftover of a crash and may be removed.
bool IsTemporaryName(std::string_view name);
// A temporary name for a file that becomes `name` later: unique among this machine's processes.
std::string TemporaryName(std::string_view name);

// An exclusive lock on a directory itself (flock on the directory), held while the object lives.
// Files that are replaced by rename can not carry their own lock -- a waiter would wake on the old
// file -- so their read-modify-write cycles lock the directory that holds them instead.
class StorageLock {
public:
    bool Held() const { return static_cast<bool>(fd_); }
    void Release();

private:
    friend class DirStorage;
    StorageFd fd_;
};

class DirStorage {
public:
    DirStorage() = default;
    // The path is kept with a trailing "/".
    explicit DirStorage(std::string path);

    const std::string& Path() const { return path_; }
    std::string ElementPath(std::string_view name) const { return path_ + std::string(name); }
    // The last component of the path: the directory's own name.
    std::string Name() const;

    // Does this directory exist (as a directory)?
    bool Exists() const;
    // Creates this directory and any missing parents; an existing directory is success.
    [[nodiscard]] HRESULT CreateSelf() const;

    // A new child directory; an existing one fails with STG_E_ALREADYEXISTS.
    [[nodiscard]] HRESULT CreateChildStorage(std::string_view name, DirStorage* child = nullptr) const;
    [[nodiscard]] HRESULT OpenChildStorage(std::string_view name, DirStorage& child) const;

    // STGM_CREATE replaces an existing file (after its share lock is won); without it an existing
    // file fails with STG_E_FILEALREADYEXISTS.
    [[nodiscard]] HRESULT CreateStream(std::string_view name, std::uint32_t mode, std::unique_ptr<FileStream>& stream) const;
    [[nodiscard]] HRESULT OpenStream(std::string_view name, std::uint32_t mode, std::unique_ptr<FileStream>& stream) const;

    // Elements whose names match the pattern ("*" and "?" wildcards, without regard to case;
    // "*.*" and "" match everything); "." and ".." are skipped. Order is the directory's.
    [[nodiscard]] HRESULT Enumerate(std::string_view pattern, std::vector<ElementInfo>& elements) const;
    // The same listing with names and the directory bit only: no stat(2) per element where the file
    // system reports the kind itself, for walks over folders of any size (start-up's clean-up).
    [[nodiscard]] HRESULT EnumerateNames(std::string_view pattern, std::vector<ElementName>& elements) const;
    [[nodiscard]] HRESULT StatElement(std::string_view name, ElementInfo& info) const;
    // The whole of a small file that is only ever replaced whole (a store object's property file),
    // read as OpenStream (STGM_READ | STGM_SHARE_DENY_NONE) and ReadToEnd would, but kept by the
    // process and served again for one stat while that stat shows the same file unchanged (device,
    // inode, size, modification and change times). A file changed within a moment of its reading is
    // not kept, so a change that the file system's coarse clock could hide is never missed.
    [[nodiscard]] HRESULT ReadWholeCached(std::string_view name, std::vector<std::byte>& bytes) const;
    // The storage's own directory: its modification time moves whenever an element is added,
    // removed or replaced (every replacement is a rename).
    [[nodiscard]] HRESULT StatSelf(ElementInfo& info) const;
    // This version of the directory's list of names: it changes whenever an element is added, removed
    // or renamed. None while the directory changed too recently for the file system's clock to tell
    // that change from a next one (ReadWholeCached), and when it can not be read.
    std::optional<FileVersion> ListingVersion() const;
    // The storage's own directory's identity: kept through a rename of the directory, never given
    // to another directory.
    [[nodiscard]] HRESULT Identity(FileIdentity& identity) const;
    // A second name in this directory for the file `sourceName` of `source` (a hard link: one content,
    // no copy). Fails like an exclusive CreateStream when the name is taken, and with the file
    // system's own error where it can not link (another file system, a link limit).
    [[nodiscard]] HRESULT LinkStream(const DirStorage& source, std::string_view sourceName, std::string_view name) const;
    // Fails with STG_E_ALREADYEXISTS when the new name is taken.
    [[nodiscard]] HRESULT RenameElement(std::string_view oldName, std::string_view newName) const;
    // The same into another storage of the same file system (a folder moved to another parent keeps
    // its files, their inodes and its lock files): one rename, never a copy.
    [[nodiscard]] HRESULT MoveElement(std::string_view oldName, const DirStorage& target, std::string_view newName) const;
    // A file is deleted; a directory is deleted with everything below it.
    [[nodiscard]] HRESULT DestroyElement(std::string_view name) const;

    // Replaces (or creates) a stream with the given content so that a crash leaves either the old or
    // the new file, never a mix: a temporary file is written and flushed, renamed over the name, and
    // the directory entry flushed. The one place of that sequence, for the store and for the files
    // beside it (the registry file). `permissions` are the new file's: a file outside the store may
    // be meant for more readers.
    [[nodiscard]] HRESULT ReplaceStream(std::string_view name, std::span<const std::byte> content,
                                        mode_t permissions = kStorageFileMode) const;
    // The same without the directory's flush, for a writer that replaces many streams and then calls
    // Sync once for all of them (until then a crash may leave any of them old, never mixed).
    [[nodiscard]] HRESULT ReplaceStreamUnsynced(std::string_view name, std::span<const std::byte> content,
                                                mode_t permissions = kStorageFileMode) const;
    // Writes a new stream the same way, but its name appears only when complete and never replaces an
    // existing element: STG_E_ALREADYEXISTS when the name is taken (nothing is left behind then).
    [[nodiscard]] HRESULT PublishStream(std::string_view name, std::span<const std::byte> content) const;
    // Writes the content under a temporary name and flushes it; the caller renames it (or
    // removes it). Its name is a temporary one (IsTemporaryName), so that start-up clears a leftover.
    [[nodiscard]] HRESULT WriteTemporary(std::string_view name, std::span<const std::byte> content, mode_t permissions,
                                         std::string& temporary) const;
    // The same unflushed, for a writer that stages many files and then makes them all durable with
    // one SyncFileSystem before it renames any of them.
    [[nodiscard]] HRESULT WriteTemporaryUnflushed(std::string_view name, std::span<const std::byte> content, mode_t permissions,
                                                  std::string& temporary) const;
    // Renames a written temporary over `name` (replacing it); the temporary is removed on failure.
    [[nodiscard]] HRESULT ReplaceWithTemporary(const std::string& temporary, std::string_view name) const;
    // Writes every file of the file system this directory is on through to the disk (syncfs): one
    // flush for a batch of files instead of one each.
    [[nodiscard]] HRESULT SyncFileSystem() const;
    // Takes the directory's lock, waiting at most `bound` (STG_E_SHAREVIOLATION after it).
    [[nodiscard]] HRESULT LockSelf(std::chrono::milliseconds bound, StorageLock& lock) const;
    // The same for a lock file of this directory, made when missing: for writers of a file that
    // shares its directory with files of other owners (the registry file's "<name>.lock").
    [[nodiscard]] HRESULT LockElement(std::string_view name, std::chrono::milliseconds bound, StorageLock& lock) const;
    // Flushes the directory's own entries (after creating or renaming elements).
    [[nodiscard]] HRESULT Sync() const;
    // Makes the contents of several files of this directory durable no later than the directory's next
    // flush (Sync), which the caller waits for before counting on them or on names placed in between.
    // Where the file system commits written-out data with any flush (FileSystem::CommitsWrittenOutData)
    // they are only written out, so that one journal commit covers data and names; elsewhere each is
    // flushed, written out together first so that one commit covers them all where it can.
    [[nodiscard]] HRESULT FlushElementsWithDirectory(const std::vector<std::string>& names) const;

private:
    [[nodiscard]] HRESULT WriteTemporaryFile(std::string_view name, std::span<const std::byte> content, mode_t permissions, bool flush,
                                             std::string& temporary) const;
    [[nodiscard]] HRESULT MissingError() const;  // STG_E_PATHNOTFOUND when this directory is gone, else FILENOTFOUND
    [[nodiscard]] HRESULT OpenWithMode(std::string_view name, std::uint32_t mode, int creation, mode_t permissions,
                                       std::unique_ptr<FileStream>& stream) const;
    // Opens `path` with `flags` and holds an exclusive flock on it, polled up to `bound`.
    [[nodiscard]] static HRESULT LockPath(const std::string& path, int flags, std::chrono::milliseconds bound,
                                          StorageLock& lock);

    std::string path_;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
