// Codecs: the transfer encodings of message bodies and the encoded words of header fields.
//
// Base64 (RFC 2045) is written in lines of 76 characters separated by CR LF, with "=" padding; when
// reading, anything outside the alphabet (line breaks, blanks, garbage) is skipped. Quoted-printable is
// written line by line: "!" to "<" and ">" to "~" stay, a blank or tab stays while the output line is
// shorter than 64 characters and is not the last of its line, every other byte becomes "=XX" in
// upper-case hexadecimal, and a soft break ("=" CR LF) is put before the output line would grow past
// 64 characters -- never inside an "=XX" triple. uuencode is "begin 666 NAME", lines of up to 45
// bytes with "`" for the value 0, "`" and "end". 7bit, 8bit and binary are copied unchanged.
// Decoders accept CR LF or LF line breaks and never read past their input.
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pw::mime {

enum EncodedWordType { EncodedWordTypeUnknown = 0, EncodedWordTypeB = 1, EncodedWordTypeQ = 2 };

std::string EncodeBase64(std::string_view data, bool lineBreaks = true);
std::string DecodeBase64(std::string_view text);
// The strict reading for protocol exchanges (SMTP AUTH): the standard alphabet only, with or without
// "=" padding; nullopt for anything else (line breaks, blanks, the "*" a client sends to cancel).
std::optional<std::string> DecodeBase64Strict(std::string_view text);
std::string EncodeQuotedPrintable(std::string_view data);
std::string DecodeQuotedPrintable(std::string_view text);
std::string EncodeUuencode(std::string_view data, std::string_view fileName);
std::string DecodeUuencode(std::string_view text);

// The body encoders by Content-Transfer-Encoding value (without regard to case); an unknown or
// empty encoding copies the data unchanged.
std::string EncodeBody(std::string_view encoding, std::string_view data, std::string_view fileName = {});
std::string DecodeBody(std::string_view encoding, std::string_view text);

// Encoded words (RFC 2047): "=?charset?B?...?=" and "=?charset?Q?...?=".
std::string EncodeWord(std::string_view charset, EncodedWordType type, std::string_view raw);
struct DecodedWord {
    std::string text;  // the decoded bytes, in the word's charset
    std::string charset;
    EncodedWordType type = EncodedWordTypeUnknown;
};
// A word that is not an encoded word, or of another type than B or Q, gives an empty text.
DecodedWord DecodeWord(std::string_view word);
bool IsEncodedWord(std::string_view word);

}  // namespace pw::mime
