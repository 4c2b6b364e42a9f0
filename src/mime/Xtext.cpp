// Xtext: encoding and checked decoding.
#include "mime/Xtext.h"

namespace pw::mime {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> DecodeXtext(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '!' || c > '~' || c == '=') return std::nullopt;
        if (c != '+') {
            out += c;
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        const char decoded = static_cast<char>(high * 16 + low);
        if (decoded == '\0' || decoded == '\r' || decoded == '\n') return std::nullopt;
        out += decoded;
        i += 2;
    }
    return out;
}

std::string EncodeXtext(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < '!' || byte > '~' || c == '+' || c == '=') {
            out += '+';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace pw::mime
