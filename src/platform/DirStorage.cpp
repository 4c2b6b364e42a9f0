// DirStorage: storage operations over directories, with the Windows error mapping.
#include "platform/DirStorage.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>

#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace pw::platform {

namespace {

constexpr mode_t kDirectoryMode = 0750;
// Deeper trees than this are not the store's own making; the recursive delete refuses them.
constexpr int kMaxTreeDepth = 128;

HRESULT LastError() { return StorageHresultFromErrno(errno); }

FileSystem& Fs() { return FileSystem::Current(); }

// The open(2) access flags of a storage mode.
int AccessFlags(std::uint32_t mode) {
    switch (mode & 0x3) {
    case STGM_WRITE: return O_WRONLY;
    case STGM_READWRITE: return O_RDWR;
    default: return O_RDONLY;
    }
}

bool WantsWrite(std::uint32_t mode) { return AccessFlags(mode) != O_RDONLY; }

int FlockNoWait(int fd, int operation) {
    int rc = 0;
    do {
        rc = Fs().Flock(fd, operation | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

// Takes the share lock that stands for the sharing of a mode, after checking that the openers already
// there allow the access asked for: an exclusive holder allows nothing, a deny-write holder allows
// reading only. Exclusive is LOCK_EX; deny-write is LOCK_SH; deny-none holds no lock but must still
// pass the check. (A deny-write opener that comes after a deny-none writer is not refused: flock has
// no way to tell readers from writers among the openers that hold no lock.)
HRESULT TakeShareLock(int fd, std::uint32_t mode) {
    const std::uint32_t sharing = mode & 0x70;
    const bool exclusive = sharing != STGM_SHARE_DENY_NONE && sharing != STGM_SHARE_DENY_WRITE;
    int error = 0;
    if (exclusive) {
        error = FlockNoWait(fd, LOCK_EX);
    } else if (WantsWrite(mode)) {
        // Any holder denies writing: prove there is none with an exclusive lock, then keep what the
        // mode holds.
        error = FlockNoWait(fd, LOCK_EX);
        if (error == 0) error = FlockNoWait(fd, sharing == STGM_SHARE_DENY_WRITE ? LOCK_SH : LOCK_UN);
    } else {
        error = FlockNoWait(fd, LOCK_SH);
        if (error == 0 && sharing == STGM_SHARE_DENY_NONE) error = FlockNoWait(fd, LOCK_UN);
    }
    if (error == 0) return S_OK;
    return error == EWOULDBLOCK ? STG_E_SHAREVIOLATION : StorageHresultFromErrno(error);
}

bool IsDirectoryPath(const std::string& path) {
    struct stat st {};
    return Fs().Stat(path.c_str(), st) == 0 && S_ISDIR(st.st_mode);
}

bool MatchesPattern(std::string_view pattern, const char* name) {
    if (pattern.empty() || pattern == "*" || pattern == "*.*") return true;
    return ::fnmatch(std::string(pattern).c_str(), name, FNM_CASEFOLD | FNM_NOESCAPE) == 0;
}

HRESULT SyncDirectory(const std::string& path) {
    const StorageFd fd(Fs().Open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return LastError();
    return Fs().Fsync(fd.Get()) == 0 ? S_OK : LastError();
}

// Removes the directory `name` below parentFd with everything in it, never following a link.
// Stops at the first failure, leaving the rest in place.
HRESULT RemoveTree(int parentFd, const char* name, int depth) {
    if (depth > kMaxTreeDepth) return STG_E_ACCESSDENIED;
    StorageFd owned(Fs().OpenAt(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!owned && errno == EACCES) {
        // A directory without read or search permission is the read-only attribute of a
        // directory: clear it, as the delete clears it on files.
        Fs().ChangeModeAt(parentFd, name, S_IRWXU);
        owned.Reset(Fs().OpenAt(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!owned) return LastError();
    struct stat self {};
    if (Fs().StatFd(owned.Get(), self) == 0 && (self.st_mode & S_IRWXU) != S_IRWXU) {
        Fs().ChangeMode(owned.Get(), self.st_mode | S_IRWXU);
    }
    DIR* dir = Fs().OpenDirectoryFd(owned.Get());
    if (!dir) return LastError();
    // The listing owns the descriptor now and closes it with itself.
    const int fd = owned.Release();
    HRESULT hr = S_OK;
    errno = 0;
    while (const dirent* entry = Fs().ReadDirectory(dir)) {
        const std::string_view child = entry->d_name;
        if (child == "." || child == "..") continue;
        struct stat st {};
        if (Fs().StatAt(fd, entry->d_name, st, AT_SYMLINK_NOFOLLOW) != 0) {
            hr = LastError();
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            hr = RemoveTree(fd, entry->d_name, depth + 1);
        } else if (Fs().UnlinkAt(fd, entry->d_name, 0) != 0) {
            hr = LastError();
        }
        if (Failed(hr)) break;
        errno = 0;
    }
    if (Succeeded(hr) && errno != 0) hr = LastError();
    Fs().CloseDirectory(dir);
    if (Failed(hr)) return hr;
    if (Fs().UnlinkAt(parentFd, name, AT_REMOVEDIR) != 0) return LastError();
    return S_OK;
}

// The one walk over a directory's entries: `take` gets the directory's descriptor and each entry
// whose name matches, never "." or "..". A failure to read on is the walk's result; what `take`
// does with errno (an entry gone meanwhile) is not.
template <typename Take>
HRESULT WalkDirectory(const std::string& path, std::string_view pattern, Take take) {
    DIR* dir = Fs().OpenDirectory(path.c_str());
    if (!dir) return errno == ENOENT ? STG_E_PATHNOTFOUND : LastError();
    const int fd = ::dirfd(dir);
    errno = 0;
    while (const dirent* entry = Fs().ReadDirectory(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && MatchesPattern(pattern, entry->d_name)) take(fd, *entry);
        errno = 0;
    }
    const HRESULT hr = errno != 0 ? LastError() : S_OK;
    Fs().CloseDirectory(dir);
    return hr;
}

}  // namespace

// Names the temporary file after the element (cut short, so a long valid name still leaves room for
// the suffix within the file system's limit) and this process, so leftovers are recognisable.
std::string TemporaryName(std::string_view name) {
    constexpr std::size_t kNameCharsKept = 64;
    static std::atomic<unsigned> counter{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d.%u.tmp", static_cast<int>(::getpid()), counter.fetch_add(1));
    return "~" + std::string(name.substr(0, kNameCharsKept)) + suffix;
}

bool IsTemporaryName(std::string_view name) {
    return name.size() > 5 && name.front() == '~' && name.substr(name.size() - 4) == ".tmp";
}

// Closing the last descriptor of the description drops the flock.
void StorageLock::Release() { fd_.Reset(); }

HRESULT ValidateElementName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return STG_E_INVALIDNAME;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) return STG_E_INVALIDNAME;
    }
    return S_OK;
}

DirStorage::DirStorage(std::string path) : path_(std::move(path)) {
    if (!path_.empty() && path_.back() != '/') path_ += '/';
}

std::string DirStorage::Name() const {
    if (path_.size() < 2) return {};
    const std::size_t end = path_.size() - 1;
    const std::size_t slash = path_.find_last_of('/', end - 1);
    return slash == std::string::npos ? path_.substr(0, end) : path_.substr(slash + 1, end - slash - 1);
}

bool DirStorage::Exists() const { return !path_.empty() && IsDirectoryPath(path_.substr(0, path_.size() - 1)); }

HRESULT DirStorage::CreateSelf() const {
    if (path_.empty()) return STG_E_INVALIDNAME;
    for (std::size_t slash = path_.find('/', 1); slash != std::string::npos; slash = path_.find('/', slash + 1)) {
        const std::string prefix = path_.substr(0, slash);
        if (Fs().MakeDirectory(prefix.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return LastError();
    }
    return Exists() ? S_OK : STG_E_PATHNOTFOUND;
}

HRESULT DirStorage::MissingError() const { return Exists() ? STG_E_FILENOTFOUND : STG_E_PATHNOTFOUND; }

HRESULT DirStorage::CreateChildStorage(std::string_view name, DirStorage* child) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    const std::string path = ElementPath(name);
    if (Fs().MakeDirectory(path.c_str(), kDirectoryMode) != 0) {
        if (errno == EEXIST) return StorageHresultFromWin32(win32::kAlreadyExists);
        if (errno == ENOENT) return STG_E_PATHNOTFOUND;
        return LastError();
    }
    if (child) *child = DirStorage(path);
    return S_OK;
}

HRESULT DirStorage::OpenChildStorage(std::string_view name, DirStorage& child) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    const std::string path = ElementPath(name);
    struct stat st {};
    if (Fs().Stat(path.c_str(), st) != 0) return errno == ENOENT ? MissingError() : LastError();
    if (!S_ISDIR(st.st_mode)) return STG_E_FILENOTFOUND;
    child = DirStorage(path);
    return S_OK;
}

HRESULT DirStorage::OpenWithMode(std::string_view name, std::uint32_t mode, int creation, mode_t permissions,
                                 std::unique_ptr<FileStream>& stream) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    const std::string path = ElementPath(name);
    StorageFd fd(Fs().Open(path.c_str(), AccessFlags(mode) | creation | O_CLOEXEC | O_NOFOLLOW, permissions));
    if (!fd) {
        if (errno == ENOENT) return MissingError();
        return LastError();
    }
    struct stat st {};
    if (Fs().StatFd(fd.Get(), st) != 0 || !S_ISREG(st.st_mode)) return STG_E_ACCESSDENIED;
    if (const HRESULT hr = TakeShareLock(fd.Get(), mode); Failed(hr)) return hr;
    // CREATE_ALWAYS empties an existing file, but only once its share lock is ours. An empty one is left
    // alone: a truncation costs a journal entry of its own.
    if ((creation & O_CREAT) && !(creation & O_EXCL) && WantsWrite(mode)) {
        if (Fs().StatFd(fd.Get(), st) != 0) return LastError();
        if (st.st_size != 0 && Fs().Truncate(fd.Get(), 0) != 0) return LastError();
    }
    stream = std::make_unique<FileStream>(std::move(fd), path, (mode & STGM_DELETEONRELEASE) != 0);
    return S_OK;
}

HRESULT DirStorage::CreateStream(std::string_view name, std::uint32_t mode,
                                 std::unique_ptr<FileStream>& stream) const {
    return OpenWithMode(name, mode, (mode & STGM_CREATE) ? O_CREAT : O_CREAT | O_EXCL, kStorageFileMode, stream);
}

HRESULT DirStorage::OpenStream(std::string_view name, std::uint32_t mode, std::unique_ptr<FileStream>& stream) const {
    return OpenWithMode(name, mode, 0, kStorageFileMode, stream);
}

HRESULT DirStorage::Enumerate(std::string_view pattern, std::vector<ElementInfo>& elements) const {
    elements.clear();
    return WalkDirectory(path_, pattern, [&](int fd, const dirent& entry) {
        struct stat st {};
        if (Fs().StatAt(fd, entry.d_name, st, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone meanwhile
        elements.push_back(ElementInfoFromStat(entry.d_name, st));
    });
}

HRESULT DirStorage::EnumerateNames(std::string_view pattern, std::vector<ElementName>& elements) const {
    elements.clear();
    return WalkDirectory(path_, pattern, [&](int fd, const dirent& entry) {
        bool isDirectory = entry.d_type == DT_DIR;
        if (entry.d_type == DT_UNKNOWN) {
            // A file system that does not say: ask, as Enumerate does.
            struct stat st {};
            if (Fs().StatAt(fd, entry.d_name, st, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone meanwhile
            isDirectory = S_ISDIR(st.st_mode);
        }
        elements.push_back({std::string(entry.d_name), isDirectory});
    });
}

HRESULT DirStorage::StatElement(std::string_view name, ElementInfo& info) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    struct stat st {};
    if (Fs().Stat(ElementPath(name).c_str(), st) != 0) return errno == ENOENT ? MissingError() : LastError();
    info = ElementInfoFromStat(std::string(name), st);
    return S_OK;
}

namespace {

std::int64_t Nanoseconds(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

FileVersion VersionOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_size),
            Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

// File systems stamp changes with a clock that advances in ticks of a few milliseconds, so a file
// changed in place twice within one tick keeps its times. A version is kept only once its change time
// lies well behind the clock at its reading: any later change then carries a later time.
constexpr std::int64_t kSettledNs = 100'000'000;
// Bounds of what the process keeps: property files are small, and a store with more of them than
// this reads some again.
constexpr std::size_t kMaxSnapshotBytes = 64 * 1024;
constexpr std::size_t kMaxSnapshotTotal = 8 * 1024 * 1024;

bool Settled(const FileVersion& version) {
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now) - std::max(version.changedNs, version.modifiedNs) > kSettledNs;
}

// What ReadWholeCached keeps of a file.
struct FileSnapshot {
    FileVersion version;
    std::vector<std::byte> bytes;
};

struct Snapshots {
    std::mutex lock;
    std::unordered_map<std::string, FileSnapshot> files;
    std::size_t bytes = 0;  // of the files' paths and contents
};

// Never destroyed: a session thread may still read while the process ends.
Snapshots& TheSnapshots() {
    static auto* snapshots = new Snapshots;
    return *snapshots;
}

}  // namespace

HRESULT DirStorage::ReadWholeCached(std::string_view name, std::vector<std::byte>& bytes) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    const std::string path = ElementPath(name);
    bytes.clear();
    struct stat st {};
    Snapshots& snapshots = TheSnapshots();
    if (Fs().Stat(path.c_str(), st) == 0 && S_ISREG(st.st_mode)) {
        std::lock_guard guard(snapshots.lock);
        if (const auto found = snapshots.files.find(path); found != snapshots.files.end() && found->second.version == VersionOf(st)) {
            bytes = found->second.bytes;
            return S_OK;
        }
    }
    // Anything else -- missing, not a plain file, changed -- takes the ordinary road and its errors.
    std::unique_ptr<FileStream> stream;
    if (const HRESULT hr = OpenStream(name, STGM_READ | STGM_SHARE_DENY_NONE, stream); Failed(hr)) return hr;
    if (const HRESULT hr = ReadToEnd(*stream, bytes); Failed(hr)) return hr;
    // The version read is the one open, whatever the name holds by now.
    if (Fs().StatFd(stream->Descriptor(), st) != 0) return S_OK;
    const FileVersion read = VersionOf(st);
    if (read.size != bytes.size() || bytes.size() > kMaxSnapshotBytes || !Settled(read)) return S_OK;
    std::lock_guard guard(snapshots.lock);
    // Past the bound the kept versions are dropped and gathered again as they are used.
    if (snapshots.bytes + path.size() + bytes.size() > kMaxSnapshotTotal) {
        snapshots.files.clear();
        snapshots.bytes = 0;
    }
    const auto [kept, added] = snapshots.files.try_emplace(path);
    if (!added) snapshots.bytes -= path.size() + kept->second.bytes.size();
    kept->second = FileSnapshot{read, bytes};
    snapshots.bytes += path.size() + bytes.size();
    return S_OK;
}

std::optional<FileVersion> DirStorage::ListingVersion() const {
    struct stat st {};
    if (Fs().Stat(path_.c_str(), st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    const FileVersion version = VersionOf(st);
    if (!Settled(version)) return std::nullopt;
    return version;
}

HRESULT DirStorage::FlushElementsWithDirectory(const std::vector<std::string>& names) const {
    std::vector<StorageFd> files;
    for (const std::string& name : names) {
        if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
        StorageFd fd(Fs().Open(ElementPath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd) return errno == ENOENT ? MissingError() : LastError();
        files.push_back(std::move(fd));
    }
    if (files.empty()) return S_OK;
    // A write-out that fails is a failure on either road: the error it reports is spent, and the
    // fsync after it on the same descriptor would not report it again.
    for (const StorageFd& fd : files) {
        if (Fs().WriteBack(fd.Get()) != 0) return LastError();
    }
    if (Fs().CommitsWrittenOutData(files.front().Get())) return S_OK;
    for (const StorageFd& fd : files) {
        if (Fs().Fsync(fd.Get()) != 0) return LastError();
    }
    return S_OK;
}

HRESULT DirStorage::StatSelf(ElementInfo& info) const {
    struct stat st {};
    if (Fs().Stat(path_.c_str(), st) != 0) return errno == ENOENT ? MissingError() : LastError();
    info = ElementInfoFromStat(Name(), st);
    return S_OK;
}

HRESULT DirStorage::Identity(FileIdentity& identity) const {
    const StorageFd fd(Fs().Open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return errno == ENOENT ? MissingError() : LastError();
    return IdentityOf(fd.Get(), identity);
}

HRESULT DirStorage::LinkStream(const DirStorage& source, std::string_view sourceName, std::string_view name) const {
    if (const HRESULT hr = ValidateElementName(sourceName); Failed(hr)) return hr;
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    // Without AT_SYMLINK_FOLLOW a symbolic link is linked itself, never what it points to.
    if (Fs().Link(source.ElementPath(sourceName).c_str(), ElementPath(name).c_str()) == 0) return S_OK;
    if (errno == ENOENT) return source.MissingError();
    return StorageHresultFromErrno(errno);
}

HRESULT DirStorage::RenameElement(std::string_view oldName, std::string_view newName) const {
    return MoveElement(oldName, *this, newName);
}

HRESULT DirStorage::MoveElement(std::string_view oldName, const DirStorage& target, std::string_view newName) const {
    if (const HRESULT hr = ValidateElementName(oldName); Failed(hr)) return hr;
    if (const HRESULT hr = ValidateElementName(newName); Failed(hr)) return hr;
    const std::string from = ElementPath(oldName);
    const std::string to = target.ElementPath(newName);
    if (Fs().Rename(from.c_str(), to.c_str(), RENAME_NOREPLACE) == 0) return S_OK;
    if (errno == EEXIST) return StorageHresultFromWin32(win32::kAlreadyExists);
    if (errno == ENOENT) return target.Exists() ? MissingError() : STG_E_PATHNOTFOUND;
    if (errno != EINVAL) return LastError();
    // A file system without RENAME_NOREPLACE: link + unlink refuses a taken name just the same.
    if (Fs().Link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return StorageHresultFromWin32(win32::kAlreadyExists);
        if (errno != EPERM) return LastError();
        // Directories can not be linked; check, then rename (the store's own renames are serialised).
        struct stat st {};
        if (Fs().Stat(to.c_str(), st) == 0) return StorageHresultFromWin32(win32::kAlreadyExists);
        return Fs().Rename(from.c_str(), to.c_str(), 0) == 0 ? S_OK : LastError();
    }
    return Fs().Unlink(from.c_str()) == 0 ? S_OK : LastError();
}

HRESULT DirStorage::DestroyElement(std::string_view name) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    const std::string path = ElementPath(name);
    // Files are what is removed most (every message removal takes two): unlinked at once, and only
    // an element unlink refuses is looked at (Linux says EISDIR for a directory, POSIX allows EPERM).
    if (Fs().Unlink(path.c_str()) == 0) return S_OK;
    if (errno == ENOENT) return MissingError();
    if (errno != EISDIR && errno != EPERM) return LastError();
    const int refused = errno;
    struct stat st {};
    if (Fs().Stat(path.c_str(), st) != 0) return errno == ENOENT ? MissingError() : LastError();
    if (!S_ISDIR(st.st_mode)) return StorageHresultFromErrno(refused);
    const StorageFd parent(Fs().Open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent) return LastError();
    return RemoveTree(parent.Get(), std::string(name).c_str(), 0);
}

HRESULT DirStorage::WriteTemporary(std::string_view name, std::span<const std::byte> content, mode_t permissions,
                                   std::string& temporary) const {
    return WriteTemporaryFile(name, content, permissions, true, temporary);
}

HRESULT DirStorage::WriteTemporaryUnflushed(std::string_view name, std::span<const std::byte> content, mode_t permissions,
                                            std::string& temporary) const {
    return WriteTemporaryFile(name, content, permissions, false, temporary);
}

HRESULT DirStorage::WriteTemporaryFile(std::string_view name, std::span<const std::byte> content, mode_t permissions, bool flush,
                                       std::string& temporary) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    temporary = TemporaryName(name);
    std::unique_ptr<FileStream> stream;
    HRESULT hr = OpenWithMode(temporary, STGM_WRITE | STGM_SHARE_EXCLUSIVE, O_CREAT | O_EXCL, permissions, stream);
    if (Failed(hr)) return hr;
    hr = stream->Write(content);
    if (Succeeded(hr) && flush) hr = stream->Commit();
    stream.reset();
    if (Failed(hr)) Fs().Unlink(ElementPath(temporary).c_str());
    return hr;
}

HRESULT DirStorage::ReplaceStream(std::string_view name, std::span<const std::byte> content, mode_t permissions) const {
    if (const HRESULT hr = ReplaceStreamUnsynced(name, content, permissions); Failed(hr)) return hr;
    return Sync();
}

HRESULT DirStorage::ReplaceStreamUnsynced(std::string_view name, std::span<const std::byte> content, mode_t permissions) const {
    std::string temporary;
    if (const HRESULT hr = WriteTemporary(name, content, permissions, temporary); Failed(hr)) return hr;
    return ReplaceWithTemporary(temporary, name);
}

HRESULT DirStorage::ReplaceWithTemporary(const std::string& temporary, std::string_view name) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    if (Fs().Rename(ElementPath(temporary).c_str(), ElementPath(name).c_str(), 0) != 0) {
        const HRESULT hr = LastError();
        Fs().Unlink(ElementPath(temporary).c_str());
        return hr;
    }
    return S_OK;
}

HRESULT DirStorage::SyncFileSystem() const {
    const StorageFd fd(Fs().Open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return LastError();
    return Fs().SyncFileSystem(fd.Get()) == 0 ? S_OK : LastError();
}

HRESULT DirStorage::PublishStream(std::string_view name, std::span<const std::byte> content) const {
    std::string temporary;
    if (const HRESULT hr = WriteTemporary(name, content, kStorageFileMode, temporary); Failed(hr)) return hr;
    if (const HRESULT hr = RenameElement(temporary, name); Failed(hr)) {
        Fs().Unlink(ElementPath(temporary).c_str());
        return hr;
    }
    return Sync();
}

HRESULT DirStorage::LockSelf(std::chrono::milliseconds bound, StorageLock& lock) const {
    return LockPath(path_, O_RDONLY | O_DIRECTORY | O_CLOEXEC, bound, lock);
}

HRESULT DirStorage::LockElement(std::string_view name, std::chrono::milliseconds bound, StorageLock& lock) const {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    return LockPath(ElementPath(name), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, bound, lock);
}

HRESULT DirStorage::LockPath(const std::string& path, int flags, std::chrono::milliseconds bound, StorageLock& lock) {
    lock.Release();
    StorageFd fd(Fs().Open(path.c_str(), flags, kStorageFileMode));
    if (!fd) return errno == ENOENT ? STG_E_PATHNOTFOUND : LastError();
    // flock has no timed wait: poll, backing off from 1 ms to 50 ms, until the bound.
    const auto deadline = std::chrono::steady_clock::now() + bound;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        const int error = FlockNoWait(fd.Get(), LOCK_EX);
        if (error == 0) break;
        if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            return error == EWOULDBLOCK ? STG_E_SHAREVIOLATION : StorageHresultFromErrno(error);
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    lock.fd_ = std::move(fd);
    return S_OK;
}

HRESULT DirStorage::Sync() const { return SyncDirectory(path_); }

}  // namespace pw::platform
