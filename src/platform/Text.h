// Text: the text helpers every layer shares -- case-insensitive comparison, the words of a command
// line, lower-case hexadecimal, UTF-16LE for the file formats that carry it, and a printf-style
// formatter that is safe with formats read from files.
//
// Texts are UTF-8 std::string in memory. Case-insensitive means ASCII letters fold; other bytes compare
// as they are (names on disk and configuration keys are ASCII in practice, and folding ASCII only never
// changes the byte length of a text).
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pw::platform {

char FoldAscii(char c);
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
// <0, 0, >0 as the folded texts order.
int CompareNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
std::string_view TrimAscii(std::string_view text);
// The runs of text between any of the separator characters, without empty runs.
std::vector<std::string> SplitAtAny(std::string_view text, std::string_view separators);
// The words of a protocol command line: the runs between blanks and tabs (RFC 5321 and RFC 1939
// separate arguments by them), without empty words.
std::vector<std::string> SplitWords(std::string_view line);
// Bytes as lower-case hexadecimal, two digits each (digests in CRAM-MD5 and APOP).
std::string LowerHex(std::string_view bytes);
// The value of one hexadecimal digit of either case; -1 for any other character.
int HexValue(char c);

// UTF-8 to UTF-16LE bytes, without terminator. A byte that is not part of valid UTF-8 is taken as the
// Latin-1 character of that value, so texts from older tools survive the round trip.
// One UTF-8 sequence at text[at]: its length, or 0 when it is not valid UTF-8 (overlong, a surrogate,
// past U+10FFFF, cut short).
std::size_t DecodeUtf8(std::string_view text, std::size_t at, char32_t& out);
void AppendUtf8(std::string& out, char32_t c);
std::vector<std::byte> Utf8ToUtf16Le(std::string_view text);
// UTF-16LE bytes (an odd trailing byte is ignored) to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(std::span<const std::byte> bytes);

// One argument of Format: integers, texts and floating-point values.
using FormatArg = std::variant<std::int64_t, std::uint64_t, double, std::string_view>;

// printf-style formatting over typed arguments. Understands flags, width, precision, the length
// modifiers h, l, ll, I64, and the conversions d i u x X o c s f g e %. Formats may come from
// language catalogues, so a conversion that finds no argument, or one of the wrong kind, is written
// with the argument's natural form or left out -- never undefined behaviour.
std::string Format(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
