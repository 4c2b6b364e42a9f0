// ListTypes: the enumerations of the mailing lists and the bounds the list server keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pw::lists {

enum MLTypeEnum { MLUnmoderatedType = 0, MLModeratedType = 1, MLNewsletterType = 2 };
enum MLErrorHandlingEnum { MLAutoErrorHandling = 0, MLAdminErrorHandling = 1 };
enum MLPostingsToEnum { MLPostingsToMailingList = 0, MLPostingsToMember = 1 };
// Restricted members receive the postings but may not post; banned ones neither.
enum MLStatusEnum { MLStatusNone = 0, MLStatusRestricted = 1, MLStatusBanned = 2 };
enum MLMessageFormatEnum { MLMessageFormatNone = 0, MLMessageFormatPlain = 1, MLMessageFormatHTML = 2 };

// How long a member database stays locked by another writer before an operation gives up.
inline constexpr int kMemberDatabaseBusyMs = 30000;
// Copies of a posting made between two records of how far its distribution got: a crash repeats
// at most this many.
inline constexpr std::size_t kDistributionBatch = 100;
// Permanent delivery failures after which a member is removed, and the age (days) after which an
// old count starts again.
inline constexpr int kMaxMemberErrors = 3;
inline constexpr double kMemberErrorDays = 30.0;
// A command message: its text is the first text/plain part, at most this many lines and bytes.
inline constexpr std::size_t kMaxCommandLines = 1000;
inline constexpr std::size_t kMaxCommandBytes = 256 * 1024;
// Messages one command message may make besides its reply: listings and confirmation requests.
inline constexpr std::size_t kMaxCommandMessages = 20;
// A list text that reaches a header (prefix, comments) is cut to this many bytes.
inline constexpr std::size_t kMaxListHeaderText = 512;
// Hex digits of a confirmation or bounce token (of the HMAC-SHA-256).
inline constexpr std::size_t kTokenDigits = 16;
// The per-list secret of the tokens: a mailbox property, made once, random bytes as hex.
inline constexpr std::string_view kSecretKey = "_MLSecret";
inline constexpr std::size_t kSecretBytes = 32;

// The envelope property in which the router counts a message's re-injections; a list's copy is one
// more, so the hop limit ends a loop through lists too.
inline constexpr std::string_view kHopsKey = "router:hops";
// The property of a queued posting naming the last member (by address) its copies were made for,
// per list: "list:served:<list address>", the value "<envelope stem> <member address>".
inline constexpr std::string_view kServedKey = "list:served:";

}  // namespace pw::lists
