// M5Limits: how much of a hostile message the structure parser is willing to look at.
//
// Stored messages came from strangers. When a walk reaches one of these limits the opening call
// answers M5STS_LIMIT_REACHED. At the nesting limit the deepest multipart or embedded message is one
// part and the walk goes on; at the others it stops there: the parts, headers and byte ranges found
// before the limit stand and can be read; nothing past it is looked at. No limit is a bare number in
// the logic.
#pragma once

#include "mime/MimeLimits.h"

#include <cstddef>

namespace pw::m5 {

// Multipart parts and embedded messages inside one another, the message itself included.
inline constexpr std::size_t kMaxNesting = 50;
// Part descriptors in one message, every level and every embedded message together.
inline constexpr std::size_t kMaxParts = 10000;
// Physical lines of one header block (a field's continuation lines count).
inline constexpr std::size_t kMaxHeaderLines = 5000;
// One physical header line, without its line break.
inline constexpr std::size_t kMaxHeaderLine = 64 * 1024;
// One header block, all lines together.
inline constexpr std::size_t kMaxHeaderBytes = 1024 * 1024;
// Occurrences of one field name an envelope keeps (Received, To, ...); the rest stay in the header.
inline constexpr std::size_t kMaxEnvelopeFieldRepeats = 100;
// A decoded body is at most this many times its stored size (quoted-printable turning LF into CR LF
// is the most that honest text needs). A uuencoded line names its own byte count, up to 63 from one
// character: lines that would pass this are not decoded ("M5 uuencoded body cut at its limit"), so a
// small stored body never becomes a huge one in memory.
inline constexpr std::size_t kMaxDecodedGrowth = 2;
// Diagnostics body reads add to an open message (the walk adds a few per part at most).
inline constexpr std::size_t kMaxReadDiagnostics = 1000;
// One number of an IMAP section ("1.2.3"); more digits than this names no part.
inline constexpr std::size_t kMaxSectionDigits = 9;
// A session name; a longer one is refused (M5STS_NAME_TOO_LONG).
inline constexpr std::size_t kMaxSessionName = 44;
// A "windows-" code page number: more digits than this is no code page.
inline constexpr std::size_t kMaxCodePageDigits = 9;
// A charset name the table does not know is tried with iconv only up to this length.
inline constexpr std::size_t kMaxIconvNameLength = 40;
// How much a header-only read takes from the file at a time, and a whole-file read.
inline constexpr std::size_t kHeaderReadChunk = 8 * 1024;
inline constexpr std::size_t kFileReadChunk = 512 * 1024;

// The header blocks are parsed by mime::HeaderBlock, which must never refuse what these let through.
static_assert(kMaxHeaderLines <= mime::kMaxHeaderFields);
static_assert(kMaxHeaderLine <= mime::kMaxHeaderLine);

}  // namespace pw::m5
