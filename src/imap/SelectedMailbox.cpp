// SelectedMailbox: the untagged lines that keep a client's view of its selected folder in step.
#include "imap/SelectedMailbox.h"

#include <algorithm>

#include "platform/Text.h"

namespace pw::imap {

bool SelectedMailbox::IsFolder(std::string_view name) const { return folder && EqualsNoCase(folder->name, name); }

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
    const MessageVector before = view;
    const auto touched = [&fresh](std::uint32_t uid) { return !fresh.touched || std::binary_search(fresh.touched->begin(), fresh.touched->end(), uid); };
    // Expunged: a message the changes touched that the new state lacks (one they did not touch is
    // still there).
    std::vector<bool> gone(before.Count());
    for (std::size_t i = 0; i < before.Count(); ++i) gone[i] = touched(before.Uid(i)) && !fresh.Find(before.Uid(i));
    AnnounceExpunged(gone);
    // A message published late with a lower UID than one the client knows waits for the next SELECT:
    // numbers must follow UIDs. The client may not count its mod-sequence as seen either.
    const std::uint32_t lastKnown = before.LastUid();
    std::uint64_t highest = fresh.highestModseq;
    std::size_t arrivals = 0;
    for (std::size_t i = 0; i < fresh.Count(); ++i) {
        const std::uint32_t uid = fresh.Uid(i);
        if (uid > lastKnown) {
            ++arrivals;
        } else if (touched(uid) && !before.Find(uid)) {
            const auto at = std::lower_bound(hidden_.begin(), hidden_.end(), uid);
            if (at == hidden_.end() || *at != uid) hidden_.insert(at, uid);
            if (fresh.Row(i).modseq != 0) highest = std::min(highest, fresh.Row(i).modseq - 1);
        }
    }
    view.Adopt(fresh, hidden_);
    // Flags another session stored, in UID order; then the messages that came after the last one known.
    const auto compare = [&](std::size_t was) {
        const auto index = view.Find(before.Uid(was));
        if (!index) return;
        MessageFlags shown = before.Flags(was);
        const Keywords& keywords = view.Table()->keywords.Of(view.Row(*index).keywords);
        // Nothing this client sees changed (another user's flags, a record rewritten): no line, and
        // what it shows of its own stays.
        if (shown.stored == view.Row(*index).stored && shown.storedKeywords == keywords) {
            shown.modseq = view.Row(*index).modseq;
            view.SetFlags(*index, shown);
            return;
        }
        view.ShowStored(*index);
        AnnounceKeywords(keywords);
        SendFlags(*index);
    };
    if (fresh.touched) {
        for (const std::uint32_t uid : *fresh.touched) {
            if (const auto was = before.Find(uid)) compare(*was);
        }
    } else {
        for (std::size_t i = 0; i < before.Count(); ++i) compare(i);
    }
    for (std::size_t i = view.Count() - arrivals; i < view.Count(); ++i) AnnounceKeywords(view.StoredKeywords(i));
    view.highestModseq = std::max(before.highestModseq, highest);
    view.uidNext = fresh.uidNext;
    view.change = fresh.change;
    if (arrivals != 0) {
        const std::size_t first = view.Count() - arrivals;
        view.MarkRecent(readOnly ? store_.RecentMark(*folder) : store_.ClaimRecent(*folder, view.LastUid()), first);
    }
    view.Recount();
    if (arrivals != 0) {
        replies_.Untagged(Format("%lu EXISTS", {std::uint64_t{view.Count()}}));
        replies_.Untagged(Format("%lu RECENT", {std::uint64_t{view.recent}}));
    }
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
