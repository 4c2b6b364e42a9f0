// M5Charsets: charset names as messages write them, mapped to Windows code page numbers, and text in
// those code pages converted to UTF-8.
//
// A name is looked up lower-cased, first in the main list, then in the aliases; "windows-" followed by
// digits is that number. Anything else has no code page. Conversion goes through the C library's iconv
// under the code page's iconv name; a byte sequence iconv rejects becomes U+FFFD and conversion goes
// on, so a text always converts. A name the table does not know is tried with iconv under the name
// itself (ISO-8859-13, GB18030, ...), without an RFC 2231 language ("utf-8*en"). Header bytes without a
// declared charset are read as UTF-8 when they are valid UTF-8, else as Windows-1252.
// Thread safety: pure functions (each conversion opens its own iconv descriptor).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pw::m5 {

inline constexpr unsigned kCodePageUtf8 = 65001;
inline constexpr unsigned kCodePageWindows1252 = 1252;

std::optional<unsigned> M5CodePage(std::string_view charset);
// The iconv name of a code page; nullptr when the C library has no converter for it.
const char* M5IconvName(unsigned codePage);
// False when the code page has no converter (out is then empty).
bool M5ConvertToUtf8(unsigned codePage, std::string_view bytes, std::string& out);
// Text in the charset of that name: the table's code page, else iconv's converter of that name.
// False when neither knows it (out is then empty).
bool M5ConvertNamedToUtf8(std::string_view charset, std::string_view bytes, std::string& out);
// Bytes of no declared charset: kept when valid UTF-8, else read as Windows-1252.
std::string M5UndeclaredToUtf8(std::string_view bytes);

}  // namespace pw::m5
