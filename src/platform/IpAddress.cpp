// IpAddress: dotted-quad text, its reversed form, and address ranges (see IpAddress.h).
#include "platform/IpAddress.h"

#include "platform/Text.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <utility>

namespace pw::platform {

IpAddress IpAddress::FromNetworkOrder(std::uint32_t address) {
    IpAddress result;
    result.networkOrder_ = address;
    return result;
}

IpAddress IpAddress::FromHostOrder(std::uint32_t address) { return FromNetworkOrder(htonl(address)); }

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
    // inet_pton reads a C string: a NUL inside the view would end the text early and let what
    // follows it pass unseen.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    in_addr address{};
    if (::inet_pton(AF_INET, std::string(text).c_str(), &address) != 1) return std::nullopt;
    return FromNetworkOrder(address.s_addr);
}

std::uint32_t IpAddress::HostOrder() const { return ntohl(networkOrder_); }

std::string IpAddress::Text() const {
    const in_addr address{networkOrder_};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// The octets in the other order are the same four bytes swapped end for end.
std::string IpAddress::ReversedText() const { return FromNetworkOrder(__builtin_bswap32(networkOrder_)).Text(); }

std::optional<std::uint32_t> ParseIPv4(std::string_view text) {
    const auto address = IpAddress::Parse(text);
    if (!address) return std::nullopt;
    return address->NetworkOrder();
}

std::string IPv4Text(std::uint32_t networkOrder) { return IpAddress::FromNetworkOrder(networkOrder).Text(); }

std::uint32_t AddressFromValue(const Variant& value) {
    if (value.IsText()) return ParseIPv4(TrimAscii(value.AsText())).value_or(0);
    return static_cast<std::uint32_t>(value.AsInt64());
}

void IpRangeList::Add(std::uint32_t first, std::uint32_t last, std::string comment) {
    if (last == 0) last = first;
    if (first > last) std::swap(first, last);
    ranges_.push_back({first, last, std::move(comment)});
}

void IpRangeList::Add(const IpAddress& first, const IpAddress& last, std::string comment) {
    Add(first.HostOrder(), last.HostOrder(), std::move(comment));
}

bool IpRangeList::Contains(std::uint32_t address) const {
    for (const auto& range : ranges_) {
        if (range.first <= address && address <= range.last) return true;
    }
    return false;
}

}  // namespace pw::platform
