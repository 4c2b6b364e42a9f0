// CoreTestSupport: helpers of the core tests -- record builders for hand-made tree images, and a
// readable dump of a tree that keeps every type tag and the exact bits of every real number.
#pragma once

#include "TestSupport.h"
#include "core/ConfigTree.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace pw::core::support {

// "type:value"; reals and dates as their bit pattern, so -0.0 and NaN payloads are told apart.
inline std::string Describe(const Variant& value) {
    std::string out = VarTypeName(value.Type());
    out += ':';
    switch (value.Type()) {
    case VT_R4:
    case VT_R8:
    case VT_DATE: {
        char bits[32];
        std::snprintf(bits, sizeof bits, "%016llx",
                      static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value.AsDouble())));
        return out + bits;
    }
    case VT_BSTR: return out + (value.IsNullText() ? "<null>" : "\"" + value.AsText() + "\"");
    case VT_DISPATCH:
    case VT_UNKNOWN: return out + (value.AsObject() ? "<object>" : "<none>");
    default: {
        std::string text;
        if (Failed(value.ToText(text))) text = "?";
        return out + text;
    }
    }
}

// One line per record, in file order.
inline std::string Dump(const ConfigTree& tree) {
    std::string out;
    for (const ConfigTree::Record& record : tree.Records()) out += record.key + " = " + Describe(record.value) + "\n";
    return out;
}

inline std::vector<std::byte> WriteImage(const ConfigTree& tree) {
    MemoryStream stream;
    EXPECT_EQ(tree.WriteTo(stream), S_OK);
    return stream.TakeBytes();
}

inline HRESULT ReadImage(ConfigTree& tree, std::vector<std::byte> bytes) {
    MemoryStream stream(std::move(bytes));
    return tree.ReadFrom(stream);
}

// Record builders: the key (ASCII) with its length and the VARTYPE, then the value by hand.
inline test::Bytes& Head(test::Bytes& bytes, std::string_view key, VarType type) {
    return bytes.U32(static_cast<std::uint32_t>(key.size())).Ascii(key).U16(type);
}
// A grouping node: VT_EMPTY written as text, two bytes of terminator.
inline test::Bytes& Group(test::Bytes& bytes, std::string_view key) { return Head(bytes, key, VT_EMPTY).U32(2).U16(0); }
// An ASCII text value: byte count including the terminator, UTF-16LE, terminator.
inline test::Bytes& TextValue(test::Bytes& bytes, std::string_view text) {
    return bytes.U32(static_cast<std::uint32_t>(2 * (text.size() + 1))).Utf16(text).U16(0);
}

inline std::vector<std::byte> Cut(const std::vector<std::byte>& bytes, std::size_t size) {
    return std::vector<std::byte>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

}  // namespace pw::core::support
