// PopBeforeSmtp: the table of recent password logins.
#include "net/PopBeforeSmtp.h"

#include <thread>

#include "core/Configuration.h"

namespace pw::net {

namespace {

constexpr double kMinutesPerDay = 1440;

}  // namespace

PopBeforeSmtp& PopBeforeSmtp::Instance() {
    static PopBeforeSmtp table;
    return table;
}

int PopBeforeSmtp::LimitMinutes() {
    Variant value;
    if (core::ServerConfig().Get("sys:pop3auth:minutes", value) && value.IsNumeric()) return value.AsI4();
    return kDefaultPopAuthMinutes;
}

long PopBeforeSmtp::ElapsedMinutes(Date then, Date now) { return static_cast<long>((now - then + kHalfSecond) * kMinutesPerDay); }

void PopBeforeSmtp::Record(const IpAddress& address, Date when) {
    std::lock_guard guard(lock_);
    entries_[address] = when;
}

bool PopBeforeSmtp::IsRecorded(const IpAddress& address, Date now) const {
    const int limit = LimitMinutes();
    std::lock_guard guard(lock_);
    const auto found = entries_.find(address);
    return found != entries_.end() && ElapsedMinutes(found->second, now) <= limit;
}

std::size_t PopBeforeSmtp::Purge(Date now) {
    const int limit = LimitMinutes();
    std::lock_guard guard(lock_);
    return std::erase_if(entries_, [&](const auto& entry) { return ElapsedMinutes(entry.second, now) > limit; });
}

}  // namespace pw::net
