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
        // Only what changed since the last look, where the store still knows what that was.
        fresh = store_.BuildVector(*folder, static_cast<std::uint64_t>(stamp));
    } catch (const ComError& error) {
        ImapLog('E', std::string("Mailbox update:  ") + error.what());
        return;
    }
    stamp = fresh.partial ? 0 : static_cast<double>(fresh.change);
    // Expunged: from the highest number down, so every number sent is still valid when the client
    // applies it. Built from changes, a message not touched by them is still there.
    const auto present = [&fresh](std::uint32_t uid) {
        const auto found = std::lower_bound(fresh.messages.begin(), fresh.messages.end(), uid,
                                            [](const MessageEntry& entry, std::uint32_t wanted) { return entry.uid < wanted; });
        return found != fresh.messages.end() && found->uid == uid;
    };
    const auto touched = [&fresh](std::uint32_t uid) { return !fresh.touched || std::binary_search(fresh.touched->begin(), fresh.touched->end(), uid); };
    auto& messages = view.messages;
    std::vector<bool> gone(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) gone[i] = touched(messages[i].uid) && !present(messages[i].uid);
    ExpungeFromView(gone);
    // Flags another session stored; then the messages that came after the last one known. One that
    // was published late with a lower UID waits for the next SELECT: numbers must follow UIDs.
    const std::uint32_t lastKnown = messages.empty() ? 0 : messages.back().uid;
    std::size_t next = 0;
    std::size_t arrivals = 0;
    // The highest mod-sequence the client may count as seen: below that of a message left for later.
    std::uint64_t highest = fresh.highestModseq;
    for (const MessageEntry& entry : fresh.messages) {
        while (next < messages.size() && messages[next].uid < entry.uid) ++next;
        const Keywords& keywords = fresh.KeywordsOf(entry.storedKeywords);
        if (next < messages.size() && messages[next].uid == entry.uid) {
            MessageEntry& known = messages[next];
            // Nothing this client sees changed (another user's flags, a record rewritten): no line.
            known.modseq = entry.modseq;
            if (known.stored == entry.stored && view.KeywordsOf(known.storedKeywords) == keywords) continue;
            known.stored = entry.stored;
            known.flags = static_cast<std::uint16_t>(entry.stored | (known.flags & kFlagRecent));
            known.storedKeywords = known.keywords = view.Intern(keywords);
            AnnounceKeywords(keywords);
            SendFlags(next);
        } else if (entry.uid > lastKnown) {
            AnnounceKeywords(keywords);
            messages.push_back(entry);
            messages.back().storedKeywords = messages.back().keywords = view.Intern(keywords);
            ++arrivals;
            next = messages.size();
        } else if (entry.modseq != 0) {
            highest = std::min(highest, entry.modseq - 1);
        }
    }
    view.highestModseq = std::max(view.highestModseq, highest);
    view.uidNext = fresh.uidNext;
    if (arrivals != 0) {
        const std::size_t first = messages.size() - arrivals;
        view.MarkRecent(readOnly ? store_.RecentMark(*folder) : store_.ClaimRecent(*folder, messages.back().uid), first);
    }
    view.Recount();
    if (arrivals != 0) {
        replies_.Untagged(Format("%lu EXISTS", {std::uint64_t{messages.size()}}));
        replies_.Untagged(Format("%lu RECENT", {std::uint64_t{view.recent}}));
    }
}

void SelectedMailbox::ExpungeFromView(const std::vector<bool>& gone) {
    if (!qresync) {
        for (const std::size_t number : view.Expunge(gone)) replies_.Untagged(Format("%lu EXPUNGE", {std::uint64_t{number}}));
        return;
    }
    std::vector<std::uint32_t> uids;
    for (std::size_t i = 0; i < gone.size() && i < view.messages.size(); ++i) {
        if (gone[i]) uids.push_back(view.messages[i].uid);
    }
    view.Expunge(gone);
    if (!uids.empty()) replies_.Untagged("VANISHED " + UidSet(uids));
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
    const MessageEntry& entry = view.messages[index];
    std::string line = Format("%lu FETCH (UID %lu FLAGS %s", {std::uint64_t{index + 1}, std::uint64_t{entry.uid},
                                                              std::string_view(FlagList(entry.flags, view.KeywordsOf(entry.keywords)))});
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
        for (auto it = view.messages.rbegin(); it != view.messages.rend(); ++it) {
            std::string ignored;
            if (it->flags & kFlagDeleted) (void)store_.RemoveIfDeleted(*folder, it->uid, ignored);
        }
    }
    folder.reset();
    view = MessageVector{};
    readOnly = false;
    stamp = 0;
}

}  // namespace pw::imap
