// MessageVector: flags and message sets.
#include "imap/MessageVector.h"

#include <algorithm>
#include <limits>

#include "imap/ImapLimits.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

struct FlagName {
    std::string_view name;
    std::uint16_t bit;
};
// In the order they are written.
constexpr FlagName kFlagNames[] = {{"\\Answered", kFlagAnswered}, {"\\Deleted", kFlagDeleted}, {"\\Draft", kFlagDraft},
                                   {"\\Flagged", kFlagFlagged},   {"\\Recent", kFlagRecent},   {"\\Seen", kFlagSeen}};

// One number of a set: digits, or "*" for `star`. nullopt when it is neither or does not fit.
std::optional<std::uint32_t> SetNumber(std::string_view text, std::uint32_t star) {
    if (text == "*") return star;
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    const std::uint64_t value = std::stoull(std::string(text));
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::string FlagList(std::uint16_t flags, const Keywords& keywords) {
    std::string list = "(";
    for (const FlagName& flag : kFlagNames) {
        if (!(flags & flag.bit)) continue;
        if (list.size() > 1) list += ' ';
        list += flag.name;
    }
    for (const std::string& keyword : keywords) {
        if (list.size() > 1) list += ' ';
        list += keyword;
    }
    return list + ")";
}

bool IsKeyword(std::string_view word) {
    if (word.empty() || word.size() > kMaxKeywordBytes) return false;
    // An atom (RFC 3501 flag-keyword), without "]" so that it can stand in a response code.
    return std::none_of(word.begin(), word.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte >= 0x7F || std::string_view("(){%*\\\"]").find(c) != std::string_view::npos;
    });
}

std::optional<ParsedFlags> ParseFlags(const std::vector<Argument>& words, std::string& diagnostic) {
    ParsedFlags parsed;
    for (const Argument& word : words) {
        const auto known = std::find_if(std::begin(kFlagNames), std::end(kFlagNames),
                                        [&](const FlagName& flag) { return EqualsNoCase(flag.name, word.text); });
        if (word.kind != ArgumentKind::List && known != std::end(kFlagNames)) {
            parsed.bits |= known->bit;
            continue;
        }
        if (word.kind == ArgumentKind::List || word.text.starts_with('\\')) {
            diagnostic = "Unknown flag:  " + word.text.substr(0, 20);
            return std::nullopt;
        }
        if (!IsKeyword(word.text)) {
            diagnostic = "Invalid keyword:  " + word.text.substr(0, 20);
            return std::nullopt;
        }
        if (!HasKeyword(parsed.keywords, word.text)) parsed.keywords.push_back(word.text);
    }
    if (parsed.keywords.size() > kMaxKeywords) {
        diagnostic = "Too many keywords";
        return std::nullopt;
    }
    return parsed;
}

bool HasKeyword(const Keywords& keywords, std::string_view keyword) {
    return std::any_of(keywords.begin(), keywords.end(), [&](const std::string& k) { return EqualsNoCase(k, keyword); });
}

Keywords WithKeywords(Keywords to, const Keywords& add) {
    for (const std::string& keyword : add) {
        if (!HasKeyword(to, keyword) && to.size() < kMaxKeywords) to.push_back(keyword);
    }
    return to;
}

Keywords WithoutKeywords(Keywords from, const Keywords& remove) {
    std::erase_if(from, [&](const std::string& keyword) { return HasKeyword(remove, keyword); });
    return from;
}

std::string KeywordText(const Keywords& keywords) {
    std::string text;
    for (const std::string& keyword : keywords) {
        if (!text.empty()) text += ' ';
        text += keyword;
    }
    return text;
}

Keywords KeywordsFromText(std::string_view text) {
    Keywords keywords;
    // What a store file holds is checked like what a client sends: a damaged value gives no keyword.
    for (const std::string& word : SplitAtAny(text, " ")) {
        if (IsKeyword(word) && !HasKeyword(keywords, word) && keywords.size() < kMaxKeywords) keywords.push_back(word);
    }
    return keywords;
}

std::string UidSet(const std::vector<std::uint32_t>& uids) {
    std::string set;
    for (std::size_t i = 0; i < uids.size();) {
        std::size_t last = i;
        while (last + 1 < uids.size() && uids[last + 1] == uids[last] + 1) ++last;
        if (!set.empty()) set += ',';
        set += std::to_string(uids[i]);
        if (last > i) set += ":" + std::to_string(uids[last]);
        i = last + 1;
    }
    return set;
}

std::optional<NumberRanges> ParseNumberSet(std::string_view set, std::uint32_t star) {
    if (set.empty() || set.find_first_not_of("0123456789:*,") != std::string_view::npos) return std::nullopt;
    NumberRanges ranges;
    std::size_t at = 0;
    while (at <= set.size()) {
        std::size_t end = set.find(',', at);
        if (end == std::string_view::npos) end = set.size();
        const std::string_view element = set.substr(at, end - at);
        const std::size_t colon = element.find(':');
        const auto first = SetNumber(element.substr(0, colon), star);
        const auto last = colon == std::string_view::npos ? first : SetNumber(element.substr(colon + 1), star);
        if (!first || !last || *first == 0 || *last == 0 || (colon != std::string_view::npos && element.find(':', colon + 1) != std::string_view::npos)) {
            return std::nullopt;
        }
        ranges.emplace_back(std::min(*first, *last), std::max(*first, *last));
        at = end + 1;
    }
    return ranges;
}

NumberRanges Normalized(NumberRanges ranges) {
    std::sort(ranges.begin(), ranges.end());
    NumberRanges joined;
    for (const auto& range : ranges) {
        if (!joined.empty() && range.first <= std::uint64_t{joined.back().second} + 1) {
            joined.back().second = std::max(joined.back().second, range.second);
        } else {
            joined.push_back(range);
        }
    }
    return joined;
}

bool InRanges(const NumberRanges& ranges, std::uint32_t number) {
    const auto after = std::upper_bound(ranges.begin(), ranges.end(), number, [](std::uint32_t value, const auto& range) { return value < range.first; });
    return after != ranges.begin() && std::prev(after)->second >= number;
}

std::string MissingUids(const NumberRanges& ranges, const MessageVector& vector) {
    // Range by range, stepping over the UIDs the vector holds: a range may span millions of numbers.
    std::string set;
    const auto add = [&set](std::uint32_t first, std::uint32_t last) {
        if (!set.empty()) set += ',';
        set += std::to_string(first);
        if (last != first) set += ':' + std::to_string(last);
    };
    const auto& messages = vector.messages;
    for (const auto& [low, high] : ranges) {
        auto it = std::lower_bound(messages.begin(), messages.end(), low, [](const MessageEntry& entry, std::uint32_t value) { return entry.uid < value; });
        std::uint64_t next = low;
        for (; it != messages.end() && it->uid <= high; ++it) {
            if (it->uid > next) add(static_cast<std::uint32_t>(next), it->uid - 1);
            next = std::uint64_t{it->uid} + 1;
        }
        if (next <= high) add(static_cast<std::uint32_t>(next), high);
    }
    return set;
}

std::optional<std::uint64_t> ParseModseq(std::string_view text, bool zero) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    const std::uint64_t value = std::stoull(std::string(text));
    if (value > std::uint64_t{std::numeric_limits<std::int64_t>::max()} || (value == 0 && !zero)) return std::nullopt;
    return value;
}

bool MessageVector::Select(std::string_view set, bool uid, std::string& diagnostic) {
    for (MessageEntry& entry : messages) entry.selected = false;
    if (set.empty()) {
        diagnostic = "Message set missing";
        return false;
    }
    if (set == "$") {
        std::size_t at = 0;
        for (MessageEntry& entry : messages) {
            while (at < saved.size() && saved[at] < entry.uid) ++at;
            entry.selected = at < saved.size() && saved[at] == entry.uid;
        }
        return true;
    }
    if (const auto bad = set.find_first_not_of("0123456789:*,"); bad != std::string_view::npos) {
        diagnostic = std::string("Invalid character ('") + set[bad] + "') in message-set argument";
        return false;
    }
    const auto count = static_cast<std::uint32_t>(messages.size());
    const std::uint32_t star = uid ? (messages.empty() ? 0 : messages.back().uid) : count;
    const std::vector<std::string> elements = SplitAtAny(set, ",");
    if (static_cast<std::ptrdiff_t>(elements.size()) != std::count(set.begin(), set.end(), ',') + 1) {
        diagnostic = "Invalid message-set element:  " + std::string(set.substr(0, 20));  // an empty one
        return false;
    }
    for (const std::string& element : elements) {
        const std::size_t colon = element.find(':');
        const auto first = SetNumber(element.substr(0, colon), star);
        const auto last = colon == std::string::npos ? first : SetNumber(element.substr(colon + 1), star);
        if (!first || !last || (colon != std::string::npos && element.find(':', colon + 1) != std::string::npos)) {
            diagnostic = "Invalid message-set element:  " + element.substr(0, 20);
            return false;
        }
        // "*" of an empty mailbox stands for no message at all.
        if (messages.empty() && element.find('*') != std::string::npos) continue;
        const std::uint32_t low = std::min(*first, *last);
        const std::uint32_t high = std::max(*first, *last);
        if (low == 0) {
            diagnostic = uid ? "Invalid UID" : "Invalid message number (0)";
            return false;
        }
        if (!uid) {
            if (high > count) {
                diagnostic = Format("Message number (%lu) invalid.  Selected mailbox contains %lu message%s.",
                                    {std::uint64_t{high}, std::uint64_t{count}, std::string_view(count == 1 ? "" : "s")});
                return false;
            }
            for (std::uint32_t n = low; n <= high; ++n) messages[n - 1].selected = true;
            continue;
        }
        const auto from = std::lower_bound(messages.begin(), messages.end(), low,
                                           [](const MessageEntry& entry, std::uint32_t value) { return entry.uid < value; });
        for (auto it = from; it != messages.end() && it->uid <= high; ++it) it->selected = true;
    }
    return true;
}

KeywordSet MessageVector::Intern(const Keywords& keywords) {
    if (keywords.empty()) return 0;
    std::string text = KeywordText(keywords);
    if (const auto found = keywordSetIndex.find(text); found != keywordSetIndex.end()) return found->second;
    if (keywordSets.size() >= kMaxKeywordSets) return 0;
    const auto set = static_cast<KeywordSet>(keywordSets.size());
    keywordSets.push_back(keywords);
    keywordSetIndex.emplace(std::move(text), set);
    return set;
}

std::vector<std::size_t> MessageVector::Expunge(const std::vector<bool>& gone) {
    std::vector<std::size_t> numbers;
    for (std::size_t i = messages.size(); i-- > 0;) {
        if (i < gone.size() && gone[i]) numbers.push_back(i + 1);
    }
    std::size_t index = 0;
    std::erase_if(messages, [&](const MessageEntry&) {
        const bool drop = index < gone.size() && gone[index];
        ++index;
        return drop;
    });
    Recount();
    return numbers;
}

void MessageVector::MarkRecent(std::uint32_t mark, std::size_t from) {
    for (std::size_t i = from; i < messages.size(); ++i) {
        if (messages[i].uid > mark) messages[i].flags |= kFlagRecent;
    }
    Recount();
}

void MessageVector::Recount() {
    recent = 0;
    firstUnseen = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].flags & kFlagRecent) ++recent;
        if (!(messages[i].flags & kFlagSeen) && firstUnseen == 0) firstUnseen = static_cast<std::uint32_t>(i + 1);
    }
}

}  // namespace pw::imap
