// M5Decoders: transfer encodings by name, decoded through mime::Codecs, with the checks that report
// odd input.
#include "m5/M5Decoders.h"

#include "m5/M5Limits.h"
#include "mime/Codecs.h"
#include "platform/Text.h"

namespace pw::m5 {

namespace {

bool IsBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

bool IsLineSpace(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

bool Base64IsClean(std::string_view text) {
    for (const char c : text) {
        if (!IsBase64Character(c) && !IsLineSpace(c)) return false;
    }
    return true;
}

// Every "=" is a soft break (only blanks after it on its line) or starts two hexadecimal digits.
bool QuotedPrintableIsClean(std::string_view text) {
    for (std::size_t at = text.find('='); at != std::string_view::npos; at = text.find('=', at + 1)) {
        if (at + 2 < text.size() && IsHex(text[at + 1]) && IsHex(text[at + 2])) continue;
        std::size_t next = at + 1;
        while (next < text.size() && (text[next] == ' ' || text[next] == '\t')) ++next;
        if (next == text.size() || text[next] == '\r' || text[next] == '\n') continue;
        return false;
    }
    return true;
}

// The text up to the first uuencoded line whose bytes would take the decoded size past `limit`. The
// lines are read as mime::DecodeUuencode reads them: nothing before "begin ", no data in empty lines
// or "end", the first character of any other line its byte count.
std::string_view UuencodeWithinLimit(std::string_view text, std::size_t limit, bool& cut) {
    cut = false;
    bool inData = false;
    std::size_t total = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (!inData) {
            inData = line.starts_with("begin ");
        } else if (line == "end") {
            break;
        } else if (!line.empty()) {
            total += static_cast<std::size_t>(static_cast<unsigned char>(line[0]) - 32) & 63;
            if (total > limit) {
                cut = true;
                return text.substr(0, start);
            }
        }
        start = end;
    }
    return text;
}

}  // namespace

M5Encoding M5EncodingOf(std::string_view name) {
    const std::string_view trimmed = TrimAscii(name);
    if (trimmed.empty() || EqualsNoCase(trimmed, "7bit") || EqualsNoCase(trimmed, "8bit") ||
        EqualsNoCase(trimmed, "binary")) {
        return M5Encoding::Identity;
    }
    if (EqualsNoCase(trimmed, "base64")) return M5Encoding::Base64;
    if (EqualsNoCase(trimmed, "quoted-printable")) return M5Encoding::QuotedPrintable;
    if (EqualsNoCase(trimmed, "x-uuencode") || EqualsNoCase(trimmed, "uuencode") || EqualsNoCase(trimmed, "x-uue")) {
        return M5Encoding::Uuencode;
    }
    return M5Encoding::Unknown;
}

std::string M5DecodeBody(M5Encoding encoding, std::string_view stored, std::vector<std::string>& diagnostics) {
    switch (encoding) {
        case M5Encoding::Identity:
            return std::string(stored);
        case M5Encoding::Unknown:
            diagnostics.emplace_back("M5 invalid encoding type");
            return std::string(stored);
        case M5Encoding::Base64:
            if (!Base64IsClean(stored)) diagnostics.emplace_back("M5 invalid base 64 encoding");
            return mime::DecodeBase64(stored);
        case M5Encoding::QuotedPrintable:
            if (!QuotedPrintableIsClean(stored)) diagnostics.emplace_back("M5 invalid quoted-printable element");
            return mime::DecodeQuotedPrintable(stored);
        case M5Encoding::Uuencode: {
            bool cut = false;
            const std::string_view within = UuencodeWithinLimit(stored, kMaxDecodedGrowth * stored.size(), cut);
            if (cut) diagnostics.emplace_back("M5 uuencoded body cut at its limit");
            return mime::DecodeUuencode(within);
        }
    }
    return std::string(stored);
}

}  // namespace pw::m5
