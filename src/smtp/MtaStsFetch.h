// MtaStsFetch: the MTA-STS policy (RFC 8461) of a recipient domain, as the transport needs it before
// it picks exchangers: the "_mta-sts" TXT record through the server's resolver, the policy file over
// HTTPS from "mta-sts.<domain>" (its certificate verified against the trusted store and the name),
// and the process's cache (mailauth::MtaStsCache) for the policy's max_age.
//
// The record's id says whether the cached policy is still the one published; without a record, or
// when DNS or the fetch fails, the cached policy stays in force until it expires (RFC 8461 5.1), and
// with none cached the domain has no policy: mail goes as without MTA-STS. The fetch is one
// HTTP/1.0 GET (so no chunked answer), no redirect followed, the answer bounded by
// mailauth::kMaxMtaStsPolicy and every wait by kMtaStsFetchTimeout.
// Thread safety: any thread; the cache is locked.
#pragma once

#include "mailauth/MtaStsPolicy.h"

#include <optional>
#include <string>

namespace pw::smtp {

// Seconds the whole fetch of one policy may wait for each step (connect, handshake, answer).
inline constexpr int kMtaStsFetchTimeout = 10;

std::optional<mailauth::MtaStsPolicy> MtaStsPolicyFor(const std::string& domain);

}  // namespace pw::smtp
