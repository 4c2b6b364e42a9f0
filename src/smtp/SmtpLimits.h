// SmtpLimits: the limits of the SMTP server, client and transport, in one place.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace pw::smtp {

// Server: the longest command line, CR LF included; DATA lines may be of any length.
inline constexpr std::size_t kCommandLineBuffer = 1024;
// Server: DATA is read in pieces of this size.
inline constexpr std::size_t kDataBuffer = 65536;
// Server: the content of a message is written to its file in blocks of about this size. A message no
// larger is held whole until its end: the checks before publication read it from memory, and it
// reaches its file in one write.
inline constexpr std::size_t kContentWriteBlock = 256 * 1024;
// Server: the most recipients of one transaction, whatever "maxrecipients" says (0 there means no
// limit of its own): one envelope with an endless recipient list would be an endless router job.
inline constexpr std::size_t kMaxRecipients = 1000;
// Server: a client that keeps sending after its message passed the size limit is cut off after this long.
inline constexpr std::chrono::seconds kOversizeDiscardLimit{1799};

// Client: time-outs of RFC 5321 section 4.5.3.2, in seconds. A reply time-out bounds the whole reply, from the
// wait for its first byte to its last line: a peer that dribbles a byte at a time can not stretch it.
inline constexpr int kGreetingTimeout = 300;
inline constexpr int kCommandTimeout = 300;
inline constexpr int kDataBlockTimeout = 180;
inline constexpr int kDataEndTimeout = 600;
// How long a connection may take to be set up: a dead exchanger must not hold a job for minutes.
inline constexpr int kConnectTimeout = 30;
// Client: message content is read and sent in blocks of about this size.
inline constexpr std::size_t kContentBlock = 4096;
// Client: reply lines are read in pieces of this size (a longer line in several).
inline constexpr std::size_t kReplyLineBuffer = 1024;
// Longest reply line taken, CR LF included (RFC 5321 allows 512; some servers send longer ones).
inline constexpr std::size_t kMaxReplyLine = 4096;
// Most lines of one reply (a long EHLO list has a few dozen).
inline constexpr std::size_t kMaxReplyLines = 100;
// Transport: defaults of "sys:delivery:...", the pass interval of the cycle thread.
inline constexpr std::size_t kDefaultMaxTransports = 10;
inline constexpr int kDefaultRetries = 10;
inline constexpr int kDefaultRetryIntervalMinutes = 15;
inline constexpr std::chrono::seconds kOutScanInterval{2};
// Transport: the longest one delivery attempt of one envelope may take, across all its exchangers and their
// addresses (each connect is bounded by kConnectTimeout, each reply by its RFC 5321 time-out); past
// it no further address is tried, no further reply waited for, and the message waits for the next
// attempt. The reply to the content is exempt: a message the peer may have taken is waited for.
inline constexpr std::chrono::minutes kAttemptBudget{10};

}  // namespace pw::smtp
