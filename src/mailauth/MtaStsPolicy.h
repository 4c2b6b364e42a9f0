// MtaStsPolicy: MTA-STS (RFC 8461) as data -- the "_mta-sts" TXT record, the policy file a domain
// publishes over HTTPS, which exchangers it allows, and the process's cache of policies by domain.
//
// Reading is strict where the RFC is: a policy needs "version: STSv1", a known mode and a max_age;
// "mx" lines are patterns, where "*." stands for exactly one leftmost label. The file is bounded
// (kMaxMtaStsPolicy) before it is read. The fetch itself (HTTPS) belongs to the transport.
// Thread safety: the parsers are pure; the cache is locked.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::mailauth {

inline constexpr std::string_view kMtaStsKey = "sys:delivery:mtasts";
// RFC 8461 3.3: a policy file is at most 64 KiB; max_age at most a year.
inline constexpr std::size_t kMaxMtaStsPolicy = 64 * 1024;
inline constexpr std::uint32_t kMaxMtaStsAge = 31557600;
// Domains the cache holds; past it, expired entries and then the oldest make room.
inline constexpr std::size_t kMtaStsCacheCapacity = 4096;

enum class MtaStsMode { None, Testing, Enforce };

struct MtaStsPolicy {
    MtaStsMode mode = MtaStsMode::None;
    std::vector<std::string> mx;  // patterns, lower case
    std::uint32_t maxAge = 0;     // seconds
    std::string id;               // the record's id it was fetched for

    // Does the policy allow this exchanger (a host name, without the final dot)?
    bool Allows(std::string_view exchanger) const;
};

// The id of a "v=STSv1; id=..." record; nullopt when the text is none.
std::optional<std::string> ParseMtaStsRecord(std::string_view text);
// A policy file (CR LF or LF lines); nullopt when it is not a valid policy.
std::optional<MtaStsPolicy> ParseMtaStsPolicy(std::string_view text);

// The policies fetched, by domain (lower case), each until its max_age runs out.
class MtaStsCache {
public:
    static MtaStsCache& Instance();
    std::optional<MtaStsPolicy> Find(const std::string& domain) const;
    void Store(const std::string& domain, const MtaStsPolicy& policy);
    void Clear();

private:
    struct Entry {
        MtaStsPolicy policy;
        std::chrono::steady_clock::time_point expires;
    };
    mutable std::mutex lock_;
    std::vector<std::pair<std::string, Entry>> entries_;
};

}  // namespace pw::mailauth
