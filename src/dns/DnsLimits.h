// DnsLimits: every bound of the DNS client in one place -- the sizes RFC 1035 sets, what the
// resolver reads, how often and how long it asks, and how far it follows aliases and pointers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace pw::dns {

// The longest label and name RFC 1035 allows (the name in presentation form).
inline constexpr std::size_t kMaxLabelLength = 63;
inline constexpr std::size_t kMaxNameLength = 255;
// Compression pointers followed in one name; more than a name can have labels means something is wrong.
inline constexpr int kMaxPointerJumps = 128;

// The port asked unless a test gives its own.
inline constexpr std::uint16_t kDnsPort = 53;
// Attempts per server over UDP. The first waits kFirstAttemptWait for a matching answer, each next
// one twice as long up to kAttemptWait (400, 800, 1600, 2000, 2000 ms): a lost datagram costs a
// fraction of a second, not the whole wait, while a slow server still has time; an answer to an
// earlier attempt counts whenever it comes. The TCP retry of a truncated answer gets twice the
// longest wait for its whole exchange.
inline constexpr int kQueryAttempts = 5;
inline constexpr std::chrono::milliseconds kFirstAttemptWait{400};
inline constexpr std::chrono::milliseconds kAttemptWait{2000};
inline constexpr std::chrono::milliseconds kTcpWait = kAttemptWait * 2;
// The owner's stop flag is looked at least this often while a wait goes on.
inline constexpr std::chrono::milliseconds kStopCheckInterval{100};
// Largest UDP answer read (EDNS sizes included), and the piece a TCP answer is read in.
inline constexpr std::size_t kMaxUdpAnswer = 4096;
inline constexpr std::size_t kTcpReadChunk = 4096;
// Longest hosts-file line read; longer ones are skipped.
inline constexpr std::size_t kMaxHostsLine = 1024;

// Domains the MX cache holds; past it, expired entries and then the oldest make room.
inline constexpr std::size_t kMxCacheCapacity = 4096;
// Answers the answer cache holds (a block list's entries are one per client address); past it, expired
// entries and then the one closest to its end make room. An answer is kept for its TTL, at most an
// hour; a negative one at most five minutes, so a record just published is seen soon.
inline constexpr std::size_t kAnswerCacheCapacity = 8192;
inline constexpr std::chrono::seconds kMaxCachedTtl{3600};
inline constexpr std::chrono::seconds kMaxNegativeTtl{300};
// Queries one look-up makes while following CNAME records before the name counts as unresolvable.
inline constexpr int kMaxCnameHops = 8;

}  // namespace pw::dns
