// Guid: parsing, formatting and the binary layout of identifiers.
#include "platform/Guid.h"

#include "platform/Text.h"

#include <cstdio>
#include <random>

namespace pw::platform {

namespace {

// Reads `digits` hexadecimal digits at text[pos].
std::optional<std::uint32_t> ReadHex(std::string_view text, std::size_t pos, std::size_t digits) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int v = HexValue(text[pos + i]);
        if (v < 0) return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(v);
    }
    return value;
}

}  // namespace

std::optional<Guid> Guid::Parse(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
        return std::nullopt;
    }
    Guid guid;
    const auto d1 = ReadHex(text, 0, 8);
    const auto d2 = ReadHex(text, 9, 4);
    const auto d3 = ReadHex(text, 14, 4);
    if (!d1 || !d2 || !d3) return std::nullopt;
    guid.data1 = *d1;
    guid.data2 = static_cast<std::uint16_t>(*d2);
    guid.data3 = static_cast<std::uint16_t>(*d3);
    static constexpr std::size_t kData4Positions[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (std::size_t i = 0; i < 8; ++i) {
        const auto byte = ReadHex(text, kData4Positions[i], 2);
        if (!byte) return std::nullopt;
        guid.data4[i] = static_cast<std::uint8_t>(*byte);
    }
    return guid;
}

Guid Guid::FromBytes(std::span<const std::byte, kBinarySize> bytes) {
    const auto at = [&](std::size_t i) { return std::to_integer<std::uint32_t>(bytes[i]); };
    Guid guid;
    guid.data1 = at(0) | (at(1) << 8) | (at(2) << 16) | (at(3) << 24);
    guid.data2 = static_cast<std::uint16_t>(at(4) | (at(5) << 8));
    guid.data3 = static_cast<std::uint16_t>(at(6) | (at(7) << 8));
    for (std::size_t i = 0; i < 8; ++i) guid.data4[i] = static_cast<std::uint8_t>(at(8 + i));
    return guid;
}

Guid Guid::Create() {
    std::random_device device;
    std::mt19937_64 generator((static_cast<std::uint64_t>(device()) << 32) ^ device());
    const std::uint64_t high = generator();
    const std::uint64_t low = generator();
    Guid guid;
    guid.data1 = static_cast<std::uint32_t>(high >> 32);
    guid.data2 = static_cast<std::uint16_t>(high >> 16);
    guid.data3 = static_cast<std::uint16_t>((high & 0x0FFF) | 0x4000);
    for (std::size_t i = 0; i < 8; ++i) guid.data4[i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    guid.data4[0] = static_cast<std::uint8_t>((guid.data4[0] & 0x3F) | 0x80);
    return guid;
}

std::string Guid::ToString() const {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3,
                  data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
    return buffer;
}

std::array<std::byte, Guid::kBinarySize> Guid::ToBytes() const {
    std::array<std::byte, kBinarySize> bytes{};
    for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<std::byte>(data1 >> (8 * i));
    for (std::size_t i = 0; i < 2; ++i) bytes[4 + i] = static_cast<std::byte>(data2 >> (8 * i));
    for (std::size_t i = 0; i < 2; ++i) bytes[6 + i] = static_cast<std::byte>(data3 >> (8 * i));
    for (std::size_t i = 0; i < 8; ++i) bytes[8 + i] = static_cast<std::byte>(data4[i]);
    return bytes;
}

}  // namespace pw::platform
