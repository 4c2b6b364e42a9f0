// AnswerCache: answers kept for their time to live.
#include "dns/AnswerCache.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace pw::dns {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kTypeSOA = 6;

struct Entry {
    CachedAnswer cached;
    Clock::time_point expires;
};

struct Cache {
    std::mutex lock;
    std::unordered_map<std::string, Entry> entries;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

// The SOA's MINIMUM is the last 4 bytes of its data.
std::optional<std::uint32_t> SoaMinimum(const DnsAnswer& answer, const DnsRecord& record) {
    const auto data = answer.Data(record);
    if (data.size() < 22) return std::nullopt;  // two names of one byte at least, five numbers
    const std::size_t at = data.size() - 4;
    return static_cast<std::uint32_t>(data[at]) << 24 | static_cast<std::uint32_t>(data[at + 1]) << 16 |
           static_cast<std::uint32_t>(data[at + 2]) << 8 | data[at + 3];
}

}  // namespace

std::optional<std::chrono::seconds> CacheLifetime(const DnsAnswer& answer, bool noSuchDomain) {
    if (!answer.complete || answer.truncated) return std::nullopt;
    std::uint32_t ttl = UINT32_MAX;
    if (!noSuchDomain && !answer.answers.empty()) {
        for (const DnsRecord& record : answer.answers) ttl = std::min(ttl, record.ttl);
        ttl = std::min<std::uint32_t>(ttl, static_cast<std::uint32_t>(kMaxCachedTtl.count()));
    } else {
        const auto soa = std::find_if(answer.authority.begin(), answer.authority.end(),
                                      [](const DnsRecord& record) { return record.type == kTypeSOA; });
        if (soa == answer.authority.end()) return std::nullopt;
        const auto minimum = SoaMinimum(answer, *soa);
        if (!minimum) return std::nullopt;
        ttl = std::min({soa->ttl, *minimum, static_cast<std::uint32_t>(kMaxNegativeTtl.count())});
    }
    if (ttl == 0) return std::nullopt;
    return std::chrono::seconds(ttl);
}

std::optional<CachedAnswer> FindCachedAnswer(const std::string& key) {
    Cache& cache = TheCache();
    std::lock_guard guard(cache.lock);
    const auto found = cache.entries.find(key);
    if (found == cache.entries.end()) return std::nullopt;
    if (Clock::now() < found->second.expires) return found->second.cached;
    cache.entries.erase(found);
    return std::nullopt;
}

void CacheAnswer(const std::string& key, const DnsAnswer& answer, bool noSuchDomain) {
    const auto lifetime = CacheLifetime(answer, noSuchDomain);
    if (!lifetime) return;
    Cache& cache = TheCache();
    const auto now = Clock::now();
    std::lock_guard guard(cache.lock);
    if (cache.entries.size() >= kAnswerCacheCapacity) {
        std::erase_if(cache.entries, [&](const auto& entry) { return entry.second.expires <= now; });
    }
    if (cache.entries.size() >= kAnswerCacheCapacity) {
        // The one closest to its end goes: it would have been asked again soonest anyway.
        cache.entries.erase(std::min_element(cache.entries.begin(), cache.entries.end(), [](const auto& a, const auto& b) {
            return a.second.expires < b.second.expires;
        }));
    }
    cache.entries[key] = Entry{CachedAnswer{answer, noSuchDomain}, now + *lifetime};
}

void ClearAnswerCache() {
    Cache& cache = TheCache();
    std::lock_guard guard(cache.lock);
    cache.entries.clear();
}

}  // namespace pw::dns
