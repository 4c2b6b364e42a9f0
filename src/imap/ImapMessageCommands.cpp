// ImapSession: the commands on the selected mailbox's messages -- STORE, EXPUNGE, COPY and MOVE.
#include "imap/ImapSession.h"

#include <limits>

#include "platform/Text.h"

namespace pw::imap {

void ImapSession::Store(const Command& command) {
    std::string diagnostic;
    if (!vector_.Select(command.arguments[0].text, command.uid, diagnostic)) return Bad(diagnostic);
    const Argument& item = command.arguments[1];
    std::string name = item.kind == ArgumentKind::List ? std::string() : ToLowerAscii(item.text);
    const char mode = name.starts_with('+') || name.starts_with('-') ? name[0] : '=';
    if (mode != '=') name.erase(0, 1);
    const bool silent = name == "flags.silent";
    if (!silent && name != "flags") {
        return Bad("STORE command has illegal second argument (data item):  " + item.text.substr(0, 20));
    }
    std::vector<Argument> words = command.arguments[2].kind == ArgumentKind::List
                                      ? command.arguments[2].items
                                      : std::vector<Argument>(command.arguments.begin() + 2, command.arguments.end());
    // NIL for no flags at all, as some clients write an empty list.
    if (words.size() == 1 && words[0].kind == ArgumentKind::Atom && EqualsNoCase(words[0].text, "NIL")) words.clear();
    const auto parsed = ParseFlags(words, diagnostic);
    if (!parsed) return Bad(diagnostic);
    const std::uint16_t bits = parsed->bits;
    if (bits & kFlagRecent) return Bad("STORE command may not be used to change the \\Recent flag");

    // What may be stored; the rest is shown to this session only (EXAMINE, or a right missing).
    const auto mask = static_cast<std::uint16_t>(selectedReadOnly_ ? 0 : vector_.permanentFlags & kStorableFlags);
    const bool keepKeywords = !selectedReadOnly_ && vector_.permanentKeywords;
    FlagChange change;
    change.add = static_cast<std::uint16_t>(mode == '-' ? 0 : bits & mask);
    change.remove = static_cast<std::uint16_t>(mode == '+' ? 0 : (mode == '-' ? bits : ~bits) & mask);
    if (keepKeywords) {
        (mode == '-' ? change.removeKeywords : change.addKeywords) = parsed->keywords;
        change.replaceKeywords = mode == '=';
    }
    AnnounceKeywords(parsed->keywords);
    std::vector<std::uint32_t> uids;
    for (const MessageEntry& entry : vector_.messages) {
        if (entry.selected) uids.push_back(entry.uid);
    }
    // Always as a change of what is on disk now, never skipped because this session's view already
    // shows it: that view may be old (another session cleared \Seen), and flags other sessions set
    // meanwhile stay and are shown.
    std::vector<std::optional<StoredFlags>> stored(uids.size());
    const bool storing = (change.add | change.remove) != 0 || (keepKeywords && (change.replaceKeywords || !parsed->keywords.empty()));
    if (storing && !uids.empty()) {
        std::string failure;
        stored = store_.ChangeFlags(*selected_, uids, change, failure);
        if (stored.empty()) {
            No(failure);
            stored.assign(uids.size(), std::nullopt);
        }
    }
    std::size_t next = 0;
    for (std::size_t i = 0; i < vector_.messages.size(); ++i) {
        MessageEntry& entry = vector_.messages[i];
        if (!entry.selected) continue;
        const std::optional<StoredFlags>& now = stored[next++];
        const std::uint16_t shown = entry.flags;
        entry.flags = mode == '+' ? shown | bits : mode == '-' ? shown & ~bits : (shown & kFlagRecent) | bits;
        const Keywords& shownKeywords = vector_.KeywordsOf(entry.keywords);
        entry.keywords = vector_.Intern(mode == '+'   ? WithKeywords(shownKeywords, parsed->keywords)
                                        : mode == '-' ? WithoutKeywords(shownKeywords, parsed->keywords)
                                                      : parsed->keywords);
        if (now) {
            entry.stored = now->bits;
            entry.flags = static_cast<std::uint16_t>((entry.flags & ~mask) | (now->bits & mask));
            entry.storedKeywords = vector_.Intern(now->keywords);
            if (keepKeywords) entry.keywords = entry.storedKeywords;
        }
        if (silent) continue;
        const std::string uid = command.uid ? Format("UID %lu ", {std::uint64_t{entry.uid}}) : std::string();
        Untagged(Format("%lu FETCH (%sFLAGS %s)", {std::uint64_t{i + 1}, std::string_view(uid),
                                                   std::string_view(FlagList(entry.flags, vector_.KeywordsOf(entry.keywords)))}));
    }
    vector_.Recount();
    if (diagnostic_.empty()) SetReply("OK STORE completed");
}

void ImapSession::Expunge(const Command& command) {
    if (selectedReadOnly_) return No("EXPUNGE command invalid since current folder is read-only");
    if (!selected_->Has('d')) return No("You may not delete messages in this folder");
    std::string diagnostic;
    if (command.uid && !vector_.Select(command.arguments[0].text, true, diagnostic)) return Bad(diagnostic);
    // A pass that removed some but not all tries again while the failures keep falling.
    std::vector<bool> gone(vector_.messages.size());
    std::size_t failures = 0;
    for (std::size_t previous = std::numeric_limits<std::size_t>::max(); previous > 0;) {
        failures = 0;
        for (std::size_t i = vector_.messages.size(); i-- > 0;) {
            const MessageEntry& entry = vector_.messages[i];
            if (gone[i] || !(entry.flags & kFlagDeleted) || (command.uid && !entry.selected)) continue;
            const auto removed = store_.RemoveIfDeleted(*selected_, entry.uid, diagnostic);
            if (!removed) {
                ++failures;
                continue;
            }
            gone[i] = *removed;  // not \Deleted in the store (cleared meanwhile), or gone: the updates tell
        }
        if (failures == 0 || failures >= previous) break;
        previous = failures;
    }
    ExpungeFromView(gone);
    if (failures > 0) return No(diagnostic);
    SetReply("OK EXPUNGE completed");
}

std::optional<FolderRecord> ImapSession::CopyTarget(const Command& command, std::string_view verb) {
    if (readOnly_) return No(Format("Your account is marked read-only.  You may not %s messages.", {verb})), std::nullopt;
    std::string diagnostic;
    if (!vector_.Select(command.arguments[0].text, command.uid, diagnostic)) return Bad(diagnostic), std::nullopt;
    const auto name = MailboxName(command.arguments[1]);
    if (!name) return std::nullopt;
    auto target = store_.FindFolder(*name, diagnostic);
    if (!target) return No("[TRYCREATE] No such folder"), std::nullopt;
    if (!target->Has('i') || !selected_->Has('r')) return No(Format("You may not %s messages into this folder", {verb})), std::nullopt;
    return target;
}

bool ImapSession::CopySelected(const FolderRecord& target, std::vector<std::uint32_t>& sources, std::vector<std::uint32_t>& copies) {
    std::string diagnostic;
    auto keepAlive = std::chrono::steady_clock::now() + kCopyKeepAlive;
    for (const MessageEntry& entry : vector_.messages) {
        if (!entry.selected) continue;
        const auto copy = store_.CopyMessage(*selected_, entry.uid, target, diagnostic);
        if (!copy && diagnostic == kMessageGone) continue;  // expunged meanwhile: the rest are copied
        if (!copy) {
            // All or nothing: the copies made so far go again, and only they.
            for (const std::uint32_t made : copies) {
                std::string ignored;
                (void)store_.RemoveMessage(target, made, ignored);
            }
            No(diagnostic);
            return false;
        }
        sources.push_back(entry.uid);
        copies.push_back(*copy);
        if (std::chrono::steady_clock::now() >= keepAlive) {
            // A long copy keeps the client from giving up on it. Not with EXISTS: the selected folder's
            // count would tell the client nothing new, or that it shrank.
            Untagged("OK Still copying");
            connection_->Flush();
            keepAlive = std::chrono::steady_clock::now() + kCopyKeepAlive;
        }
    }
    return true;
}

std::string ImapSession::CopyUidCode(const FolderRecord& target, const std::vector<std::uint32_t>& sources,
                                     const std::vector<std::uint32_t>& copies) const {
    if (!(storeCapabilities_ & kStoreCapabilityUidPlus) || copies.empty()) return {};
    return Format("[COPYUID %lu %s %s] ", {std::uint64_t{store_.UidValidity(target)}, std::string_view(UidSet(sources)),
                                           std::string_view(UidSet(copies))});
}

void ImapSession::Copy(const Command& command) {
    const auto target = CopyTarget(command, "copy");
    if (!target) return;
    std::vector<std::uint32_t> sources;
    std::vector<std::uint32_t> copies;
    if (!CopySelected(*target, sources, copies)) return;
    SetReply("OK " + CopyUidCode(*target, sources, copies) + "COPY completed");
}

void ImapSession::Move(const Command& command) {
    // RFC 6851: a copy whose originals are expunged. Every copy is safe before any original goes, so a
    // failure on the way leaves a message twice, never nowhere.
    if (selectedReadOnly_) return No("MOVE command invalid since current folder is read-only");
    if (!selected_->Has('d')) return No("You may not delete messages in this folder");
    const auto target = CopyTarget(command, "move");
    if (!target) return;
    std::vector<std::uint32_t> sources;
    std::vector<std::uint32_t> copies;
    if (!CopySelected(*target, sources, copies)) return;
    if (const std::string code = CopyUidCode(*target, sources, copies); !code.empty()) Untagged("OK " + code + "Messages copied");
    std::string diagnostic;
    std::size_t failures = 0;
    std::vector<bool> gone(vector_.messages.size());
    for (std::size_t i = vector_.messages.size(); i-- > 0;) {
        if (!vector_.messages[i].selected) continue;
        gone[i] = store_.RemoveMessage(*selected_, vector_.messages[i].uid, diagnostic);
        if (!gone[i]) ++failures;
    }
    ExpungeFromView(gone);
    if (failures > 0) return No("Messages were copied, but " + std::to_string(failures) + " could not be removed: " + diagnostic);
    SetReply("OK MOVE completed");
}

}  // namespace pw::imap
