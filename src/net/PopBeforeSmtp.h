// PopBeforeSmtp: the addresses that logged in with a password by POP3 (or IMAP) lately, and may
// therefore relay through the SMTP server of an instance with "pop3auth" on.
//
// An entry holds the local time (automation date) of the last password login from an address. It
// counts for "sys:pop3auth:minutes" minutes (default 5): the lookup checks the age itself, so a right
// expires on time even when no purge has run; Purge (the maintenance tick) only keeps the map small.
// Thread safety: every member takes the table's lock.
#pragma once

#include "platform/AutomationDate.h"
#include "platform/IpAddress.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace pw::net {

inline constexpr int kDefaultPopAuthMinutes = 5;

class PopBeforeSmtp {
public:
    static PopBeforeSmtp& Instance();

    // Addresses of either family.
    void Record(const IpAddress& address, Date when = Now());
    bool IsRecorded(const IpAddress& address, Date now = Now()) const;
    // Removes the entries older than the limit; returns how many.
    std::size_t Purge(Date now = Now());
    // "sys:pop3auth:minutes" of the server's configuration, or the default.
    static int LimitMinutes();
    // Whole minutes since a date, as the purge counts them (half a second rounds up).
    static long ElapsedMinutes(Date then, Date now);

private:
    mutable std::mutex lock_;
    std::unordered_map<IpAddress, Date, IpAddressHash> entries_;
};

}  // namespace pw::net
