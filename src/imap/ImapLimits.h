// ImapLimits: every bound the IMAP server puts on what a client sends and on how long it waits, in
// one place. Input is bounded before anything is allocated for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace pw::imap {

// A tag longer than this is refused whole ("* BAD [TOOBIG] ...").
inline constexpr std::size_t kMaxTagLength = 128;
// Command names longer than this are cut before they are looked up.
inline constexpr std::size_t kMaxCommandNameLength = 32;
// A command line with its literals, after login and before it. Only APPEND's message literal may be
// larger; it is streamed, not held.
inline constexpr std::size_t kMaxCommandBytes = 64 * 1024;
// Before login it is enough for the largest ID a client may send (kMaxIdPairs pairs of a field and
// a value of kMaxIdValueBytes): some clients send their whole environment.
inline constexpr std::size_t kMaxCommandBytesBeforeLogin = 40 * 1024;
// ID (RFC 2971): at most this many field-value pairs, each value at most this long.
inline constexpr std::size_t kMaxIdPairs = 30;
inline constexpr std::size_t kMaxIdValueBytes = 1024;
// A connection that has not logged in gets this long for each command, whatever the idle time-out
// of a logged-in session: silent strangers must not hold the server's sessions.
inline constexpr std::chrono::seconds kLoginIdleTimeout{60};
// An APPENDed message unless "sys:imap4:maxmessagesize" (bytes) says otherwise.
inline constexpr std::uint64_t kDefaultMaxMessageBytes = 64ull * 1024 * 1024;
// The data of a refused non-synchronising APPEND literal up to this size is skipped; a larger one
// ends the session, since reading it through would cost more than the client deserves.
inline constexpr std::uint64_t kMaxSkippedLiteral = kDefaultMaxMessageBytes;
// MULTIAPPEND (RFC 3502): the messages of one APPEND, and their bytes together. Each is staged on
// disk until the last has arrived, so the command's disk use is bounded as one message's is.
inline constexpr std::size_t kMaxAppendMessages = 1000;
inline constexpr std::uint64_t kMaxAppendBytes = 4 * kDefaultMaxMessageBytes;
// A non-synchronising literal ("{n+}") may be at most this long (RFC 7888's LITERAL-); a longer one
// ends the session, since its bytes are already on their way.
inline constexpr std::uint64_t kMaxNonSynchronisingLiteral = 4096;
// How deep lists may nest inside one another.
inline constexpr std::size_t kMaxListDepth = 32;
// Consecutive BAD replies that end a session that has not logged in.
inline constexpr unsigned kMaxBadRepliesBeforeLogin = 10;

// The user name a session keeps, and the longest text a client may offer as one.
inline constexpr std::size_t kMaxUserNameLength = 64;
// The AUTHENTICATE response lines: PLAIN and CRAM-MD5.
inline constexpr std::size_t kMaxPlainResponseLine = 340;
inline constexpr std::size_t kMaxCramMd5ResponseLine = 196;
// A PLAIN response decodes to at most this many bytes.
inline constexpr std::size_t kMaxPlainDecoded = 1024;

// Quoted strings on output are at most this long; longer texts go out as literals.
inline constexpr std::size_t kMaxQuotedOutput = 1024;
// A run of modified UTF-7 in a mailbox name decodes to fewer bytes than this.
inline constexpr std::size_t kMaxUtf7RunBytes = 4160;
// The longest mailbox name, in bytes of UTF-8.
inline constexpr std::size_t kMaxMailboxNameBytes = 1024;

// Idle time-out of the states before logout when "sys:imap4:timeout" (minutes) is 0 or missing.
inline constexpr std::chrono::minutes kDefaultIdleTimeout{30};
// IDLE waits at least this long for "DONE" (RFC 2177: clients renew it every 29 minutes), even when
// the session's idle time-out is shorter.
inline constexpr std::chrono::minutes kMinIdleWait{31};
// The line that ends IDLE ("DONE"); a longer one is refused.
inline constexpr std::size_t kMaxIdleLine = 64;
// The idle time-out of the logout state.
inline constexpr std::chrono::seconds kLogoutIdleTimeout{5};
// Every byte of a command after its first, literal data, and AUTHENTICATE responses.
inline constexpr std::chrono::seconds kByteTimeout{60};
// A send that can not move for this long ends the session.
inline constexpr std::chrono::minutes kSendTimeout{30};
// A COPY of many messages says "* OK Still copying" this often, so that the client keeps waiting.
inline constexpr std::chrono::seconds kCopyKeepAlive{30};
// SORT keeps at most this many bytes of each text key (addresses, base subjects) per message, so
// that sorting 50,000 messages costs a few megabytes whatever their headers hold; texts that agree so
// far fall back to the message order.
inline constexpr std::size_t kMaxSortKeyBytes = 128;
// THREAD REFERENCES keeps at most this many ids of a message's References (the last ones: the nearest
// ancestors; RFC 5256 threads a truncated References right), and ids of at most this many bytes (a
// longer one counts as no valid id). A message adds at most kMaxThreadReferences + 1 nodes to the
// tree, each id kept once however many messages name it.
inline constexpr std::size_t kMaxThreadReferences = 100;
inline constexpr std::size_t kMaxMessageIdBytes = 250;
// Keywords of one message, and the length of one: more is refused (and a stored list is cut there).
inline constexpr std::size_t kMaxKeywords = 64;
inline constexpr std::size_t kMaxKeywordBytes = 128;
// Distinct sets of keywords one session keeps for its selected folder (a message's entry names its
// set in two bytes).
inline constexpr std::size_t kMaxKeywordSets = 65535;
// FETCH stores the \Seen of the messages it reads in batches of this many, with one flush of the folder
// per batch; the folder's lock is held for one batch at a time.
inline constexpr std::size_t kSeenBatch = 256;
// Output is gathered and sent in blocks of this size, and at each tagged reply. A session that waits
// for its client gives back a buffer grown past kIdleSendCapacity, so idle sessions stay small.
inline constexpr std::size_t kSendBufferSize = 64 * 1024;
inline constexpr std::size_t kIdleSendCapacity = 4 * 1024;
inline constexpr std::size_t kReceiveBufferSize = 4096;
// COMPRESS=DEFLATE: zlib's windows cost a compressed session (1 << (windowBits + 2)) + (1 << (memLevel
// + 9)) bytes for sending, 128 KiB + 128 KiB at these settings, and 32 KiB for receiving, on top of its
// idle size. A full window and level 6 are what clients expect and compress mail best per CPU second.
inline constexpr int kDeflateWindowBits = 15;
inline constexpr int kDeflateMemLevel = 8;
inline constexpr int kDeflateLevel = 6;
// The deflated output of one send goes out in blocks of this size.
inline constexpr std::size_t kDeflateBlock = 16 * 1024;

}  // namespace pw::imap
