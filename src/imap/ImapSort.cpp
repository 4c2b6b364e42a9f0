// SORT (RFC 5256, RFC 5957's DISPLAYFROM and DISPLAYTO) and THREAD -- the search criteria matched as
// SEARCH matches them (SearchCommand.h), then what matched ordered by its keys, read once per message,
// ties by message number. SORT RETURN (RFC 5267's ESORT) answers one "* ESEARCH" line in sort order,
// and SAVE (RFC 5182) keeps the result as "$". THREAD ORDEREDSUBJECT groups by base subject; THREAD
// REFERENCES reads each message's Message-ID, References, In-Reply-To, Subject and Date and threads
// them with ThreadReferences.
#include <algorithm>
#include <array>
#include <tuple>

#include "imap/ImapCommands.h"
#include "imap/ImapDates.h"
#include "imap/ImapLimits.h"
#include "imap/SearchCommand.h"
#include "imap/SelectedMailbox.h"
#include "imap/ThreadReferences.h"
#include "m5/M5Charsets.h"
#include "platform/Text.h"

namespace pw::imap::commands {

namespace {

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
// all there is, and a "[Fwd: ...]" wrapper taken off until none is left. `replyOrForward` (when given)
// tells whether a leader or a trailer was taken off: what RFC 5256 3 calls a reply or forward.
std::string BaseSubject(std::string_view field, bool* replyOrForward = nullptr) {
    bool reply = false;
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
            reply = true;
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
                    reply = true;
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
        if (replyOrForward) *replyOrForward = reply;
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


// SORT's and THREAD's matches: after the sort criteria or the algorithm comes the charset, without
// SEARCH's CHARSET word (RFC 5256), then the search criteria.
std::optional<std::vector<std::size_t>> MatchingAfterCharset(CommandContext& context, const std::vector<Argument>& arguments, std::string_view name,
                                                             bool* modseq = nullptr) {
    if (!arguments[1].IsString()) return context.Bad(std::string(name) + " charset missing"), std::nullopt;
    std::vector<Argument> search;
    search.push_back(Argument{ArgumentKind::Atom, "CHARSET", {}, false});
    search.insert(search.end(), arguments.begin() + 1, arguments.end());
    return MatchingMessages(context, search, modseq);
}

// ORDEREDSUBJECT (RFC 5256): by base subject, then sent date; each subject one thread whose first
// message is the parent of all the others; threads in the order of their first messages' dates.
std::string OrderedSubjectThreads(CommandContext& context, const std::vector<std::size_t>& matching) {
    const std::vector<SortCriterion> keys = {{SortKey::Subject, false}, {SortKey::Date, false}};
    std::vector<SortValues> values;
    values.reserve(matching.size());
    for (const std::size_t i : matching) values.push_back(ValuesOf(context, i, keys));
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
        return std::to_string(context.command.uid ? std::uint64_t{view.messages[value.index].uid} : std::uint64_t{value.index + 1});
    };
    std::string line;
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
    return line;
}

// REFERENCES (RFC 5256 3): what the algorithm needs of each message, read from its header, bounded:
// at most kMaxThreadReferences ids of References, ids of at most kMaxMessageIdBytes, base subjects
// kept to kMaxSortKeyBytes. Without a Date it can read, the internal date is the sent date.
std::string ReferencesThreads(CommandContext& context, const std::vector<std::size_t>& matching) {
    const MessageVector& view = context.mailbox.view;
    ReferencesThreader threader;
    for (const std::size_t i : matching) {
        const MessageEntry& entry = view.messages[i];
        ThreadMessage message;
        message.number = context.command.uid ? entry.uid : static_cast<std::uint32_t>(i + 1);
        message.sent = static_cast<std::int64_t>(TimeTFromDate(entry.internalDate));
        MessageUnderTest read(context, i);
        if (const mime::HeaderBlock* header = read.Header()) {
            message.messageId = FirstMessageId(header->Field("Message-ID"), kMaxMessageIdBytes);
            message.references = MessageIds(header->Field("References"), kMaxThreadReferences, kMaxMessageIdBytes);
            message.inReplyTo = FirstMessageId(header->Field("In-Reply-To"), kMaxMessageIdBytes);
            message.baseSubject = FoldCase(BaseSubject(header->Field("Subject"), &message.replyOrForward));
            if (message.baseSubject.size() > kMaxSortKeyBytes) message.baseSubject.resize(kMaxSortKeyBytes);
            message.sent = SentSeconds(header->Field("Date")).value_or(message.sent);
        }
        threader.Add(message);
    }
    return FormatThreads(threader.Finish());
}

}  // namespace

void Sort(CommandContext& context) {
    const Command& command = context.command;
    MessageVector& view = context.mailbox.view;
    std::vector<Argument> arguments = command.arguments;
    const auto options = TakeReturnOptions(context, arguments, "SORT");
    if (!options) return;
    ClearSavedUnlessDone saveGuard(view, options->save);
    // The table checks the three arguments of the plain form; after RETURN (...) they are checked here.
    if (arguments.empty()) return context.Bad("First argument missing");
    if (arguments[0].kind != ArgumentKind::List) return context.Bad("First argument should be a list");
    if (arguments.size() < 2) return context.Bad("Second argument missing");
    if (arguments.size() < 3) return context.Bad("Third argument missing");
    const auto criteria = ParseSortCriteria(context, arguments[0]);
    if (!criteria) return;
    bool modseq = false;
    const auto matching = MatchingAfterCharset(context, arguments, "SORT", &modseq);
    if (!matching) return;
    const bool readsHeaders = std::any_of(criteria->begin(), criteria->end(), [](const SortCriterion& c) {
        return c.key != SortKey::Arrival && c.key != SortKey::Size;
    });
    if (readsHeaders && !context.parser.Open()) return context.No("Server internal error with message");
    std::vector<SortValues> values;
    values.reserve(matching->size());
    for (const std::size_t i : *matching) values.push_back(ValuesOf(context, i, *criteria));
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
    std::vector<std::size_t> sorted;
    std::vector<std::uint32_t> found;
    std::vector<std::uint32_t> uids;
    sorted.reserve(values.size());
    found.reserve(values.size());
    for (const SortValues& value : values) {
        sorted.push_back(value.index);
        found.push_back(command.uid ? view.messages[value.index].uid : static_cast<std::uint32_t>(value.index + 1));
        if (options->save) uids.push_back(view.messages[value.index].uid);
    }
    // As SEARCH: with MODSEQ among the criteria, the highest mod-sequence of what the answer names.
    const std::uint64_t highest = modseq ? HighestModseq(view, *options, sorted) : 0;
    if (options->save) {
        // MIN and MAX are the first and last in sort order; "$" itself is a set, kept by UID ascending.
        view.saved = SavedResult(*options, std::move(uids));
        std::sort(view.saved.begin(), view.saved.end());
    }
    saveGuard.Done();
    if (!options->extended) {
        std::string line = "SORT";
        for (const std::uint32_t number : found) line += " " + std::to_string(number);
        if (highest != 0) line += Format(" (MODSEQ %lu)", {highest});
        context.Untagged(line);
    } else if (options->min || options->max || options->count || options->all) {
        // RFC 5267 3.2: one "* ESEARCH" line in sort order; SAVE alone answers only OK.
        std::string line = ExtendedResult(command, *options, found);
        if (highest != 0) line += Format(" MODSEQ %lu", {highest});
        context.Untagged(line);
    }
    context.SetReply("OK SORT completed");
}

void Thread(CommandContext& context) {
    const Command& command = context.command;
    const Argument& algorithm = command.arguments[0];
    const bool references = EqualsNoCase(algorithm.text, "REFERENCES");
    if (!references && !EqualsNoCase(algorithm.text, "ORDEREDSUBJECT")) return context.Bad("THREAD algorithm unknown:  " + algorithm.text.substr(0, 40));
    const auto matching = MatchingAfterCharset(context, command.arguments, "THREAD");
    if (!matching) return;
    if (!matching->empty() && !context.parser.Open()) return context.No("Server internal error with message");
    const std::string threads = references ? ReferencesThreads(context, *matching) : OrderedSubjectThreads(context, *matching);
    context.Untagged(threads.empty() ? std::string("THREAD") : "THREAD " + threads);
    context.SetReply("OK THREAD completed");
}

}  // namespace pw::imap::commands
