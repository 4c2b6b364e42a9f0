// MessageVector: the selected mailbox as a session sees it -- its messages in ascending UID order
// (message numbers follow UIDs, RFC 3501), each with its flags and size, and the mailbox's counts,
// UIDVALIDITY, UIDNEXT and permanent flags. Also the flags themselves (bits, names, lists) and
// message sets ("1:4,7,*"), which select entries of the vector.
//
// The messages are a MessageTable shared by the process's sessions at the same state of the folder;
// each view adds only what is its own (see MessageVector below), so a session that is up to date
// costs the same with 100 messages selected as with 100,000.
// Thread safety: a MessageVector is one session's own; a MessageTable is immutable once shared.
#pragma once

#include <cstdint>
#include <memory>
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

// A set of numbers ("1:4,7,*") as ranges, low first, in the order written; "*" is `star`. nullopt when
// it is not a set (0 is none of its numbers).
using NumberRanges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
std::optional<NumberRanges> ParseNumberSet(std::string_view set, std::uint32_t star);
// Sorted by their low ends, touching and overlapping ranges joined.
NumberRanges Normalized(NumberRanges ranges);
// Is `number` in ranges Normalized gave?
bool InRanges(const NumberRanges& ranges, std::uint32_t number);
// The numbers of normalized `ranges` that are no UID of `vector`, as a compact set ("" for none).
class MessageVector;
std::string MissingUids(const NumberRanges& ranges, const MessageVector& vector);
// A mod-sequence as a client writes one: digits, at most 2^63 - 1, 0 only where `zero` allows.
std::optional<std::uint64_t> ParseModseq(std::string_view text, bool zero);

// UIDs as a compact set: runs of consecutive ones as "a:b", the rest joined by ",".
std::string UidSet(const std::vector<std::uint32_t>& uids);

// A message's keywords as an index into a table of keyword sets (0: none), so that a message costs
// two bytes for them however many it has: a big folder's table stays small.
using KeywordSet = std::uint16_t;

// Keyword sets, each once; set 0 is the empty one. Past kMaxKeywordSets distinct sets a message shows
// none (the store still holds them).
struct KeywordSets {
    std::vector<Keywords> sets{Keywords{}};
    std::unordered_map<std::string, KeywordSet> index;  // by KeywordText

    KeywordSet Intern(const Keywords& keywords);
    const Keywords& Of(KeywordSet set) const { return sets[set < sets.size() ? set : 0]; }
};

// One message as the folder's index held it, with the flags and keywords of one flags key.
struct MessageRow {
    std::uint32_t uid = 0;
    std::uint16_t stored = 0;
    KeywordSet keywords = 0;  // in its table's sets
    std::uint64_t size = 0;
    Date internalDate = 0;  // when the message came into the store (local automation date)
    std::uint64_t modseq = 0;
};
// 50,000 messages cost 1.6 MB per folder and flags key in the process, not per session.
static_assert(sizeof(MessageRow) <= 32);

// A folder's messages in ascending UID order as one state of its index showed them to one flags
// key: built once (ImapStore::BuildVector) and shared, never changed, by every session of the process
// that is up to date with that state.
struct MessageTable {
    std::vector<MessageRow> rows;
    KeywordSets keywords;
    // Messages being published while the folder was listed were left for the next look; such a
    // table is never shared.
    bool partial = false;
    std::uint64_t change = 0;         // the folder index's change number it was built from
    std::uint64_t highestModseq = 0;  // the index's highest then, lowered below what was left out
    // The number of the first row without \Seen (0: none), where known as built: a shared table never
    // changes, so a session that selects a big folder need not look through it again.
    std::optional<std::uint32_t> firstUnseen;
};

// A message as the session shows it: the row with what the session holds of its own.
struct MessageEntry {
    std::uint32_t uid = 0;
    std::uint16_t flags = 0;   // as the session shows them, \Recent included
    std::uint16_t stored = 0;  // as the store held them at the last look
    std::uint64_t size = 0;
    Date internalDate = 0;
    std::uint64_t modseq = 0;  // of the flags the session shows, as the index held them at the last look
};

// What the session shows of a message's flags where that may differ from its table's row.
struct MessageFlags {
    std::uint16_t flags = 0;  // shown (\Recent comes from the session's recent UIDs, whatever this says)
    std::uint16_t stored = 0;
    Keywords keywords;        // shown
    Keywords storedKeywords;
    std::uint64_t modseq = 0;
};

// The selected mailbox as the session sees it (SelectedMailbox keeps it in step with the store).
//
// Shared: the messages themselves, as a MessageTable of the state the session was last brought up to
// date with. Sessions at the same state hold the same table; an older one lives only as long as
// sessions not yet told of a change hold it. An up-to-date session costs a few hundred bytes
// whatever the folder's size.
// The session's own: the UIDs it shows as \Recent (ranges it claimed), the flags it shows that
// differ from the row (a STORE the user may not make, \Seen set by a read under a missing right,
// flags it stored before the index's next state is seen) as a map by UID, the keywords the client
// was told of, the SAVE result, and the message-set mark of the command running (dropped after it).
// Message numbers are positions in the table: when the session's view differs from the state it
// was brought to (expunges it announced itself, a message published late below a UID it knows,
// which waits for the next SELECT), it holds a table of its own until the next state it can share.
class MessageVector {
public:
    MessageVector() : table_(std::make_shared<MessageTable>()), private_(true) {}
    // A view of `table`; `alone` when no other view or cache holds it (it may then be changed in place).
    MessageVector(std::shared_ptr<const MessageTable> table, bool alone) : table_(std::move(table)), private_(alone) {}

    std::size_t Count() const { return table_->rows.size(); }
    bool Empty() const { return table_->rows.empty(); }
    std::uint32_t Uid(std::size_t index) const { return table_->rows[index].uid; }
    std::uint32_t LastUid() const { return Empty() ? 0 : table_->rows.back().uid; }
    const MessageRow& Row(std::size_t index) const { return table_->rows[index]; }
    MessageEntry Entry(std::size_t index) const;
    std::uint64_t Modseq(std::size_t index) const;
    const Keywords& ShownKeywords(std::size_t index) const;
    const Keywords& StoredKeywords(std::size_t index) const;
    MessageFlags Flags(std::size_t index) const;
    // The session shows these flags now (\Recent is kept as it was).
    void SetFlags(std::size_t index, const MessageFlags& flags);
    // The index of the message with this UID, or nullopt.
    std::optional<std::size_t> Find(std::uint32_t uid) const;
    // The index of the first message with a UID of at least `uid` (Count() for none).
    std::size_t LowerBound(std::uint32_t uid) const;
    // The index of the first message with a UID above `uid` (Count() for none).
    std::size_t UpperBound(std::uint32_t uid) const;
    const std::shared_ptr<const MessageTable>& Table() const { return table_; }
    // Keyword sets of the session's own, for what SetFlags keeps.
    std::size_t OwnFlagCount() const { return own_.size(); }

    // Marks the entries of a message set (UIDs with `uid`; "$" is the saved result either way) and
    // clears the others; false with the BAD diagnostic when the set is not valid.
    bool Select(std::string_view set, bool uid, std::string& diagnostic);
    bool IsSelected(std::size_t index) const { return index < selected_.size() && selected_[index]; }
    void SetSelected(std::size_t index, bool on);
    // Drops the marks (after each command: a big folder's marks are not kept by an idle session).
    void ClearSelection() { std::vector<bool>().swap(selected_); }
    // Recounts recent and first unseen from the entries.
    void Recount();
    // Takes the entries `gone` marks out in one pass and recounts; returns their message numbers
    // highest first, the order in which "n EXPUNGE" lines stay valid as the client applies them.
    std::vector<std::size_t> Expunge(const std::vector<bool>& gone);
    // Shows the messages above `mark` (a UID) as \Recent, from entry `from` on, and recounts.
    void MarkRecent(std::uint32_t mark, std::size_t from = 0);
    // Takes the messages of `fresh` (a newer state) as the view's, but for those of `hidden` (UIDs,
    // ascending); what the session shows of its own stays with the messages that are still there.
    // The caller has told the client of every difference. Shares fresh's table where nothing is hidden.
    void Adopt(const MessageVector& fresh, const std::vector<std::uint32_t>& hidden);
    // Shows a message as the store holds it (\Recent kept), dropping what the session showed of its own.
    void ShowStored(std::size_t index);

    std::uint32_t recent = 0;
    std::uint32_t firstUnseen = 0;  // 0: none
    std::uint32_t uidValidity = 0;
    std::uint32_t uidNext = 1;
    std::uint16_t permanentFlags = 0;
    bool permanentKeywords = false;  // keywords may be stored (PERMANENTFLAGS lists \*)
    Keywords knownKeywords;          // those the session's FLAGS line has named
    // Envelopes being published while the folder was listed were left for the next look.
    bool partial = false;
    // The folder index's change number the view was last brought up to date with.
    std::uint64_t change = 0;
    // The folder's highest mod-sequence the client may count as seen.
    std::uint64_t highestModseq = 0;
    // Built from the changes since an earlier state: the UIDs they touched, ascending, present or not.
    std::optional<std::vector<std::uint32_t>> touched;
    // The result SEARCH RETURN (SAVE) kept (RFC 5182's "$"), as UIDs ascending: by UID so that it
    // still names the same messages after expunges. A new view (SELECT, CLOSE) starts it empty.
    std::vector<std::uint32_t> saved;

private:
    // What the session shows of a message of its own: keyword sets in `ownSets_`.
    struct OwnFlags {
        std::uint16_t flags = 0;
        std::uint16_t stored = 0;
        KeywordSet keywords = 0;
        KeywordSet storedKeywords = 0;
        std::uint64_t modseq = 0;
    };
    const OwnFlags* Own(std::uint32_t uid) const;
    bool IsRecent(std::uint32_t uid) const { return InRanges(recentUids_, uid); }
    // A table of the session's own to change (the shared one is copied first).
    MessageTable& Private();

    std::shared_ptr<const MessageTable> table_;
    bool private_ = false;  // table_ was made for views alone, never shared through the process's cache
    std::unordered_map<std::uint32_t, OwnFlags> own_;
    KeywordSets ownSets_;
    NumberRanges recentUids_;  // normalized
    std::vector<bool> selected_;
};

}  // namespace pw::imap
