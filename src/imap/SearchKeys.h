// SearchKeys: SEARCH's criteria -- parsed from the command's arguments into a tree of keys, and
// tested against one message at a time.
//
// The tree is parsed whole before any message is looked at, so a bad key answers BAD and tests
// nothing. Nesting (NOT NOT ..., OR inside OR, lists) is bounded by kMaxSearchDepth. CHARSET may be
// US-ASCII or UTF-8; search strings are UTF-8 either way. Header keys (FROM, SUBJECT, HEADER, ...)
// match a field as stored (unfolded) and with its encoded words decoded; in address fields also each
// display name decoded and each address with its comments and blanks taken out. BODY and TEXT match
// the text parts of the message decoded to UTF-8, TEXT the header as stored and decoded too. Every
// string test ignores case as FoldCase does. Dates compare by day: the internal date's UTC day, the
// Date header's day as written. A message whose file cannot be read matches no key that needs it.
// Thread safety: values and pure functions; a subject belongs to one session.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imap/ImapCommandReader.h"
#include "imap/ImapDates.h"
#include "imap/MessageVector.h"
#include "mime/HeaderBlock.h"

namespace pw::imap {

// How deep NOT, OR and lists may nest inside one another.
inline constexpr std::size_t kMaxSearchDepth = 64;

struct SearchKey {
    enum class Kind {
        All,
        FlagSet,     // flag
        FlagClear,   // flag
        New,
        Old,
        Keyword,     // text: a keyword the message has
        Unkeyword,   // text: a keyword it has not
        Header,      // field (upper case), text
        Body,        // text
        Text,        // text
        Before,      // day: internal date
        On,
        Since,
        SentBefore,  // day: Date header
        SentOn,
        SentSince,
        Larger,      // number
        Smaller,
        Modseq,      // number: the message's mod-sequence at least this
        EmailId,     // text: the message's object id
        ThreadId,    // text: its thread's object id
        Set,         // members: message numbers, or UIDs with `uid`
        Not,         // children[0]
        Or,          // children[0], children[1]
        And,         // children
    };
    Kind kind = Kind::All;
    std::uint16_t flag = 0;
    std::string field{};
    std::string text{};
    Day day = 0;
    std::uint64_t number = 0;
    std::string set{};
    bool uid = false;
    std::vector<bool> members{};  // of a set, by message index; filled by the session before testing
    std::vector<SearchKey> children{};

    // Whether testing it reads the message's header or body.
    bool NeedsHeader() const;
    bool NeedsBody() const;
    // Whether a MODSEQ key is in it (the result then names the highest mod-sequence found).
    bool UsesModseq() const;
};

// What a key is tested against: one message of the selected mailbox, read only when a key needs it.
class SearchSubject {
public:
    virtual ~SearchSubject() = default;
    virtual const MessageEntry& Entry() const = 0;
    // The message's keywords (its entry names them by set).
    virtual const Keywords& EntryKeywords() const {
        static const Keywords none;
        return none;
    }
    virtual std::size_t Index() const = 0;
    // Null when the message can not be read.
    virtual const mime::HeaderBlock* Header() = 0;
    // The text parts in UTF-8, folded by FoldCase.
    virtual const std::string* BodyText() = 0;
    // The message's object id (FETCH EMAILID); empty when its file can not be read.
    virtual std::string EmailId() { return {}; }
};

struct SearchRefusal {
    std::string reply;
    bool bad = true;
};

// UTF-8 text for comparison without regard to case: every letter, of any script, becomes the lower
// case of its upper case (so the two lower forms of "ς" and "σ", "ſ" and "s" fold together), and "ß"
// becomes "ss" ("GRÖSSE" is "größe"). Bytes that are not UTF-8 stay as they are, ASCII letters folded.
std::string FoldCase(std::string_view text);

// The criteria of SEARCH's arguments, CHARSET included, as one AND key; nullopt with the refusal.
std::optional<SearchKey> ParseSearch(const std::vector<Argument>& arguments, SearchRefusal& refusal);
bool Matches(const SearchKey& key, SearchSubject& subject);

}  // namespace pw::imap
