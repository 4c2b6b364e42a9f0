// ServerLock: the store's exclusive server mark.
#include "core/ServerLock.h"

#include <string>
#include <unistd.h>

namespace pw::core {

// The server holds its lock deny-write: a second server (which asks for exclusive access) is refused,
// while tools can still read the holder's id.
HRESULT ServerLock::Acquire(const DirStorage& root) {
    std::unique_ptr<FileStream> stream;
    // Create-always empties the file only once its lock is ours, so a running holder's id survives.
    HRESULT hr = root.CreateStream(kServerLockName, STGM_CREATE | STGM_READWRITE | STGM_SHARE_DENY_WRITE, stream);
    if (Succeeded(hr)) hr = stream->Write(std::to_string(::getpid()) + "\n");
    if (Failed(hr)) return hr;
    stream_ = std::move(stream);
    return S_OK;
}

void ServerLock::Release() { stream_.reset(); }

std::optional<long> ServerLock::HolderOf(const DirStorage& root) {
    std::unique_ptr<FileStream> probe;
    if (root.OpenStream(kServerLockName, STGM_READ | STGM_SHARE_EXCLUSIVE, probe) != STG_E_SHAREVIOLATION) {
        return std::nullopt;
    }
    if (Failed(root.OpenStream(kServerLockName, STGM_READ | STGM_SHARE_DENY_WRITE, probe))) return -1;
    std::vector<std::byte> bytes;
    if (Failed(ReadToEnd(*probe, bytes))) return -1;
    const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    try {
        return std::stol(text);
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace pw::core
