// DnsMessage: DNS messages as RFC 1035 lays them out -- building a query, and reading an answer
// without ever trusting it.
//
// Reading checks every length against the message: a record that runs past the end, a label of 64
// to 191 bytes, or a compression pointer that does not point strictly backwards (which is what makes
// loops impossible) ends the parse of that answer, which then has no records at all. Names
// come back without the final dot, as they are compared (without regard to case).
// Thread safety: pure functions and values.
#pragma once

#include "dns/DnsLimits.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pw::dns {

enum DnsType : std::uint16_t { kTypeA = 1, kTypeNS = 2, kTypeCNAME = 5, kTypePTR = 12, kTypeMX = 15, kTypeTXT = 16, kTypeAAAA = 28 };
inline constexpr std::uint16_t kClassIN = 1;
inline constexpr std::uint8_t kRcodeNoError = 0;
inline constexpr std::uint8_t kRcodeNameError = 3;

enum class DnsSection { Answer, Authority, Additional };

struct DnsRecord {
    std::string name;
    std::uint16_t type = 0;
    std::uint16_t cls = 0;
    std::uint32_t ttl = 0;
    std::size_t dataOffset = 0;  // into the message
    std::uint16_t dataLength = 0;
};

struct DnsQuestion {
    std::string name;
    std::uint16_t type = 0;
    std::uint16_t cls = 0;
};

struct DnsAnswer {
    std::vector<std::uint8_t> message;
    std::uint16_t id = 0;
    bool response = false;
    bool truncated = false;
    std::uint8_t rcode = 0;
    // The counts the header announced.
    std::uint16_t questionCount = 0, answerCount = 0, authorityCount = 0, additionalCount = 0;
    std::vector<DnsQuestion> questions;
    std::vector<DnsRecord> answers, authority, additional;
    // False when the parse ended early on a malformed record (the record lists are then empty).
    bool complete = false;

    const std::vector<DnsRecord>& Section(DnsSection section) const;
    std::span<const std::uint8_t> Data(const DnsRecord& record) const;
    // A name inside record data (the exchange of MX, the target of CNAME and PTR).
    std::optional<std::string> NameAt(std::size_t offset) const;
};

// "%u.%u.%u.%u.IN-ADDR.ARPA" (reversed) for a dotted IPv4 address, the 32 nibbles reversed and
// ".IP6.ARPA" for IPv6 address text; the name unchanged otherwise.
std::string QueryName(std::string_view name);
// A query with recursion desired and one question of class IN; nullopt for a name that can not be
// encoded (an empty label, a label over 63 bytes, a name over 255).
std::optional<std::vector<std::uint8_t>> BuildQuery(std::uint16_t id, std::string_view name, std::uint16_t type);
// Parses a message; nullopt when even the header and questions can not be read.
std::optional<DnsAnswer> ParseAnswer(std::vector<std::uint8_t> message);
// Reads a possibly compressed name at offset; `next` receives the offset after it in place.
std::optional<std::string> ReadName(std::span<const std::uint8_t> message, std::size_t offset, std::size_t* next);

}  // namespace pw::dns
