// IpAddress: the one place that reads, writes and compares Internet addresses as text.
//
// Owns the parser and formatter of IPv4 (dotted quad) and IPv6 text, the reversed form that DNS block
// lists and reverse look-ups put in front of their zone (octets for IPv4, nibbles for IPv6), the
// conversion to and from socket addresses, and `IpRangeList` (the access, relay and safe-sender
// lists). Every layer uses it, so it lives below all of them. Addresses stored as settings (text of
// either family, or a 32-bit number in network byte order for IPv4) are read by IpAddressFromValue
// alone, so that the listeners' ranges and the router's safe ranges take the same values the same way.
// A socket address of the IPv4-mapped form (::ffff:a.b.c.d, what a listener on "::" sees of an IPv4
// client) becomes the IPv4 address it maps, so that lists, logs and tables see one address per client.
// Byte order: the accessors say which order they return. Sockets and the stored settings use network
// order; ranges compare the bytes in network order, which is numeric order within a family.
// Thread safety: values; nothing shared.
#pragma once

#include "platform/Variant.h"

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace pw::platform {

class IpAddress {
public:
    enum class Family : std::uint8_t { IPv4, IPv6 };
    // The address bytes in network order: IPv4 uses the first four, the rest stay zero.
    using Bytes = std::array<std::uint8_t, 16>;

    // 0.0.0.0.
    IpAddress() = default;
    static IpAddress FromNetworkOrder(std::uint32_t address);
    static IpAddress FromHostOrder(std::uint32_t address);
    // Sixteen bytes in network order, kept as IPv6 even when they map an IPv4 address.
    static IpAddress FromIPv6Bytes(const Bytes& bytes);
    // The peer or local address of a socket (AF_INET or AF_INET6); an IPv4-mapped IPv6 address
    // becomes the IPv4 address; nothing for other families or a short size.
    static std::optional<IpAddress> FromSocketAddress(const sockaddr* address, socklen_t size);
    // Exactly what inet_pton accepts for AF_INET (four decimal octets of one to three digits, none
    // over 255, no leading zeros) or, failing that, for AF_INET6; nothing before or after (not even
    // blanks or a NUL), no zone ("%eth0"), no brackets.
    static std::optional<IpAddress> Parse(std::string_view text);

    Family GetFamily() const { return family_; }
    bool IsIPv6() const { return family_ == Family::IPv6; }
    // IPv4 only (0 for an IPv6 address).
    std::uint32_t NetworkOrder() const;
    std::uint32_t HostOrder() const;
    const Bytes& NetworkBytes() const { return bytes_; }
    // 0.0.0.0 or ::.
    bool IsUnspecified() const;
    // 127.0.0.1 or ::1.
    bool IsLoopbackHost() const;
    // An IPv4-mapped IPv6 address as its IPv4 address; anything else unchanged.
    IpAddress Unmapped() const;
    // "1.2.3.4"; IPv6 in its shortest form ("2001:db8::1", RFC 5952).
    std::string Text() const;
    // "4.3.2.1": the octets last first; for IPv6 the 32 nibbles last first ("1.0.0.0....8.b.d.0.1.0.0.2"),
    // without a trailing dot, as block lists and in-addr.arpa or ip6.arpa names want them in front of
    // their zone.
    std::string ReversedText() const;
    // The socket address for this address and a port (host order); returns its size.
    socklen_t ToSocketAddress(std::uint16_t port, sockaddr_storage& out) const;
    // AF_INET or AF_INET6.
    int SocketFamily() const;

    friend bool operator==(const IpAddress&, const IpAddress&) = default;
    // Families apart (IPv4 first), then numerically.
    friend std::strong_ordering operator<=>(const IpAddress&, const IpAddress&) = default;

private:
    Family family_ = Family::IPv4;
    Bytes bytes_{};
};

struct IpAddressHash {
    std::size_t operator()(const IpAddress& address) const;
};

// The network-order value of a dotted address, nothing when the text is not one (IPv6 text neither).
std::optional<std::uint32_t> ParseIPv4(std::string_view text);
// Dotted text of a network-order IPv4 address.
std::string IPv4Text(std::uint32_t networkOrder);
// An IPv4 address setting: dotted text (blanks around it allowed), or a 32-bit number in network byte
// order. Network byte order; 0 for text that is not an IPv4 address.
std::uint32_t AddressFromValue(const Variant& value);
// An address setting of either family: text of an IPv4 or IPv6 address (blanks around it allowed), or
// a 32-bit number (IPv4, network byte order). 0.0.0.0 for text that is not an address.
IpAddress IpAddressFromValue(const Variant& value);

struct IpRange {
    IpAddress first;
    IpAddress last;  // of the same family, not before first
    std::string comment;
};

class IpRangeList {
public:
    // A last address of 0 makes a single-address range; a backwards range is swapped. Host byte order.
    void Add(std::uint32_t first, std::uint32_t last, std::string comment = {});
    // The same for either family; a zero last address (0.0.0.0 or ::) makes a single-address range.
    // False (nothing added) when the two are of different families.
    bool Add(const IpAddress& first, const IpAddress& last, std::string comment = {});
    // A stored entry: "ipstart" and "ipend" as IpAddressFromValue reads them, or an "ipstart" text
    // "address/prefix" ("10.0.0.0/8", "2001:db8::/32"), which gives the whole block and leaves
    // "ipend" unread. False (nothing added) for a prefix that is not a number within the family's
    // bits, or ends of different families.
    bool AddSetting(const Variant& start, const Variant& end, std::string comment = {});
    // Both ends included; an address is only ever inside a range of its own family. Host byte order.
    bool Contains(std::uint32_t address) const { return Contains(IpAddress::FromHostOrder(address)); }
    bool Contains(const IpAddress& address) const;
    bool Empty() const { return ranges_.empty(); }
    const std::vector<IpRange>& Ranges() const { return ranges_; }

private:
    std::vector<IpRange> ranges_;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
