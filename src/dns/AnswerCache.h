// AnswerCache: the answers of the DNS servers, kept for as long as their records say, shared by every
// resolver of the process.
//
// A machine without a caching resolver of its own would otherwise ask the same questions for every
// message: the SPF and DMARC records of a sender's domain, a block list's entry for a busy client. An
// answer is kept for the least TTL of its answer records, at most kMaxCachedTtl; a negative one
// (NXDOMAIN, or no record of the type asked) for its zone's SOA minimum as RFC 2308 says, at most
// kMaxNegativeTtl, and not at all without an SOA. A TTL of 0, a failure, a truncated or malformed
// answer is never kept. Entries are keyed by the servers asked as well, so resolvers pointed at
// different servers never see each other's answers.
// Thread safety: any thread; one lock, held for a map look-up or insertion.
#pragma once

#include "dns/DnsMessage.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace pw::dns {

struct CachedAnswer {
    DnsAnswer answer;
    bool noSuchDomain = false;
};

// How long an answer may be kept, from what it says and how it was answered; nullopt: not at all.
std::optional<std::chrono::seconds> CacheLifetime(const DnsAnswer& answer, bool noSuchDomain);

std::optional<CachedAnswer> FindCachedAnswer(const std::string& key);
void CacheAnswer(const std::string& key, const DnsAnswer& answer, bool noSuchDomain);
void ClearAnswerCache();

}  // namespace pw::dns
