// ModifiedUtf7: mailbox names between the store's UTF-8 and IMAP's modified UTF-7 (RFC 3501 5.1.3).
//
// Printable ASCII stands for itself, "&" is written "&-", and every run of other characters is "&",
// the modified base64 (comma for slash, no padding) of its UTF-16 big-endian code units, and "-".
// Decoding refuses what a correct client never sends, with the diagnostic the session answers: runs
// without their "-", two runs in a row, printable ASCII hidden in a run, characters outside the
// alphabet, and anything that is not valid UTF-16 -- never raw bytes of a broken run in a path.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace pw::imap {

std::string EncodeModifiedUtf7(std::string_view utf8);

struct DecodedMailboxName {
    std::string name;        // UTF-8, when the decode succeeded
    std::string diagnostic;  // why not; empty on success
    bool bad = false;        // the client's syntax (BAD) rather than a limit (NO)
    std::string logLine;     // what the log hears of the failure, when it hears of it

    bool Ok() const { return diagnostic.empty(); }
};

DecodedMailboxName DecodeModifiedUtf7(std::string_view text);
// A name as a client writes it: modified UTF-7, or UTF-8 as it stands once the client has enabled
// UTF8=ACCEPT (RFC 6855: "&" is then just "&"), refused where it is not valid UTF-8.
DecodedMailboxName DecodeMailboxName(std::string_view text, bool utf8);

}  // namespace pw::imap
