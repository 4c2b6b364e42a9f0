// ImapStrings: quoted strings, literals and NIL.
#include "imap/ImapStrings.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "imap/ImapLimits.h"
#include "imap/ModifiedUtf7.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

bool Quotable(std::string_view text) {
    if (text.size() > kMaxQuotedOutput) return false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r' || byte == '\n' || byte == 0 || byte > 0x7F) return false;
    }
    return true;
}

// A quotable text in double quotes, a backslash before each quote and backslash.
std::string Quoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string ObjectId(char kind, const FileIdentity& identity) {
    // splitmix64's finaliser over the parts: spreads them so that neighbouring inodes share no digits.
    auto mix = [](std::uint64_t x) {
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    };
    std::uint64_t value = mix(identity.inode);
    value = mix(value ^ identity.generation);
    value = mix(value ^ static_cast<std::uint64_t>(identity.bornNs));
    if (kind != 'F') value = mix(value ^ static_cast<std::uint64_t>(identity.modifiedNs));
    char text[18];
    std::snprintf(text, sizeof text, "%c%016llx", kind, static_cast<unsigned long long>(value));
    return text;
}

bool IsObjectId(std::string_view text) {
    if (text.empty() || text.size() > 255) return false;
    for (const char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    }
    return true;
}

std::string ImapString(std::string_view text) {
    if (!Quotable(text)) return "{" + std::to_string(text.size()) + "}\r\n" + std::string(text);
    return Quoted(text);
}

std::string ImapNString(std::optional<std::string_view> text) {
    return text && !text->empty() ? ImapString(*text) : "NIL";
}

std::string ImapMailboxName(std::string_view utf8, bool utf8Names) {
    return utf8Names ? ImapUtf8String(utf8) : ImapString(EncodeModifiedUtf7(utf8));
}

std::string ImapUtf8String(std::string_view text) {
    bool quotable = text.size() <= kMaxQuotedOutput;
    for (std::size_t at = 0; quotable && at < text.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8(text, at, c);
        quotable = length != 0 && c != U'\r' && c != U'\n' && c != 0;
        at += length == 0 ? 1 : length;
    }
    return quotable ? Quoted(text) : ImapString(text);
}

}  // namespace pw::imap
