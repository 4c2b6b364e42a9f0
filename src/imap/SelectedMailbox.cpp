// SelectedMailbox: the untagged lines that keep a client's view of its selected folder in step.
#include "imap/SelectedMailbox.h"

#include <algorithm>

#include "platform/Text.h"

namespace pw::imap {

bool SelectedMailbox::IsFolder(std::string_view name) const { return folder && EqualsNoCase(folder->name, name); }

namespace {

// Visits each UID the changes between `before` and `fresh` touched (every one of either, where the
// store no longer knows which they were): a message they did not touch is as it was.
template <class Visit>
void EachTouched(const MessageVector& before, const MessageVector& fresh, const Visit& visit) {
    if (fresh.touched) {
        for (const std::uint32_t uid : *fresh.touched) visit(uid);
        return;
    }
    for (std::size_t i = 0; i < before.Count(); ++i) visit(before.Uid(i));
    for (std::size_t i = 0; i < fresh.Count(); ++i) {
        if (!before.Find(fresh.Uid(i))) visit(fresh.Uid(i));
    }
}

}  // namespace

void SelectedMailbox::SendUpdates() {
    if (!folder || !folder->Has('r')) return;
    const double now = store_.Stamp(*folder);
    if (now == stamp) return;
    MessageVector fresh;
    try {
        // Only what changed since the last look is compared, where the store still knows what that was.
        fresh = store_.BuildVector(*folder, static_cast<std::uint64_t>(stamp));
    } catch (const ComError& error) {
        ImapLog('E', std::string("Mailbox update:  ") + error.what());
        return;
    }
    stamp = fresh.partial ? 0 : static_cast<double>(fresh.change);
    // The lines are worked out against the view as the client knows it; then it takes the new state.
    const MessageVector before = view;
    std::vector<bool> gone(before.Count());
    EachTouched(before, fresh, [&](std::uint32_t uid) {
        if (const auto was = before.Find(uid); was && !fresh.Find(uid)) gone[*was] = true;
    });
    AnnounceExpunged(gone);
    const std::uint64_t highest = LeaveOutLate(before, fresh);
    view.Adopt(fresh, hidden_);
    // Flags another session stored, in UID order; then the messages that came after the last one known.
    EachTouched(before, fresh, [&](std::uint32_t uid) {
        if (const auto was = before.Find(uid)) SendFlagChange(before, *was);
    });
    const std::size_t first = view.UpperBound(before.LastUid());
    const std::size_t arrivals = view.Count() - first;
    for (std::size_t i = first; i < view.Count(); ++i) AnnounceKeywords(view.StoredKeywords(i));
    view.highestModseq = std::max(before.highestModseq, highest);
    view.uidNext = fresh.uidNext;
    view.change = fresh.change;
    if (arrivals != 0) {
        view.MarkRecent(readOnly ? store_.RecentMark(*folder) : store_.ClaimRecent(*folder, view.LastUid()), first);
    }
    view.Recount();
    if (arrivals != 0) {
        replies_.Untagged(Format("%lu EXISTS", {std::uint64_t{view.Count()}}));
        replies_.Untagged(Format("%lu RECENT", {std::uint64_t{view.recent}}));
    }
}

std::uint64_t SelectedMailbox::LeaveOutLate(const MessageVector& before, const MessageVector& fresh) {
    // A message published late with a lower UID than one the client knows waits for the next SELECT:
    // numbers must follow UIDs. The client may not count its mod-sequence as seen either.
    std::uint64_t highest = fresh.highestModseq;
    const std::uint32_t lastKnown = before.LastUid();
    EachTouched(before, fresh, [&](std::uint32_t uid) {
        const auto index = uid <= lastKnown && !before.Find(uid) ? fresh.Find(uid) : std::nullopt;
        if (!index) return;
        const auto at = std::lower_bound(hidden_.begin(), hidden_.end(), uid);
        if (at == hidden_.end() || *at != uid) hidden_.insert(at, uid);
        if (fresh.Row(*index).modseq != 0) highest = std::min(highest, fresh.Row(*index).modseq - 1);
    });
    return highest;
}

void SelectedMailbox::SendFlagChange(const MessageVector& before, std::size_t was) {
    const auto index = view.Find(before.Uid(was));
    if (!index) return;
    MessageFlags shown = before.Flags(was);
    const MessageRow& row = view.Row(*index);
    const Keywords& keywords = view.Table()->keywords.Of(row.keywords);
    // Nothing this client sees changed (another user's flags, a record rewritten): no line, and what
    // the session shows of its own stays.
    if (shown.stored == row.stored && shown.storedKeywords == keywords) {
        shown.modseq = row.modseq;
        view.SetFlags(*index, shown);
        return;
    }
    view.ShowStored(*index);
    AnnounceKeywords(keywords);
    SendFlags(*index);
}

void SelectedMailbox::AnnounceExpunged(const std::vector<bool>& gone) {
    if (!qresync) {
        for (std::size_t i = gone.size(); i-- > 0;) {
            if (gone[i]) replies_.Untagged(Format("%lu EXPUNGE", {std::uint64_t{i + 1}}));
        }
        return;
    }
    std::vector<std::uint32_t> uids;
    for (std::size_t i = 0; i < gone.size() && i < view.Count(); ++i) {
        if (gone[i]) uids.push_back(view.Uid(i));
    }
    if (!uids.empty()) replies_.Untagged("VANISHED " + UidSet(uids));
}

void SelectedMailbox::ExpungeFromView(const std::vector<bool>& gone) {
    AnnounceExpunged(gone);
    view.Expunge(gone);
}

void SelectedMailbox::SendFlagLines() {
    if (view.permanentFlags == 0 && !view.permanentKeywords) {
        replies_.Untagged("OK [PERMANENTFLAGS ()] No permanent flag changes permitted");
    } else {
        // "\*": keywords not seen yet may be stored too.
        std::string permanent = FlagList(view.permanentFlags);
        if (view.permanentKeywords) permanent.insert(permanent.size() - 1, permanent.size() > 2 ? " \\*" : "\\*");
        replies_.Untagged("OK [PERMANENTFLAGS " + permanent + "] Permanent flags");
    }
    replies_.Untagged("FLAGS " + FlagList(kStorableFlags, view.knownKeywords));
}

void SelectedMailbox::AnnounceKeywords(const Keywords& keywords) {
    const std::size_t known = view.knownKeywords.size();
    view.knownKeywords = WithKeywords(std::move(view.knownKeywords), keywords);
    // A client learns of a new keyword from FLAGS before the first message that carries it.
    if (view.knownKeywords.size() != known) SendFlagLines();
}

void SelectedMailbox::SendFlags(std::size_t index) {
    const MessageEntry entry = view.Entry(index);
    std::string line = Format("%lu FETCH (UID %lu FLAGS %s", {std::uint64_t{index + 1}, std::uint64_t{entry.uid},
                                                              std::string_view(FlagList(entry.flags, view.ShownKeywords(index)))});
    if (condstore) line += Format(" MODSEQ (%lu)", {entry.modseq});
    replies_.Untagged(line + ")");
}

bool SelectedMailbox::EnableCondstore(bool withQresync) {
    const bool fresh = !condstore || (withQresync && !qresync);
    const bool announce = !condstore && IsSelected();
    condstore = true;
    qresync = qresync || withQresync;
    if (announce) SendHighestModseq();
    return fresh;
}

void SelectedMailbox::SendHighestModseq() {
    if (view.highestModseq == 0) return replies_.Untagged("OK [NOMODSEQ] No mod-sequences in this folder");
    replies_.Untagged(Format("OK [HIGHESTMODSEQ %lu] Highest", {view.highestModseq}));
}

void SelectedMailbox::Close(bool expunge) {
    // Only with the right to delete, and only what the store holds \Deleted: a user who may not
    // delete keeps \Deleted in the session's own view, which must never empty a shared folder.
    if (folder && expunge && !readOnly && folder->Has('d')) {
        // Silent: no untagged lines, and a message that can not be removed stays for the next time.
        for (std::size_t i = view.Count(); i-- > 0;) {
            std::string ignored;
            if (view.Entry(i).flags & kFlagDeleted) (void)store_.RemoveIfDeleted(*folder, view.Uid(i), ignored);
        }
    }
    folder.reset();
    view = MessageVector{};
    hidden_.clear();
    readOnly = false;
    stamp = 0;
}

}  // namespace pw::imap
