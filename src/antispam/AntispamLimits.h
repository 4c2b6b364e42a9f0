// AntispamLimits: the bounds of the sender lists and the content filters, in one place.
//
// The files these limits guard are edited by administrators and may be damaged or hostile; a file
// beyond a bound is treated as damaged rather than read into memory without end.
#pragma once

#include <chrono>
#include <cstddef>

namespace pw::antispam {

// Entries of one sender list, and the bytes of one key or display name.
inline constexpr std::size_t kMaxListEntries = 100000;
inline constexpr std::size_t kMaxListText = 1024;
// Phrases of the phrase filter and the bytes of one phrase; the obfuscation characters.
inline constexpr std::size_t kMaxPhrases = 10000;
inline constexpr std::size_t kMaxPhraseText = 1000;
inline constexpr std::size_t kMaxObfuscationChars = 256;
// Names of the charset filter, and the bytes of one name.
inline constexpr std::size_t kMaxCharsets = 1000;
inline constexpr std::size_t kMaxCharsetName = 256;
// The longest entity name ("&...;") the HTML removal looks for: longer runs are text.
inline constexpr std::size_t kMaxEntityName = 32;
// How long a change waits for another writer of the store root to finish.
inline constexpr std::chrono::milliseconds kListLockBound{30000};

}  // namespace pw::antispam
