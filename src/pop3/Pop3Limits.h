// Pop3Limits: the limits of the POP3 server, in one place.
#pragma once

#include <cstddef>

namespace pw::pop3 {

// Command lines, CR LF included, are at most one byte shorter than this; a longer one is refused whole.
inline constexpr std::size_t kCommandLineBuffer = 1024;
// A larger inbox shows its first messages only.
inline constexpr std::size_t kMaxMaildrop = 2500;
// Message content is read and sent in blocks of about this size.
inline constexpr std::size_t kSendBlock = 65536;

}  // namespace pw::pop3
