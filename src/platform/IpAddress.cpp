// IpAddress: address text of both families, the reversed forms, socket addresses, and address ranges
// (see IpAddress.h).
#include "platform/IpAddress.h"

#include "platform/Text.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <netinet/in.h>

#include <utility>

namespace pw::platform {

namespace {

constexpr std::size_t kIPv4Bytes = 4;
constexpr int kIPv4Bits = 32;
constexpr int kIPv6Bits = 128;
// ::ffff:0:0/96, the IPv6 form of an IPv4 address.
constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int BitsOf(IpAddress::Family family) { return family == IpAddress::Family::IPv6 ? kIPv6Bits : kIPv4Bits; }

// The block of `address` under a prefix of `bits`: its first and its last address.
std::pair<IpAddress, IpAddress> Block(const IpAddress& address, int bits) {
    IpAddress::Bytes first = address.NetworkBytes();
    IpAddress::Bytes last = first;
    const int total = BitsOf(address.GetFamily());
    for (int bit = bits; bit < total; ++bit) {
        const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
        first[static_cast<std::size_t>(bit / 8)] &= static_cast<std::uint8_t>(~mask);
        last[static_cast<std::size_t>(bit / 8)] |= mask;
    }
    if (address.IsIPv6()) return {IpAddress::FromIPv6Bytes(first), IpAddress::FromIPv6Bytes(last)};
    std::uint32_t low = 0, high = 0;
    std::memcpy(&low, first.data(), kIPv4Bytes);
    std::memcpy(&high, last.data(), kIPv4Bytes);
    return {IpAddress::FromNetworkOrder(low), IpAddress::FromNetworkOrder(high)};
}

}  // namespace

IpAddress IpAddress::FromNetworkOrder(std::uint32_t address) {
    IpAddress result;
    std::memcpy(result.bytes_.data(), &address, kIPv4Bytes);
    return result;
}

IpAddress IpAddress::FromHostOrder(std::uint32_t address) { return FromNetworkOrder(htonl(address)); }

IpAddress IpAddress::FromIPv6Bytes(const Bytes& bytes) {
    IpAddress result;
    result.family_ = Family::IPv6;
    result.bytes_ = bytes;
    return result;
}

std::optional<IpAddress> IpAddress::FromSocketAddress(const sockaddr* address, socklen_t size) {
    if (!address) return std::nullopt;
    if (address->sa_family == AF_INET && size >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        return FromNetworkOrder(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    }
    if (address->sa_family == AF_INET6 && size >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        Bytes bytes{};
        std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, bytes.size());
        return FromIPv6Bytes(bytes).Unmapped();
    }
    return std::nullopt;
}

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
    // inet_pton reads a C string: a NUL inside the view would end the text early and let what
    // follows it pass unseen.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string terminated(text);
    in_addr address{};
    if (::inet_pton(AF_INET, terminated.c_str(), &address) == 1) return FromNetworkOrder(address.s_addr);
    in6_addr address6{};
    if (::inet_pton(AF_INET6, terminated.c_str(), &address6) != 1) return std::nullopt;
    Bytes bytes{};
    std::memcpy(bytes.data(), &address6, bytes.size());
    return FromIPv6Bytes(bytes);
}

std::uint32_t IpAddress::NetworkOrder() const {
    if (IsIPv6()) return 0;
    std::uint32_t address = 0;
    std::memcpy(&address, bytes_.data(), kIPv4Bytes);
    return address;
}

std::uint32_t IpAddress::HostOrder() const { return ntohl(NetworkOrder()); }

bool IpAddress::IsUnspecified() const { return *this == IpAddress() || *this == FromIPv6Bytes({}); }

bool IpAddress::IsLoopbackHost() const {
    Bytes loopback{};
    loopback[15] = 1;
    return *this == FromHostOrder(INADDR_LOOPBACK) || *this == FromIPv6Bytes(loopback);
}

IpAddress IpAddress::Unmapped() const {
    if (!IsIPv6() || std::memcmp(bytes_.data(), kMappedPrefix, sizeof kMappedPrefix) != 0) return *this;
    std::uint32_t address = 0;
    std::memcpy(&address, bytes_.data() + sizeof kMappedPrefix, kIPv4Bytes);
    return FromNetworkOrder(address);
}

std::string IpAddress::Text() const {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(SocketFamily(), bytes_.data(), text, sizeof text);
    return text;
}

std::string IpAddress::ReversedText() const {
    std::string reversed;
    if (!IsIPv6()) {
        // The octets in the other order are the same four bytes swapped end for end.
        return FromNetworkOrder(__builtin_bswap32(NetworkOrder())).Text();
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (auto byte = bytes_.rbegin(); byte != bytes_.rend(); ++byte) {
        if (!reversed.empty()) reversed += '.';
        reversed += kHex[*byte & 0x0f];
        reversed += '.';
        reversed += kHex[*byte >> 4];
    }
    return reversed;
}

int IpAddress::SocketFamily() const { return IsIPv6() ? AF_INET6 : AF_INET; }

socklen_t IpAddress::ToSocketAddress(std::uint16_t port, sockaddr_storage& out) const {
    out = {};
    if (IsIPv6()) {
        auto& address = reinterpret_cast<sockaddr_in6&>(out);
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        std::memcpy(&address.sin6_addr, bytes_.data(), bytes_.size());
        return sizeof address;
    }
    auto& address = reinterpret_cast<sockaddr_in&>(out);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = NetworkOrder();
    return sizeof address;
}

std::size_t IpAddressHash::operator()(const IpAddress& address) const {
    // FNV-1a over the family and the bytes.
    std::size_t hash = 14695981039346656037ull;
    const auto mix = [&](std::uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
    mix(static_cast<std::uint8_t>(address.GetFamily()));
    for (const std::uint8_t byte : address.NetworkBytes()) mix(byte);
    return hash;
}

std::optional<std::uint32_t> ParseIPv4(std::string_view text) {
    const auto address = IpAddress::Parse(text);
    if (!address || address->IsIPv6()) return std::nullopt;
    return address->NetworkOrder();
}

std::string IPv4Text(std::uint32_t networkOrder) { return IpAddress::FromNetworkOrder(networkOrder).Text(); }

std::uint32_t AddressFromValue(const Variant& value) {
    if (value.IsText()) return ParseIPv4(TrimAscii(value.AsText())).value_or(0);
    return static_cast<std::uint32_t>(value.AsInt64());
}

IpAddress IpAddressFromValue(const Variant& value) {
    if (value.IsText()) return IpAddress::Parse(TrimAscii(value.AsText())).value_or(IpAddress());
    return IpAddress::FromNetworkOrder(static_cast<std::uint32_t>(value.AsInt64()));
}

void IpRangeList::Add(std::uint32_t first, std::uint32_t last, std::string comment) {
    Add(IpAddress::FromHostOrder(first), IpAddress::FromHostOrder(last), std::move(comment));
}

bool IpRangeList::Add(const IpAddress& first, const IpAddress& last, std::string comment) {
    IpAddress low = first;
    IpAddress high = last.IsUnspecified() ? first : last;
    if (low.GetFamily() != high.GetFamily()) return false;
    if (high < low) std::swap(low, high);
    ranges_.push_back({low, high, std::move(comment)});
    return true;
}

bool IpRangeList::AddSetting(const Variant& start, const Variant& end, std::string comment) {
    if (start.IsText()) {
        const std::string_view text = TrimAscii(start.AsText());
        if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
            const auto address = IpAddress::Parse(text.substr(0, slash));
            const std::string_view digits = text.substr(slash + 1);
            int bits = -1;
            const auto [parsedEnd, error] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
            if (!address || digits.empty() || error != std::errc() || parsedEnd != digits.data() + digits.size() || bits < 0 ||
                bits > BitsOf(address->GetFamily())) {
                return false;
            }
            const auto [first, last] = Block(*address, bits);
            ranges_.push_back({first, last, std::move(comment)});
            return true;
        }
    }
    return Add(IpAddressFromValue(start), IpAddressFromValue(end), std::move(comment));
}

bool IpRangeList::Contains(const IpAddress& address) const {
    for (const auto& range : ranges_) {
        if (range.first.GetFamily() == address.GetFamily() && range.first <= address && address <= range.last) return true;
    }
    return false;
}

}  // namespace pw::platform
