// ServerLock: the store's exclusive server mark.
#include "core/ServerLock.h"

#include <chrono>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/UniqueFd.h"

namespace pw::core {

namespace {

// The byte range of the record lock a holder keeps besides its share lock (see the file comment).
constexpr off_t kMarkOffset = 0;
constexpr off_t kMarkLength = 1;
// How often HolderOf looks again when it finds a holder but no id.
constexpr int kHolderReadAttempts = 100;

// Does any process hold the record lock of the lock file? Tested with F_OFD_GETLK on a descriptor of
// our own that takes no lock of any kind, so a server starting at the same moment never meets it.
bool MarkHeld(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = kMarkOffset;
    probe.l_len = kMarkLength;
    return ::fcntl(fd.Get(), F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// The id the file holds; -1 when it holds none.
long ReadHolderId(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return -1;
    char text[32] = {};
    const ssize_t got = ::read(fd.Get(), text, sizeof text - 1);
    if (got <= 0) return -1;
    try {
        return std::stol(std::string(text, static_cast<std::size_t>(got)));
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace

// The server holds its lock deny-write: a second server (which asks for exclusive access) is refused.
// A share violation while nobody holds the record lock is somebody's brief look at the file (an older
// tool's probe), not a server: it is tried again for a moment.
HRESULT ServerLock::Acquire(const DirStorage& root) {
    const std::string path = root.ElementPath(kServerLockName);
    const auto deadline = std::chrono::steady_clock::now() + kServerLockRetryBound;
    std::unique_ptr<FileStream> stream;
    HRESULT hr = S_OK;
    for (;;) {
        // Create-always empties the file only once its lock is ours, so a running holder's id survives.
        hr = root.CreateStream(kServerLockName, STGM_CREATE | STGM_READWRITE | STGM_SHARE_DENY_WRITE, stream);
        if (hr != STG_E_SHAREVIOLATION || MarkHeld(path) || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The id is in the file before the record lock shows a holder, so nobody who sees one reads none.
    if (Succeeded(hr)) hr = stream->Write(std::to_string(::getpid()) + "\n");
    if (Succeeded(hr)) hr = stream->LockRegion(kMarkOffset, kMarkLength, false);
    if (Failed(hr)) return hr;
    stream_ = std::move(stream);
    return S_OK;
}

void ServerLock::Release() { stream_.reset(); }

// A look that falls into a handover (one holder gone, the next one writing its id) reads no id; it
// looks again, a bounded number of times.
std::optional<long> ServerLock::HolderOf(const DirStorage& root) {
    const std::string path = root.ElementPath(kServerLockName);
    for (int attempt = 0; attempt < kHolderReadAttempts; ++attempt) {
        if (!MarkHeld(path)) return std::nullopt;
        const long id = ReadHolderId(path);
        if (id > 0 && MarkHeld(path)) return id;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

}  // namespace pw::core
