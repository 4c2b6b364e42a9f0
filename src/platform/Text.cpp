// Text: case folding, UTF-16LE conversion and the safe formatter.
#include "platform/Text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace pw::platform {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = FoldAscii(c);
    return out;
}

std::string ToUpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(FoldAscii(a[i]));
        const auto cb = static_cast<unsigned char>(FoldAscii(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimAscii(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::string> SplitAtAny(std::string_view text, std::string_view separators) {
    std::vector<std::string> runs;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = text.find_first_not_of(separators, at);
        if (start == std::string_view::npos) break;
        at = std::min(text.find_first_of(separators, start), text.size());
        runs.emplace_back(text.substr(start, at - start));
    }
    return runs;
}

std::vector<std::string> SplitWords(std::string_view line) { return SplitAtAny(line, " \t"); }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string LowerHex(std::string_view bytes) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

namespace {

void AppendUtf16Unit(std::vector<std::byte>& out, char16_t unit) {
    out.push_back(static_cast<std::byte>(unit & 0xFF));
    out.push_back(static_cast<std::byte>(unit >> 8));
}

}  // namespace

std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& out) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    out = value;
    return length;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::vector<std::byte> Utf8ToUtf16Le(std::string_view text) {
    std::vector<std::byte> out;
    out.reserve(text.size() * 2);
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        std::size_t used = DecodeUtf8(text, i, c);
        if (used == 0) {
            c = static_cast<unsigned char>(text[i]);
            used = 1;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            AppendUtf16Unit(out, static_cast<char16_t>(0xD800 + (c >> 10)));
            AppendUtf16Unit(out, static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            AppendUtf16Unit(out, static_cast<char16_t>(c));
        }
        i += used;
    }
    return out;
}

std::string Utf16LeToUtf8(std::span<const std::byte> bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    const std::size_t units = bytes.size() / 2;
    const auto unitAt = [&](std::size_t k) {
        return static_cast<char16_t>(std::to_integer<unsigned>(bytes[2 * k]) |
                                     (std::to_integer<unsigned>(bytes[2 * k + 1]) << 8));
    };
    for (std::size_t k = 0; k < units; ++k) {
        const char16_t unit = unitAt(k);
        if (unit >= 0xD800 && unit <= 0xDBFF && k + 1 < units) {
            const char16_t low = unitAt(k + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00));
                ++k;
                continue;
            }
        }
        AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{unit});
    }
    return out;
}

namespace {

// One parsed conversion: "%-08.3lld" and the like.
struct Conversion {
    std::string flags;
    std::string width;
    std::string precision;  // with its leading '.'
    char conversion = 0;
};

std::string RenderInteger(const Conversion& conv, const FormatArg& arg) {
    const bool isSigned = conv.conversion == 'd' || conv.conversion == 'i';
    std::string format = "%" + conv.flags + conv.width + conv.precision + "ll" + conv.conversion;
    char buffer[512];
    long long signedValue = 0;
    unsigned long long unsignedValue = 0;
    if (const auto* i = std::get_if<std::int64_t>(&arg)) {
        signedValue = *i;
        unsignedValue = static_cast<unsigned long long>(*i);
    } else if (const auto* u = std::get_if<std::uint64_t>(&arg)) {
        signedValue = static_cast<long long>(*u);
        unsignedValue = *u;
    } else if (const auto* d = std::get_if<double>(&arg)) {
        signedValue = static_cast<long long>(*d);
        unsignedValue = static_cast<unsigned long long>(signedValue);
    } else {
        return std::string(std::get<std::string_view>(arg));
    }
    if (isSigned) {
        std::snprintf(buffer, sizeof buffer, format.c_str(), signedValue);
    } else {
        std::snprintf(buffer, sizeof buffer, format.c_str(), unsignedValue);
    }
    return buffer;
}

std::string RenderReal(const Conversion& conv, const FormatArg& arg) {
    double value = 0;
    if (const auto* d = std::get_if<double>(&arg)) {
        value = *d;
    } else if (const auto* i = std::get_if<std::int64_t>(&arg)) {
        value = static_cast<double>(*i);
    } else if (const auto* u = std::get_if<std::uint64_t>(&arg)) {
        value = static_cast<double>(*u);
    } else {
        return std::string(std::get<std::string_view>(arg));
    }
    const std::string format = "%" + conv.flags + conv.width + conv.precision + conv.conversion;
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format.c_str(), value);
    return buffer;
}

std::string RenderText(const Conversion& conv, const FormatArg& arg) {
    std::string text;
    if (const auto* s = std::get_if<std::string_view>(&arg)) {
        text = std::string(*s);
    } else if (const auto* i = std::get_if<std::int64_t>(&arg)) {
        text = std::to_string(*i);
    } else if (const auto* u = std::get_if<std::uint64_t>(&arg)) {
        text = std::to_string(*u);
    } else {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%g", std::get<double>(arg));
        text = buffer;
    }
    if (!conv.precision.empty()) {
        const std::size_t limit = static_cast<std::size_t>(std::atoi(conv.precision.c_str() + 1));
        if (text.size() > limit) text.resize(limit);
    }
    const std::size_t width = conv.width.empty() ? 0 : static_cast<std::size_t>(std::atoi(conv.width.c_str()));
    if (text.size() < width) {
        const std::string pad(width - text.size(), ' ');
        text = conv.flags.find('-') != std::string::npos ? text + pad : pad + text;
    }
    return text;
}

std::string RenderChar(const Conversion& conv, const FormatArg& arg) {
    if (const auto* s = std::get_if<std::string_view>(&arg)) return RenderText(conv, *s);
    char c = 0;
    if (const auto* i = std::get_if<std::int64_t>(&arg)) c = static_cast<char>(*i);
    if (const auto* u = std::get_if<std::uint64_t>(&arg)) c = static_cast<char>(*u);
    return RenderText(Conversion{conv.flags, conv.width, "", 's'}, std::string_view(&c, 1));
}

// Widths beyond this are a damaged format, not a wish: they are capped so a text can not balloon.
constexpr std::size_t kMaxFieldWidth = 256;

std::string Digits(std::string_view format, std::size_t& i) {
    std::string digits;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') digits += format[i++];
    if (digits.size() > 3 || (!digits.empty() && std::stoul(digits) > kMaxFieldWidth)) {
        digits = std::to_string(kMaxFieldWidth);
    }
    return digits;
}

}  // namespace

std::string Format(std::string_view format, std::initializer_list<FormatArg> args) {
    std::string out;
    auto next = args.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        const char c = format[i++];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i < format.size() && format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        Conversion conv;
        while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos) {
            conv.flags += format[i++];
        }
        conv.width = Digits(format, i);
        if (i < format.size() && format[i] == '.') {
            ++i;
            conv.precision = "." + Digits(format, i);
        }
        // Length modifiers only matter to C; the argument carries its own width here.
        while (i < format.size() && std::string_view("hlLqjzt").find(format[i]) != std::string_view::npos) ++i;
        if (format.substr(i, 3) == "I64" || format.substr(i, 3) == "I32") i += 3;
        if (i >= format.size()) break;
        conv.conversion = format[i++];
        if (next == args.end()) continue;
        const FormatArg& arg = *next++;
        switch (conv.conversion) {
        case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': out += RenderInteger(conv, arg); break;
        case 'f': case 'F': case 'g': case 'G': case 'e': case 'E': out += RenderReal(conv, arg); break;
        case 'c': out += RenderChar(conv, arg); break;
        case 's': out += RenderText(conv, arg); break;
        default: --next; break;  // an unknown conversion consumes nothing
        }
    }
    return out;
}

}  // namespace pw::platform
