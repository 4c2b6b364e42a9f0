// FileStream: one open file of the store, as a Stream.
//
// Opened only by DirStorage, which maps the storage modes to an open(2) and a share lock. The share
// lock is a flock(2) on the open file description: STGM_SHARE_EXCLUSIVE holds it exclusively,
// STGM_SHARE_DENY_WRITE shared, STGM_SHARE_DENY_NONE not at all; a conflict is STG_E_SHAREVIOLATION.
// flock rather than fcntl locks because it belongs to the open file description (so two threads of
// one process exclude each other, as two openers did on Windows), works on a descriptor opened for
// reading only, and never interferes with the byte-range locks of LockRegion, which are OFD fcntl
// locks on the bytes themselves.
// Thread safety: one thread at a time per object; exclusion between openers is the locks' job.
#pragma once

#include "platform/FileSystem.h"
#include "platform/Stream.h"

#include <memory>
#include <string>
#include <sys/stat.h>

namespace pw::platform {

// What tells one file from every other for as long as it lives, through renames and hard links: its
// inode number with the inode's generation and its birth time (each 0 where the file system keeps
// none: a reused inode number is told apart by either), and the modification time in nanoseconds
// (which a link or a rename leaves alone).
struct FileIdentity {
    std::uint64_t inode = 0;
    std::uint32_t generation = 0;
    std::int64_t bornNs = 0;
    std::int64_t modifiedNs = 0;
};

// The identity of an open descriptor.
[[nodiscard]] HRESULT IdentityOf(int fd, FileIdentity& identity);

class FileStream final : public Stream {
public:
    // Owns the open descriptor; deleteOnRelease removes the file when the stream closes.
    FileStream(StorageFd fd, std::string path, bool deleteOnRelease);
    ~FileStream() override;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    [[nodiscard]] HRESULT Read(std::span<std::byte> buffer, std::size_t& transferred) override;
    [[nodiscard]] HRESULT Write(std::span<const std::byte> data) override;
    using Stream::Write;
    [[nodiscard]] HRESULT Seek(std::int64_t offset, SeekOrigin origin, std::uint64_t* newPosition = nullptr) override;
    [[nodiscard]] HRESULT SetSize(std::uint64_t size) override;
    [[nodiscard]] HRESULT LockRegion(std::uint64_t offset, std::uint64_t length, bool wait) override;
    [[nodiscard]] HRESULT UnlockRegion(std::uint64_t offset, std::uint64_t length) override;
    [[nodiscard]] HRESULT Stat(ElementInfo& info) override;
    [[nodiscard]] HRESULT Commit() override;
    [[nodiscard]] HRESULT Identity(FileIdentity& identity) const { return IdentityOf(fd_.Get(), identity); }

    const std::string& Path() const { return path_; }
    int Descriptor() const { return fd_.Get(); }

private:
    StorageFd fd_;
    std::string path_;
    bool deleteOnRelease_;
};

// ElementInfo from a stat(2) result.
ElementInfo ElementInfoFromStat(std::string name, const struct stat& st);

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
