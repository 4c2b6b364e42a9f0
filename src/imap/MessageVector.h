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

// "(\Answered \Seen)": RFC 3501's order of the names, single blanks.
std::string FlagList(std::uint16_t flags);
// The bits of flag words (without regard to case); nullopt with "Unknown flag:  ..." otherwise.
std::optional<std::uint16_t> ParseFlags(const std::vector<Argument>& words, std::string& diagnostic);

// UIDs as a compact set: runs of consecutive ones as "a:b", the rest joined by ",".
std::string UidSet(const std::vector<std::uint32_t>& uids);

struct MessageEntry {
    std::uint32_t uid = 0;
    std::uint16_t flags = 0;   // as the session shows them, \Recent included
    std::uint16_t stored = 0;  // as the store held them at the last look
    std::uint64_t size = 0;
    Date internalDate = 0;  // when the message came into the store (local automation date)
    bool selected = false;
};

struct MessageVector {
    std::vector<MessageEntry> messages;  // message n is messages[n - 1]
    std::uint32_t recent = 0;
    std::uint32_t firstUnseen = 0;  // 0: none
    std::uint32_t uidValidity = 0;
    std::uint32_t uidNext = 1;
    std::uint16_t permanentFlags = 0;
    // Envelopes being published while the folder was listed were left for the next look.
    bool partial = false;

    // Marks the entries of a message set (UIDs with `uid`) and clears the others; false with the BAD
    // diagnostic when the set is not valid.
    bool Select(std::string_view set, bool uid, std::string& diagnostic);
    // Recounts recent and first unseen from the entries.
    void Recount();
};

}  // namespace pw::imap
