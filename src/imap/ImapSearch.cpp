// SEARCH and SORT -- the criteria parsed whole, then every message of the selected mailbox tested
// in order, its file read only when a key needs its header or body. With RETURN (RFC 4731) the
// result is one "* ESEARCH" line of the options asked for; SAVE (RFC 5182) keeps it as "$". SORT
// (RFC 5256) orders what matched by its keys, read once per message, ties by message number;
// THREAD ORDEREDSUBJECT groups it by base subject.
#include "imap/ImapCommands.h"

#include <array>
#include <tuple>

#include "imap/ImapDates.h"
#include "imap/ImapLimits.h"
#include "imap/ImapStore.h"
#include "imap/ImapStrings.h"
#include "imap/SearchKeys.h"
#include "imap/SelectedMailbox.h"
#include "imap/StoredMessage.h"
#include "m5/M5Charsets.h"
#include "m5/M5Descriptors.h"
#include "platform/Text.h"

namespace pw::imap::commands {

namespace {

// One message under test: the header and the text of its body read the first time a key asks.
class MessageUnderTest final : public SearchSubject {
public:
    MessageUnderTest(CommandContext& context, std::size_t index)
        : context_(context), entry_(context.mailbox.view.messages[index]),
          keywords_(context.mailbox.view.KeywordsOf(entry_.keywords)), index_(index) {}

    const MessageEntry& Entry() const override { return entry_; }
    const Keywords& EntryKeywords() const override { return keywords_; }
    std::size_t Index() const override { return index_; }

    const mime::HeaderBlock* Header() override {
        if (!header_ && Read(false)) {
            const m5::M5PartDesc* top = message_.Part(0);
            std::string_view text;
            if (top != nullptr && m5::M5GetBytes(message_.Structure(), top->header, text) == m5::M5STS_SUCCESS) {
                header_.emplace();
                (void)header_->Parse(text);  // what a header over the limits holds up to there is searched
            }
        }
        return header_ ? &*header_ : nullptr;
    }

    const std::string* BodyText() override {
        if (!body_ && Read(true)) body_ = TextParts();
        return body_ ? &*body_ : nullptr;
    }

    std::string EmailId() override {
        if (failed_ || (!message_.IsOpen() && message_.Open(context_.store, *context_.mailbox.folder, entry_.uid) != StoredMessage::Opened::Ok)) return {};
        FileIdentity identity;
        return Succeeded(message_.File().Identity(identity)) ? ObjectId('M', identity) : std::string();
    }

private:
    // The message through the parser: its header alone, or the whole walk for the body.
    bool Read(bool whole) {
        if (failed_) return false;
        if (message_.IsOpen() && (message_.Walked() || !whole)) return true;
        const bool opened = message_.IsOpen() || message_.Open(context_.store, *context_.mailbox.folder, entry_.uid) == StoredMessage::Opened::Ok;
        const m5::M5Status status = !opened ? m5::M5STS_READ_ERROR : whole ? message_.Walk(context_.parser) : message_.ReadHeader(context_.parser);
        if (status != m5::M5STS_SUCCESS && status != m5::M5STS_LIMIT_REACHED) {
            ImapLog('E', Format("IMAP4_Search:  Cannot load message file \"%s\"", {std::string_view(message_.Path())}));
            failed_ = true;
            return false;
        }
        return true;
    }

    // The text parts, decoded from their transfer encoding, converted to UTF-8 and folded, one after
    // another: folded once here, however many keys read them.
    std::string TextParts() const {
        const m5::M5MessageHandle walked = message_.Structure();
        std::string text;
        std::size_t count = 0;
        (void)m5::M5GetPartCount(walked, count);
        for (std::size_t number = 0; number < count; ++number) {
            const m5::M5PartDesc* part = message_.Part(number);
            if (part == nullptr || part->multipart || part->type != "text") continue;
            std::string body;
            if (m5::M5GetPartBody(walked, number, m5::M5Delivery::Decoded, body) != m5::M5STS_SUCCESS) continue;
            std::string converted;
            const bool declared = part->charset != "us-ascii";
            if (!declared || !m5::M5ConvertNamedToUtf8(part->charset, body, converted)) converted = m5::M5UndeclaredToUtf8(body);
            text += FoldCase(converted);
            text += '\n';
        }
        return text;
    }

    CommandContext& context_;
    const MessageEntry& entry_;
    const Keywords& keywords_;
    std::size_t index_;
    StoredMessage message_;
    bool failed_ = false;
    std::optional<mime::HeaderBlock> header_;
    std::optional<std::string> body_;
};

// SEARCH's RETURN options. Without RETURN the answer is RFC 3501's "* SEARCH" line.
struct ReturnOptions {
    bool extended = false;
    bool min = false;
    bool max = false;
    bool count = false;
    bool all = false;
    bool save = false;
};

// Takes "RETURN (...)" off the front of the arguments; nullopt with the BAD diagnostic set.
std::optional<ReturnOptions> TakeReturnOptions(CommandContext& context, std::vector<Argument>& arguments) {
    ReturnOptions options;
    if (arguments.empty() || arguments[0].kind != ArgumentKind::Atom || !EqualsNoCase(arguments[0].text, "RETURN")) return options;
    if (arguments.size() < 2 || arguments[1].kind != ArgumentKind::List) {
        context.Bad("SEARCH RETURN must be followed by a list of options");
        return std::nullopt;
    }
    options.extended = true;
    for (const Argument& option : arguments[1].items) {
        const std::string name = option.kind == ArgumentKind::Atom ? ToUpperAscii(option.text) : std::string();
        if (name == "SAVE") {
            options.save = true;
        } else if (name == "MIN") {
            options.min = true;
        } else if (name == "MAX") {
            options.max = true;
        } else if (name == "COUNT") {
            options.count = true;
        } else if (name == "ALL") {
            options.all = true;
        } else {
            context.Bad("SEARCH RETURN option unknown:  " + option.text.substr(0, 40));
            const auto& items = arguments[1].items;
            const bool save = std::any_of(items.begin(), items.end(), [](const Argument& a) { return EqualsNoCase(a.text, "SAVE"); });
            if (save) context.mailbox.view.saved.clear();
            return std::nullopt;
        }
    }
    // "RETURN ()" is ALL (RFC 4731 3.1).
    if (!options.min && !options.max && !options.count && !options.save) options.all = true;
    arguments.erase(arguments.begin(), arguments.begin() + 2);
    return options;
}

// The "* ESEARCH" line: MIN, MAX and ALL only when something matched, COUNT always when asked.
std::string ExtendedResult(const Command& command, const ReturnOptions& options, const std::vector<std::uint32_t>& found) {
    std::string line = "ESEARCH (TAG " + ImapString(command.tag) + ")";
    if (command.uid) line += " UID";
    if (!found.empty() && options.min) line += " MIN " + std::to_string(found.front());
    if (!found.empty() && options.max) line += " MAX " + std::to_string(found.back());
    if (options.count) line += " COUNT " + std::to_string(found.size());
    if (!found.empty() && options.all) line += " ALL " + UidSet(found);
    return line;
}

// RFC 5182 2.1: a SEARCH that was to save and failed leaves "$" empty, not as it was. Cleared only
// at the end, since "$" in the criteria names the result saved before.
class ClearSavedUnlessDone {
public:
    explicit ClearSavedUnlessDone(MessageVector& view, bool armed) : view_(view), armed_(armed) {}
    ~ClearSavedUnlessDone() {
        if (armed_) view_.saved.clear();
    }
    void Done() { armed_ = false; }

private:
    MessageVector& view_;
    bool armed_;
};

// What SAVE keeps (RFC 5182 2.4): the whole result, but only the minimum and maximum when those are
// all that was asked besides SAVE.
std::vector<std::uint32_t> SavedResult(const ReturnOptions& options, std::vector<std::uint32_t> uids) {
    if (options.all || options.count || (!options.min && !options.max) || uids.empty()) return uids;
    std::vector<std::uint32_t> kept;
    if (options.min) kept.push_back(uids.front());
    if (options.max && (kept.empty() || kept.back() != uids.back())) kept.push_back(uids.back());
    return kept;
}

// The messages the criteria match, as indexes of the view, in order; nullopt with the reply set.
// `modseq` tells whether the criteria hold a MODSEQ key.
std::optional<std::vector<std::size_t>> MatchingMessages(CommandContext& context, const std::vector<Argument>& arguments, bool* modseq = nullptr) {
    MessageVector& view = context.mailbox.view;
    SearchRefusal refusal;
    auto criteria = ParseSearch(arguments, refusal);
    if (!criteria) return refusal.bad ? context.Bad(refusal.reply) : context.No(refusal.reply), std::nullopt;
    if (criteria->UsesModseq()) context.mailbox.EnableCondstore();
    if (modseq) *modseq = criteria->UsesModseq();
    // Message sets become the messages they name, now, against the mailbox as the client knows it.
    std::string diagnostic;
    std::function<bool(SearchKey&)> resolve = [&](SearchKey& key) {
        if (key.kind == SearchKey::Kind::Set) {
            if (!view.Select(key.set, key.uid, diagnostic)) return false;
            key.members.clear();
            for (const MessageEntry& entry : view.messages) key.members.push_back(entry.selected);
        }
        return std::all_of(key.children.begin(), key.children.end(), resolve);
    };
    if (!resolve(*criteria)) return context.Bad(diagnostic), std::nullopt;
    if ((criteria->NeedsHeader() || criteria->NeedsBody()) && !context.parser.Open()) return context.No("Server internal error with message"), std::nullopt;

    const bool trace = context.session.debugMask & (1u << static_cast<unsigned>(CommandId::Search));
    const auto total = std::uint64_t{view.messages.size()};
    auto nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 * context.session.progressTenths);
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < view.messages.size(); ++i) {
        const MessageEntry& entry = view.messages[i];
        if (trace) context.replies.Connection().WriteLine(Format("** Seaching message #%u, ID %lu", {std::uint64_t{i + 1}, std::uint64_t{entry.uid}}));
        MessageUnderTest subject(context, i);
        if (Matches(*criteria, subject)) found.push_back(i);
        if (context.session.progressTenths != 0 && std::chrono::steady_clock::now() >= nextProgress) {
            context.Untagged(Format("PROGRESS %lu/%lu", {std::uint64_t{i + 1}, total}));
            context.replies.Connection().Flush();
            nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 * context.session.progressTenths);
        }
    }
    return found;
}

// SORT's keys (RFC 5256), each maybe reversed.
enum class SortKey { Arrival, Cc, Date, From, Size, Subject, To, DisplayFrom, DisplayTo };
struct SortCriterion {
    SortKey key;
    bool reverse;
};

std::optional<std::vector<SortCriterion>> ParseSortCriteria(CommandContext& context, const Argument& list) {
    static constexpr std::pair<std::string_view, SortKey> kKeys[] = {
        {"ARRIVAL", SortKey::Arrival}, {"CC", SortKey::Cc}, {"DATE", SortKey::Date}, {"FROM", SortKey::From},
        {"SIZE", SortKey::Size}, {"SUBJECT", SortKey::Subject}, {"TO", SortKey::To},
        {"DISPLAYFROM", SortKey::DisplayFrom}, {"DISPLAYTO", SortKey::DisplayTo}};
    std::vector<SortCriterion> criteria;
    bool reverse = false;
    for (const Argument& item : list.items) {
        const std::string name = item.kind == ArgumentKind::Atom ? ToUpperAscii(item.text) : std::string();
        if (name == "REVERSE" && !reverse) {
            reverse = true;
            continue;
        }
        const auto* row = std::find_if(std::begin(kKeys), std::end(kKeys), [&](const auto& k) { return k.first == name; });
        if (row == std::end(kKeys)) return context.Bad("SORT criterion unknown:  " + item.text.substr(0, 40)), std::nullopt;
        criteria.push_back({row->second, reverse});
        reverse = false;
    }
    if (criteria.empty() || reverse) return context.Bad("SORT criteria incomplete"), std::nullopt;
    return criteria;
}

// RFC 5256 2.1's base subject: encoded words decoded, white space runs made single blanks, then
// "(fwd)" trailers, "Re:", "Fw:", "Fwd:" leaders with their "[blob]"s, a leading "[blob]" that is not
// all there is, and a "[Fwd: ...]" wrapper taken off until none is left.
std::string BaseSubject(std::string_view field) {
    std::string subject;
    for (const char c : m5::M5DecodeHeaderText(field)) {
        const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (!blank) subject += c;
        else if (!subject.empty() && subject.back() != ' ') subject += ' ';
    }
    auto trimFront = [&] {
        while (!subject.empty() && subject.front() == ' ') subject.erase(0, 1);
    };
    auto startsWith = [&](std::size_t at, std::string_view word) {
        return subject.size() >= at + word.size() && EqualsNoCase(std::string_view(subject).substr(at, word.size()), word);
    };
    // The end of a "[...]" blob and its blanks at `at`, or npos.
    auto blobEnd = [&](std::size_t at) {
        if (at >= subject.size() || subject[at] != '[') return std::string::npos;
        const std::size_t close = subject.find_first_of("[]", at + 1);
        if (close == std::string::npos || subject[close] != ']') return std::string::npos;
        std::size_t end = close + 1;
        while (end < subject.size() && subject[end] == ' ') ++end;
        return end;
    };
    for (;;) {
        for (;;) {  // trailers
            while (!subject.empty() && subject.back() == ' ') subject.pop_back();
            if (subject.size() < 5 || !startsWith(subject.size() - 5, "(fwd)")) break;
            subject.resize(subject.size() - 5);
        }
        for (bool changed = true; changed;) {  // leaders, and a leading blob
            changed = false;
            trimFront();
            std::size_t at = 0;
            for (std::size_t end = blobEnd(at); end != std::string::npos; end = blobEnd(at)) at = end;
            std::size_t word = startsWith(at, "re") ? 2 : startsWith(at, "fwd") ? 3 : startsWith(at, "fw") ? 2 : 0;
            if (word != 0) {
                std::size_t next = at + word;
                while (next < subject.size() && subject[next] == ' ') ++next;
                if (const std::size_t end = blobEnd(next); end != std::string::npos) next = end;
                if (next < subject.size() && subject[next] == ':') {
                    subject.erase(0, next + 1);
                    changed = true;
                    continue;
                }
            }
            if (const std::size_t end = blobEnd(0); end != std::string::npos && end < subject.size()) {
                subject.erase(0, end);
                changed = true;
            }
        }
        if (startsWith(0, "[fwd:") && subject.back() == ']') {
            subject = subject.substr(5, subject.size() - 6);
            continue;
        }
        return subject;
    }
}

// A Date field as seconds since 1970 in UTC ("Wed, 9 Dec 2026 10:00:00 +0100"); nullopt when it
// holds no date and time.
std::optional<std::int64_t> SentSeconds(std::string_view field) {
    const auto day = HeaderDateDay(field);
    if (!day) return std::nullopt;
    const std::vector<std::string> words = SplitAtAny(field, " \t,");
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        const std::string& time = words[i];
        const std::string& zone = words[i + 1];
        if (time.size() < 5 || time[2] != ':' || zone.size() != 5 || (zone[0] != '+' && zone[0] != '-')) continue;
        const auto number = [](std::string_view digits) {
            int value = 0;
            for (const char c : digits) {
                if (c < '0' || c > '9') return -1;
                value = value * 10 + (c - '0');
            }
            return value;
        };
        const int hour = number(time.substr(0, 2));
        const int minute = number(time.substr(3, 2));
        const int second = time.size() == 8 && time[5] == ':' ? number(time.substr(6, 2)) : time.size() == 5 ? 0 : -1;
        const int offset = number(zone.substr(1));
        if (hour < 0 || minute < 0 || second < 0 || offset < 0) return std::nullopt;
        const std::int64_t east = (offset / 100 * 60 + offset % 100) * 60 * (zone[0] == '-' ? -1 : 1);
        return *day * 86400 + hour * 3600 + minute * 60 + second - east;
    }
    return std::nullopt;
}

// One message's sort keys: numbers, and texts folded for comparison without regard to case.
struct SortValues {
    std::size_t index = 0;
    std::int64_t date = 0;
    std::array<std::string, 6> texts;  // CC, FROM, SUBJECT, TO, DISPLAYFROM, DISPLAYTO
};

std::string FirstMailbox(const mime::HeaderBlock* header, std::string_view field) {
    if (header == nullptr) return {};
    const auto addresses = m5::M5ParseAddressList(header->Field(field));
    return addresses.empty() ? std::string() : FoldCase(addresses.front().local);
}

// RFC 5957's display value of a field's first address: its display name decoded, or where it has
// none the address itself.
std::string FirstDisplay(const mime::HeaderBlock* header, std::string_view field) {
    if (header == nullptr) return {};
    const auto addresses = m5::M5ParseAddressList(header->Field(field));
    if (addresses.empty()) return {};
    const m5::M5Address& first = addresses.front();
    std::string name = first.name;
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.erase(0, 1);
    if (name.empty()) name = first.domain.empty() ? first.local : first.local + "@" + first.domain;
    return FoldCase(name);
}

SortValues ValuesOf(CommandContext& context, std::size_t index, const std::vector<SortCriterion>& criteria) {
    SortValues values;
    values.index = index;
    const MessageEntry& entry = context.mailbox.view.messages[index];
    values.date = static_cast<std::int64_t>(TimeTFromDate(entry.internalDate));
    const bool needsHeader = std::any_of(criteria.begin(), criteria.end(), [](const SortCriterion& c) {
        return c.key != SortKey::Arrival && c.key != SortKey::Size;
    });
    if (!needsHeader) return values;
    MessageUnderTest message(context, index);
    const mime::HeaderBlock* header = message.Header();
    for (const SortCriterion& criterion : criteria) {
        switch (criterion.key) {
        case SortKey::Date:
            // RFC 5256: without a usable Date field the internal date stands in.
            if (header != nullptr) values.date = SentSeconds(header->Field("Date")).value_or(values.date);
            break;
        case SortKey::Cc: values.texts[0] = FirstMailbox(header, "Cc"); break;
        case SortKey::From: values.texts[1] = FirstMailbox(header, "From"); break;
        case SortKey::Subject: values.texts[2] = header ? FoldCase(BaseSubject(header->Field("Subject"))) : std::string(); break;
        case SortKey::To: values.texts[3] = FirstMailbox(header, "To"); break;
        case SortKey::DisplayFrom: values.texts[4] = FirstDisplay(header, "From"); break;
        case SortKey::DisplayTo: values.texts[5] = FirstDisplay(header, "To"); break;
        default: break;
        }
    }
    for (std::string& text : values.texts) {
        if (text.size() > kMaxSortKeyBytes) text.resize(kMaxSortKeyBytes);
    }
    return values;
}

// SORT's and THREAD's matches: the second argument is the charset, without SEARCH's CHARSET word
// (RFC 5256), the search criteria follow.
std::optional<std::vector<std::size_t>> MatchingAfterCharset(CommandContext& context, std::string_view name, bool* modseq = nullptr) {
    const std::vector<Argument>& arguments = context.command.arguments;
    if (!arguments[1].IsString()) return context.Bad(std::string(name) + " charset missing"), std::nullopt;
    std::vector<Argument> search;
    search.push_back(Argument{ArgumentKind::Atom, "CHARSET", {}, false});
    search.insert(search.end(), arguments.begin() + 1, arguments.end());
    return MatchingMessages(context, search, modseq);
}

}  // namespace

void Search(CommandContext& context) {
    const Command& command = context.command;
    MessageVector& view = context.mailbox.view;
    std::vector<Argument> arguments = command.arguments;
    const auto options = TakeReturnOptions(context, arguments);
    if (!options) return;
    ClearSavedUnlessDone saveGuard(view, options->save);
    bool modseq = false;
    const auto matching = MatchingMessages(context, arguments, &modseq);
    if (!matching) return;
    // With MODSEQ among the criteria, the highest mod-sequence of the messages the answer names.
    std::uint64_t highest = 0;
    if (modseq && !matching->empty()) {
        if (!options->extended || options->all || options->count) {
            for (const std::size_t i : *matching) highest = std::max(highest, view.messages[i].modseq);
        } else {
            if (options->min) highest = std::max(highest, view.messages[matching->front()].modseq);
            if (options->max) highest = std::max(highest, view.messages[matching->back()].modseq);
        }
    }
    std::vector<std::uint32_t> found;
    std::vector<std::uint32_t> uids;
    for (const std::size_t i : *matching) {
        found.push_back(command.uid ? view.messages[i].uid : static_cast<std::uint32_t>(i + 1));
        if (options->save) uids.push_back(view.messages[i].uid);
    }
    if (options->save) view.saved = SavedResult(*options, std::move(uids));
    saveGuard.Done();
    if (!options->extended) {
        std::string line = "SEARCH";
        for (const std::uint32_t number : found) line += " " + std::to_string(number);
        if (highest != 0) line += Format(" (MODSEQ %lu)", {highest});
        context.Untagged(line);
    } else if (options->min || options->max || options->count || options->all) {
        // SAVE alone answers nothing but the tagged OK (RFC 5182 2.1).
        std::string line = ExtendedResult(command, *options, found);
        if (highest != 0) line += Format(" MODSEQ %lu", {highest});
        context.Untagged(line);
    }
    context.SetReply("OK SEARCH completed");
}

void Sort(CommandContext& context) {
    const Command& command = context.command;
    const std::vector<Argument>& arguments = command.arguments;
    const auto criteria = ParseSortCriteria(context, arguments[0]);
    if (!criteria) return;
    bool modseq = false;
    const auto matching = MatchingAfterCharset(context, "SORT", &modseq);
    if (!matching) return;
    const bool readsHeaders = std::any_of(criteria->begin(), criteria->end(), [](const SortCriterion& c) {
        return c.key != SortKey::Arrival && c.key != SortKey::Size;
    });
    if (readsHeaders && !context.parser.Open()) return context.No("Server internal error with message");
    std::vector<SortValues> values;
    values.reserve(matching->size());
    for (const std::size_t i : *matching) values.push_back(ValuesOf(context, i, *criteria));
    const MessageVector& view = context.mailbox.view;
    auto compare = [&](const SortValues& a, const SortValues& b) {
        for (const SortCriterion& criterion : *criteria) {
            int order = 0;
            switch (criterion.key) {
            case SortKey::Arrival: {
                const Date x = view.messages[a.index].internalDate;
                const Date y = view.messages[b.index].internalDate;
                order = x < y ? -1 : x > y ? 1 : 0;
                break;
            }
            case SortKey::Size: {
                const std::uint64_t x = view.messages[a.index].size;
                const std::uint64_t y = view.messages[b.index].size;
                order = x < y ? -1 : x > y ? 1 : 0;
                break;
            }
            case SortKey::Date: order = a.date < b.date ? -1 : a.date > b.date ? 1 : 0; break;
            case SortKey::Cc: order = a.texts[0].compare(b.texts[0]); break;
            case SortKey::From: order = a.texts[1].compare(b.texts[1]); break;
            case SortKey::Subject: order = a.texts[2].compare(b.texts[2]); break;
            case SortKey::To: order = a.texts[3].compare(b.texts[3]); break;
            case SortKey::DisplayFrom: order = a.texts[4].compare(b.texts[4]); break;
            case SortKey::DisplayTo: order = a.texts[5].compare(b.texts[5]); break;
            }
            if (order != 0) return criterion.reverse ? order > 0 : order < 0;
        }
        return a.index < b.index;  // ties keep the mailbox's order, REVERSE or not
    };
    std::sort(values.begin(), values.end(), compare);
    std::string line = "SORT";
    for (const SortValues& value : values) {
        line += " " + std::to_string(command.uid ? std::uint64_t{view.messages[value.index].uid} : std::uint64_t{value.index + 1});
    }
    // As SEARCH: with MODSEQ among the criteria, the highest mod-sequence of what it names.
    std::uint64_t highest = 0;
    for (const SortValues& value : values) highest = modseq ? std::max(highest, view.messages[value.index].modseq) : 0;
    if (highest != 0) line += Format(" (MODSEQ %lu)", {highest});
    context.Untagged(line);
    context.SetReply("OK SORT completed");
}

void Thread(CommandContext& context) {
    const Command& command = context.command;
    const Argument& algorithm = command.arguments[0];
    if (!EqualsNoCase(algorithm.text, "ORDEREDSUBJECT")) return context.Bad("THREAD algorithm unknown:  " + algorithm.text.substr(0, 40));
    const auto matching = MatchingAfterCharset(context, "THREAD");
    if (!matching) return;
    if (!matching->empty() && !context.parser.Open()) return context.No("Server internal error with message");
    // RFC 5256 ORDEREDSUBJECT: by base subject, then sent date; each subject one thread whose first
    // message is the parent of all the others; threads in the order of their first messages' dates.
    const std::vector<SortCriterion> keys = {{SortKey::Subject, false}, {SortKey::Date, false}};
    std::vector<SortValues> values;
    values.reserve(matching->size());
    for (const std::size_t i : *matching) values.push_back(ValuesOf(context, i, keys));
    std::sort(values.begin(), values.end(), [](const SortValues& a, const SortValues& b) {
        return std::tie(a.texts[2], a.date, a.index) < std::tie(b.texts[2], b.date, b.index);
    });
    std::vector<std::pair<std::size_t, std::size_t>> threads;  // [first, end) in `values`
    for (std::size_t at = 0; at < values.size();) {
        std::size_t end = at + 1;
        while (end < values.size() && values[end].texts[2] == values[at].texts[2]) ++end;
        threads.emplace_back(at, end);
        at = end;
    }
    std::sort(threads.begin(), threads.end(), [&](const auto& a, const auto& b) {
        return std::tie(values[a.first].date, values[a.first].index) < std::tie(values[b.first].date, values[b.first].index);
    });
    const MessageVector& view = context.mailbox.view;
    auto number = [&](const SortValues& value) {
        return std::to_string(command.uid ? std::uint64_t{view.messages[value.index].uid} : std::uint64_t{value.index + 1});
    };
    std::string line = "THREAD ";
    for (const auto& [first, end] : threads) {
        line += "(" + number(values[first]);
        // Two messages are parent and child; more are the parent's children side by side.
        if (end - first == 2) line += " " + number(values[first + 1]);
        if (end - first > 2) {
            line += ' ';
            for (std::size_t i = first + 1; i < end; ++i) line += "(" + number(values[i]) + ")";
        }
        line += ")";
    }
    if (threads.empty()) line.pop_back();
    context.Untagged(line);
    context.SetReply("OK THREAD completed");
}

}  // namespace pw::imap::commands
