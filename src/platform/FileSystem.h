// FileSystem: the one door from the storage layer (DirStorage, FileStream) to the kernel's files.
//
// Owns nothing but the choice of door. Every call the storage layer makes on files and directories
// -- open, read, write, fsync, truncate, rename, link, unlink, mkdir, directory listings, stat,
// locks -- goes through FileSystem::Current(), in the shape of the system call it stands for (a
// result of -1 or nullptr with errno set), so the storage layer keeps its own error mapping. The
// real file system passes each call straight on. FaultyFileSystem fails chosen calls with ENOSPC,
// EIO or EDQUOT, so that tests can show what a full disk or a failing device does to the store, the
// way LevelDB's fault-injection Env does; it can also cut the power at a chosen call.
//
// Test seam, read once when the first call is made (documented in src/platform/README.md):
//   PELLWORTH_FAULT="KIND:N:ACTION[,KIND:N:ACTION...]"  at the Nth call of KIND since start-up, once,
//       ACTION happens. KIND is open, read, write, fsync, truncate, rename, link, unlink, mkdir,
//       readdir (opening a directory listing) or any (every call of those kinds). ACTION is
//       ENOSPC, EIO or EDQUOT: the call fails with that error;
//       CUT: a power cut -- before making the call, the process undoes every change the kernel had
//         not yet made durable, then ends at once with _exit(kPowerCutExit);
//       JCUT: the same, but a journal commit comes first, as ext4's timer may make one at any moment:
//         every name made, renamed or removed so far stays, while file data stays only where a flush
//         or a write-out (below) made it durable -- the zero-length files a crash leaves behind a
//         rename that came before its file's data was on the disk;
//       KILL: the process ends at once before making the call, as kill -9 would end it there
//         (everything written stays, the page cache survives a kill).
//   PELLWORTH_FAULT_FILE=PATH  a control file holding such a fault list, read again whenever it
//       changes (replace it by rename): each new content arms its faults afresh, counting calls from
//       that moment; an empty or missing file fails nothing. Every fault that fires is reported as
//       one line "KIND N ACTION" appended to PATH + ".fired". Each change also replaces PATH + ".calls"
//       with the counts of the arming it ends, one line "KIND COUNT" per kind, so a test learns how
//       many calls a clean run makes. When set, it takes the place of PELLWORTH_FAULT.
// Never set either in production: the server would fail on purpose.
//
// Power cuts. While a CUT is armed, the changing calls are recorded by the rules the kernel keeps:
// file data is durable once fsync of that file (or syncfs of its file system) returned after the
// write; a name (create, rename, link, unlink, mkdir, rmdir) once fsync of its directory (of both
// directories, for a rename between two) or syncfs returned after it. The modelled file system is a
// journalled one (CommitsWrittenOutData is true): a file written out (WriteBack) and not written
// again since has its data made durable by the next flush of anything. At the cut, each file written
// since is cut back to its durable size, and durable bytes overwritten in place or truncated away
// are written back (they are kept in memory from the first such write until the next flush); then
// the names are undone newest first: a created name or directory is removed (a directory with what
// is in it), a rename goes back, a removed name comes back. A rename that replaced a name and an
// unlink keep the inode reachable under a hidden name in the same directory (".pwcut.N", left out
// of every listing of the seam and dropped once the directory is flushed), so that it can be put
// back; meanwhile the file counts one link more. What was on disk when the first cut was armed
// counts as durable. Not modelled: a metadata change (chmod) and the reordering of writes within
// one file's unflushed tail (it is dropped whole). In this mode the changing calls are serialised.
// Thread safety: any thread. FaultyFileSystem counts, fires and records under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include "platform/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace pw::platform {

// The kinds of call a fault can be aimed at.
enum class FileCall : std::uint8_t { Open, Read, Write, Fsync, Truncate, Rename, Link, Unlink, MakeDirectory, ReadDirectory, Any };
inline constexpr std::size_t kFileCallKinds = static_cast<std::size_t>(FileCall::Any) + 1;

std::string_view FileCallName(FileCall kind);

// What a fault does when its call comes. JournalCut is a Cut that a journal commit comes just before.
enum class FaultAction : std::uint8_t { Fail, Cut, JournalCut, Kill };
// The exit status of a process ended by a CUT or KILL fault: a kill's, so that whoever watches the
// server sees the same death either way.
inline constexpr int kPowerCutExit = 137;

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // The file system of this process: the real one, or a failing one when the environment names
    // faults (see above), or the one a test installed.
    static FileSystem& Current();
    // Tests: makes `fileSystem` current (nullptr: the process's own again); returns the one it
    // replaced, or nullptr when that was the process's own. The caller keeps it alive meanwhile.
    static FileSystem* Install(FileSystem* fileSystem);

    virtual int Open(const char* path, int flags, mode_t mode = 0);
    virtual int OpenAt(int dirFd, const char* name, int flags, mode_t mode = 0);
    virtual int Close(int fd);
    virtual ssize_t Read(int fd, void* buffer, std::size_t size);
    virtual ssize_t Write(int fd, const void* data, std::size_t size);
    virtual int Fsync(int fd);
    // Writes the file's dirty pages out and waits for them (sync_file_range), without making anything
    // durable by itself: files written out together before their fsyncs share one journal commit on
    // ext4. A fault aimed at fsync fails it too.
    virtual int WriteBack(int fd);
    // Whether on fd's file system the flush of a directory changed after files were written out
    // (WriteBack) makes their data durable with it: ext4 with its journal inside and without
    // journal_async_commit, and XFS for files that are not realtime. Both record a file's size and
    // blocks in their journal before its pages count as written, commit in order, and flush the
    // data disk's cache before a commit counts. There a file need not be flushed on its own.
    virtual bool CommitsWrittenOutData(int fd);
    // syncfs: every file of the file system holding fd written through at once. A fault aimed at
    // fsync fails it too.
    virtual int SyncFileSystem(int fd);
    virtual int Truncate(int fd, off_t size);
    virtual off_t Seek(int fd, off_t offset, int whence);
    // lstat: a link is reported as itself.
    virtual int Stat(const char* path, struct stat& st);
    virtual int StatFd(int fd, struct stat& st);
    virtual int StatAt(int dirFd, const char* name, struct stat& st, int flags);
    // renameat2 with its flags (RENAME_NOREPLACE); flags 0 is rename(2).
    virtual int Rename(const char* from, const char* to, unsigned flags);
    virtual int Link(const char* from, const char* to);
    virtual int Unlink(const char* path);
    virtual int UnlinkAt(int dirFd, const char* name, int flags);
    virtual int MakeDirectory(const char* path, mode_t mode);
    virtual DIR* OpenDirectory(const char* path);
    virtual DIR* OpenDirectoryFd(int fd);
    virtual dirent* ReadDirectory(DIR* dir);
    virtual int CloseDirectory(DIR* dir);
    virtual int Flock(int fd, int operation);
    virtual int LockRange(int fd, int command, struct flock& lock);
    virtual int ChangeMode(int fd, mode_t mode);
    virtual int ChangeModeAt(int dirFd, const char* name, mode_t mode);
    // The inode's generation (FS_IOC_GETVERSION): with the inode number it names one file for good,
    // since a reused inode number comes with a new generation. ENOTTY where the file system has none.
    virtual int Generation(int fd, std::uint32_t& generation);
    // The file's birth time (statx's btime) in nanoseconds since 1970: kept through renames and
    // links, new for every file made. ENODATA where the file system does not keep it.
    virtual int BirthTime(int fd, std::int64_t& nanoseconds);
};

// Closes through the file system current at the moment of closing, as every other call of the
// storage layer goes.
struct CloseThroughFileSystem {
    void operator()(int fd) const noexcept { FileSystem::Current().Close(fd); }
};

// A descriptor the storage layer opened through the seam, closed through it.
using StorageFd = BasicUniqueFd<CloseThroughFileSystem>;

// Tests: a file system current for the life of the object, the previous one afterwards.
class ScopedFileSystem {
public:
    explicit ScopedFileSystem(FileSystem& fileSystem) : previous_(FileSystem::Install(&fileSystem)) {}
    ~ScopedFileSystem() { FileSystem::Install(previous_); }
    ScopedFileSystem(const ScopedFileSystem&) = delete;
    ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

private:
    FileSystem* previous_;
};

class DurabilityJournal;

// Fails chosen calls once each, or cuts the power or kills the process at one, and passes every
// other call on to the real file system.
class FaultyFileSystem final : public FileSystem {
public:
    struct Fault {
        FileCall kind = FileCall::Any;
        std::uint64_t nth = 0;  // counted from arming, from 1
        int error = 0;          // for FaultAction::Fail
        FaultAction action = FaultAction::Fail;
        bool fired = false;
    };

    // "KIND:N:ACTION[,...]" (empty: no faults); false for anything malformed.
    static bool ParseFaultList(std::string_view text, std::vector<Fault>& faults);

    FaultyFileSystem();
    explicit FaultyFileSystem(std::vector<Fault> faults);
    ~FaultyFileSystem() override;

    // Replaces the faults and starts counting calls again. Recording for a power cut starts with the
    // first arming that holds a CUT and stops (dropping what it kept) with one that holds none.
    void Arm(std::vector<Fault> faults);
    // Reads the faults from a control file now and whenever it changes (see FileSystem.h).
    void WatchControlFile(std::string path);
    // Calls of a kind since arming (Any: of every kind).
    std::uint64_t Calls(FileCall kind) const;
    // Faults that fired since arming.
    std::size_t Fired() const;

    int Open(const char* path, int flags, mode_t mode) override;
    int OpenAt(int dirFd, const char* name, int flags, mode_t mode) override;
    ssize_t Read(int fd, void* buffer, std::size_t size) override;
    ssize_t Write(int fd, const void* data, std::size_t size) override;
    int Fsync(int fd) override;
    int WriteBack(int fd) override;
    // True: the file system the cuts model is a journalled one, whatever this machine's is.
    bool CommitsWrittenOutData(int fd) override;
    int SyncFileSystem(int fd) override;
    int Truncate(int fd, off_t size) override;
    int Rename(const char* from, const char* to, unsigned flags) override;
    int Link(const char* from, const char* to) override;
    int Unlink(const char* path) override;
    int UnlinkAt(int dirFd, const char* name, int flags) override;
    int MakeDirectory(const char* path, mode_t mode) override;
    DIR* OpenDirectory(const char* path) override;
    DIR* OpenDirectoryFd(int fd) override;
    // Leaves out the hidden names a power cut keeps.
    dirent* ReadDirectory(DIR* dir) override;

private:
    // Counts the call; true (with errno set) when it is the one to fail. Cuts and kills never return.
    bool Fails(FileCall kind);
    bool FailsLocked(FileCall kind);          // under lock_
    void ArmLocked(std::vector<Fault> faults);  // under lock_
    void ReadControlFileIfChanged();          // under lock_

    mutable std::mutex lock_;
    std::vector<Fault> faults_;
    std::uint64_t calls_[kFileCallKinds] = {};
    std::size_t fired_ = 0;
    std::string controlFile_;
    struct stat controlSeen_ {};
    bool controlPresent_ = false;
    std::unique_ptr<DurabilityJournal> journal_;  // while a CUT is armed
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
