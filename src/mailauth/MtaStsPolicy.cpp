// MtaStsPolicy: the record, the policy file and the cache.
#include "mailauth/MtaStsPolicy.h"

#include "platform/Text.h"

#include <algorithm>
#include <cctype>

namespace pw::mailauth {

namespace {

std::string_view Trimmed(std::string_view text) { return TrimAscii(text); }

}  // namespace

bool MtaStsPolicy::Allows(std::string_view exchanger) const {
    std::string host = ToLowerAscii(exchanger);
    if (!host.empty() && host.back() == '.') host.pop_back();
    for (const std::string& pattern : mx) {
        if (pattern.starts_with("*.")) {
            // One label exactly: "*.example.com" is "mx.example.com", not "a.mx.example.com".
            const std::size_t dot = host.find('.');
            if (dot != std::string::npos && dot > 0 && host.substr(dot + 1) == pattern.substr(2)) return true;
        } else if (host == pattern) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> ParseMtaStsRecord(std::string_view text) {
    std::optional<std::string> id;
    bool versioned = false;
    for (const std::string& part : SplitAtAny(text, ";")) {
        const std::string_view field = Trimmed(part);
        if (field.empty()) continue;
        const std::size_t equals = field.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string_view name = Trimmed(field.substr(0, equals)), value = Trimmed(field.substr(equals + 1));
        if (!versioned) {
            // The version comes first (RFC 8461 3.1).
            if (name != "v" || value != "STSv1") return std::nullopt;
            versioned = true;
        } else if (name == "id") {
            if (value.empty() || value.size() > 32 || !std::all_of(value.begin(), value.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
                return std::nullopt;
            }
            id = std::string(value);
        }
    }
    return id;
}

std::optional<MtaStsPolicy> ParseMtaStsPolicy(std::string_view text) {
    if (text.size() > kMaxMtaStsPolicy) return std::nullopt;
    MtaStsPolicy policy;
    bool version = false, mode = false, age = false;
    for (std::string line : SplitAtAny(text, "\n")) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string_view key = Trimmed(std::string_view(line).substr(0, colon));
        const std::string value = ToLowerAscii(Trimmed(std::string_view(line).substr(colon + 1)));
        if (key == "version") {
            if (value != "stsv1") return std::nullopt;
            version = true;
        } else if (key == "mode") {
            if (value == "enforce") policy.mode = MtaStsMode::Enforce;
            else if (value == "testing") policy.mode = MtaStsMode::Testing;
            else if (value == "none") policy.mode = MtaStsMode::None;
            else return std::nullopt;
            mode = true;
        } else if (key == "max_age") {
            if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
            policy.maxAge = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::stoull(value), kMaxMtaStsAge));
            age = true;
        } else if (key == "mx") {
            if (!value.empty() && policy.mx.size() < 100) policy.mx.push_back(value);
        }
    }
    // An enforcing policy without any exchanger would allow none: RFC 8461 3.2 asks for at least one.
    if (!version || !mode || !age || (policy.mode != MtaStsMode::None && policy.mx.empty())) return std::nullopt;
    return policy;
}

MtaStsCache& MtaStsCache::Instance() {
    static MtaStsCache cache;
    return cache;
}

std::optional<MtaStsPolicy> MtaStsCache::Find(const std::string& domain) const {
    std::lock_guard guard(lock_);
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [name, entry] : entries_) {
        if (name == domain && entry.expires > now) return entry.policy;
    }
    return std::nullopt;
}

void MtaStsCache::Store(const std::string& domain, const MtaStsPolicy& policy) {
    std::lock_guard guard(lock_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(entries_, [&](const auto& entry) { return entry.first == domain || entry.second.expires <= now; });
    if (entries_.size() >= kMtaStsCacheCapacity) entries_.erase(entries_.begin());  // the oldest stored
    entries_.push_back({domain, {policy, now + std::chrono::seconds(policy.maxAge)}});
}

void MtaStsCache::Clear() {
    std::lock_guard guard(lock_);
    entries_.clear();
}

}  // namespace pw::mailauth
