// MessageVector: the selected mailbox as a session sees it -- its messages in ascending UID order
// (message numbers follow UIDs, RFC 3501), each with its flags and size, and the mailbox's counts,
// UIDVALIDITY, UIDNEXT and permanent flags. Also the flags themselves (bits, names, lists) and
// message sets ("1:4,7,*"), which select entries of the vector.
// Thread safety: one session's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "imap/ImapCommandReader.h"
#include "platform/AutomationDate.h"

namespace pw::imap {

// Flag bits as they are stored in an envelope's flags property.
inline constexpr std::uint16_t kFlagSeen = 1;
inline constexpr std::uint16_t kFlagAnswered = 2;
inline constexpr std::uint16_t kFlagFlagged = 4;
inline constexpr std::uint16_t kFlagDeleted = 8;
inline constexpr std::uint16_t kFlagDraft = 16;
inline constexpr std::uint16_t kFlagRecent = 32;  // never stored: a message without stored flags is recent
inline constexpr std::uint16_t kStorableFlags = kFlagSeen | kFlagAnswered | kFlagFlagged | kFlagDeleted | kFlagDraft;

// Keywords: flags clients name themselves ("$Forwarded", "$Junk", "NonJunk"), kept as written and
// compared without regard to case, each at most once.
using Keywords = std::vector<std::string>;

// "(\Answered \Seen $Forwarded)": RFC 3501's order of the system flags, then the keywords, single blanks.
std::string FlagList(std::uint16_t flags, const Keywords& keywords = {});

struct ParsedFlags {
    std::uint16_t bits = 0;
    Keywords keywords;
};
// System flags (without regard to case) and keywords; nullopt with "Unknown flag:  ..." for a
// backslash name that is no system flag, or a diagnostic for a word no keyword may be.
std::optional<ParsedFlags> ParseFlags(const std::vector<Argument>& words, std::string& diagnostic);

// Is this word one a keyword may be: an atom of at most kMaxKeywordBytes, no backslash, no "]"?
bool IsKeyword(std::string_view word);
bool HasKeyword(const Keywords& keywords, std::string_view keyword);
// The keywords of `to` with those of `add` that it lacks, or without those of `remove`.
Keywords WithKeywords(Keywords to, const Keywords& add);
Keywords WithoutKeywords(Keywords from, const Keywords& remove);
// The stored form of keywords (the envelope's keywords property): separated by single blanks.
std::string KeywordText(const Keywords& keywords);
Keywords KeywordsFromText(std::string_view text);

// UIDs as a compact set: runs of consecutive ones as "a:b", the rest joined by ",".
std::string UidSet(const std::vector<std::uint32_t>& uids);

// A message's keywords as an index into its vector's table of keyword sets (0: none), so that an
// entry costs two bytes for them however many it has: a big folder's vector stays small.
using KeywordSet = std::uint16_t;

struct MessageEntry {
    std::uint32_t uid = 0;
    std::uint16_t flags = 0;   // as the session shows them, \Recent included
    std::uint16_t stored = 0;  // as the store held them at the last look
    KeywordSet keywords = 0;        // as the session shows them
    KeywordSet storedKeywords = 0;  // as the store held them at the last look
    bool selected = false;
    std::uint64_t size = 0;
    Date internalDate = 0;  // when the message came into the store (local automation date)
};
// A selected folder of 100 000 messages costs each session about 3 MB; keep it so.
static_assert(sizeof(MessageEntry) <= 32);

struct MessageVector {
    std::vector<MessageEntry> messages;  // message n is messages[n - 1]
    std::uint32_t recent = 0;
    std::uint32_t firstUnseen = 0;  // 0: none
    std::uint32_t uidValidity = 0;
    std::uint32_t uidNext = 1;
    std::uint16_t permanentFlags = 0;
    bool permanentKeywords = false;  // keywords may be stored (PERMANENTFLAGS lists \*)
    Keywords knownKeywords;          // those the session's FLAGS line has named
    // The keyword sets the entries name, each once; set 0 is the empty one.
    std::vector<Keywords> keywordSets{Keywords{}};
    std::unordered_map<std::string, KeywordSet> keywordSetIndex;  // by KeywordText
    // Envelopes being published while the folder was listed were left for the next look.
    bool partial = false;
    // The folder index's change number the vector was built from (ImapStore::BuildVector).
    std::uint64_t change = 0;
    // The folder's highest mod-sequence then (per message: the index's state).
    std::uint64_t highestModseq = 0;
    // Built from the changes since an earlier vector: the UIDs they touched, ascending, of which
    // `messages` holds those still present.
    std::optional<std::vector<std::uint32_t>> touched;
    // The result SEARCH RETURN (SAVE) kept (RFC 5182's "$"), as UIDs ascending: by UID so that it
    // still names the same messages after expunges. A new vector (SELECT, CLOSE) starts it empty.
    std::vector<std::uint32_t> saved;

    // Marks the entries of a message set (UIDs with `uid`; "$" is the saved result either way) and
    // clears the others; false with the BAD diagnostic when the set is not valid.
    bool Select(std::string_view set, bool uid, std::string& diagnostic);
    // The set's index, added to the table when new. Past kMaxKeywordSets distinct sets a message
    // shows none in this session (the store still holds them).
    KeywordSet Intern(const Keywords& keywords);
    const Keywords& KeywordsOf(KeywordSet set) const { return keywordSets[set < keywordSets.size() ? set : 0]; }
    // Recounts recent and first unseen from the entries.
    void Recount();
    // Takes the entries `gone` marks out in one pass and recounts; returns their message numbers
    // highest first, the order in which "n EXPUNGE" lines stay valid as the client applies them.
    std::vector<std::size_t> Expunge(const std::vector<bool>& gone);
    // Shows the messages above `mark` (a UID) as \Recent, from entry `from` on, and recounts.
    void MarkRecent(std::uint32_t mark, std::size_t from = 0);
};

}  // namespace pw::imap
