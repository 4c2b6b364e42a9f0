// MailAuthLimits: every bound of the mail-authentication checks and of DKIM signing in one place.
#pragma once

#include <chrono>
#include <cstddef>

namespace pw::mailauth {

// What the checks of one message may spend on DNS altogether (SPF, DKIM keys, DMARC): a dead
// resolver costs a message this much, never the resolver's own 10 s per server and query.
inline constexpr std::chrono::milliseconds kDnsBudget{5000};
// The header of an incoming message the verifier reads: past either bound, DKIM is not verified
// (a "permerror"), so thousands of fields or one huge field cost no more than this.
inline constexpr std::size_t kMaxCheckedHeaderBytes = 256 * 1024;
inline constexpr std::size_t kMaxCheckedHeaderFields = 1000;
// DKIM-Signature fields verified per message; the rest are ignored.
inline constexpr unsigned kMaxVerifiedSignatures = 5;
// Longest TXT answer taken (a key, an SPF or DMARC record), its strings joined.
inline constexpr std::size_t kMaxTxtRecord = 4096;
// RSA keys: what `domain dkim` makes, and the range it accepts.
inline constexpr int kDefaultKeyBits = 2048;
inline constexpr int kMinKeyBits = 1024;
inline constexpr int kMaxKeyBits = 4096;
// Keys shorter than this do not verify (RFC 8301).
inline constexpr unsigned kMinVerifiedKeyBits = 1024;
// A key file larger than this is not a key of ours.
inline constexpr std::size_t kMaxKeyFile = 16 * 1024;
// A selector is a DNS label or a few (RFC 6376 3.1): letters, digits, "-" and ".", this long at most.
inline constexpr std::size_t kMaxSelector = 63;
// The header of an outgoing message read to find the signing domain.
inline constexpr std::size_t kMaxSignedHeaderScan = 256 * 1024;

}  // namespace pw::mailauth
