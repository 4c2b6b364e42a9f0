// Fuzz target: an MTA-STS policy file and "_mta-sts" record are whatever a domain's web and DNS
// servers send. Reading them must never fail loudly, and a policy taken keeps its bounds: a known
// mode, max_age within a year, at most 100 exchanger patterns, and an enforcing or testing policy
// names at least one; asking it about any name is safe.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mailauth/MtaStsPolicy.h"

using namespace pw::mailauth;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (const auto id = ParseMtaStsRecord(input); id && (id->empty() || id->size() > 32)) __builtin_trap();
    const auto policy = ParseMtaStsPolicy(input);
    if (!policy) return 0;
    if (policy->maxAge > kMaxMtaStsAge || policy->mx.size() > 100) __builtin_trap();
    if (policy->mode != MtaStsMode::None && policy->mx.empty()) __builtin_trap();
    for (const auto& pattern : policy->mx) {
        if (pattern.empty()) __builtin_trap();
        policy->Allows(pattern);
    }
    policy->Allows(input.substr(0, 300));
    return 0;
}
