// Idna: the two spellings of a domain through libidn2, and UTF-8 checks.
#include "platform/Idna.h"

#include <idn2.h>

#include <cstdlib>
#include <memory>

#include "platform/Text.h"

namespace pw::platform {

namespace {

struct Freed {
    void operator()(char* text) const { idn2_free(text); }
};

bool HasALabel(std::string_view domain) {
    const std::string lower = ToLowerAscii(domain);
    return lower.starts_with("xn--") || lower.find(".xn--") != std::string::npos;
}

}  // namespace

bool IsAsciiText(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10FFFF)) ||
            (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::optional<std::string> DomainToAscii(std::string_view domain) {
    if (IsAsciiText(domain)) {
        // An A-label must decode, or it is no name at all.
        if (HasALabel(domain) && !DomainToUnicode(domain)) return std::nullopt;
        return ToLowerAscii(domain);
    }
    if (!IsValidUtf8(domain)) return std::nullopt;
    char* out = nullptr;
    // UTS #46 mapping folds case and normalises, so "EXÄMPLE.de" and "exämple.de" are one name.
    if (idn2_lookup_u8(reinterpret_cast<const uint8_t*>(std::string(domain).c_str()), reinterpret_cast<uint8_t**>(&out),
                       IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) != IDN2_OK) {
        return std::nullopt;
    }
    const std::unique_ptr<char, Freed> owned(out);
    return ToLowerAscii(out);
}

std::optional<std::string> DomainToUnicode(std::string_view domain) {
    if (!IsAsciiText(domain)) {
        const auto ascii = DomainToAscii(domain);
        if (!ascii) return std::nullopt;
        return DomainToUnicode(*ascii);
    }
    const std::string lower = ToLowerAscii(domain);
    if (!HasALabel(lower)) return lower;
    char* out = nullptr;
    if (idn2_to_unicode_8z8z(lower.c_str(), &out, 0) != IDN2_OK) return std::nullopt;
    const std::unique_ptr<char, Freed> owned(out);
    std::string unicode(out);
    // A label that only looks encoded ("xn--abc" decoding to plain ASCII, or to something the
    // mapping would change) is not a name's A-label: its round trip must give it back.
    const auto back = DomainToAscii(unicode);
    if (IsAsciiText(unicode) || !back || *back != lower) return std::nullopt;
    return unicode;
}

std::string DomainKey(std::string_view domain) {
    if (const auto unicode = DomainToUnicode(domain)) return *unicode;
    return ToLowerAscii(domain);
}

}  // namespace pw::platform
