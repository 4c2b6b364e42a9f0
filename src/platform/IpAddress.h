// IpAddress: the one place that reads, writes and compares Internet addresses as text.
//
// Owns the dotted-quad parser and formatter, the reversed form that DNS block lists and reverse
// look-ups put in front of their zone, and `IpRangeList` (the access, relay and safe-sender lists).
// Every layer uses it, so it lives below all of them. Addresses stored as settings (dotted text, or a
// 32-bit number in network byte order) are read by AddressFromValue alone, so that the listeners'
// ranges and the router's safe ranges take the same values the same way.
// An `IpAddress` holds IPv4 today; its family tag is where IPv6 joins, without changing callers that
// only parse, format and compare.
// Byte order: the accessors say which order they return. Sockets and the stored settings use network
// order; ranges compare in host order, where "smaller" means what it says.
// Thread safety: values; nothing shared.
#pragma once

#include "platform/Variant.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::platform {

class IpAddress {
public:
    enum class Family { IPv4 };

    // 0.0.0.0.
    IpAddress() = default;
    static IpAddress FromNetworkOrder(std::uint32_t address);
    static IpAddress FromHostOrder(std::uint32_t address);
    // Exactly what inet_pton(AF_INET) accepts: four decimal octets of one to three digits, none over
    // 255, no leading zeros, nothing before or after (not even blanks or a NUL).
    static std::optional<IpAddress> Parse(std::string_view text);

    Family GetFamily() const { return Family::IPv4; }
    std::uint32_t NetworkOrder() const { return networkOrder_; }
    std::uint32_t HostOrder() const;
    // "1.2.3.4".
    std::string Text() const;
    // "4.3.2.1": the octets last first, without a trailing dot, as block lists and in-addr.arpa
    // names want them in front of their zone.
    std::string ReversedText() const;

    friend bool operator==(const IpAddress&, const IpAddress&) = default;

private:
    std::uint32_t networkOrder_ = 0;
};

// The network-order value of a dotted address, nothing when the text is not one.
std::optional<std::uint32_t> ParseIPv4(std::string_view text);
// Dotted text of a network-order IPv4 address.
std::string IPv4Text(std::uint32_t networkOrder);
// An address setting: dotted text (blanks around it allowed), or a 32-bit number in network byte
// order. Network byte order; 0 for text that is not an address.
std::uint32_t AddressFromValue(const Variant& value);

struct IpRange {
    std::uint32_t first = 0;  // host byte order
    std::uint32_t last = 0;
    std::string comment;
};

class IpRangeList {
public:
    // A last address of 0 makes a single-address range; a backwards range is swapped. Host byte order.
    void Add(std::uint32_t first, std::uint32_t last, std::string comment = {});
    void Add(const IpAddress& first, const IpAddress& last, std::string comment = {});
    // Both ends included. Host byte order.
    bool Contains(std::uint32_t address) const;
    bool Contains(const IpAddress& address) const { return Contains(address.HostOrder()); }
    bool Empty() const { return ranges_.empty(); }
    const std::vector<IpRange>& Ranges() const { return ranges_; }

private:
    std::vector<IpRange> ranges_;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
