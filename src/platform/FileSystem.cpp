// FileSystem: the real calls, the failing file system, and the environment's test seam.
#include "platform/FileSystem.h"

#include "platform/WriteGate.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

std::string_view ErrorText(int error) {
    for (const auto& known : kErrors) {
        if (known.error == error) return known.name;
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
        const std::string_view error = item.substr(second + 1);
        for (const auto& candidate : kErrors) {
            if (candidate.name == error) fault.error = candidate.error;
        }
        if (fault.nth == 0 || fault.error == 0) return false;
        faults.push_back(fault);
    }
    return true;
}

void FaultyFileSystem::Arm(std::vector<Fault> faults) {
    std::lock_guard guard(lock_);
    faults_ = std::move(faults);
    for (auto& count : calls_) count = 0;
    fired_ = 0;
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
    std::string text;
    std::vector<Fault> faults;
    if (present && ReadSmallFile(controlFile_, text)) {
        if (!ParseFaultList(text, faults)) faults.clear();
    }
    faults_ = std::move(faults);
    for (auto& count : calls_) count = 0;
    fired_ = 0;
}

bool FaultyFileSystem::Fails(FileCall kind) {
    std::lock_guard guard(lock_);
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
                          static_cast<unsigned long long>(fault.nth), std::string(ErrorText(fault.error)).c_str());
            AppendLine(controlFile_ + ".fired", line);
        }
        errno = fault.error;
        return true;
    }
    return false;
}

int FaultyFileSystem::Open(const char* path, int flags, mode_t mode) {
    return Fails(FileCall::Open) ? -1 : FileSystem::Open(path, flags, mode);
}
int FaultyFileSystem::OpenAt(int dirFd, const char* name, int flags, mode_t mode) {
    return Fails(FileCall::Open) ? -1 : FileSystem::OpenAt(dirFd, name, flags, mode);
}
ssize_t FaultyFileSystem::Read(int fd, void* buffer, std::size_t size) {
    return Fails(FileCall::Read) ? -1 : FileSystem::Read(fd, buffer, size);
}
ssize_t FaultyFileSystem::Write(int fd, const void* data, std::size_t size) {
    return Fails(FileCall::Write) ? -1 : FileSystem::Write(fd, data, size);
}
int FaultyFileSystem::Fsync(int fd) { return Fails(FileCall::Fsync) ? -1 : FileSystem::Fsync(fd); }
int FaultyFileSystem::SyncFileSystem(int fd) { return Fails(FileCall::Fsync) ? -1 : FileSystem::SyncFileSystem(fd); }
int FaultyFileSystem::Truncate(int fd, off_t size) { return Fails(FileCall::Truncate) ? -1 : FileSystem::Truncate(fd, size); }
int FaultyFileSystem::Rename(const char* from, const char* to, unsigned flags) {
    return Fails(FileCall::Rename) ? -1 : FileSystem::Rename(from, to, flags);
}
int FaultyFileSystem::Link(const char* from, const char* to) { return Fails(FileCall::Link) ? -1 : FileSystem::Link(from, to); }
int FaultyFileSystem::Unlink(const char* path) { return Fails(FileCall::Unlink) ? -1 : FileSystem::Unlink(path); }
int FaultyFileSystem::UnlinkAt(int dirFd, const char* name, int flags) {
    return Fails(FileCall::Unlink) ? -1 : FileSystem::UnlinkAt(dirFd, name, flags);
}
int FaultyFileSystem::MakeDirectory(const char* path, mode_t mode) {
    return Fails(FileCall::MakeDirectory) ? -1 : FileSystem::MakeDirectory(path, mode);
}
DIR* FaultyFileSystem::OpenDirectory(const char* path) {
    return Fails(FileCall::ReadDirectory) ? nullptr : FileSystem::OpenDirectory(path);
}
DIR* FaultyFileSystem::OpenDirectoryFd(int fd) {
    return Fails(FileCall::ReadDirectory) ? nullptr : FileSystem::OpenDirectoryFd(fd);
}

}  // namespace pw::platform
