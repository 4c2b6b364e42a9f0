// M5Session: the structure parser's interface for IMAP -- sessions, messages opened from their files,
// their envelopes, part descriptors and part bodies.
//
// Every call returns a status code and never throws. Sessions and messages are named by handles: a
// number that is never reused, so a closed or made-up handle answers M5STS_INVALID_HANDLE instead of
// touching freed memory. A session owns its messages (closing it closes them); a message owns its
// bytes and descriptors (closing it frees them all). Descriptor pointers handed out stay valid until
// their message is closed. A message whose walk reached a limit of M5Limits.h is open all the same:
// the opening call answers M5STS_LIMIT_REACHED and what was parsed before the limit can be read.
// With M5_FLAG_DEBUG, what the parser found odd ("M5 closing MIME boundary missing", ...) goes to
// the session's diagnostic sink; parsing goes on either way.
// Thread safety: the handle tables are shared and locked; one session and its messages are used by
// one thread at a time.
#pragma once

#include "m5/M5Descriptors.h"
#include "m5/M5Message.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace pw::m5 {

using M5Status = unsigned;
inline constexpr M5Status M5STS_SUCCESS = 0;
inline constexpr M5Status M5STS_OUT_OF_MEMORY = 8;
inline constexpr M5Status M5STS_READ_ERROR = 24;
inline constexpr M5Status M5STS_NAME_TOO_LONG = 28;
inline constexpr M5Status M5STS_INVALID_HANDLE = 33;
inline constexpr M5Status M5STS_LIMIT_REACHED = 40;

// Session flags. Conversions go through the C library's iconv, which is always there, so they are
// always on; M5_FLAG_CONVERT, which asked for them, is accepted and changes nothing. M5_FLAG_DEBUG
// sends the parser's diagnostics to the sink.
inline constexpr unsigned M5_FLAG_CONVERT = 0x1;
inline constexpr unsigned M5_FLAG_DEBUG = 0x10;

inline constexpr std::string_view kM5ImapSessionName = "M5:  IMAP Server";

struct M5SessionHandle {
    std::uint64_t id = 0;
};
struct M5MessageHandle {
    std::uint64_t id = 0;
};

using M5DiagnosticSink = std::function<void(std::string_view)>;

M5Status M5OpenSession(std::string_view name, unsigned flags, M5SessionHandle& session, M5DiagnosticSink sink = {});
M5Status M5CloseSession(M5SessionHandle session);

// Reads the message file into memory and walks it.
M5Status M5OpenFiledMessage(M5SessionHandle session, const std::string& path, M5MessageHandle& message);
// The same for bytes already in memory.
M5Status M5OpenMessageBytes(M5SessionHandle session, std::string bytes, M5MessageHandle& message);
// The envelope of an open message.
M5Status M5OpenEnvelope(M5MessageHandle message, const M5EnvelopeDesc*& envelope);
// Reads only the header that starts at `offset` in a file; the handle is closed with M5CloseMessage.
M5Status M5ReadEnvelope(M5SessionHandle session, const std::string& path, std::uint64_t offset, M5MessageHandle& message);
// Part 0: the message's envelope; a message/rfc822 part: its embedded message's envelope.
M5Status M5GetEnvelopeDesc(M5MessageHandle message, std::size_t part, const M5EnvelopeDesc*& envelope);
// The envelope of the message a message/rfc822 part holds, part 0 included (a stored message can itself
// be of that type); M5STS_INVALID_HANDLE for any other part.
M5Status M5GetEmbeddedEnvelopeDesc(M5MessageHandle message, std::size_t part, const M5EnvelopeDesc*& envelope);
M5Status M5GetMessageDesc(M5MessageHandle message, const M5PartDesc*& part);
M5Status M5GetMimeDesc(M5MessageHandle message, std::size_t part, const M5PartDesc*& desc);
// The part an IMAP section number names ("1.2.3"); M5STS_INVALID_HANDLE when there is none.
M5Status M5FindSection(M5MessageHandle message, std::string_view section, std::size_t& part);
// The lines of a part's stored body, as BODYSTRUCTURE counts them.
M5Status M5GetPartLines(M5MessageHandle message, std::size_t part, std::size_t& lines);
// How many parts the message has (numbers 0 to count - 1, depth-first).
M5Status M5GetPartCount(M5MessageHandle message, std::size_t& count);
// The next piece of a part's body; read is 0 at its end.
M5Status M5ReadPart(M5MessageHandle message, std::size_t part, M5Delivery delivery, std::span<std::byte> buffer,
                    std::size_t& read);
// The stored bytes of a range (a descriptor's header or body); valid until the message is closed.
M5Status M5GetBytes(M5MessageHandle message, M5Range range, std::string_view& bytes);
// A part's whole body at once (from its beginning, whatever was being read).
M5Status M5GetPartBody(M5MessageHandle message, std::size_t part, M5Delivery delivery, std::string& body);
M5Status M5CloseMessage(M5MessageHandle message);

}  // namespace pw::m5
