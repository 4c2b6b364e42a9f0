// BodyStructure: RFC 3501's ENVELOPE, BODY and BODYSTRUCTURE of a message, from what the structure
// parser found in it.
//
// Header texts go out as they stand in the header, encoded words included: clients decode RFC 2047
// themselves, and text decoded here would carry 8-bit bytes where they expect 7-bit text. Names go
// out in upper case ("TEXT" "PLAIN" ("CHARSET" "utf-8")), values as written; a parameter value that
// is not 7-bit text (RFC 2231 values are joined and decoded to UTF-8 by the parser) goes out in
// RFC 2231 form again, ("NAME*" "utf-8''caf%C3%A9.pdf"). A text part without a
// charset says us-ascii; a part without a type is text/plain in 7bit. A multipart with no parts, or
// a message/rfc822 part whose message could not be walked, is given an empty text part, since the
// grammar has no way to say "nothing".
// Thread safety: pure functions over one message handle, used by its session's thread.
#pragma once

#include <cstddef>
#include <string>

#include "m5/M5Session.h"

namespace pw::imap {

// "(date subject (from) (sender) (reply-to) (to) (cc) (bcc) in-reply-to message-id)", sender and
// reply-to defaulting to from. A group is its start (NIL NIL "name" NIL), its members and its end
// (NIL NIL NIL NIL); an address without its local part or domain gets "unspecified-mailbox" or
// "unspecified-domain".
std::string EnvelopeStructure(const m5::M5EnvelopeDesc& envelope);
// The envelope of a message that could not be parsed.
inline constexpr std::string_view kEmptyEnvelope = "(NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL)";

// BODY (extended false) or BODYSTRUCTURE of a part and everything in it; M5's status when it fails,
// with `failedCall` naming the call.
m5::M5Status WriteBodyStructure(m5::M5MessageHandle message, std::size_t part, bool extended, std::string& out,
                                std::string& failedCall);

}  // namespace pw::imap
