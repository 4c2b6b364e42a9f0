// ServerLock: the mark a running server leaves on its store -- "pellworth.lock" in the store root,
// share-locked (deny-write) for the server's life and holding its process id.
//
// Two servers on one store would deliver every message twice and overwrite each other's
// configuration, so a second server refuses to start. Tools that change what a running server keeps
// in memory (the configuration) ask HolderOf first and refuse while a server runs. Besides its share
// lock the holder keeps a record lock on the file's first byte, taken after its id is written;
// HolderOf only tests that record lock and takes no lock itself, so a look at the store never makes a
// starting server fail. Both locks die with the process, so a crashed server never leaves a stale
// lock behind.
// Thread safety: one object per process, used by the service's start-up and shutdown.
#pragma once

#include "platform/DirStorage.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>

namespace pw::core {

inline constexpr std::string_view kServerLockName = "pellworth.lock";
// How long Acquire retries a share violation that no holder stands behind.
inline constexpr std::chrono::seconds kServerLockRetryBound{2};

class ServerLock {
public:
    // Takes the lock; STG_E_SHAREVIOLATION when another server holds it.
    HRESULT Acquire(const DirStorage& root);
    void Release();
    bool Held() const { return stream_ != nullptr; }

    // The process id of the server holding the store's lock, nullopt when none does.
    static std::optional<long> HolderOf(const DirStorage& root);

private:
    std::unique_ptr<FileStream> stream_;
};

}  // namespace pw::core
