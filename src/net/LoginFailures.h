// LoginFailures: the failed password checks of recent clients, one table for every protocol that
// checks a password (SMTP AUTH, POP3, and IMAP when it comes), so that a guesser pays a pause that
// grows with its failures whichever protocol it tries.
//
// An entry is one client address and one user name (without regard to case) with the count of its
// failures and the time of the last one. The pause a failure costs grows with the failures of the
// whole address, 250 ms doubling up to 8 s: a guesser that tries another user name each time is not
// spared. A good login forgives its own entry only: a client that knows one password (its own
// mailbox's, say) must not wipe out what its guesses at other users have built up.
// An entry is forgotten 15 minutes after its last failure. The table holds at most 4096 entries; a
// new one pushes out the entry whose last failure is the oldest, so a flood of addresses or names
// costs bounded memory, and what it pushes out is only the pause of some other quiet client.
// The table only computes the pause: the caller sleeps it, outside the table's lock, so that one
// paused session never holds up the check of another.
// Thread safety: every member takes the table's lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/IpAddress.h"

namespace pw::net {

// The pause after a failed login starts here and doubles with each failure from the address, up to the cap.
inline constexpr std::chrono::milliseconds kFirstFailurePause{250};
inline constexpr std::chrono::milliseconds kMaxFailurePause{8000};
// How long an entry is kept after its last failure.
inline constexpr std::chrono::minutes kLoginFailureMemory{15};
// The most entries (address and user) the table holds.
inline constexpr std::size_t kMaxLoginFailureEntries = 4096;

class LoginFailures {
public:
    using Clock = std::chrono::steady_clock;

    explicit LoginFailures(std::size_t capacity = kMaxLoginFailureEntries,
                           std::function<Clock::time_point()> now = Clock::now);
    // The table of the process.
    static LoginFailures& Instance();

    // Counts a failed login of `user` from `client` (either family) and returns the pause the caller
    // owes before it answers.
    std::chrono::milliseconds Failed(const IpAddress& client, std::string_view user);
    // A good login of `user` from `client`: that user's failures from that address are forgiven.
    void Succeeded(const IpAddress& client, std::string_view user);
    // The failures from an address that are still remembered.
    std::uint64_t FailuresFrom(const IpAddress& client);
    std::size_t Size();

    // The pause owed after this many failures (the first counts as 1).
    static std::chrono::milliseconds PauseAfter(std::uint64_t failures);

private:
    struct Key {
        IpAddress client;
        std::string user;
        auto operator<=>(const Key&) const = default;
    };
    struct Entry {
        Key key;
        std::uint64_t failures = 0;
        Clock::time_point last;
    };

    // Drops the entries whose last failure is older than the memory; the lock is held.
    void Expire(Clock::time_point now);
    std::uint64_t CountFrom(const IpAddress& client) const;

    const std::size_t capacity_;
    const std::function<Clock::time_point()> now_;
    std::mutex lock_;
    // Oldest last failure first: the front is the first to age out or to be pushed out.
    std::list<Entry> byAge_;
    // Ordered by address first, so the entries of one address are neighbours.
    std::map<Key, std::list<Entry>::iterator> index_;
};

}  // namespace pw::net
