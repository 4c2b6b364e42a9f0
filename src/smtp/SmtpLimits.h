// SmtpLimits: the limits of the SMTP server, client and transport, in one place.
#pragma once

#include <chrono>
#include <cstddef>

namespace pw::smtp {

// Server: the longest command line, CR LF included; DATA lines may be of any length.
inline constexpr std::size_t kCommandLineBuffer = 1024;
// Server: DATA is read in pieces of this size.
inline constexpr std::size_t kDataBuffer = 65536;
// Server: the content of a message is written to its file in blocks of about this size.
inline constexpr std::size_t kContentWriteBlock = 65536;
// Server: the most recipients of one transaction, whatever "maxrecipients" says (0 there means no
// limit of its own): one envelope with an endless recipient list would be an endless router job.
inline constexpr std::size_t kMaxRecipients = 1000;
// Server: a client that keeps sending after its message passed the size limit is cut off after this long.
inline constexpr std::chrono::seconds kOversizeDiscardLimit{1799};

}  // namespace pw::smtp
