// ImapStrings: quoted strings, literals and NIL.
#include "imap/ImapStrings.h"

#include "imap/ImapLimits.h"
#include "imap/ModifiedUtf7.h"

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

}  // namespace

std::string ImapString(std::string_view text) {
    if (!Quotable(text)) return "{" + std::to_string(text.size()) + "}\r\n" + std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string ImapNString(std::optional<std::string_view> text) {
    return text && !text->empty() ? ImapString(*text) : "NIL";
}

std::string ImapMailboxName(std::string_view utf8) { return ImapString(EncodeModifiedUtf7(utf8)); }

}  // namespace pw::imap
