// ImapStrings: texts as IMAP writes them. A text of at most 1024 bytes without CR, LF, NUL or 8-bit
// bytes goes out quoted (a backslash before each double quote and backslash); any other text as a
// literal, "{n}" CR LF and its bytes; a missing text, where the grammar allows it, as NIL. Mailbox
// names are written in modified UTF-7 first.
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pw::imap {

std::string ImapString(std::string_view text);
// NIL for a missing or empty text.
std::string ImapNString(std::optional<std::string_view> text);
std::string ImapMailboxName(std::string_view utf8);

}  // namespace pw::imap
