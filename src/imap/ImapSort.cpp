// SORT (RFC 5256, RFC 5957's DISPLAYFROM and DISPLAYTO) and THREAD -- the search criteria matched as
// SEARCH matches them (SearchCommand.h), then what matched ordered by its keys, read once per message,
// ties by message number. SORT RETURN (RFC 5267's ESORT) answers one "* ESEARCH" line in sort order,
// and SAVE (RFC 5182) keeps the result as "$". THREAD ORDEREDSUBJECT groups by base subject; THREAD
// REFERENCES reads each message's Message-ID, References, In-Reply-To, Subject and Date and threads
// them with ThreadReferences.
#include <algorithm>
#include <array>
#include <tuple>

#include "imap/HeaderKeyCache.h"
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

std::string FirstMailbox(const mime::HeaderBlock& header, std::string_view field) {
    const auto addresses = m5::M5ParseAddressList(header.Field(field));
    return addresses.empty() ? std::string() : FoldCase(addresses.front().local);
}

// RFC 5957's display value of a field's first address: its display name decoded, or where it has
// none the address itself.
std::string FirstDisplay(const mime::HeaderBlock& header, std::string_view field) {
    const auto addresses = m5::M5ParseAddressList(header.Field(field));
    if (addresses.empty()) return {};
    const m5::M5Address& first = addresses.front();
    std::string name = first.name;
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.erase(0, 1);
    if (name.empty()) name = first.domain.empty() ? first.local : first.local + "@" + first.domain;
    return FoldCase(name);
}

// Everything SORT and THREAD read of one header, read once: keys folded and bounded; for REFERENCES
// at most kMaxThreadReferences ids of References, ids of at most kMaxMessageIdBytes.
HeaderKeys ReadHeaderKeys(const mime::HeaderBlock& header, std::uint64_t contentSize) {
    HeaderKeys keys;
    keys.contentSize = contentSize;
    keys.sent = SentSeconds(header.Field("Date"));
    keys.texts[HeaderKeys::Cc] = FirstMailbox(header, "Cc");
    keys.texts[HeaderKeys::From] = FirstMailbox(header, "From");
    keys.texts[HeaderKeys::Subject] = FoldCase(BaseSubject(header.Field("Subject"), &keys.replyOrForward));
    keys.texts[HeaderKeys::To] = FirstMailbox(header, "To");
    keys.texts[HeaderKeys::DisplayFrom] = FirstDisplay(header, "From");
    keys.texts[HeaderKeys::DisplayTo] = FirstDisplay(header, "To");
    for (std::string& text : keys.texts) {
        if (text.size() > kMaxSortKeyBytes) text.resize(kMaxSortKeyBytes);
        text.shrink_to_fit();
    }
    keys.messageId = FirstMessageId(header.Field("Message-ID"), kMaxMessageIdBytes);
    keys.references = MessageIds(header.Field("References"), kMaxThreadReferences, kMaxMessageIdBytes);
    keys.references.shrink_to_fit();
    keys.inReplyTo = FirstMessageId(header.Field("In-Reply-To"), kMaxMessageIdBytes);
    return keys;
}

// The header keys of the matched messages (by position in `matching`): from the process's cache,
// the others read from their files and added to it. A message that can not be read has empty keys
// (its internal date stands in for its date) and is tried again next time.
std::vector<std::shared_ptr<const HeaderKeys>> KeysOf(CommandContext& context, const std::vector<std::size_t>& matching) {
    const MessageVector& view = context.mailbox.view;
    const std::string folder = context.mailbox.folder->folder->Storage().Path() + "\n" + std::to_string(view.uidValidity);
    std::vector<HeaderKeyCache::Wanted> wanted;
    wanted.reserve(matching.size());
    for (const std::size_t i : matching) wanted.push_back({view.Uid(i), view.Row(i).size});
    HeaderKeyCache& cache = HeaderKeyCache::Shared();
    std::vector<std::shared_ptr<const HeaderKeys>> keys = cache.Find(folder, wanted);
    std::vector<std::pair<std::uint32_t, std::shared_ptr<const HeaderKeys>>> read;
    static const auto unreadable = std::make_shared<const HeaderKeys>();
    for (std::size_t n = 0; n < matching.size(); ++n) {
        if (keys[n]) continue;
        MessageUnderTest message(context, matching[n]);
        const mime::HeaderBlock* header = message.Header();
        if (header == nullptr) {
            keys[n] = unreadable;
            continue;
        }
        keys[n] = std::make_shared<const HeaderKeys>(ReadHeaderKeys(*header, wanted[n].contentSize));
        read.emplace_back(wanted[n].uid, keys[n]);
    }
    cache.Store(folder, read);
    return keys;
}

// One message's sort values: its position in the view, its sent date, and where its texts are in
// its SortTable.
struct SortValues {
    std::size_t index = 0;
    std::int64_t date = 0;
    const std::string_view* texts = nullptr;  // one per text the table was made for, in that order
};

// The sort values of one command's messages, laid out for sorting: the texts it compares copied side
// by side into one buffer, so that comparing two messages reads a few nearby bytes rather than two
// entries scattered over the cache (on 50,000 messages that is most of a sort's time).
class SortTable {
public:
    // `texts`: the header texts the sort compares, in the order SortValues::texts holds them; `dates`:
    // whether it compares sent dates. The header is read (or found in the cache) only for these.
    SortTable(CommandContext& context, const std::vector<std::size_t>& matching, const std::vector<HeaderKeys::Text>& texts, bool dates) {
        const MessageVector& view = context.mailbox.view;
        std::vector<std::shared_ptr<const HeaderKeys>> keys;
        if (!texts.empty() || dates) keys = KeysOf(context, matching);
        std::size_t bytes = 0;
        for (const auto& read : keys) {
            for (const HeaderKeys::Text text : texts) bytes += read->texts[text].size();
        }
        buffer_.reserve(bytes);  // no reallocation below: the views stay valid
        views_.reserve(matching.size() * texts.size());
        values.reserve(matching.size());
        for (std::size_t n = 0; n < matching.size(); ++n) {
            SortValues value{matching[n]};
            if (!keys.empty()) {
                // RFC 5256: without a usable Date field the internal date stands in. (Only then: the
                // conversion asks the time zone, which costs a stat(2) of /etc/localtime each time.)
                if (dates) value.date = keys[n]->sent ? *keys[n]->sent : static_cast<std::int64_t>(TimeTFromDate(view.Row(matching[n]).internalDate));
                for (const HeaderKeys::Text text : texts) {
                    const std::string& from = keys[n]->texts[text];
                    views_.emplace_back(buffer_.data() + buffer_.size(), from.size());
                    buffer_ += from;
                }
            }
            values.push_back(value);
        }
        for (std::size_t n = 0; n < values.size() && !texts.empty(); ++n) values[n].texts = views_.data() + n * texts.size();
    }

    std::vector<SortValues> values;

private:
    std::string buffer_;
    std::vector<std::string_view> views_;
};

// The header text a criterion compares; nullopt for ARRIVAL, DATE and SIZE.
std::optional<HeaderKeys::Text> TextOf(SortKey key) {
    switch (key) {
    case SortKey::Cc: return HeaderKeys::Cc;
    case SortKey::From: return HeaderKeys::From;
    case SortKey::Subject: return HeaderKeys::Subject;
    case SortKey::To: return HeaderKeys::To;
    case SortKey::DisplayFrom: return HeaderKeys::DisplayFrom;
    case SortKey::DisplayTo: return HeaderKeys::DisplayTo;
    default: return std::nullopt;
    }
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
    SortTable table(context, matching, {HeaderKeys::Subject}, true);
    std::vector<SortValues>& values = table.values;
    std::sort(values.begin(), values.end(), [](const SortValues& a, const SortValues& b) {
        return std::tie(a.texts[0], a.date, a.index) < std::tie(b.texts[0], b.date, b.index);
    });
    std::vector<std::pair<std::size_t, std::size_t>> threads;  // [first, end) in `values`
    for (std::size_t at = 0; at < values.size();) {
        std::size_t end = at + 1;
        while (end < values.size() && values[end].texts[0] == values[at].texts[0]) ++end;
        threads.emplace_back(at, end);
        at = end;
    }
    std::sort(threads.begin(), threads.end(), [&](const auto& a, const auto& b) {
        return std::tie(values[a.first].date, values[a.first].index) < std::tie(values[b.first].date, values[b.first].index);
    });
    const MessageVector& view = context.mailbox.view;
    auto number = [&](const SortValues& value) {
        return std::to_string(context.command.uid ? std::uint64_t{view.Uid(value.index)} : std::uint64_t{value.index + 1});
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

// REFERENCES (RFC 5256 3): what the algorithm needs of each message, from its header keys. Without a
// Date it can read, the internal date is the sent date.
std::string ReferencesThreads(CommandContext& context, const std::vector<std::size_t>& matching) {
    const MessageVector& view = context.mailbox.view;
    const std::vector<std::shared_ptr<const HeaderKeys>> keys = KeysOf(context, matching);
    ReferencesThreader threader;
    for (std::size_t n = 0; n < matching.size(); ++n) {
        const MessageRow& entry = view.Row(matching[n]);
        const HeaderKeys& read = *keys[n];
        ThreadMessage message;
        message.number = context.command.uid ? entry.uid : static_cast<std::uint32_t>(matching[n] + 1);
        message.sent = read.sent ? *read.sent : static_cast<std::int64_t>(TimeTFromDate(entry.internalDate));
        message.messageId = read.messageId;
        message.references = read.references;
        message.inReplyTo = read.inReplyTo;
        message.baseSubject = read.texts[HeaderKeys::Subject];
        message.replyOrForward = read.replyOrForward;
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
    // Each text criterion's place among the table's texts.
    std::vector<HeaderKeys::Text> texts;
    std::vector<std::size_t> slot;  // by criterion
    bool dates = false;
    for (const SortCriterion& criterion : *criteria) {
        dates = dates || criterion.key == SortKey::Date;
        const auto text = TextOf(criterion.key);
        const auto known = text ? std::find(texts.begin(), texts.end(), *text) : texts.end();
        slot.push_back(static_cast<std::size_t>(known - texts.begin()));
        if (text && known == texts.end()) texts.push_back(*text);
    }
    if ((dates || !texts.empty()) && !context.parser.Open()) return context.No("Server internal error with message");
    SortTable table(context, *matching, texts, dates);
    std::vector<SortValues>& values = table.values;
    auto compare = [&](const SortValues& a, const SortValues& b) {
        for (std::size_t c = 0; c < criteria->size(); ++c) {
            const SortCriterion& criterion = (*criteria)[c];
            int order = 0;
            switch (criterion.key) {
            case SortKey::Arrival: {
                const Date x = view.Row(a.index).internalDate;
                const Date y = view.Row(b.index).internalDate;
                order = x < y ? -1 : x > y ? 1 : 0;
                break;
            }
            case SortKey::Size: {
                const std::uint64_t x = view.Row(a.index).size;
                const std::uint64_t y = view.Row(b.index).size;
                order = x < y ? -1 : x > y ? 1 : 0;
                break;
            }
            case SortKey::Date: order = a.date < b.date ? -1 : a.date > b.date ? 1 : 0; break;
            default: order = a.texts[slot[c]].compare(b.texts[slot[c]]); break;
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
        found.push_back(command.uid ? view.Uid(value.index) : static_cast<std::uint32_t>(value.index + 1));
        if (options->save) uids.push_back(view.Uid(value.index));
    }
    // As SEARCH: with MODSEQ among the criteria, the highest mod-sequence of what the answer names.
    const std::uint64_t highest = modseq ? HighestModseq(view, *options, sorted) : 0;
    if (options->save) {
        // MIN and MAX are the first and last in sort order; "$" itself is a set, kept by UID ascending.
        view.saved = SavedResult(*options, std::move(uids));
        std::sort(view.saved.begin(), view.saved.end());
    }
    saveGuard.Done();
    // RFC 5267 3.2: with RETURN, one "* ESEARCH" line in sort order.
    AnswerFound(context, "SORT", *options, found, highest);
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
