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
    for (const auto& [low, high] : ranges) {
        std::size_t at = vector.LowerBound(low);
        std::uint64_t next = low;
        for (; at < vector.Count() && vector.Uid(at) <= high; ++at) {
            if (vector.Uid(at) > next) add(static_cast<std::uint32_t>(next), vector.Uid(at) - 1);
            next = std::uint64_t{vector.Uid(at)} + 1;
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

KeywordSet KeywordSets::Intern(const Keywords& keywords) {
    if (keywords.empty()) return 0;
    std::string text = KeywordText(keywords);
    if (const auto found = index.find(text); found != index.end()) return found->second;
    if (sets.size() >= kMaxKeywordSets) return 0;
    const auto set = static_cast<KeywordSet>(sets.size());
    sets.push_back(keywords);
    index.emplace(std::move(text), set);
    return set;
}

const MessageVector::OwnFlags* MessageVector::Own(std::uint32_t uid) const {
    if (own_.empty()) return nullptr;
    const auto found = own_.find(uid);
    return found == own_.end() ? nullptr : &found->second;
}

MessageEntry MessageVector::Entry(std::size_t index) const {
    const MessageRow& row = table_->rows[index];
    MessageEntry entry{.uid = row.uid, .flags = row.stored, .stored = row.stored, .size = row.size, .internalDate = row.internalDate, .modseq = row.modseq};
    if (const OwnFlags* own = Own(row.uid)) {
        entry.flags = own->flags;
        entry.stored = own->stored;
        entry.modseq = own->modseq;
    }
    if (IsRecent(row.uid)) entry.flags |= kFlagRecent;
    return entry;
}

std::uint64_t MessageVector::Modseq(std::size_t index) const {
    const MessageRow& row = table_->rows[index];
    const OwnFlags* own = Own(row.uid);
    return own ? own->modseq : row.modseq;
}

const Keywords& MessageVector::ShownKeywords(std::size_t index) const {
    const MessageRow& row = table_->rows[index];
    const OwnFlags* own = Own(row.uid);
    return own ? ownSets_.Of(own->keywords) : table_->keywords.Of(row.keywords);
}

const Keywords& MessageVector::StoredKeywords(std::size_t index) const {
    const MessageRow& row = table_->rows[index];
    const OwnFlags* own = Own(row.uid);
    return own ? ownSets_.Of(own->storedKeywords) : table_->keywords.Of(row.keywords);
}

MessageFlags MessageVector::Flags(std::size_t index) const {
    const MessageEntry entry = Entry(index);
    return {entry.flags, entry.stored, ShownKeywords(index), StoredKeywords(index), entry.modseq};
}

void MessageVector::SetFlags(std::size_t index, const MessageFlags& flags) {
    const MessageRow& row = table_->rows[index];
    const auto shown = static_cast<std::uint16_t>(flags.flags & ~kFlagRecent);
    const Keywords& rowKeywords = table_->keywords.Of(row.keywords);
    // Only what differs from the shared row is the session's own.
    if (shown == row.stored && flags.stored == row.stored && flags.modseq == row.modseq && flags.keywords == rowKeywords &&
        flags.storedKeywords == rowKeywords) {
        own_.erase(row.uid);
        return;
    }
    own_[row.uid] = OwnFlags{shown, flags.stored, ownSets_.Intern(flags.keywords), ownSets_.Intern(flags.storedKeywords), flags.modseq};
}

void MessageVector::ShowStored(std::size_t index) {
    own_.erase(table_->rows[index].uid);
}

std::size_t MessageVector::LowerBound(std::uint32_t uid) const {
    const auto& rows = table_->rows;
    return static_cast<std::size_t>(
        std::lower_bound(rows.begin(), rows.end(), uid, [](const MessageRow& row, std::uint32_t value) { return row.uid < value; }) - rows.begin());
}

std::size_t MessageVector::UpperBound(std::uint32_t uid) const {
    const auto& rows = table_->rows;
    return static_cast<std::size_t>(
        std::upper_bound(rows.begin(), rows.end(), uid, [](std::uint32_t value, const MessageRow& row) { return value < row.uid; }) - rows.begin());
}

std::optional<std::size_t> MessageVector::Find(std::uint32_t uid) const {
    const std::size_t at = LowerBound(uid);
    if (at < Count() && Uid(at) == uid) return at;
    return std::nullopt;
}

void MessageVector::SetSelected(std::size_t index, bool on) {
    if (selected_.size() != Count()) selected_.assign(Count(), false);
    selected_[index] = on;
}

bool MessageVector::Select(std::string_view set, bool uid, std::string& diagnostic) {
    selected_.assign(Count(), false);
    if (set.empty()) {
        diagnostic = "Message set missing";
        return false;
    }
    const auto count = static_cast<std::uint32_t>(Count());
    if (set == "$") {
        std::size_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            while (at < saved.size() && saved[at] < Uid(i)) ++at;
            selected_[i] = at < saved.size() && saved[at] == Uid(i);
        }
        return true;
    }
    if (const auto bad = set.find_first_not_of("0123456789:*,"); bad != std::string_view::npos) {
        diagnostic = std::string("Invalid character ('") + set[bad] + "') in message-set argument";
        return false;
    }
    const std::uint32_t star = uid ? LastUid() : count;
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
        if (count == 0 && element.find('*') != std::string::npos) continue;
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
            for (std::uint32_t n = low; n <= high; ++n) selected_[n - 1] = true;
            continue;
        }
        for (std::size_t i = LowerBound(low); i < count && Uid(i) <= high; ++i) selected_[i] = true;
    }
    return true;
}

MessageTable& MessageVector::Private() {
    // A table another view still holds (a copy of this one) is copied too.
    if (!private_ || table_.use_count() > 1) {
        table_ = std::make_shared<MessageTable>(*table_);
        private_ = true;
    }
    return const_cast<MessageTable&>(*table_);  // made for this view and held by it alone
}

std::vector<std::size_t> MessageVector::Expunge(const std::vector<bool>& gone) {
    std::vector<std::size_t> numbers;
    for (std::size_t i = std::min(gone.size(), Count()); i-- > 0;) {
        if (gone[i]) numbers.push_back(i + 1);
    }
    if (numbers.empty()) return numbers;
    for (const std::size_t number : numbers) own_.erase(Uid(number - 1));
    std::size_t index = 0;
    std::erase_if(Private().rows, [&](const MessageRow&) {
        const bool drop = index < gone.size() && gone[index];
        ++index;
        return drop;
    });
    selected_.clear();
    Recount();
    return numbers;
}

void MessageVector::Adopt(const MessageVector& fresh, const std::vector<std::uint32_t>& hidden) {
    if (hidden.empty()) {
        table_ = fresh.table_;
        private_ = fresh.private_;
    } else {
        auto table = std::make_shared<MessageTable>(*fresh.table_);
        std::erase_if(table->rows, [&](const MessageRow& row) { return std::binary_search(hidden.begin(), hidden.end(), row.uid); });
        table_ = std::move(table);
        private_ = true;
    }
    // What the session showed of its own stays with the messages still in the view.
    std::erase_if(own_, [this](const auto& item) { return !Find(item.first); });
    if (own_.empty()) ownSets_ = KeywordSets{};
    selected_.clear();
}

void MessageVector::MarkRecent(std::uint32_t mark, std::size_t from) {
    if (from < Count() && LastUid() > mark) {
        recentUids_.emplace_back(std::max<std::uint32_t>(Uid(from), mark + 1), LastUid());
        recentUids_ = Normalized(std::move(recentUids_));
    }
    Recount();
}

void MessageVector::Recount() {
    recent = 0;
    firstUnseen = 0;
    if (!private_ && own_.empty() && table_->firstUnseen) {
        // A shared table as it was built: counted by the recent ranges' ends, not row by row.
        for (const auto& [low, high] : recentUids_) {
            const std::size_t end = high == UINT32_MAX ? Count() : LowerBound(high + 1);
            recent += static_cast<std::uint32_t>(end - std::min(end, LowerBound(low)));
        }
        firstUnseen = *table_->firstUnseen;
        return;
    }
    for (std::size_t i = 0; i < Count(); ++i) {
        const std::uint32_t uid = Uid(i);
        if (!recentUids_.empty() && IsRecent(uid)) ++recent;
        if (firstUnseen != 0) continue;
        const OwnFlags* own = Own(uid);
        if (!((own ? own->flags : table_->rows[i].stored) & kFlagSeen)) firstUnseen = static_cast<std::uint32_t>(i + 1);
    }
}

}  // namespace pw::imap
