// SevenBitDowngrade: a message made fit for a server that does not take 8-bit data (no 8BITMIME,
// RFC 6152): every part whose body holds bytes above 127, and is neither base64 nor quoted-printable
// already, is re-encoded as quoted-printable with its Content-Transfer-Encoding field changed. The
// headers, the multipart structure, the boundaries and every other byte stay as they were, so the
// message reads the same to its recipient. Header fields with 8-bit bytes can not be helped this way
// (that needs SMTPUTF8) and are left as they are.
// Nesting deeper than kMaxPartDepth is passed on unchanged.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace pw::mime {

bool HasEightBitBytes(std::string_view bytes);
std::string DowngradeToSevenBit(std::string_view message);

}  // namespace pw::mime
