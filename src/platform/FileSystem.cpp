// FileSystem: the real calls, the failing file system, and the environment's test seam.
#include "platform/FileSystem.h"

#include "platform/WriteGate.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace pw::platform {

namespace {

constexpr std::string_view kKindNames[kFileCallKinds] = {"open",   "read", "write", "fsync",   "truncate", "rename",
                                                          "link",   "unlink", "mkdir", "readdir", "any"};
// A control file longer than this holds no fault list.
constexpr std::size_t kMaxControlFile = 4096;

struct ErrorName {
    std::string_view name;
    int error;
};
// The errors a fault may give: what a full disk, an exhausted quota and a failing device report.
constexpr ErrorName kErrors[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO}, {"EDQUOT", EDQUOT}};

std::string_view ActionText(const FaultyFileSystem::Fault& fault) {
    if (fault.action == FaultAction::Cut) return "CUT";
    if (fault.action == FaultAction::JournalCut) return "JCUT";
    if (fault.action == FaultAction::Kill) return "KILL";
    for (const auto& known : kErrors) {
        if (known.error == fault.error) return known.name;
    }
    return "E?";
}

std::atomic<FileSystem*> installed{nullptr};

// The failing file system the environment asks for, or nullptr.
FileSystem* FromEnvironment() {
    const char* list = std::getenv("PELLWORTH_FAULT");
    const char* file = std::getenv("PELLWORTH_FAULT_FILE");
    if ((!list || !*list) && (!file || !*file)) return nullptr;
    static FaultyFileSystem faulty;
    if (file && *file) {
        faulty.WatchControlFile(file);
        return &faulty;
    }
    // A fault list that does not parse fails nothing, rather than something else.
    std::vector<FaultyFileSystem::Fault> faults;
    if (FaultyFileSystem::ParseFaultList(list, faults)) faulty.Arm(std::move(faults));
    return &faulty;
}

// Reads a small file with the real calls (the control file is no part of the store).
bool ReadSmallFile(const std::string& path, std::string& text) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    text.clear();
    char buffer[512];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || text.size() + static_cast<std::size_t>(got) > kMaxControlFile) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

// Replaces a small file whole (a reader sees the old content or the new one), with the real calls.
void ReplaceSmallFile(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".new";
    {
        const UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd) return;
        if (::write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
    }
    ::rename(temporary.c_str(), path.c_str());
}

void AppendLine(const std::string& path, const std::string& line) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return;
    // One write with O_APPEND: a reader never sees half a line.
    [[maybe_unused]] const ssize_t put = ::write(fd.Get(), line.data(), line.size());
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' || text.front() == '\r')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

// What a power cut takes back: the data and the names the kernel had not yet made durable (see
// FileSystem.h). Every member runs under the lock of the FaultyFileSystem that owns it, and makes its
// own calls straight to the kernel: its bookkeeping is no part of the store.
class DurabilityJournal {
public:
    enum class Change : std::uint8_t { Created, MadeDirectory, Renamed, Removed, RemovedDirectory };

    DurabilityJournal() = default;
    ~DurabilityJournal() { ForgetAll(); }
    DurabilityJournal(const DurabilityJournal&) = delete;
    DurabilityJournal& operator=(const DurabilityJournal&) = delete;

    // Before a write at fd's position (or its end, for O_APPEND).
    void BeforeWrite(int fd) {
        FileData* data = Track(fd);
        if (!data) return;
        const int flags = ::fcntl(fd, F_GETFL);
        data->writtenOut = false;  // what was written out is not told apart from what comes now
        const off_t at = (flags >= 0 && (flags & O_APPEND)) ? data->durable : ::lseek(fd, 0, SEEK_CUR);
        if (at >= 0 && at < data->durable) KeepDurableBytes(*data);
    }
    void BeforeTruncate(int fd, off_t size) {
        FileData* data = Track(fd);
        if (data) data->writtenOut = false;
        if (data && size < data->durable) KeepDurableBytes(*data);
    }
    // Written out: durable with the next flush of anything, unless it is written again before.
    void WrittenOut(int fd) {
        if (FileData* data = Track(fd)) data->writtenOut = true;
    }
    // A file that did not exist: none of its data is durable, and its name is new in its directory.
    void Created(int fd, const std::string& path) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return;
        files_.erase(FileKey(st));
        if (FileData* data = Track(fd)) data->durable = 0;
        NameAdded(Change::Created, path);
    }
    void NameAdded(Change change, const std::string& path) { Record({change, path, {}, {}, {}}, {path}); }
    void Renamed(const std::string& from, const std::string& to, std::string aside) {
        Record({Change::Renamed, to, from, std::move(aside), {}}, {from, to});
    }
    void Removed(const std::string& path, std::string aside) { Record({Change::Removed, path, {}, std::move(aside), {}}, {path}); }
    void RemovedDirectory(const std::string& path, mode_t mode) {
        Record({Change::RemovedDirectory, path, {}, {}, {}, mode}, {path});
    }

    // A hidden name in path's directory for the inode path names, so a rename over it or its unlink
    // can be taken back; empty when there is nothing to keep (no such name, or a directory).
    std::string KeepAside(const std::string& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return {};
        const std::string aside = ParentOf(path) + "/" + std::string(kAsidePrefix) + std::to_string(++asides_);
        return ::link(path.c_str(), aside.c_str()) == 0 ? aside : std::string();
    }
    static void DropAside(const std::string& aside) {
        if (!aside.empty()) ::unlink(aside.c_str());
    }
    // A directory is about to go: the hidden names in it move to its parent, or it could not go.
    void EmptyOfAsides(const std::string& directory) {
        for (auto& name : names_) {
            if (name.aside.empty() || ParentOf(name.aside) != directory) continue;
            const std::string moved = ParentOf(directory) + "/" + std::string(kAsidePrefix) + std::to_string(++asides_);
            if (::rename(name.aside.c_str(), moved.c_str()) == 0) name.aside = moved;
        }
    }

    void Synced(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return;
        std::erase_if(files_, [](const auto& file) { return file.second.writtenOut; });  // the journal's commit
        if (S_ISDIR(st.st_mode)) {
            DirectorySynced(FileKey(st));
            return;
        }
        // Flushed to its present size: nothing of it is left to take back until it is written again.
        files_.erase(FileKey(st));
    }
    void SyncedAll() {
        files_.clear();
        for (const auto& name : names_) DropAside(name.aside);
        names_.clear();
    }
    // A journal commit with no flush waited for: every name change so far becomes durable, and the
    // data of the files written out; the rest of the data stays as it was.
    void CommitNames() {
        std::erase_if(files_, [](const auto& file) { return file.second.writtenOut; });
        for (const auto& name : names_) DropAside(name.aside);
        names_.clear();
    }
    // Recording stops: what was kept aside is dropped, as if every directory had been flushed.
    void ForgetAll() { SyncedAll(); }

    // The power cut: data first (through descriptors of its own, whatever names the files have now),
    // then the names, newest first.
    void Undo() {
        for (auto& [key, data] : files_) {
            if (data.kept) {
                [[maybe_unused]] const ssize_t put = ::pwrite(data.fd.Get(), data.bytes.data(), data.bytes.size(), 0);
            }
            [[maybe_unused]] const int cut = ::ftruncate(data.fd.Get(), data.durable);
        }
        for (auto name = names_.rbegin(); name != names_.rend(); ++name) UndoName(*name);
        names_.clear();
        files_.clear();
    }

    static bool IsAside(std::string_view name) { return name.substr(0, kAsidePrefix.size()) == kAsidePrefix; }

private:
    static constexpr std::string_view kAsidePrefix = ".pwcut.";
    using Key = std::pair<dev_t, ino_t>;

    struct FileData {
        UniqueFd fd;          // a descriptor of our own that can read and write, whatever the caller's can
        off_t durable = 0;    // the size at the last flush
        bool kept = false;    // bytes holds the durable content, since overwritten
        bool writtenOut = false;  // all of it, with no write since
        std::string bytes;
    };
    struct NameChangeRecord {
        Change change;
        std::string path;    // the name made, or taken away
        std::string from;    // a rename's old name
        std::string aside;   // the inode the change replaced or removed
        std::vector<Key> pending;  // directories whose flush makes it durable
        mode_t mode = 0;
    };

    static Key FileKey(const struct stat& st) { return {st.st_dev, st.st_ino}; }

    static std::string ParentOf(const std::string& path) {
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) return ".";
        return slash == 0 ? "/" : path.substr(0, slash);
    }

    FileData* Track(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
        const auto found = files_.find(FileKey(st));
        if (found != files_.end()) return &found->second;
        FileData data;
        // The caller's descriptor may be write-only; reopen its file, which works even once unlinked.
        data.fd.Reset(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDWR | O_CLOEXEC));
        if (!data.fd) return nullptr;
        data.durable = st.st_size;
        return &files_.emplace(FileKey(st), std::move(data)).first->second;
    }

    static void KeepDurableBytes(FileData& data) {
        if (data.kept) return;
        data.bytes.assign(static_cast<std::size_t>(data.durable), '\0');
        std::size_t done = 0;
        while (done < data.bytes.size()) {
            const ssize_t got = ::pread(data.fd.Get(), data.bytes.data() + done, data.bytes.size() - done, static_cast<off_t>(done));
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        data.bytes.resize(done);
        data.kept = true;
    }

    void Record(NameChangeRecord name, std::initializer_list<std::string> paths) {
        for (const auto& path : paths) {
            struct stat st {};
            if (::stat(ParentOf(path).c_str(), &st) != 0) continue;
            if (std::find(name.pending.begin(), name.pending.end(), FileKey(st)) == name.pending.end()) name.pending.push_back(FileKey(st));
        }
        names_.push_back(std::move(name));
    }

    void DirectorySynced(const Key& directory) {
        std::erase_if(names_, [&](NameChangeRecord& name) {
            std::erase(name.pending, directory);
            if (!name.pending.empty()) return false;
            DropAside(name.aside);
            return true;
        });
    }

    static void UndoName(const NameChangeRecord& name) {
        switch (name.change) {
        case Change::Created: ::unlink(name.path.c_str()); break;
        case Change::MadeDirectory: RemoveTreeAt(AT_FDCWD, name.path.c_str()); break;
        case Change::Renamed:
            ::rename(name.path.c_str(), name.from.c_str());
            if (!name.aside.empty()) ::rename(name.aside.c_str(), name.path.c_str());
            break;
        case Change::Removed: ::rename(name.aside.c_str(), name.path.c_str()); break;
        case Change::RemovedDirectory: ::mkdir(name.path.c_str(), name.mode & 07777); break;
        }
    }

    static void RemoveTreeAt(int parent, const char* name) {
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return;
        if (DIR* dir = ::fdopendir(fd)) {
            std::vector<std::pair<std::string, bool>> entries;
            while (const dirent* entry = ::readdir(dir)) {
                const std::string_view child = entry->d_name;
                if (child != "." && child != "..") entries.emplace_back(entry->d_name, entry->d_type == DT_DIR);
            }
            for (const auto& [child, isDirectory] : entries) {
                if (isDirectory) {
                    RemoveTreeAt(fd, child.c_str());
                } else {
                    ::unlinkat(fd, child.c_str(), 0);
                }
            }
            ::closedir(dir);
        } else {
            ::close(fd);
        }
        ::unlinkat(parent, name, AT_REMOVEDIR);
    }

    std::map<Key, FileData> files_;
    std::vector<NameChangeRecord> names_;
    std::uint64_t asides_ = 0;
};

std::string_view FileCallName(FileCall kind) { return kKindNames[static_cast<std::size_t>(kind)]; }

FileSystem& FileSystem::Current() {
    if (FileSystem* fileSystem = installed.load(std::memory_order_acquire)) return *fileSystem;
    static FileSystem real;
    static FileSystem* const configured = FromEnvironment();
    return configured ? *configured : real;
}

FileSystem* FileSystem::Install(FileSystem* fileSystem) { return installed.exchange(fileSystem, std::memory_order_acq_rel); }

// Every call that changes the file system passes the write gate (WriteGate.h), so a backup's pause
// falls between two calls of the storage layer and never inside one.
int FileSystem::Open(const char* path, int flags, mode_t mode) {
    if ((flags & (O_CREAT | O_TRUNC)) == 0) return ::open(path, flags, mode);
    const WriteStep step;
    return ::open(path, flags, mode);
}
int FileSystem::OpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    if ((flags & (O_CREAT | O_TRUNC)) == 0) return ::openat(dirFd, name, flags, mode);
    const WriteStep step;
    return ::openat(dirFd, name, flags, mode);
}
int FileSystem::Close(int fd) { return ::close(fd); }
ssize_t FileSystem::Read(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t FileSystem::Write(int fd, const void* data, std::size_t size) {
    const WriteStep step;
    return ::write(fd, data, size);
}
int FileSystem::Fsync(int fd) { return ::fsync(fd); }
int FileSystem::WriteBack(int fd) {
    return ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}

namespace {

// The name of the block device that holds a file system, as sysfs and procfs name it ("vda",
// "loop0", "dm-1", "nvme0n1p2"); empty when it can not be told.
std::string BlockDeviceName(dev_t device) {
    std::string uevent;
    if (!ReadSmallFile("/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + "/uevent", uevent)) {
        return {};
    }
    const std::size_t at = uevent.find("DEVNAME=");
    if (at == std::string::npos) return {};
    const std::string name(Trim(std::string_view(uevent).substr(at + 8, uevent.find('\n', at) - at - 8)));
    return name.find('/') == std::string::npos ? name : std::string();
}

// Whether one commit of this ext4's journal flushes the cache of the disk its files' data lies on
// after that data was written: only with a journal inside the file system (jbd2 names it
// "<device>-8", after the journal's inode) -- an external journal's commit flushes the journal's own
// disk -- and without journal_async_commit, whose commit record goes out without a flush. Without a
// journal nothing orders a file's blocks before a name at all. The store's file system can not be
// unmounted (nor its journal changed) while the server holds files in it open, so a device's answer
// holds for the process's life.
bool Ext4CommitsInOrder(dev_t device) {
    static std::mutex lock;
    static std::map<dev_t, bool> known;
    std::lock_guard guard(lock);
    if (const auto found = known.find(device); found != known.end()) return found->second;
    const std::string name = BlockDeviceName(device);
    std::string options;
    struct stat st {};
    const bool inOrder = !name.empty() && ::stat(("/proc/fs/jbd2/" + name + "-8").c_str(), &st) == 0 &&
                         ReadSmallFile("/proc/fs/ext4/" + name + "/options", options) &&
                         options.find("journal_async_commit") == std::string::npos;
    known.emplace(device, inOrder);
    return inOrder;
}

}  // namespace

bool FileSystem::CommitsWrittenOutData(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    if (fs.f_type == XFS_SUPER_MAGIC) {
        // A realtime file's data lies on a device of its own, whose cache only its fsync flushes.
        fsxattr attributes {};
        return ::ioctl(fd, FS_IOC_FSGETXATTR, &attributes) == 0 && (attributes.fsx_xflags & FS_XFLAG_REALTIME) == 0;
    }
    struct stat st {};
    return fs.f_type == EXT4_SUPER_MAGIC && ::fstat(fd, &st) == 0 && Ext4CommitsInOrder(st.st_dev);
}
int FileSystem::SyncFileSystem(int fd) { return ::syncfs(fd); }
int FileSystem::Truncate(int fd, off_t size) {
    const WriteStep step;
    return ::ftruncate(fd, size);
}
off_t FileSystem::Seek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int FileSystem::Stat(const char* path, struct stat& st) { return ::lstat(path, &st); }
int FileSystem::StatFd(int fd, struct stat& st) { return ::fstat(fd, &st); }
int FileSystem::StatAt(int dirFd, const char* name, struct stat& st, int flags) { return ::fstatat(dirFd, name, &st, flags); }
int FileSystem::Rename(const char* from, const char* to, unsigned flags) {
    const WriteStep step;
    return flags == 0 ? ::rename(from, to) : ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
}
int FileSystem::Link(const char* from, const char* to) {
    const WriteStep step;
    return ::linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}
int FileSystem::Unlink(const char* path) {
    const WriteStep step;
    return ::unlink(path);
}
int FileSystem::UnlinkAt(int dirFd, const char* name, int flags) {
    const WriteStep step;
    return ::unlinkat(dirFd, name, flags);
}
int FileSystem::MakeDirectory(const char* path, mode_t mode) {
    const WriteStep step;
    return ::mkdir(path, mode);
}
DIR* FileSystem::OpenDirectory(const char* path) { return ::opendir(path); }
DIR* FileSystem::OpenDirectoryFd(int fd) { return ::fdopendir(fd); }
dirent* FileSystem::ReadDirectory(DIR* dir) { return ::readdir(dir); }
int FileSystem::CloseDirectory(DIR* dir) { return ::closedir(dir); }
int FileSystem::Flock(int fd, int operation) { return ::flock(fd, operation); }
int FileSystem::LockRange(int fd, int command, struct flock& lock) { return ::fcntl(fd, command, &lock); }
int FileSystem::ChangeMode(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int FileSystem::ChangeModeAt(int dirFd, const char* name, mode_t mode) { return ::fchmodat(dirFd, name, mode, 0); }
int FileSystem::BirthTime(int fd, std::int64_t& nanoseconds) {
    struct statx st {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &st) != 0) return -1;
    if (!(st.stx_mask & STATX_BTIME)) {
        errno = ENODATA;
        return -1;
    }
    nanoseconds = static_cast<std::int64_t>(st.stx_btime.tv_sec) * 1'000'000'000 + st.stx_btime.tv_nsec;
    return 0;
}

int FileSystem::Generation(int fd, std::uint32_t& generation) {
    // The kernel writes an int whatever the ioctl's declared type says.
    int value = 0;
    if (::ioctl(fd, FS_IOC_GETVERSION, &value) != 0) return -1;
    generation = static_cast<std::uint32_t>(value);
    return 0;
}

bool FaultyFileSystem::ParseFaultList(std::string_view text, std::vector<Fault>& faults) {
    faults.clear();
    text = Trim(text);
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = Trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (comma != std::string_view::npos && Trim(text).empty()) return false;  // "a," names no fault
        const std::size_t first = item.find(':');
        const std::size_t second = first == std::string_view::npos ? first : item.find(':', first + 1);
        if (second == std::string_view::npos) return false;
        Fault fault;
        const std::string_view kind = item.substr(0, first);
        bool known = false;
        for (std::size_t i = 0; i < kFileCallKinds; ++i) {
            if (kKindNames[i] == kind) {
                fault.kind = static_cast<FileCall>(i);
                known = true;
            }
        }
        const std::string_view count = item.substr(first + 1, second - first - 1);
        if (!known || count.empty() || count.size() > 9) return false;
        for (const char c : count) {
            if (c < '0' || c > '9') return false;
            fault.nth = fault.nth * 10 + static_cast<std::uint64_t>(c - '0');
        }
        const std::string_view action = item.substr(second + 1);
        for (const auto& candidate : kErrors) {
            if (candidate.name == action) fault.error = candidate.error;
        }
        if (action == "CUT") fault.action = FaultAction::Cut;
        if (action == "JCUT") fault.action = FaultAction::JournalCut;
        if (action == "KILL") fault.action = FaultAction::Kill;
        if (fault.nth == 0 || (fault.error == 0 && fault.action == FaultAction::Fail)) return false;
        faults.push_back(fault);
    }
    return true;
}

FaultyFileSystem::FaultyFileSystem() = default;
FaultyFileSystem::FaultyFileSystem(std::vector<Fault> faults) { Arm(std::move(faults)); }
FaultyFileSystem::~FaultyFileSystem() = default;

void FaultyFileSystem::Arm(std::vector<Fault> faults) {
    std::lock_guard guard(lock_);
    ArmLocked(std::move(faults));
}

void FaultyFileSystem::ArmLocked(std::vector<Fault> faults) {
    faults_ = std::move(faults);
    for (auto& count : calls_) count = 0;
    fired_ = 0;
    const bool cuts = std::any_of(faults_.begin(), faults_.end(), [](const Fault& fault) {
        return fault.action == FaultAction::Cut || fault.action == FaultAction::JournalCut;
    });
    if (!cuts) {
        journal_.reset();
    } else if (!journal_) {
        journal_ = std::make_unique<DurabilityJournal>();
    }
}

void FaultyFileSystem::WatchControlFile(std::string path) {
    std::lock_guard guard(lock_);
    controlFile_ = std::move(path);
    controlPresent_ = false;
    controlSeen_ = {};
    ReadControlFileIfChanged();
}

std::uint64_t FaultyFileSystem::Calls(FileCall kind) const {
    std::lock_guard guard(lock_);
    return calls_[static_cast<std::size_t>(kind)];
}

std::size_t FaultyFileSystem::Fired() const {
    std::lock_guard guard(lock_);
    return fired_;
}

void FaultyFileSystem::ReadControlFileIfChanged() {
    if (controlFile_.empty()) return;
    struct stat st {};
    const bool present = ::stat(controlFile_.c_str(), &st) == 0;
    const bool same = present == controlPresent_ &&
                      (!present || (st.st_ino == controlSeen_.st_ino && st.st_size == controlSeen_.st_size &&
                                    st.st_mtim.tv_sec == controlSeen_.st_mtim.tv_sec &&
                                    st.st_mtim.tv_nsec == controlSeen_.st_mtim.tv_nsec));
    if (same) return;
    controlPresent_ = present;
    controlSeen_ = st;
    // What the arming that ends counted, for a test that steps a fault over every call of a clean run.
    std::string counts;
    for (std::size_t i = 0; i < kFileCallKinds; ++i) {
        counts += std::string(kKindNames[i]) + " " + std::to_string(calls_[i]) + "\n";
    }
    ReplaceSmallFile(controlFile_ + ".calls", counts);
    std::string text;
    std::vector<Fault> faults;
    if (present && ReadSmallFile(controlFile_, text)) {
        if (!ParseFaultList(text, faults)) faults.clear();
    }
    ArmLocked(std::move(faults));
}

bool FaultyFileSystem::Fails(FileCall kind) {
    std::lock_guard guard(lock_);
    return FailsLocked(kind);
}

bool FaultyFileSystem::FailsLocked(FileCall kind) {
    ReadControlFileIfChanged();
    const std::uint64_t ofKind = ++calls_[static_cast<std::size_t>(kind)];
    const std::uint64_t ofAny = ++calls_[static_cast<std::size_t>(FileCall::Any)];
    for (auto& fault : faults_) {
        if (fault.fired) continue;
        const bool hit = fault.kind == FileCall::Any ? fault.nth == ofAny : fault.kind == kind && fault.nth == ofKind;
        if (!hit) continue;
        fault.fired = true;
        ++fired_;
        if (!controlFile_.empty()) {
            char line[96];
            std::snprintf(line, sizeof line, "%s %llu %s\n", std::string(FileCallName(fault.kind)).c_str(),
                          static_cast<unsigned long long>(fault.nth), std::string(ActionText(fault)).c_str());
            AppendLine(controlFile_ + ".fired", line);
        }
        if (fault.action == FaultAction::JournalCut && journal_) journal_->CommitNames();
        if ((fault.action == FaultAction::Cut || fault.action == FaultAction::JournalCut) && journal_) journal_->Undo();
        // Nothing of the process may run on: no destructor, no buffered output, no other thread.
        if (fault.action != FaultAction::Fail) ::_exit(kPowerCutExit);
        errno = fault.error;
        return true;
    }
    return false;
}

namespace {

// The path a name relative to a directory descriptor stands for.
std::string PathAt(int dirFd, const char* name) {
    if (dirFd == AT_FDCWD || name[0] == '/') return name;
    char target[4096];
    const ssize_t got = ::readlink(("/proc/self/fd/" + std::to_string(dirFd)).c_str(), target, sizeof target - 1);
    if (got <= 0) return name;
    return std::string(target, static_cast<std::size_t>(got)) + "/" + name;
}

}  // namespace

// The calls that change what a power cut would take back run under the lock while one is armed, so
// that the journal sees them in the order the kernel made them.
int FaultyFileSystem::Open(const char* path, int flags, mode_t mode) {
    return OpenAt(AT_FDCWD, path, flags, mode);
}
int FaultyFileSystem::OpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Open)) return -1;
    if (!journal_ || (flags & (O_CREAT | O_TRUNC)) == 0) {
        guard.unlock();
        return dirFd == AT_FDCWD ? FileSystem::Open(name, flags, mode) : FileSystem::OpenAt(dirFd, name, flags, mode);
    }
    struct stat st {};
    const bool existed = ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (existed && (flags & O_TRUNC) && S_ISREG(st.st_mode)) {
        const UniqueFd old(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (old) journal_->BeforeTruncate(old.Get(), 0);
    }
    const int fd = dirFd == AT_FDCWD ? FileSystem::Open(name, flags, mode) : FileSystem::OpenAt(dirFd, name, flags, mode);
    if (fd >= 0 && !existed) journal_->Created(fd, PathAt(dirFd, name));
    return fd;
}
ssize_t FaultyFileSystem::Read(int fd, void* buffer, std::size_t size) {
    return Fails(FileCall::Read) ? -1 : FileSystem::Read(fd, buffer, size);
}
ssize_t FaultyFileSystem::Write(int fd, const void* data, std::size_t size) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Write)) return -1;
    if (journal_) {
        journal_->BeforeWrite(fd);
    } else {
        guard.unlock();
    }
    return FileSystem::Write(fd, data, size);
}
int FaultyFileSystem::Fsync(int fd) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Fsync)) return -1;
    if (!journal_) {
        guard.unlock();
        return FileSystem::Fsync(fd);
    }
    const int result = FileSystem::Fsync(fd);
    if (result == 0) journal_->Synced(fd);
    return result;
}
int FaultyFileSystem::WriteBack(int fd) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Fsync)) return -1;
    if (!journal_) {
        guard.unlock();
        return FileSystem::WriteBack(fd);
    }
    const int result = FileSystem::WriteBack(fd);
    if (result == 0) journal_->WrittenOut(fd);
    return result;
}
bool FaultyFileSystem::CommitsWrittenOutData(int) { return true; }
int FaultyFileSystem::SyncFileSystem(int fd) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Fsync)) return -1;
    if (!journal_) {
        guard.unlock();
        return FileSystem::SyncFileSystem(fd);
    }
    const int result = FileSystem::SyncFileSystem(fd);
    if (result == 0) journal_->SyncedAll();
    return result;
}
int FaultyFileSystem::Truncate(int fd, off_t size) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Truncate)) return -1;
    if (journal_) {
        journal_->BeforeTruncate(fd, size);
    } else {
        guard.unlock();
    }
    return FileSystem::Truncate(fd, size);
}
int FaultyFileSystem::Rename(const char* from, const char* to, unsigned flags) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Rename)) return -1;
    if (!journal_) {
        guard.unlock();
        return FileSystem::Rename(from, to, flags);
    }
    const std::string aside = (flags & RENAME_NOREPLACE) ? std::string() : journal_->KeepAside(to);
    const int result = FileSystem::Rename(from, to, flags);
    if (result == 0) {
        journal_->Renamed(from, to, aside);
    } else {
        const int error = errno;
        DurabilityJournal::DropAside(aside);
        errno = error;
    }
    return result;
}
int FaultyFileSystem::Link(const char* from, const char* to) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Link)) return -1;
    const int result = FileSystem::Link(from, to);
    if (result == 0 && journal_) journal_->NameAdded(DurabilityJournal::Change::Created, to);
    return result;
}
int FaultyFileSystem::Unlink(const char* path) { return UnlinkAt(AT_FDCWD, path, 0); }
int FaultyFileSystem::UnlinkAt(int dirFd, const char* name, int flags) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::Unlink)) return -1;
    const auto call = [&] { return dirFd == AT_FDCWD && flags == 0 ? FileSystem::Unlink(name) : FileSystem::UnlinkAt(dirFd, name, flags); };
    if (!journal_) {
        guard.unlock();
        return call();
    }
    const std::string path = PathAt(dirFd, name);
    if (flags & AT_REMOVEDIR) {
        struct stat st {};
        const bool found = ::lstat(path.c_str(), &st) == 0;
        journal_->EmptyOfAsides(path);
        const int result = call();
        if (result == 0 && found) journal_->RemovedDirectory(path, st.st_mode);
        return result;
    }
    const std::string aside = journal_->KeepAside(path);
    const int result = call();
    if (result == 0 && !aside.empty()) {
        journal_->Removed(path, aside);
    } else {
        const int error = errno;
        DurabilityJournal::DropAside(aside);
        errno = error;
    }
    return result;
}
int FaultyFileSystem::MakeDirectory(const char* path, mode_t mode) {
    std::unique_lock guard(lock_);
    if (FailsLocked(FileCall::MakeDirectory)) return -1;
    const int result = FileSystem::MakeDirectory(path, mode);
    if (result == 0 && journal_) journal_->NameAdded(DurabilityJournal::Change::MadeDirectory, path);
    return result;
}
DIR* FaultyFileSystem::OpenDirectory(const char* path) {
    return Fails(FileCall::ReadDirectory) ? nullptr : FileSystem::OpenDirectory(path);
}
DIR* FaultyFileSystem::OpenDirectoryFd(int fd) {
    return Fails(FileCall::ReadDirectory) ? nullptr : FileSystem::OpenDirectoryFd(fd);
}
dirent* FaultyFileSystem::ReadDirectory(DIR* dir) {
    for (;;) {
        dirent* entry = FileSystem::ReadDirectory(dir);
        if (!entry || !DurabilityJournal::IsAside(entry->d_name)) return entry;
    }
}

}  // namespace pw::platform
