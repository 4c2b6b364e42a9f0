// JsonText: the one way the test tools write a text from a message into JSON. Message text is not
// ours to trust: every byte outside printable ASCII is written as \u00XX (bytes above 127 as the
// Latin-1 code point), so the output is always valid JSON.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace pw::tools {

inline std::string JsonQuoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20 || b >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace pw::tools
