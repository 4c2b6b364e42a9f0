// SearchKeys: the SEARCH key table, its parser and the tests.
#include "imap/SearchKeys.h"

#include "imap/ImapStrings.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "m5/M5Descriptors.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

using Kind = SearchKey::Kind;

enum class Takes { Nothing, String, HeaderField, Date, Number, Set, OneKey, TwoKeys, Atom, Modseq, ObjectId };

struct KeyRow {
    std::string_view name;
    Kind kind;
    Takes takes;
    std::uint16_t flag = 0;
    std::string_view field = {};
};

constexpr KeyRow kKeys[] = {
    {"ALL", Kind::All, Takes::Nothing},
    {"ANSWERED", Kind::FlagSet, Takes::Nothing, kFlagAnswered},
    {"BCC", Kind::Header, Takes::String, 0, "BCC"},
    {"BEFORE", Kind::Before, Takes::Date},
    {"BODY", Kind::Body, Takes::String},
    {"CC", Kind::Header, Takes::String, 0, "CC"},
    {"DELETED", Kind::FlagSet, Takes::Nothing, kFlagDeleted},
    {"DRAFT", Kind::FlagSet, Takes::Nothing, kFlagDraft},
    {"EMAILID", Kind::EmailId, Takes::ObjectId},
    {"FLAGGED", Kind::FlagSet, Takes::Nothing, kFlagFlagged},
    {"FROM", Kind::Header, Takes::String, 0, "FROM"},
    {"HEADER", Kind::Header, Takes::HeaderField},
    {"KEYWORD", Kind::Keyword, Takes::Atom},
    {"LARGER", Kind::Larger, Takes::Number},
    {"MODSEQ", Kind::Modseq, Takes::Modseq},
    {"NEW", Kind::New, Takes::Nothing},
    {"NOT", Kind::Not, Takes::OneKey},
    {"OLD", Kind::Old, Takes::Nothing},
    {"ON", Kind::On, Takes::Date},
    {"OR", Kind::Or, Takes::TwoKeys},
    {"RECENT", Kind::FlagSet, Takes::Nothing, kFlagRecent},
    {"SEEN", Kind::FlagSet, Takes::Nothing, kFlagSeen},
    {"SENTBEFORE", Kind::SentBefore, Takes::Date},
    {"SENTON", Kind::SentOn, Takes::Date},
    {"SENTSINCE", Kind::SentSince, Takes::Date},
    {"SINCE", Kind::Since, Takes::Date},
    {"SMALLER", Kind::Smaller, Takes::Number},
    {"SUBJECT", Kind::Header, Takes::String, 0, "SUBJECT"},
    {"TEXT", Kind::Text, Takes::String},
    {"THREADID", Kind::ThreadId, Takes::ObjectId},
    {"TO", Kind::Header, Takes::String, 0, "TO"},
    {"UID", Kind::Set, Takes::Set},
    {"UNANSWERED", Kind::FlagClear, Takes::Nothing, kFlagAnswered},
    {"UNDELETED", Kind::FlagClear, Takes::Nothing, kFlagDeleted},
    {"UNDRAFT", Kind::FlagClear, Takes::Nothing, kFlagDraft},
    {"UNFLAGGED", Kind::FlagClear, Takes::Nothing, kFlagFlagged},
    {"UNKEYWORD", Kind::Unkeyword, Takes::Atom},
    {"UNSEEN", Kind::FlagClear, Takes::Nothing, kFlagSeen},
};

const KeyRow* FindKey(std::string_view upperName) {
    for (const KeyRow& row : kKeys) {
        if (row.name == upperName) return &row;
    }
    return nullptr;
}

class Parser {
public:
    Parser(const std::vector<Argument>& arguments, std::size_t at, SearchRefusal& refusal)
        : arguments_(arguments), at_(at), refusal_(refusal) {}

    // Every argument left, as one AND key.
    std::optional<SearchKey> All() {
        SearchKey all{.kind = Kind::And};
        while (at_ < arguments_.size()) {
            auto key = Key(arguments_, at_, 0);
            if (!key) return std::nullopt;
            all.children.push_back(std::move(*key));
        }
        return all;
    }

private:
    std::nullopt_t Refuse(std::string reply) {
        refusal_ = {std::move(reply), true};
        return std::nullopt;
    }

    std::optional<SearchKey> Key(const std::vector<Argument>& list, std::size_t& at, std::size_t depth) {
        if (depth > kMaxSearchDepth) return Refuse("SEARCH keys nested too deeply");
        const Argument& argument = list[at++];
        if (argument.kind == ArgumentKind::List) return ListKey(argument, depth);
        const std::string name = ToUpperAscii(argument.text);
        if (argument.kind == ArgumentKind::Atom && !name.empty() && (std::isdigit(static_cast<unsigned char>(name[0])) || name[0] == '*' || name == "$")) {
            return SearchKey{.kind = Kind::Set, .set = argument.text};
        }
        const KeyRow* row = argument.kind == ArgumentKind::Atom ? FindKey(name) : nullptr;
        if (row == nullptr) return Refuse("SEARCH command has unrecognized key:  " + argument.text.substr(0, 40));
        SearchKey key{.kind = row->kind, .flag = row->flag, .field = std::string(row->field)};
        const Argument* next = at < list.size() ? &list[at] : nullptr;
        const std::string quotedName = "\"" + name + "\"";
        switch (row->takes) {
        case Takes::Nothing: return key;
        case Takes::OneKey:
            if (!next) return Refuse("SEARCH key \"NOT\" missing operand");
            return Nested(key, list, at, depth, 1);
        case Takes::TwoKeys:
            if (!next) return Refuse("SEARCH key \"OR\" missing first operand");
            return Nested(key, list, at, depth, 2);
        case Takes::Date: {
            if (!next) return Refuse("SEARCH key " + quotedName + " missing date argument");
            if (next->kind == ArgumentKind::List) return Refuse("SEARCH key " + quotedName + " illegally followed by a list");
            const auto day = ParseSearchDate(next->text);
            if (!day) return Refuse("SEARCH key " + quotedName + " followed by invalid date (should be, for example, \"15-Jun-2000\")");
            ++at;
            key.day = *day;
            return key;
        }
        case Takes::Number: {
            const auto* end = next ? next->text.data() + next->text.size() : nullptr;
            if (!next || next->kind == ArgumentKind::List || next->text.empty() ||
                std::from_chars(next->text.data(), end, key.number).ptr != end) {
                return Refuse("SEARCH key " + quotedName + " missing numeric argument");
            }
            ++at;
            return key;
        }
        case Takes::Modseq: {
            // An entry name and type may come first: flags have no mod-sequences of their own here, so
            // the message's stands for each of them.
            if (next && next->IsString() && next->kind != ArgumentKind::Atom) {
                const Argument* type = at + 1 < list.size() ? &list[at + 1] : nullptr;
                if (!type || type->kind != ArgumentKind::Atom ||
                    (!EqualsNoCase(type->text, "priv") && !EqualsNoCase(type->text, "shared") && !EqualsNoCase(type->text, "all"))) {
                    return Refuse("SEARCH key \"MODSEQ\" has an invalid entry type");
                }
                at += 2;
                next = at < list.size() ? &list[at] : nullptr;
            }
            const auto value = next && next->kind == ArgumentKind::Atom ? ParseModseq(next->text, true) : std::nullopt;
            if (!value) return Refuse("SEARCH key \"MODSEQ\" missing mod-sequence argument");
            ++at;
            key.number = *value;
            return key;
        }
        case Takes::HeaderField:
            if (!next || !next->IsString()) return Refuse("SEARCH key " + quotedName + " missing field-name argument");
            key.field = ToUpperAscii(next->text);
            next = ++at < list.size() ? &list[at] : nullptr;
            [[fallthrough]];
        case Takes::String:
        case Takes::Atom:
            if (next && next->kind == ArgumentKind::List) return Refuse("SEARCH key " + quotedName + " illegally followed by a list");
            if (!next) return Refuse("SEARCH key " + quotedName + " missing string argument");
            key.text = row->takes == Takes::Atom ? list[at++].text : FoldCase(list[at++].text);
            return key;
        case Takes::ObjectId:
            if (!next || !next->IsString() || !IsObjectId(next->text)) return Refuse("SEARCH key " + quotedName + " missing object id argument");
            key.text = list[at++].text;
            return key;
        case Takes::Set:
            if (!next || next->kind != ArgumentKind::Atom) return Refuse("SEARCH key " + quotedName + " missing string argument");
            key.set = list[at++].text;
            key.uid = true;
            return key;
        }
        return key;
    }

    std::optional<SearchKey> Nested(SearchKey key, const std::vector<Argument>& list, std::size_t& at, std::size_t depth, int operands) {
        for (int i = 0; i < operands; ++i) {
            if (at >= list.size()) return Refuse("SEARCH key \"OR\" missing second operand");
            auto operand = Key(list, at, depth + 1);
            if (!operand) return std::nullopt;
            key.children.push_back(std::move(*operand));
        }
        return key;
    }

    std::optional<SearchKey> ListKey(const Argument& argument, std::size_t depth) {
        if (argument.items.empty()) return Refuse("SEARCH command has unrecognized key:  ()");
        SearchKey all{.kind = Kind::And};
        for (std::size_t at = 0; at < argument.items.size();) {
            auto key = Key(argument.items, at, depth + 1);
            if (!key) return std::nullopt;
            all.children.push_back(std::move(*key));
        }
        return all;
    }

    const std::vector<Argument>& arguments_;
    std::size_t at_;
    SearchRefusal& refusal_;
};

// The case mappings of Unicode, whatever the process's locale: C.UTF-8's character classes, made
// once (a locale object is safe to share between threads). Null when the C library lacks it; only
// ASCII folds then.
locale_t UnicodeCtype() {
    static const locale_t ctype = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return ctype;
}

char32_t FoldCharacter(char32_t c, locale_t ctype) {
    if (ctype == locale_t{}) return c;
    return static_cast<char32_t>(towlower_l(towupper_l(static_cast<wint_t>(c), ctype), ctype));
}

bool ContainsFolded(std::string_view text, std::string_view foldedNeedle) {
    return foldedNeedle.empty() || FoldCase(text).find(foldedNeedle) != std::string::npos;
}

// Field names (upper case) whose values are address lists.
constexpr std::string_view kAddressFields[] = {
    "FROM", "SENDER", "REPLY-TO", "TO", "CC", "BCC", "RESENT-FROM", "RESENT-SENDER", "RESENT-TO", "RESENT-CC", "RESENT-BCC",
};

// The blanks next to "@" taken out: what is left of "user (x)@ (y) example.org" once its comments
// are gone is one address again.
std::string WithoutBlanksAroundAt(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool blank = text[i] == ' ' || text[i] == '\t';
        if (!blank) {
            if (text[i] == '@') out.erase(out.find_last_not_of(" \t") + 1);
            out += text[i];
        } else if (out.empty() || out.back() != '@') {
            out += text[i];
        }
    }
    return out;
}

// What one header field is tested against: its value as stored, with its encoded words decoded, and
// for an address list each display name decoded and each address as local@domain.
std::vector<std::string> FieldTexts(std::string_view upperName, const std::string& value) {
    std::vector<std::string> texts{value};
    std::string decoded = m5::M5DecodeHeaderText(value);
    if (decoded != value) texts.push_back(std::move(decoded));
    if (std::find(std::begin(kAddressFields), std::end(kAddressFields), upperName) == std::end(kAddressFields)) return texts;
    for (m5::M5Address& address : m5::M5ParseAddressList(value)) {
        if (!address.name.empty()) texts.push_back(std::move(address.name));
    }
    // The parser reads a word without "@" as a local address of "localhost": that domain is only
    // the field's when it says so.
    const std::string plain = WithoutBlanksAroundAt(m5::M5WithoutComments(value));
    const bool saysLocalhost = ToLowerAscii(plain).find("@localhost") != std::string::npos;
    for (const m5::M5Address& address : m5::M5ParseAddressList(plain)) {
        texts.push_back(address.domain == "localhost" && !saysLocalhost ? address.local : address.local + "@" + address.domain);
    }
    return texts;
}

bool HeaderMatches(const SearchKey& key, SearchSubject& subject) {
    const mime::HeaderBlock* header = subject.Header();
    if (header == nullptr) return false;
    const std::size_t count = header->CountField(key.field);
    for (std::size_t which = 0; which < count; ++which) {
        const auto texts = FieldTexts(key.field, header->Field(key.field, which));
        if (std::any_of(texts.begin(), texts.end(), [&](const std::string& text) { return ContainsFolded(text, key.text); })) return true;
    }
    return false;
}

// The header as TEXT reads it: each field unfolded and its encoded words decoded, one per line.
std::string DecodedHeaderText(std::string_view text) {
    std::string unfolded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool lineBreak = text[i] == '\r' || text[i] == '\n';
        const std::size_t next = text.find_first_not_of("\r\n", i);
        if (lineBreak && next != std::string_view::npos && (text[next] == ' ' || text[next] == '\t')) {
            i = next - 1;
            continue;
        }
        unfolded += text[i];
    }
    std::string decoded;
    for (const std::string& line : SplitAtAny(unfolded, "\r\n")) {
        decoded += m5::M5DecodeHeaderText(line);
        decoded += '\n';
    }
    return decoded;
}

bool TextMatches(const SearchKey& key, SearchSubject& subject) {
    if (const mime::HeaderBlock* header = subject.Header()) {
        const std::string stored = header->Text();
        if (ContainsFolded(stored, key.text) || ContainsFolded(DecodedHeaderText(stored), key.text)) return true;
    }
    const std::string* body = subject.BodyText();
    return body && body->find(key.text) != std::string::npos;
}

bool SentMatches(const SearchKey& key, SearchSubject& subject) {
    const mime::HeaderBlock* header = subject.Header();
    const auto day = header ? HeaderDateDay(header->Field("Date")) : std::nullopt;
    if (!day) return false;
    return key.kind == Kind::SentBefore ? *day < key.day : key.kind == Kind::SentOn ? *day == key.day : *day >= key.day;
}

}  // namespace

bool SearchKey::NeedsHeader() const {
    if (kind == Kind::Header || kind == Kind::Text || kind == Kind::SentBefore || kind == Kind::SentOn || kind == Kind::SentSince) {
        return true;
    }
    return std::any_of(children.begin(), children.end(), [](const SearchKey& child) { return child.NeedsHeader(); });
}

bool SearchKey::UsesModseq() const {
    return kind == Kind::Modseq || std::any_of(children.begin(), children.end(), [](const SearchKey& child) { return child.UsesModseq(); });
}

bool SearchKey::NeedsBody() const {
    if (kind == Kind::Body || kind == Kind::Text) return true;
    return std::any_of(children.begin(), children.end(), [](const SearchKey& child) { return child.NeedsBody(); });
}

std::optional<SearchKey> ParseSearch(const std::vector<Argument>& arguments, SearchRefusal& refusal) {
    std::size_t at = 0;
    if (!arguments.empty() && arguments[0].IsString() && EqualsNoCase(arguments[0].text, "CHARSET")) {
        if (arguments.size() < 2 || !arguments[1].IsString()) {
            refusal = {"SEARCH command has CHARSET with no object", true};
            return std::nullopt;
        }
        // Search strings are taken as UTF-8 either way: US-ASCII is a part of it.
        if (!EqualsNoCase(arguments[1].text, "US-ASCII") && !EqualsNoCase(arguments[1].text, "UTF-8")) {
            refusal = {"[BADCHARSET (US-ASCII UTF-8)] This server does not support searches with alternate character sets", false};
            return std::nullopt;
        }
        at = 2;
    }
    if (at >= arguments.size()) {
        refusal = {"SEARCH must have at least one argument", true};
        return std::nullopt;
    }
    return Parser(arguments, at, refusal).All();
}

std::string FoldCase(std::string_view text) {
    const locale_t ctype = UnicodeCtype();
    std::string folded;
    folded.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        char32_t c = 0;
        const std::size_t length = byte < 0x80 ? 0 : DecodeUtf8(text, at, c);
        if (length == 0) {
            folded += FoldAscii(text[at++]);
            continue;
        }
        at += length;
        if (c == U'\u00DF' || c == U'\u1E9E') {
            folded += "ss";
            continue;
        }
        AppendUtf8(folded, FoldCharacter(c, ctype));
    }
    return folded;
}

bool Matches(const SearchKey& key, SearchSubject& subject) {
    const MessageEntry& entry = subject.Entry();
    switch (key.kind) {
    case Kind::All: return true;
    case Kind::FlagSet: return (entry.flags & key.flag) != 0;
    case Kind::FlagClear: return (entry.flags & key.flag) == 0;
    case Kind::New: return (entry.flags & kFlagRecent) && !(entry.flags & kFlagSeen);
    case Kind::Old: return !(entry.flags & kFlagRecent);
    case Kind::Keyword: return HasKeyword(subject.EntryKeywords(), key.text);
    case Kind::Unkeyword: return !HasKeyword(subject.EntryKeywords(), key.text);
    case Kind::Header: return HeaderMatches(key, subject);
    case Kind::Body: {
        const std::string* body = subject.BodyText();
        return body && body->find(key.text) != std::string::npos;
    }
    case Kind::Text: return TextMatches(key, subject);
    case Kind::Before: return UtcDay(entry.internalDate) < key.day;
    case Kind::On: return UtcDay(entry.internalDate) == key.day;
    case Kind::Since: return UtcDay(entry.internalDate) >= key.day;
    case Kind::SentBefore:
    case Kind::SentOn:
    case Kind::SentSince: return SentMatches(key, subject);
    case Kind::Larger: return entry.size > key.number;
    case Kind::Smaller: return entry.size < key.number;
    case Kind::Modseq: return entry.modseq >= key.number;
    case Kind::EmailId: return subject.EmailId() == key.text;
    case Kind::ThreadId: return false;  // no message has a thread id here (FETCH THREADID is NIL)
    case Kind::Set: return subject.Index() < key.members.size() && key.members[subject.Index()];
    case Kind::Not: return !Matches(key.children[0], subject);
    case Kind::Or: return Matches(key.children[0], subject) || Matches(key.children[1], subject);
    case Kind::And:
        return std::all_of(key.children.begin(), key.children.end(), [&](const SearchKey& child) { return Matches(child, subject); });
    }
    return false;
}

}  // namespace pw::imap
