// M5Decoders: a part body as stored, decoded by its Content-Transfer-Encoding.
//
// The codecs themselves are mime::Codecs (base64, quoted-printable, uuencode); this unit only names
// the encodings the way IMAP delivery needs them and reports what it found odd. Names compare without
// regard to case. "7bit", "8bit" and "binary" (and no name at all) are delivered as stored, as is a
// name the parser does not know, which is reported ("M5 invalid encoding type"). Decoding is lenient:
// a base64 line with characters outside the alphabet is decoded as far as it goes and reported, an
// "=" in quoted-printable that starts no escape is kept and reported.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pw::m5 {

enum class M5Encoding { Identity, Base64, QuotedPrintable, Uuencode, Unknown };

M5Encoding M5EncodingOf(std::string_view name);

// Appends what it found odd to diagnostics.
std::string M5DecodeBody(M5Encoding encoding, std::string_view stored, std::vector<std::string>& diagnostics);

}  // namespace pw::m5
