// UniqueFd: the one owner of a POSIX file descriptor -- closed exactly once, when its owner lets go.
//
// A descriptor kept in a plain int has to be closed on every way out of its scope: a path that
// forgets leaks it (a server that runs for months runs out of descriptors), and a path that closes
// twice may close a number that another thread has been given meanwhile. An owner closes on
// destruction or on Reset, never when Release hands the descriptor on (to a DIR stream, a child, a
// borrower that outlives the scope). Move-only: a descriptor has one owner at a time.
// What close(2) returns is not looked at: on Linux the descriptor is gone either way, and trying again
// could close somebody else's. Data whose durability matters is flushed (fsync) before its close.
// How a descriptor is closed is the owner's type: UniqueFd closes with close(2); the storage layer's
// descriptors close through the FileSystem seam they were opened through (StorageFd, FileSystem.h).
// Thread safety: a value; one thread at a time per object.
#pragma once

#include <utility>

namespace pw::platform {

template <typename Closer>
class BasicUniqueFd {
public:
    BasicUniqueFd() noexcept = default;
    // Takes ownership; a negative number (a failed open) owns nothing.
    explicit BasicUniqueFd(int fd) noexcept : fd_(fd) {}
    ~BasicUniqueFd() { Reset(); }
    BasicUniqueFd(BasicUniqueFd&& other) noexcept : fd_(other.Release()) {}
    BasicUniqueFd& operator=(BasicUniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    BasicUniqueFd(const BasicUniqueFd&) = delete;
    BasicUniqueFd& operator=(const BasicUniqueFd&) = delete;

    int Get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it; the caller owns it now.
    [[nodiscard]] int Release() noexcept { return std::exchange(fd_, -1); }
    // Closes what it holds (unless that is `fd` itself) and owns `fd` instead.
    void Reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd) Closer{}(old);
    }

private:
    int fd_ = -1;
};

// close(2).
struct CloseDescriptor {
    void operator()(int fd) const noexcept;
};

using UniqueFd = BasicUniqueFd<CloseDescriptor>;

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
