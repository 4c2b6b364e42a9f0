// FileStream: reads, writes, locks and stat over one descriptor.
#include "platform/FileStream.h"

#include "platform/FileSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pw::platform {

namespace {

Date DateFromTimespec(const timespec& ts) {
    return DateFromTimeT(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9 / kSecondsPerDay;
}

HRESULT LastError() { return StorageHresultFromErrno(errno); }

FileSystem& Fs() { return FileSystem::Current(); }

}  // namespace

ElementInfo ElementInfoFromStat(std::string name, const struct stat& st) {
    ElementInfo info;
    info.name = std::move(name);
    info.isDirectory = S_ISDIR(st.st_mode);
    info.size = info.isDirectory ? 0 : static_cast<std::uint64_t>(st.st_size);
    info.isReadOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    info.links = static_cast<std::uint32_t>(st.st_nlink);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    info.modified = DateFromTimespec(st.st_mtim);
    info.accessed = DateFromTimespec(st.st_atim);
    info.changed = DateFromTimespec(st.st_ctim);
    return info;
}

FileStream::FileStream(StorageFd fd, std::string path, bool deleteOnRelease)
    : fd_(std::move(fd)), path_(std::move(path)), deleteOnRelease_(deleteOnRelease) {}

FileStream::~FileStream() {
    // Unlink before close (the member's, after this body), while the share lock still keeps other
    // openers out.
    if (deleteOnRelease_) Fs().Unlink(path_.c_str());
}

HRESULT FileStream::Read(std::span<std::byte> buffer, std::size_t& transferred) {
    transferred = 0;
    if (buffer.empty()) return STG_E_ENDOFFILE;
    for (;;) {
        const ssize_t got = Fs().Read(fd_.Get(), buffer.data(), buffer.size());
        if (got > 0) {
            transferred = static_cast<std::size_t>(got);
            return S_OK;
        }
        if (got == 0) return STG_E_ENDOFFILE;
        if (errno != EINTR) return LastError();
    }
}

HRESULT FileStream::Write(std::span<const std::byte> data) {
    while (!data.empty()) {
        const ssize_t put = Fs().Write(fd_.Get(), data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        data = data.subspan(static_cast<std::size_t>(put));
    }
    return S_OK;
}

HRESULT FileStream::Seek(std::int64_t offset, SeekOrigin origin, std::uint64_t* newPosition) {
    const int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    const off_t at = Fs().Seek(fd_.Get(), static_cast<off_t>(offset), whence);
    if (at < 0) return LastError();
    if (newPosition) *newPosition = static_cast<std::uint64_t>(at);
    return S_OK;
}

HRESULT FileStream::SetSize(std::uint64_t size) {
    if (Fs().Truncate(fd_.Get(), static_cast<off_t>(size)) != 0) return LastError();
    return S_OK;
}

HRESULT FileStream::LockRegion(std::uint64_t offset, std::uint64_t length, bool wait) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = static_cast<off_t>(length);
    for (;;) {
        if (Fs().LockRange(fd_.Get(), wait ? F_OFD_SETLKW : F_OFD_SETLK, lock) == 0) return S_OK;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return STG_E_LOCKVIOLATION;
        // A range lock excludes other writers only as a write lock, which needs a writable descriptor.
        if (errno == EBADF) return STG_E_ACCESSDENIED;
        return LastError();
    }
}

HRESULT FileStream::UnlockRegion(std::uint64_t offset, std::uint64_t length) {
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = static_cast<off_t>(length);
    if (Fs().LockRange(fd_.Get(), F_OFD_SETLK, lock) != 0) return LastError();
    return S_OK;
}

HRESULT FileStream::Stat(ElementInfo& info) {
    struct stat st {};
    if (Fs().StatFd(fd_.Get(), st) != 0) return LastError();
    const std::size_t slash = path_.find_last_of('/');
    info = ElementInfoFromStat(slash == std::string::npos ? path_ : path_.substr(slash + 1), st);
    return S_OK;
}

HRESULT IdentityOf(int fd, FileIdentity& identity) {
    struct stat st {};
    if (Fs().StatFd(fd, st) != 0) return LastError();
    identity.inode = static_cast<std::uint64_t>(st.st_ino);
    identity.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    identity.generation = 0;
    std::uint32_t generation = 0;
    if (Fs().Generation(fd, generation) == 0) identity.generation = generation;
    identity.bornNs = 0;
    std::int64_t born = 0;
    if (Fs().BirthTime(fd, born) == 0) identity.bornNs = born;
    return S_OK;
}

HRESULT FileStream::Commit() {
    if (Fs().Fsync(fd_.Get()) != 0) return LastError();
    return S_OK;
}

}  // namespace pw::platform
