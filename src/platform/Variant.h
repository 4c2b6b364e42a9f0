// Variant: the tagged value of settings, properties and automation arguments.
//
// The VARTYPE tag is kept exactly, because the configuration and property files record it and their
// readers depend on it (a port is VT_UI2 in network byte order, a switch VT_I2 -1 or VT_BOOL -1, a
// count VT_I4). Texts are UTF-8 here; the file formats convert to UTF-16LE at their edge. A text may be
// null (a BSTR that was never set), which files keep apart from the empty text.
// Thread safety: a value type; copies share only the object of VT_DISPATCH / VT_UNKNOWN.
#pragma once

#include "platform/AutomationDate.h"
#include "platform/HResult.h"
#include "platform/Unknown.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace pw::platform {

enum VarType : std::uint16_t {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
};

// The automation booleans: -1 is true, 0 false; readers compare with -1.
inline constexpr std::int16_t kVariantTrue = -1;
inline constexpr std::int16_t kVariantFalse = 0;

const char* VarTypeName(VarType type);

class Variant {
public:
    Variant() = default;  // VT_EMPTY

    static Variant Null();
    static Variant I1(std::int8_t v) { return Variant(VT_I1, std::int64_t{v}); }
    static Variant I2(std::int16_t v) { return Variant(VT_I2, std::int64_t{v}); }
    static Variant I4(std::int32_t v) { return Variant(VT_I4, std::int64_t{v}); }
    static Variant I8(std::int64_t v) { return Variant(VT_I8, v); }
    static Variant Int(std::int32_t v) { return Variant(VT_INT, std::int64_t{v}); }
    static Variant UI1(std::uint8_t v) { return Variant(VT_UI1, std::uint64_t{v}); }
    static Variant UI2(std::uint16_t v) { return Variant(VT_UI2, std::uint64_t{v}); }
    static Variant UI4(std::uint32_t v) { return Variant(VT_UI4, std::uint64_t{v}); }
    static Variant UI8(std::uint64_t v) { return Variant(VT_UI8, v); }
    static Variant UInt(std::uint32_t v) { return Variant(VT_UINT, std::uint64_t{v}); }
    static Variant R4(float v) { return Variant(VT_R4, double{v}); }
    static Variant R8(double v) { return Variant(VT_R8, v); }
    static Variant DateValue(Date v) { return Variant(VT_DATE, v); }
    // Currency: the 64-bit integer scaled by 10000, as stored.
    static Variant Currency(std::int64_t scaled) { return Variant(VT_CY, scaled); }
    static Variant Bool(bool v) { return Variant(VT_BOOL, std::int64_t{v ? kVariantTrue : kVariantFalse}); }
    // A VT_BOOL with the 16 bits a file holds, kept as they are: only -1 is on (IsTrue), and a file
    // written back holds the same bits.
    static Variant BoolBits(std::int16_t stored) { return Variant(VT_BOOL, std::int64_t{stored}); }
    // A switch as the defaults write it: VT_I2 -1 or 0.
    static Variant Switch(bool v) { return I2(v ? kVariantTrue : kVariantFalse); }
    static Variant Error(HRESULT hr) { return Variant(VT_ERROR, std::int64_t{hr}); }
    static Variant Text(std::string_view v) { return Variant(VT_BSTR, std::string(v)); }
    static Variant NullText() { return Variant(VT_BSTR, std::monostate{}); }
    // VT_DISPATCH or VT_UNKNOWN holding an object (which may be null).
    static Variant Object(std::shared_ptr<Unknown> object, VarType type = VT_DISPATCH);

    VarType Type() const { return type_; }
    bool IsEmpty() const { return type_ == VT_EMPTY; }
    bool IsText() const { return type_ == VT_BSTR; }
    bool IsNullText() const { return type_ == VT_BSTR && std::holds_alternative<std::monostate>(payload_); }

    // Numeric readings by value, whatever the numeric type (a text that holds a number counts too);
    // anything else reads as 0.
    std::int64_t AsInt64() const;
    std::int32_t AsI4() const { return static_cast<std::int32_t>(AsInt64()); }
    std::int16_t AsI2() const { return static_cast<std::int16_t>(AsInt64()); }
    std::uint16_t AsUI2() const { return static_cast<std::uint16_t>(AsInt64()); }
    double AsDouble() const;
    // A switch is on when its 16-bit value is -1.
    bool IsTrue() const { return IsNumeric() && AsI2() == kVariantTrue; }
    bool IsNumeric() const;
    // The text of a VT_BSTR (empty for a null text); other types give an empty text.
    const std::string& AsText() const;
    std::shared_ptr<Unknown> AsObject() const;

    // The value as text, as the automation type conversion would give it (numbers in decimal, dates
    // as "YYYY-MM-DD HH:MM:SS", booleans as "True"/"False"). Fails with DISP_E_TYPEMISMATCH for objects.
    [[nodiscard]] HRESULT ToText(std::string& out) const;
    // A value of `type` read from text: the inverse of ToText. DISP_E_TYPEMISMATCH when the text
    // does not hold such a value, DISP_E_OVERFLOW when it does not fit.
    [[nodiscard]] static HRESULT FromText(VarType type, std::string_view text, Variant& out);

    friend bool operator==(const Variant& a, const Variant& b);

private:
    using Payload = std::variant<std::monostate, std::int64_t, std::uint64_t, double, std::string,
                                 std::shared_ptr<Unknown>>;
    Variant(VarType type, Payload payload) : type_(type), payload_(std::move(payload)) {}

    VarType type_ = VT_EMPTY;
    Payload payload_;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
