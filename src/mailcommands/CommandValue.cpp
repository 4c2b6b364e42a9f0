// CommandValue: the type table of the "set" command and the names it may write.
#include "mailcommands/CommandValue.h"

#include "platform/AutomationDate.h"
#include "platform/Text.h"

#include <array>
#include <charconv>

namespace pw::mailcommands {

namespace {

struct TypeWord {
    std::string_view word;
    VarType type;
};

// DECIMAL is kept as a 64-bit integer and HRESULT as an error code: the property file has no
// decimal type, and an HRESULT is what VT_ERROR holds.
constexpr std::array kTypes{
    TypeWord{"null", VT_NULL},   TypeWord{"I2", VT_I2},       TypeWord{"I4", VT_I4},     TypeWord{"R4", VT_R4},
    TypeWord{"R8", VT_R8},       TypeWord{"CY", VT_CY},       TypeWord{"DATE", VT_DATE}, TypeWord{"BSTR", VT_BSTR},
    TypeWord{"STR", VT_BSTR},    TypeWord{"ERROR", VT_ERROR}, TypeWord{"BOOL", VT_BOOL}, TypeWord{"DECIMAL", VT_I8},
    TypeWord{"I1", VT_I1},       TypeWord{"UI1", VT_UI1},     TypeWord{"UI2", VT_UI2},   TypeWord{"UI4", VT_UI4},
    TypeWord{"INT", VT_INT},     TypeWord{"UINT", VT_UINT},   TypeWord{"I8", VT_I8},     TypeWord{"VOID", VT_EMPTY},
    TypeWord{"HRESULT", VT_ERROR},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// [+-]digits[.digits][(e|E)[+-]digits], or [+-].digits: what strtod reads alike in every locale,
// without its "inf", "nan" and hexadecimal forms.
bool IsDecimalReal(std::string_view text) {
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    std::size_t digits = 0;
    while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
    }
    if (digits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        const std::size_t exponent = at;
        while (at < text.size() && IsDigit(text[at])) ++at;
        if (at == exponent) return false;
    }
    return at == text.size();
}

// A number of 1 to `most` digits.
bool ReadField(std::string_view text, std::size_t most, int& value) {
    if (text.empty() || text.size() > most) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && IsDigit(text.front());
}

// "M/D/YYYY".
std::optional<Date> SlashDate(std::string_view text) {
    const std::size_t first = text.find('/');
    const std::size_t second = first == std::string_view::npos ? first : text.find('/', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    int month = 0, day = 0, year = 0;
    if (!ReadField(text.substr(0, first), 2, month) || !ReadField(text.substr(first + 1, second - first - 1), 2, day) ||
        text.size() - second - 1 != 4 || !ReadField(text.substr(second + 1), 4, year)) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 100) return std::nullopt;
    const Date date = DateFromFields(year, month, day);
    const DateFields check = FieldsFromDate(date);
    if (check.month != month || check.day != day) return std::nullopt;  // 31 April and the like
    return date;
}

ValueResult Boolean(std::string_view text, Variant& value) {
    if (EqualsNoCase(text, "true") || EqualsNoCase(text, "y") || EqualsNoCase(text, "yes")) {
        value = Variant::Bool(true);
    } else if (EqualsNoCase(text, "false") || EqualsNoCase(text, "no") || EqualsNoCase(text, "n")) {
        value = Variant::Bool(false);
    } else if (Variant number; Succeeded(Variant::FromText(VT_I8, text, number))) {
        value = Variant::Bool(number.AsInt64() != 0);
    } else {
        return ValueResult::BadValue;
    }
    return ValueResult::Value;
}

}  // namespace

ValueResult ConvertValue(std::string_view typeWord, std::string_view text, Variant& value) {
    const TypeWord* found = nullptr;
    for (const auto& type : kTypes) {
        if (EqualsNoCase(type.word, typeWord)) found = &type;
    }
    if (!found) return ValueResult::UnknownType;
    switch (found->type) {
    case VT_EMPTY: return ValueResult::Remove;
    case VT_NULL: value = Variant::Null(); return ValueResult::Value;
    case VT_BSTR: value = Variant::Text(text); return ValueResult::Value;
    case VT_BOOL: return Boolean(TrimAscii(text), value);
    case VT_DATE:
        if (const auto date = DateFromIsoText(TrimAscii(text))) {
            value = Variant::DateValue(*date);
        } else if (const auto slashed = SlashDate(TrimAscii(text))) {
            value = Variant::DateValue(*slashed);
        } else {
            return ValueResult::BadValue;
        }
        return ValueResult::Value;
    case VT_R4:
    case VT_R8:
        if (!IsDecimalReal(TrimAscii(text))) return ValueResult::BadValue;
        break;
    default: break;
    }
    return Succeeded(Variant::FromText(found->type, text, value)) ? ValueResult::Value : ValueResult::BadValue;
}

bool IsTextType(std::string_view typeWord) { return EqualsNoCase(typeWord, "BSTR") || EqualsNoCase(typeWord, "STR"); }

bool IsSettableName(std::string_view name) {
    // Names are property keys: components of letters, digits, ".", "-" and "_", none of them empty.
    if (name.empty() || name.size() > 256 || name.front() == ':' || name.back() == ':' || name.find("::") != std::string_view::npos) {
        return false;
    }
    for (const char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '.' || c == '-' || c == '_')) return false;
    }
    for (const std::string_view own : {"mailbox:password", "mailbox:comment", "mailbox:autoreplyenable", "mailbox:autoreplysubject",
                                       "mailbox:autoreplybody"}) {
        if (EqualsNoCase(name, own)) return true;
    }
    for (const std::string_view family : {"user:quota:", "alias:", "group:", "ml."}) {
        if (StartsWithNoCase(name, family) && name.size() > family.size()) {
            // A list setting is one key ("ml.type"), never a tree below one.
            return family != "ml." || name.find(':') == std::string_view::npos;
        }
    }
    return false;
}

}  // namespace pw::mailcommands
