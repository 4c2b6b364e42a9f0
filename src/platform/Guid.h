// Guid: class, application and interface identifiers.
//
// Written as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in the registry file and in logs; stored in
// streams in the Windows binary layout (Data1, Data2 and Data3 little-endian, then the eight bytes of
// Data4 as they stand), because persisted objects begin with their class identifier in that form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pw::platform {

struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    static constexpr std::size_t kBinarySize = 16;

    // Accepts the form with or without braces, hexadecimal digits in either case.
    static std::optional<Guid> Parse(std::string_view text);
    static Guid FromBytes(std::span<const std::byte, kBinarySize> bytes);
    // A new random identifier (version 4).
    static Guid Create();

    std::string ToString() const;  // upper case, with braces
    std::array<std::byte, kBinarySize> ToBytes() const;
    bool IsNull() const { return *this == Guid{}; }

    friend bool operator==(const Guid&, const Guid&) = default;
    friend auto operator<=>(const Guid&, const Guid&) = default;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
