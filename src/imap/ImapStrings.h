// ImapStrings: texts as IMAP writes them. A text of at most 1024 bytes without CR, LF, NUL or 8-bit
// bytes goes out quoted (a backslash before each double quote and backslash); any other text as a
// literal, "{n}" CR LF and its bytes; a missing text, where the grammar allows it, as NIL. Mailbox
// names are written in modified UTF-7 first.
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/FileStream.h"

namespace pw::imap {

std::string ImapString(std::string_view text);
// NIL for a missing or empty text.
std::string ImapNString(std::optional<std::string_view> text);
// In modified UTF-7, or in UTF-8 as it stands for a client that enabled UTF8=ACCEPT.
std::string ImapMailboxName(std::string_view utf8, bool utf8Names);
// A text a client may read as UTF-8 (RFC 6855): quoted with its 8-bit bytes where it is valid UTF-8
// without CR, LF or NUL; as ImapString otherwise.
std::string ImapUtf8String(std::string_view text);

// Object ids (RFC 8474): a kind letter ('F' a mailbox, 'M' a message's content) and 16 hex digits
// mixed from the file's identity (inode, generation, birth time), so that an id lasts as long as its directory or content file --
// through RENAME, COPY (the copy links the same content) and MOVE -- and is never given to another.
// The modification time is mixed in for content (never rewritten once published) and not for
// directories (whose time moves with every message).
std::string ObjectId(char kind, const FileIdentity& identity);
// 1 to 255 letters, digits, "_" and "-".
bool IsObjectId(std::string_view text);

}  // namespace pw::imap
