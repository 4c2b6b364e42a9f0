// Variant: type tags, readings and the text conversions of the file formats and the admin tool.
#include "platform/Variant.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/Text.h"

namespace pw::platform {

const char* VarTypeName(VarType type) {
    switch (type) {
    case VT_EMPTY: return "empty";
    case VT_NULL: return "null";
    case VT_I2: return "i2";
    case VT_I4: return "i4";
    case VT_R4: return "r4";
    case VT_R8: return "r8";
    case VT_CY: return "cy";
    case VT_DATE: return "date";
    case VT_BSTR: return "str";
    case VT_DISPATCH: return "dispatch";
    case VT_ERROR: return "error";
    case VT_BOOL: return "bool";
    case VT_VARIANT: return "variant";
    case VT_UNKNOWN: return "unknown";
    case VT_DECIMAL: return "decimal";
    case VT_I1: return "i1";
    case VT_UI1: return "ui1";
    case VT_UI2: return "ui2";
    case VT_UI4: return "ui4";
    case VT_I8: return "i8";
    case VT_UI8: return "ui8";
    case VT_INT: return "int";
    case VT_UINT: return "uint";
    }
    return "?";
}

Variant Variant::Null() { return Variant(VT_NULL, std::monostate{}); }

Variant Variant::Object(std::shared_ptr<Unknown> object, VarType type) {
    return Variant(type == VT_UNKNOWN ? VT_UNKNOWN : VT_DISPATCH, std::move(object));
}

bool Variant::IsNumeric() const {
    return std::holds_alternative<std::int64_t>(payload_) || std::holds_alternative<std::uint64_t>(payload_) ||
           std::holds_alternative<double>(payload_);
}

std::int64_t Variant::AsInt64() const {
    if (const auto* i = std::get_if<std::int64_t>(&payload_)) return *i;
    if (const auto* u = std::get_if<std::uint64_t>(&payload_)) return static_cast<std::int64_t>(*u);
    if (const auto* d = std::get_if<double>(&payload_)) {
        if (!std::isfinite(*d)) return 0;
        return static_cast<std::int64_t>(std::llround(*d));
    }
    if (const auto* s = std::get_if<std::string>(&payload_)) {
        Variant number;
        if (Succeeded(FromText(VT_I8, *s, number))) return number.AsInt64();
    }
    return 0;
}

double Variant::AsDouble() const {
    if (const auto* d = std::get_if<double>(&payload_)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&payload_)) return static_cast<double>(*i);
    if (const auto* u = std::get_if<std::uint64_t>(&payload_)) return static_cast<double>(*u);
    return 0;
}

const std::string& Variant::AsText() const {
    static const std::string kEmpty;
    const auto* s = std::get_if<std::string>(&payload_);
    return s ? *s : kEmpty;
}

std::shared_ptr<Unknown> Variant::AsObject() const {
    const auto* o = std::get_if<std::shared_ptr<Unknown>>(&payload_);
    return o ? *o : nullptr;
}

namespace {

std::string RealText(double value, int digits) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
    return buffer;
}

// S_OK, DISP_E_OVERFLOW for a number too big for T, DISP_E_TYPEMISMATCH for text that is no number.
template <typename T>
HRESULT ParseNumber(std::string_view text, T& out) {
    text = TrimAscii(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return DISP_E_TYPEMISMATCH;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (end != text.data() + text.size()) return DISP_E_TYPEMISMATCH;
    if (error == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
    return error == std::errc() ? S_OK : DISP_E_TYPEMISMATCH;
}

// Currency is an integer count of ten-thousandths; its text is read and written exactly, never
// through a double.
std::string CurrencyText(std::int64_t scaled) {
    const bool negative = scaled < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
    std::string fraction = std::to_string(magnitude % 10000);
    fraction.insert(0, 4 - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    return fraction.empty() ? text : text + "." + fraction;
}

HRESULT ParseCurrency(std::string_view text, std::int64_t& scaled) {
    text = TrimAscii(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    unsigned __int128 value = 0;
    int fractionDigits = -1;  // -1 until the decimal point
    bool roundUp = false;
    bool anyDigit = false;
    for (const char c : text) {
        if (c == '.' && fractionDigits < 0) {
            fractionDigits = 0;
            continue;
        }
        if (c < '0' || c > '9') return DISP_E_TYPEMISMATCH;
        anyDigit = true;
        if (fractionDigits >= 4) {
            if (fractionDigits++ == 4) roundUp = c >= '5';
            continue;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (fractionDigits >= 0) ++fractionDigits;
        if (value > (static_cast<unsigned __int128>(1) << 64)) return DISP_E_OVERFLOW;
    }
    if (!anyDigit) return DISP_E_TYPEMISMATCH;
    for (int digits = fractionDigits < 0 ? 0 : std::min(fractionDigits, 4); digits < 4; ++digits) value *= 10;
    if (roundUp) ++value;
    const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (negative ? 1 : 0);
    if (value > limit) return DISP_E_OVERFLOW;
    scaled = negative ? static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(value)) : static_cast<std::int64_t>(value);
    return S_OK;
}

bool ParseReal(std::string_view text, double& out) {
    const std::string copy(TrimAscii(text));
    if (copy.empty()) return false;
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size();
}

// Signed types with their range.
bool SignedRange(VarType type, std::int64_t& low, std::int64_t& high) {
    switch (type) {
    case VT_I1: low = INT8_MIN, high = INT8_MAX; return true;
    case VT_I2: low = INT16_MIN, high = INT16_MAX; return true;
    case VT_I4:
    case VT_INT:
    case VT_ERROR: low = INT32_MIN, high = INT32_MAX; return true;
    case VT_I8:
    case VT_CY: low = INT64_MIN, high = INT64_MAX; return true;
    default: return false;
    }
}

bool UnsignedRange(VarType type, std::uint64_t& high) {
    switch (type) {
    case VT_UI1: high = UINT8_MAX; return true;
    case VT_UI2: high = UINT16_MAX; return true;
    case VT_UI4:
    case VT_UINT: high = UINT32_MAX; return true;
    case VT_UI8: high = UINT64_MAX; return true;
    default: return false;
    }
}

}  // namespace

HRESULT Variant::ToText(std::string& out) const {
    switch (type_) {
    case VT_EMPTY:
    case VT_NULL: out.clear(); return S_OK;
    case VT_BSTR: out = AsText(); return S_OK;
    case VT_BOOL: out = AsI2() != 0 ? "True" : "False"; return S_OK;
    case VT_R4: out = RealText(AsDouble(), 7); return S_OK;
    case VT_R8: out = RealText(AsDouble(), 15); return S_OK;
    case VT_DATE: out = DateToIsoText(AsDouble()); return S_OK;
    case VT_CY: out = CurrencyText(AsInt64()); return S_OK;
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_VARIANT:
    case VT_DECIMAL: return DISP_E_TYPEMISMATCH;
    default: break;
    }
    if (const auto* u = std::get_if<std::uint64_t>(&payload_)) {
        out = std::to_string(*u);
    } else {
        out = std::to_string(AsInt64());
    }
    return S_OK;
}

HRESULT Variant::FromText(VarType type, std::string_view text, Variant& out) {
    std::int64_t low = 0, high = 0;
    std::uint64_t uhigh = 0;
    if (type == VT_EMPTY) {
        out = Variant();
        return S_OK;
    }
    if (type == VT_NULL) {
        out = Null();
        return S_OK;
    }
    if (type == VT_BSTR) {
        out = Text(text);
        return S_OK;
    }
    if (type == VT_BOOL) {
        std::int64_t number = 0;
        if (EqualsNoCase(TrimAscii(text), "true")) {
            out = Bool(true);
        } else if (EqualsNoCase(TrimAscii(text), "false")) {
            out = Bool(false);
        } else if (ParseNumber(text, number) == S_OK) {
            out = Bool(number != 0);
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        return S_OK;
    }
    if (type == VT_R4 || type == VT_R8) {
        double value = 0;
        if (!ParseReal(text, value)) return DISP_E_TYPEMISMATCH;
        if (!std::isfinite(value)) return DISP_E_OVERFLOW;
        if (type == VT_R4) {
            // A single-precision value is what a float holds, so it reads back equal to R4(x).
            if (std::fabs(value) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
            value = static_cast<float>(value);
        }
        out = Variant(type, value);
        return S_OK;
    }
    if (type == VT_DATE) {
        const auto date = DateFromIsoText(TrimAscii(text));
        double number = 0;
        if (date) {
            out = DateValue(*date);
        } else if (ParseReal(text, number)) {
            out = DateValue(number);
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        return S_OK;
    }
    if (type == VT_CY) {
        std::int64_t scaled = 0;
        if (const HRESULT hr = ParseCurrency(text, scaled); Failed(hr)) return hr;
        out = Currency(scaled);
        return S_OK;
    }
    if (SignedRange(type, low, high)) {
        std::int64_t value = 0;
        if (const HRESULT hr = ParseNumber(text, value); Failed(hr)) return hr;
        if (value < low || value > high) return DISP_E_OVERFLOW;
        out = Variant(type, value);
        return S_OK;
    }
    if (UnsignedRange(type, uhigh)) {
        std::uint64_t value = 0;
        if (const HRESULT hr = ParseNumber(text, value); Failed(hr)) {
            // A negative number is a number, only one that an unsigned type can not hold.
            std::int64_t negative = 0;
            const HRESULT asSigned = ParseNumber(text, negative);
            return asSigned == S_OK || asSigned == DISP_E_OVERFLOW || hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : hr;
        }
        if (value > uhigh) return DISP_E_OVERFLOW;
        out = Variant(type, value);
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

bool operator==(const Variant& a, const Variant& b) { return a.type_ == b.type_ && a.payload_ == b.payload_; }

}  // namespace pw::platform
