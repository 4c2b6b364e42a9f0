// FetchItems: the FETCH item table, its macros and the section parser.
#include "imap/FetchItems.h"

#include <charconv>
#include <span>

#include "platform/Text.h"

namespace pw::imap {

namespace {

using enum FetchItemId;

// In the order a name is looked up: the longer of two names with the same start comes first.
constexpr FetchItemRow kItems[] = {
    {"BINARY[", Binary, kHasSection | kNeedsParse | kMarksSeen},
    {"BINARY.PEEK[", BinaryPeek, kHasSection | kNeedsParse},
    {"BINARY.SIZE[", BinarySize, kHasSection | kNeedsParse},
    {"BODY[", BodySection, kHasSection | kMarksSeen},
    {"BODY.PEEK[", BodyPeek, kHasSection},
    {"BODY", Body, kNeedsParse},
    {"BODYSTRUCTURE", BodyStructure, kNeedsParse},
    {"EMAILID", EmailId, kNeedsContent},
    {"ENVELOPE", Envelope, kNeedsHeader},
    {"FLAGS", Flags, kWrittenLast},
    {"INTERNALDATE", InternalDate, 0},
    {"MODSEQ", Modseq, 0},
    {"RFC822.HEADER", Rfc822Header, kNeedsHeader | kNeedsContent},
    {"RFC822.SIZE", Rfc822Size, 0},
    {"RFC822.TEXT", Rfc822Text, kNeedsHeader | kNeedsContent | kMarksSeen},
    {"RFC822", Rfc822, kNeedsContent | kMarksSeen},
    {"THREADID", ThreadId, 0},
    {"UID", Uid, 0},
};

// The items a macro stands for, by name.
constexpr std::string_view kAll[] = {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE"};
constexpr std::string_view kFast[] = {"FLAGS", "INTERNALDATE", "RFC822.SIZE"};
constexpr std::string_view kFull[] = {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "BODY"};

const FetchItemRow* FindItem(std::string_view upperName) {
    const std::size_t bracket = upperName.find('[');
    const std::string_view key = bracket == std::string_view::npos ? upperName : upperName.substr(0, bracket + 1);
    for (const FetchItemRow& row : kItems) {
        if (row.name == key) return &row;
    }
    return nullptr;
}

FetchRefusal Refusal(std::string reply, std::string logLine = {}) { return {std::move(reply), true, std::move(logLine)}; }

// A number of one or more digits, the first 1-9 when `nonZero`; nullopt past uint64.
std::optional<std::uint64_t> Number(std::string_view digits, bool nonZero) {
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    if (nonZero && digits[0] == '0') return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// "<origin.count>", count at least 1.
bool ParsePartial(std::string_view text, FetchSection& section) {
    if (text.size() < 5 || text.front() != '<' || text.back() != '>') return false;
    const std::string_view inner = text.substr(1, text.size() - 2);
    const std::size_t dot = inner.find('.');
    if (dot == std::string_view::npos) return false;
    const auto origin = Number(inner.substr(0, dot), false);
    const auto count = Number(inner.substr(dot + 1), true);
    if (!origin || !count) return false;
    section.origin = *origin;
    section.count = *count;
    return true;
}

// "(NAME NAME ...)": the field names, quotes taken off; false when there is no name.
bool ParseFieldList(std::string_view text, std::vector<std::string>& fields) {
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') return false;
    for (const std::string& word : SplitAtAny(text.substr(1, text.size() - 2), " ")) {
        std::string_view name = word;
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
        if (!name.empty()) fields.emplace_back(name);
    }
    return !fields.empty();
}

// What follows the part path: HEADER, HEADER.FIELDS (...), HEADER.FIELDS.NOT (...), TEXT, MIME.
bool ParseSectionText(std::string_view rest, bool afterPath, FetchSection& section, FetchRefusal& refusal) {
    using Kind = FetchSection::Kind;
    if (rest.empty()) {
        section.kind = Kind::Whole;
        return true;
    }
    if (rest == "TEXT") {
        section.kind = Kind::Text;
        return true;
    }
    if (rest == "MIME" && afterPath) {
        section.kind = Kind::Mime;
        return true;
    }
    if (!rest.starts_with("HEADER")) {
        refusal = Refusal("Invalid section specifier", "Invalid section:  [" + section.text + "]");
        return false;
    }
    rest.remove_prefix(6);
    if (rest.empty()) {
        section.kind = Kind::Header;
        return true;
    }
    std::string_view list;
    if (rest.starts_with(".FIELDS.NOT")) {
        section.kind = Kind::HeaderFieldsNot;
        list = rest.substr(11);
    } else if (rest.starts_with(".FIELDS")) {
        section.kind = Kind::HeaderFields;
        list = rest.substr(7);
    } else {
        refusal = Refusal("Invalid HEADER specification", "Invalid HEADER spec:  \"" + section.text + "\"");
        return false;
    }
    if (!list.empty() && list.front() != ' ') {
        refusal = Refusal("Invalid HEADER specification", "Invalid HEADER spec:  \"" + section.text + "\"");
        return false;
    }
    if (list.empty() || !ParseFieldList(list.substr(1), section.fields)) {
        refusal = Refusal("HEADER FIELDS list missing");
        return false;
    }
    return true;
}

}  // namespace

unsigned FetchItem::Flags() const {
    unsigned flags = row->flags;
    if (row->id != BodySection && row->id != BodyPeek) return flags;
    // A body section of a part needs the walk; the message's own header or text only the header;
    // the whole message only its file.
    if (!section.path.empty()) return flags | kNeedsParse | kNeedsContent;
    if (section.kind == FetchSection::Kind::Whole) return flags | kNeedsContent;
    return flags | kNeedsHeader | kNeedsContent;
}

std::string FetchItem::ResponseName() const {
    std::string name;
    switch (row->id) {
    case Binary:
    case BinaryPeek: name = "BINARY[" + section.text + "]"; break;
    case BinarySize: return "BINARY.SIZE[" + section.text + "]";
    case BodySection:
    case BodyPeek: name = "BODY[" + section.text + "]"; break;
    default: return std::string(row->name);
    }
    if (section.origin) name += "<" + std::to_string(*section.origin) + ">";
    return name;
}

bool ParseSection(std::string_view afterBracket, FetchSection& section, FetchRefusal& refusal) {
    // The "]" that ends the section: the first one outside a field list.
    std::size_t close = std::string_view::npos;
    int depth = 0;
    for (std::size_t i = 0; i < afterBracket.size() && close == std::string_view::npos; ++i) {
        if (afterBracket[i] == '(') ++depth;
        if (afterBracket[i] == ')' && depth > 0) --depth;
        if (afterBracket[i] == ']' && depth == 0) close = i;
    }
    if (close == std::string_view::npos) {
        refusal = Refusal("Invalid section specifier:  right bracket missing.",
                          "']' missing from section \"" + std::string(afterBracket) + "\"");
        return false;
    }
    section.text = ToUpperAscii(afterBracket.substr(0, close));
    const std::string_view after = afterBracket.substr(close + 1);
    if (!after.empty() && after.front() != '<') {
        refusal = Refusal("Section specification has invalid characters following ']'");
        return false;
    }
    if (!after.empty() && !ParsePartial(after, section)) {
        refusal = Refusal("Invalid specification for partial section fetch",
                          "Invalid partial spec:  \"" + std::string(after) + "\"");
        return false;
    }
    // The part path: numbers from 1 joined by dots, then (after a dot) the rest.
    std::string_view text = section.text;
    std::size_t pathEnd = 0;
    while (pathEnd < text.size()) {
        const std::size_t dot = text.find('.', pathEnd);
        const std::string_view piece = text.substr(pathEnd, dot == std::string_view::npos ? std::string_view::npos : dot - pathEnd);
        if (!Number(piece, true)) break;
        pathEnd = dot == std::string_view::npos ? text.size() : dot + 1;
    }
    std::string_view path = text.substr(0, pathEnd);
    if (path.ends_with('.')) path.remove_suffix(1);
    if (text.ends_with('.')) {
        refusal = Refusal("Invalid section specifier", "Invalid section:  [" + section.text + "]");
        return false;
    }
    section.path = std::string(path);
    return ParseSectionText(text.substr(pathEnd), !path.empty(), section, refusal);
}

namespace {

bool AddItem(const Argument& argument, FetchRequest& request, FetchRefusal& refusal) {
    const std::string upper = ToUpperAscii(argument.text);
    const FetchItemRow* row = argument.kind == ArgumentKind::List ? nullptr : FindItem(upper);
    if (row == nullptr) {
        refusal = {"FETCH command has unrecognized Data Item:  " + argument.text, false, {}};
        return false;
    }
    FetchItem item{row, {}};
    if (row->flags & kHasSection) {
        if (!ParseSection(std::string_view(upper).substr(row->name.size()), item.section, refusal)) return false;
        const bool binary = row->id == Binary || row->id == BinaryPeek || row->id == BinarySize;
        // BINARY names parts only, and BINARY.SIZE the whole of one.
        if (binary && (item.section.kind != FetchSection::Kind::Whole || (row->id == BinarySize && item.section.origin))) {
            refusal = Refusal("Invalid section specifier", "Invalid section:  [" + item.section.text + "]");
            return false;
        }
    } else if (upper != row->name) {
        refusal = {"FETCH command has unrecognized Data Item:  " + argument.text, false, {}};
        return false;
    }
    request.needs |= item.Flags();
    request.modseq = request.modseq || item.row->id == FetchItemId::Modseq;
    request.items.push_back(std::move(item));
    return true;
}

}  // namespace

std::optional<FetchRequest> ParseFetchItems(const Argument& argument, FetchRefusal& refusal) {
    FetchRequest request;
    if (argument.kind == ArgumentKind::List) {
        if (argument.items.empty()) {
            refusal = Refusal("FETCH command has no Data Items");
            return std::nullopt;
        }
        for (const Argument& item : argument.items) {
            if (!AddItem(item, request, refusal)) return std::nullopt;
        }
        return request;
    }
    const std::string upper = ToUpperAscii(argument.text);
    std::span<const std::string_view> macro;
    if (upper == "ALL") macro = kAll;
    if (upper == "FAST") macro = kFast;
    if (upper == "FULL") macro = kFull;
    if (macro.empty()) {
        if (!AddItem(argument, request, refusal)) return std::nullopt;
        return request;
    }
    for (const std::string_view name : macro) {
        const Argument item{ArgumentKind::FetchAttribute, std::string(name), {}, false};
        if (!AddItem(item, request, refusal)) return std::nullopt;
    }
    return request;
}

}  // namespace pw::imap
