// ImapSession: SELECT, EXAMINE, leaving the selected state, SUBSCRIBE and UNSUBSCRIBE, and the
// untagged updates of the selected mailbox.
#include "imap/ImapSession.h"

#include <algorithm>
#include <unordered_set>

#include "imap/ModifiedUtf7.h"
#include "platform/DirStorage.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

constexpr std::string_view kSubscriptionsFile = "SUBSCRIBE";

// Where a name's first `levels` levels end: the place of its levels-th "/" (npos when it has fewer).
std::size_t LevelEnd(std::string_view name, std::size_t levels) {
    std::size_t at = std::string_view::npos;
    for (std::size_t level = 0; level < levels; ++level) {
        at = name.find('/', level == 0 ? 0 : at + 1);
        if (at == std::string_view::npos) break;
    }
    return at;
}

}  // namespace

std::optional<std::string> ImapSession::MailboxName(const Argument& argument) {
    // Raw 8-bit bytes are not a name: stored as they came they are no UTF-8, and the folder could
    // never be named again. Modified UTF-7 is the way to write other characters.
    if (std::any_of(argument.text.begin(), argument.text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        Bad("Mailbox names are written in modified UTF-7, not in 8-bit bytes");
        return std::nullopt;
    }
    const DecodedMailboxName decoded = DecodeModifiedUtf7(argument.text);
    if (!decoded.Ok()) {
        if (!decoded.logLine.empty()) Log('E', decoded.logLine);
        SetDiagnostic(decoded.diagnostic, decoded.bad);
        return std::nullopt;
    }
    std::string diagnostic;
    if (!EqualsNoCase(decoded.name, "INBOX") && !ImapStore::CheckName(decoded.name, diagnostic)) {
        Bad(diagnostic);
        return std::nullopt;
    }
    return decoded.name;
}

void ImapSession::Select(const Command& command, bool examine) {
    CloseMailbox(false);
    const auto name = MailboxName(command.arguments[0]);
    if (!name) return;
    std::string diagnostic;
    auto folder = store_.FindFolder(*name, diagnostic);
    if (!folder) return No(diagnostic);
    // A folder listed but not readable (the learning folders, which take COPY) opens read-only and
    // empty: clients that open every folder LIST shows must be able to open this one too.
    const bool readable = folder->Has('r');
    try {
        stamp_ = store_.Stamp(*folder);  // before the listing, so that nothing after it goes unseen
        if (readable) {
            vector_ = store_.BuildVector(*folder);
            if (vector_.partial) stamp_ = 0;  // look again after this command
        } else {
            vector_ = MessageVector{};
            vector_.uidValidity = store_.UidValidity(*folder);
        }
    } catch (const ComError& error) {
        Log('E', std::string("SelectFolder:  ") + error.what());
        return No("The folder can not be read");
    }
    selectedReadOnly_ = examine || folder->readOnly || !readable;
    // EXAMINE shows what is recent without taking it from the next session that selects the folder.
    const std::uint32_t highest = vector_.messages.empty() ? 0 : vector_.messages.back().uid;
    vector_.MarkRecent(selectedReadOnly_ ? store_.RecentMark(*folder) : store_.ClaimRecent(*folder, highest));
    vector_.permanentFlags = selectedReadOnly_ ? 0 : static_cast<std::uint16_t>(vector_.permanentFlags & kStorableFlags);
    vector_.permanentKeywords = vector_.permanentKeywords && !selectedReadOnly_;

    Untagged(Format("%lu EXISTS", {std::uint64_t{vector_.messages.size()}}));
    Untagged(Format("%lu RECENT", {std::uint64_t{vector_.recent}}));
    if (vector_.firstUnseen != 0) {
        Untagged(Format("OK [UNSEEN %lu] Message %lu is first unread", {std::uint64_t{vector_.firstUnseen}, std::uint64_t{vector_.firstUnseen}}));
    }
    Untagged(Format("OK [UIDNEXT %lu] Predicted next message UID", {std::uint64_t{vector_.uidNext}}));
    Untagged(Format("OK [UIDVALIDITY %lu] UID validity status", {std::uint64_t{vector_.uidValidity}}));
    for (const Keywords& set : vector_.keywordSets) vector_.knownKeywords = WithKeywords(std::move(vector_.knownKeywords), set);
    SendFlagLines();

    Log('I', Format(examine ? "Examined:  \"%s\"" : "Selected:  \"%s\"", {std::string_view(folder->name)}));
    selected_ = std::move(folder);
    state_ = SessionState::Selected;
    SetReply(examine ? "OK [READ-ONLY] EXAMINE completed"
                     : selectedReadOnly_ ? "OK [READ-ONLY] SELECT completed" : "OK [READ-WRITE] SELECT completed");
}

void ImapSession::SendFlagLines() {
    if (vector_.permanentFlags == 0 && !vector_.permanentKeywords) {
        Untagged("OK [PERMANENTFLAGS ()] No permanent flag changes permitted");
    } else {
        // "\*": keywords not seen yet may be stored too.
        std::string permanent = FlagList(vector_.permanentFlags);
        if (vector_.permanentKeywords) permanent.insert(permanent.size() - 1, permanent.size() > 2 ? " \\*" : "\\*");
        Untagged("OK [PERMANENTFLAGS " + permanent + "] Permanent flags");
    }
    Untagged("FLAGS " + FlagList(kStorableFlags, vector_.knownKeywords));
}

void ImapSession::AnnounceKeywords(const Keywords& keywords) {
    const std::size_t known = vector_.knownKeywords.size();
    vector_.knownKeywords = WithKeywords(std::move(vector_.knownKeywords), keywords);
    // A client learns of a new keyword from FLAGS before the first message that carries it.
    if (vector_.knownKeywords.size() != known) SendFlagLines();
}

void ImapSession::CloseMailbox(bool expunge) {
    // Only with the right to delete, and only what the store holds \Deleted: a user who may not
    // delete keeps \Deleted in the session's own view, which must never empty a shared folder.
    if (selected_ && expunge && !selectedReadOnly_ && selected_->Has('d')) {
        // Silent: no untagged lines, and a message that can not be removed stays for the next time.
        for (auto it = vector_.messages.rbegin(); it != vector_.messages.rend(); ++it) {
            std::string ignored;
            if (it->flags & kFlagDeleted) (void)store_.RemoveIfDeleted(*selected_, it->uid, ignored);
        }
    }
    selected_.reset();
    vector_ = MessageVector{};
    if (state_ == SessionState::Selected) state_ = SessionState::Authenticated;
}

void ImapSession::SendUpdates() {
    if (!selected_ || !selected_->Has('r')) return;
    const double stamp = store_.Stamp(*selected_);
    if (stamp == stamp_) return;
    MessageVector fresh;
    try {
        fresh = store_.BuildVector(*selected_);
    } catch (const ComError& error) {
        Log('E', std::string("Mailbox update:  ") + error.what());
        return;
    }
    stamp_ = fresh.partial ? 0 : stamp;
    // Expunged: from the highest number down, so every number sent is still valid when the client
    // applies it.
    std::unordered_set<std::uint32_t> present;
    for (const MessageEntry& entry : fresh.messages) present.insert(entry.uid);
    auto& messages = vector_.messages;
    std::vector<bool> gone(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) gone[i] = !present.contains(messages[i].uid);
    ExpungeFromView(gone);
    // Flags another session stored; then the messages that came after the last one known. One that
    // was published late with a lower UID waits for the next SELECT: numbers must follow UIDs.
    const std::uint32_t lastKnown = messages.empty() ? 0 : messages.back().uid;
    std::size_t next = 0;
    bool arrived = false;
    std::size_t arrivals = 0;
    for (const MessageEntry& entry : fresh.messages) {
        while (next < messages.size() && messages[next].uid < entry.uid) ++next;
        if (next < messages.size() && messages[next].uid == entry.uid) {
            MessageEntry& known = messages[next];
            const Keywords& keywords = fresh.KeywordsOf(entry.storedKeywords);
            if (known.stored != entry.stored || vector_.KeywordsOf(known.storedKeywords) != keywords) {
                known.stored = entry.stored;
                known.flags = static_cast<std::uint16_t>(entry.stored | (known.flags & kFlagRecent));
                known.storedKeywords = known.keywords = vector_.Intern(keywords);
                AnnounceKeywords(keywords);
                Untagged(Format("%lu FETCH (UID %lu FLAGS %s)", {std::uint64_t{next + 1}, std::uint64_t{known.uid},
                                                                  std::string_view(FlagList(known.flags, keywords))}));
            }
        } else if (entry.uid > lastKnown) {
            const Keywords& keywords = fresh.KeywordsOf(entry.storedKeywords);
            AnnounceKeywords(keywords);
            messages.push_back(entry);
            messages.back().storedKeywords = messages.back().keywords = vector_.Intern(keywords);
            ++arrivals;
            next = messages.size();
            arrived = true;
        }
    }
    vector_.uidNext = fresh.uidNext;
    if (arrived) {
        const std::size_t first = messages.size() - arrivals;
        vector_.MarkRecent(selectedReadOnly_ ? store_.RecentMark(*selected_) : store_.ClaimRecent(*selected_, messages.back().uid), first);
    }
    vector_.Recount();
    if (arrived) {
        Untagged(Format("%lu EXISTS", {std::uint64_t{messages.size()}}));
        Untagged(Format("%lu RECENT", {std::uint64_t{vector_.recent}}));
    }
}

void ImapSession::ExpungeFromView(const std::vector<bool>& gone) {
    for (const std::size_t number : vector_.Expunge(gone)) Untagged(Format("%lu EXPUNGE", {std::uint64_t{number}}));
}

std::vector<std::string> ImapSession::Subscriptions() const {
    std::vector<std::byte> bytes;
    std::unique_ptr<FileStream> stream;
    if (Failed(DirStorage(userDirectory_).OpenStream(kSubscriptionsFile, STGM_READ | STGM_SHARE_DENY_NONE, stream)) ||
        Failed(ReadToEnd(*stream, bytes))) {
        return {};  // none yet
    }
    return SplitAtAny(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), "\r\n");
}

bool ImapSession::WriteSubscriptions(const std::vector<std::string>& names) const {
    std::string text;
    for (const std::string& n : names) text += n + "\r\n";
    // Replaced whole (written aside, then renamed over), never rewritten in place.
    const HRESULT hr = DirStorage(userDirectory_).ReplaceStream(kSubscriptionsFile, std::as_bytes(std::span(text.data(), text.size())));
    if (Succeeded(hr)) return true;
    Log('E', Format("WriteSubscribedFolders:  replacing \"%s%s\" failed with %s",
                    {std::string_view(userDirectory_), kSubscriptionsFile, std::string_view(HresultText(hr))}));
    return false;
}

void ImapSession::Subscribe(const Command& command, bool subscribe) {
    if (!MailboxName(command.arguments[0])) return;
    const std::string& name = command.arguments[0].text;  // kept as the client wrote it
    std::vector<std::string> names = Subscriptions();
    const auto known = std::find_if(names.begin(), names.end(), [&](const std::string& n) { return EqualsNoCase(n, name); });
    // Asking for what already holds is no failure (RFC 3501 lets either side answer OK): clients that
    // sync subscriptions send it and take a NO for a fault.
    if (subscribe == (known != names.end())) return SetReply(subscribe ? "OK SUBSCRIBE completed" : "OK UNSUBSCRIBE completed");
    if (subscribe) {
        names.push_back(name);
    } else {
        names.erase(known);
    }
    if (!WriteSubscriptions(names)) return No("Subscriptions could not be saved");
    SetReply(subscribe ? "OK SUBSCRIBE completed" : "OK UNSUBSCRIBE completed");
}

void ImapSession::CarrySubscriptions(std::string_view from, std::optional<std::string_view> to) const {
    // Names are compared decoded, without regard to case, as the store looks folders up. "/" never
    // stands inside a modified UTF-7 run, so a subscription's raw levels are its decoded ones.
    const std::size_t levels = static_cast<std::size_t>(std::count(from.begin(), from.end(), '/')) + 1;
    std::vector<std::string> names;
    // A name subscribed before its folder existed may already stand where a renamed one goes.
    const auto add = [&names](std::string name) {
        if (std::none_of(names.begin(), names.end(), [&](const std::string& n) { return EqualsNoCase(n, name); })) {
            names.push_back(std::move(name));
        }
    };
    bool changed = false;
    for (std::string& raw : Subscriptions()) {
        const DecodedMailboxName name = DecodeModifiedUtf7(raw);
        const bool same = name.Ok() && EqualsNoCase(name.name, from);
        const bool below = name.Ok() && StartsWithNoCase(name.name, std::string(from) + "/");
        // DELETE leaves the levels below subscribed: a name may be subscribed with no folder behind it.
        if (!same && !(below && to)) {
            add(std::move(raw));
            continue;
        }
        changed = true;
        if (to) add(std::string(*to) + (same ? std::string() : raw.substr(LevelEnd(raw, levels))));
    }
    // The folder has already changed; a subscription left behind is logged, not a failed command.
    if (changed) (void)WriteSubscriptions(names);
}

}  // namespace pw::imap
