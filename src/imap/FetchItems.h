// FetchItems: what a FETCH asks for -- the item table with what each item needs of a message, the
// macros ALL, FAST and FULL, and body sections ("1.2.MIME", "HEADER.FIELDS (SUBJECT)", "<0.10>"),
// checked before any message is touched so that a bad request answers BAD and writes nothing.
//
// An item's name is compared in upper case up to and including its first "["; what follows is the
// section. The response names a section item as BODY[...] or BINARY[...] (PEEK dropped) with the
// section as the client wrote it, upper-cased, and "<origin>" for a partial fetch.
// Thread safety: pure functions and values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imap/ImapCommandReader.h"

namespace pw::imap {

enum class FetchItemId {
    Binary,
    BinaryPeek,
    BinarySize,
    BodySection,
    BodyPeek,
    Body,
    BodyStructure,
    EmailId,
    Envelope,
    Flags,
    InternalDate,
    Modseq,
    Rfc822Header,
    Rfc822Size,
    Rfc822Text,
    Rfc822,
    ThreadId,
    Uid,
};

// What writing an item needs of a message, besides the session's own entry.
inline constexpr unsigned kNeedsParse = 1;      // the whole message walked into its parts
inline constexpr unsigned kNeedsContent = 2;    // the message file open (sizes and ranges of it)
inline constexpr unsigned kNeedsHeader = 4;     // the message's own header read
inline constexpr unsigned kWrittenLast = 16;    // FLAGS: written at the end of the response
inline constexpr unsigned kHasSection = 32;     // the name ends in "[": a section follows
inline constexpr unsigned kMarksSeen = 64;      // fetching it reads the message: \Seen is set

struct FetchItemRow {
    std::string_view name;
    FetchItemId id;
    unsigned flags;
};

struct FetchSection {
    enum class Kind { Whole, Header, HeaderFields, HeaderFieldsNot, Text, Mime };
    std::string text;   // between "[" and "]", upper case, as the response repeats it
    std::string path;   // "1.2", "" for the message itself
    Kind kind = Kind::Whole;
    std::vector<std::string> fields;  // HEADER.FIELDS and HEADER.FIELDS.NOT, upper case
    std::optional<std::uint64_t> origin;  // a partial fetch: "<origin.count>"
    std::uint64_t count = 0;
};

struct FetchItem {
    const FetchItemRow* row = nullptr;
    FetchSection section;

    unsigned Flags() const;
    // "BODY[1.MIME]<0>", "BINARY.SIZE[2]", "RFC822.SIZE": the name the response gives the item.
    std::string ResponseName() const;
};

struct FetchRequest {
    std::vector<FetchItem> items;
    unsigned needs = 0;  // the flags of every item together
    bool modseq = false;  // MODSEQ asked for, or implied by CHANGEDSINCE
};

struct FetchRefusal {
    std::string reply;    // the diagnostic the client is answered with
    bool bad = true;      // BAD, or NO for an item the table does not know
    std::string logLine;  // what the server log says about it, "" for nothing
};

// The items of FETCH's second argument (a macro, one item, or a list); nullopt with the refusal.
std::optional<FetchRequest> ParseFetchItems(const Argument& argument, FetchRefusal& refusal);
// One section, the text after "[" up to the end of the item ("1.MIME]<0.10>"); false with the refusal.
bool ParseSection(std::string_view afterBracket, FetchSection& section, FetchRefusal& refusal);

}  // namespace pw::imap
