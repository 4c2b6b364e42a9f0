// The commands on the selected mailbox's messages -- STORE, EXPUNGE, COPY and MOVE.
#include "imap/ImapCommands.h"

#include <limits>
#include <unordered_map>

#include "imap/ImapStore.h"
#include "imap/SelectedMailbox.h"
#include "platform/Text.h"

namespace pw::imap::commands {

void Store(CommandContext& context) {
    const Command& command = context.command;
    SelectedMailbox& mailbox = context.mailbox;
    MessageVector& view = mailbox.view;
    std::string diagnostic;
    if (!view.Select(command.arguments[0].text, command.uid, diagnostic)) return context.Bad(diagnostic);
    // (UNCHANGEDSINCE modseq) may come before the data item.
    std::size_t at = 1;
    std::optional<std::uint64_t> unchangedSince;
    if (command.arguments[1].kind == ArgumentKind::List) {
        const auto& modifiers = command.arguments[1].items;
        if (modifiers.size() != 2 || modifiers[0].kind != ArgumentKind::Atom || !EqualsNoCase(modifiers[0].text, "UNCHANGEDSINCE") ||
            modifiers[1].kind != ArgumentKind::Atom || !(unchangedSince = ParseModseq(modifiers[1].text, true))) {
            return context.Bad("STORE modifiers are (UNCHANGEDSINCE modseq)");
        }
        at = 2;
        if (command.arguments.size() < 4) return context.Bad("STORE flags argument missing");
    }
    const Argument& item = command.arguments[at];
    const Argument& flagsArgument = command.arguments[at + 1];
    if (flagsArgument.kind != ArgumentKind::List) {
        for (std::size_t j = at + 1; j < command.arguments.size(); ++j) {
            if (command.arguments[j].kind != ArgumentKind::Atom) return context.Bad("Third argument should be a list of flags");
        }
    }
    std::string name = item.kind == ArgumentKind::List ? std::string() : ToLowerAscii(item.text);
    const char mode = name.starts_with('+') || name.starts_with('-') ? name[0] : '=';
    if (mode != '=') name.erase(0, 1);
    const bool silent = name == "flags.silent";
    if (!silent && name != "flags") {
        return context.Bad("STORE command has illegal second argument (data item):  " + item.text.substr(0, 20));
    }
    std::vector<Argument> words = flagsArgument.kind == ArgumentKind::List
                                      ? flagsArgument.items
                                      : std::vector<Argument>(command.arguments.begin() + static_cast<std::ptrdiff_t>(at) + 1, command.arguments.end());
    // NIL for no flags at all, as some clients write an empty list.
    if (words.size() == 1 && words[0].kind == ArgumentKind::Atom && EqualsNoCase(words[0].text, "NIL")) words.clear();
    const auto parsed = ParseFlags(words, diagnostic);
    if (!parsed) return context.Bad(diagnostic);
    const std::uint16_t bits = parsed->bits;
    if (bits & kFlagRecent) return context.Bad("STORE command may not be used to change the \\Recent flag");

    // What may be stored; the rest is shown to this session only (EXAMINE, or a right missing).
    const auto mask = static_cast<std::uint16_t>(mailbox.readOnly ? 0 : view.permanentFlags & kStorableFlags);
    const bool keepKeywords = !mailbox.readOnly && view.permanentKeywords;
    FlagChange change;
    change.add = static_cast<std::uint16_t>(mode == '-' ? 0 : bits & mask);
    change.remove = static_cast<std::uint16_t>(mode == '+' ? 0 : (mode == '-' ? bits : ~bits) & mask);
    if (keepKeywords) {
        (mode == '-' ? change.removeKeywords : change.addKeywords) = parsed->keywords;
        change.replaceKeywords = mode == '=';
    }
    mailbox.AnnounceKeywords(parsed->keywords);
    // A conditional store leaves the messages changed since the client's mod-sequence as they are and
    // names them. The index tells which changed up to now; the flags it shows for the others are
    // checked again under the folder's lock as they are written, so a change made in between is
    // caught too.
    std::vector<std::uint32_t> modified;
    std::unordered_map<std::uint32_t, StoredFlags> expected;
    if (unchangedSince) {
        mailbox.EnableCondstore();
        std::vector<std::optional<ImapStore::IndexedFlags>> now;
        try {
            now = context.store.CurrentFlags(*mailbox.folder, view);
        } catch (const ComError& error) {
            return context.No(std::string("Mod-sequences could not be read: ") + error.what());
        }
        for (std::size_t i = 0; i < view.Count(); ++i) {
            if (!view.IsSelected(i) || !now[i]) continue;
            if (now[i]->modseq <= *unchangedSince && view.Modseq(i) <= *unchangedSince) {
                expected.emplace(view.Uid(i), std::move(now[i]->flags));
                continue;
            }
            view.SetSelected(i, false);
            modified.push_back(command.uid ? view.Uid(i) : static_cast<std::uint32_t>(i + 1));
        }
    }
    std::vector<std::uint32_t> uids;
    for (std::size_t i = 0; i < view.Count(); ++i) {
        if (view.IsSelected(i)) uids.push_back(view.Uid(i));
    }
    // Always as a change of what is on disk now, never skipped because this session's view already
    // shows it: that view may be old (another session cleared \Seen), and flags other sessions set
    // meanwhile stay and are shown.
    std::vector<std::optional<StoredFlags>> stored(uids.size());
    const bool storing = (change.add | change.remove) != 0 || (keepKeywords && (change.replaceKeywords || !parsed->keywords.empty()));
    if (storing && !uids.empty()) {
        std::string failure;
        std::vector<std::uint32_t> refused;
        stored = context.store.ChangeFlags(*mailbox.folder, uids, change, failure, unchangedSince ? &expected : nullptr, &refused);
        if (stored.empty()) {
            context.No(failure);
            stored.assign(uids.size(), std::nullopt);
        }
        // Changed meanwhile: shown as they are now, named, and out of what follows.
        std::sort(refused.begin(), refused.end());
        std::vector<std::optional<StoredFlags>> kept;
        std::size_t slot = 0;
        for (std::size_t i = 0; i < view.Count() && !refused.empty(); ++i) {
            if (!view.IsSelected(i)) continue;
            std::optional<StoredFlags>& now = stored[slot++];
            if (!std::binary_search(refused.begin(), refused.end(), view.Uid(i))) {
                kept.push_back(std::move(now));
                continue;
            }
            modified.push_back(command.uid ? view.Uid(i) : static_cast<std::uint32_t>(i + 1));
            if (now) {
                MessageFlags entry = view.Flags(i);
                entry.stored = now->bits;
                entry.flags = now->bits;
                entry.storedKeywords = entry.keywords = now->keywords;
                view.SetFlags(i, entry);
                mailbox.AnnounceKeywords(now->keywords);
                mailbox.SendFlags(i);
            }
            view.SetSelected(i, false);
        }
        if (!refused.empty()) stored = std::move(kept);
    }
    std::size_t next = 0;
    std::vector<std::size_t> changed;
    std::vector<std::pair<std::size_t, std::string>> lines;
    for (std::size_t i = 0; i < view.Count(); ++i) {
        if (!view.IsSelected(i)) continue;
        const std::optional<StoredFlags>& now = stored[next++];
        MessageFlags entry = view.Flags(i);
        const auto shown = static_cast<std::uint16_t>(entry.flags & ~kFlagRecent);
        entry.flags = static_cast<std::uint16_t>(mode == '+' ? shown | bits : mode == '-' ? shown & ~bits : bits);
        entry.keywords = mode == '+'   ? WithKeywords(std::move(entry.keywords), parsed->keywords)
                         : mode == '-' ? WithoutKeywords(std::move(entry.keywords), parsed->keywords)
                                       : parsed->keywords;
        if (now) {
            entry.stored = now->bits;
            entry.flags = static_cast<std::uint16_t>((entry.flags & ~mask) | (now->bits & mask));
            entry.storedKeywords = now->keywords;
            if (keepKeywords) entry.keywords = entry.storedKeywords;
        }
        view.SetFlags(i, entry);
        if (now) changed.push_back(i);
        // A silent store still tells a CONDSTORE client the new mod-sequence it caused.
        if (silent && !(mailbox.condstore && now)) continue;
        const std::string uid = command.uid ? Format("UID %lu ", {std::uint64_t{view.Uid(i)}}) : std::string();
        const std::string flags = silent ? std::string() : "FLAGS " + FlagList(view.Entry(i).flags, view.ShownKeywords(i));
        lines.push_back({i, uid + flags});
    }
    // The mod-sequences the store gave, read back after it.
    if (!changed.empty()) {
        try {
            for (std::size_t i = 0; i < view.Count(); ++i) view.SetSelected(i, false);
            for (const std::size_t i : changed) view.SetSelected(i, true);
            const auto now = context.store.CurrentFlags(*mailbox.folder, view);
            for (const std::size_t i : changed) {
                if (!now[i] || now[i]->modseq <= view.Modseq(i)) continue;
                MessageFlags entry = view.Flags(i);
                entry.modseq = now[i]->modseq;
                view.SetFlags(i, entry);
            }
        } catch (const ComError& error) {
            ImapLog('W', std::string("Mod-sequences could not be read: ") + error.what());
        }
    }
    for (const auto& [i, text] : lines) {
        std::string line = Format("%lu FETCH (%s", {std::uint64_t{i + 1}, std::string_view(text)});
        if (mailbox.condstore) line += Format("%sMODSEQ (%lu)", {std::string_view(text.empty() || text.ends_with(' ') ? "" : " "), view.Modseq(i)});
        context.Untagged(line + ")");
    }
    view.Recount();
    if (!modified.empty()) {
        std::sort(modified.begin(), modified.end());
        return context.SetReply("OK [MODIFIED " + UidSet(modified) + "] Conditional STORE failed");
    }
    if (!context.replies.Settled()) context.SetReply("OK STORE completed");
}

void Expunge(CommandContext& context) {
    const Command& command = context.command;
    SelectedMailbox& mailbox = context.mailbox;
    MessageVector& view = mailbox.view;
    if (mailbox.readOnly) return context.No("EXPUNGE command invalid since current folder is read-only");
    if (!mailbox.folder->Has('d')) return context.No("You may not delete messages in this folder");
    std::string diagnostic;
    if (command.uid && !view.Select(command.arguments[0].text, true, diagnostic)) return context.Bad(diagnostic);
    // A pass that removed some but not all tries again while the failures keep falling.
    std::vector<bool> gone(view.Count());
    std::size_t failures = 0;
    for (std::size_t previous = std::numeric_limits<std::size_t>::max(); previous > 0;) {
        failures = 0;
        for (std::size_t i = view.Count(); i-- > 0;) {
            const MessageEntry entry = view.Entry(i);
            if (gone[i] || !(entry.flags & kFlagDeleted) || (command.uid && !view.IsSelected(i))) continue;
            const auto removed = context.store.RemoveIfDeleted(*mailbox.folder, entry.uid, diagnostic);
            if (!removed) {
                ++failures;
                continue;
            }
            gone[i] = *removed;  // not \Deleted in the store (cleared meanwhile), or gone: the updates tell
        }
        if (failures == 0 || failures >= previous) break;
        previous = failures;
    }
    mailbox.ExpungeFromView(gone);
    if (failures > 0) return context.No(diagnostic);
    context.SetReply("OK EXPUNGE completed");
}

// The checks COPY and MOVE share, and their target; nullopt with the reply set.
std::optional<FolderRecord> CopyTarget(CommandContext& context, std::string_view verb) {
    const Command& command = context.command;
    SelectedMailbox& mailbox = context.mailbox;
    MessageVector& view = mailbox.view;
    if (context.session.readOnly) return context.No(Format("Your account is marked read-only.  You may not %s messages.", {verb})), std::nullopt;
    std::string diagnostic;
    if (!view.Select(command.arguments[0].text, command.uid, diagnostic)) return context.Bad(diagnostic), std::nullopt;
    const auto name = MailboxName(context, command.arguments[1]);
    if (!name) return std::nullopt;
    auto target = context.store.FindFolder(*name, diagnostic);
    if (!target) return context.No("[TRYCREATE] No such folder"), std::nullopt;
    if (!target->Has('i') || !mailbox.folder->Has('r')) return context.No(Format("You may not %s messages into this folder", {verb})), std::nullopt;
    return target;
}

// Copies the selected messages, all or none; false with the reply set.
bool CopySelected(CommandContext& context, const FolderRecord& target, std::vector<std::uint32_t>& sources,
                  std::vector<std::uint32_t>& copies) {
    SelectedMailbox& mailbox = context.mailbox;
    MessageVector& view = mailbox.view;
    std::string diagnostic;
    auto keepAlive = std::chrono::steady_clock::now() + kCopyKeepAlive;
    for (std::size_t i = 0; i < view.Count(); ++i) {
        if (!view.IsSelected(i)) continue;
        const std::uint32_t uid = view.Uid(i);
        const auto copy = context.store.CopyMessage(*mailbox.folder, uid, target, diagnostic);
        if (!copy && diagnostic == kMessageGone) continue;  // expunged meanwhile: the rest are copied
        if (!copy) {
            // All or nothing: the copies made so far go again, and only they.
            for (const std::uint32_t made : copies) {
                std::string ignored;
                (void)context.store.RemoveMessage(target, made, ignored);
            }
            context.No(diagnostic);
            return false;
        }
        sources.push_back(uid);
        copies.push_back(*copy);
        if (std::chrono::steady_clock::now() >= keepAlive) {
            // A long copy keeps the client from giving up on it. Not with EXISTS: the selected folder's
            // count would tell the client nothing new, or that it shrank.
            context.Untagged("OK Still copying");
            context.replies.Connection().Flush();
            keepAlive = std::chrono::steady_clock::now() + kCopyKeepAlive;
        }
    }
    return true;
}

// "[COPYUID validity sources copies] " when UIDPLUS is on, else "".
std::string CopyUidCode(CommandContext& context, const FolderRecord& target, const std::vector<std::uint32_t>& sources,
                        const std::vector<std::uint32_t>& copies) {
    if (!(context.session.storeCapabilities & kStoreCapabilityUidPlus) || copies.empty()) return {};
    return Format("[COPYUID %lu %s %s] ", {std::uint64_t{context.store.UidValidity(target)}, std::string_view(UidSet(sources)),
                                           std::string_view(UidSet(copies))});
}

void Copy(CommandContext& context) {
    const auto target = CopyTarget(context, "copy");
    if (!target) return;
    std::vector<std::uint32_t> sources;
    std::vector<std::uint32_t> copies;
    if (!CopySelected(context, *target, sources, copies)) return;
    context.SetReply("OK " + CopyUidCode(context, *target, sources, copies) + "COPY completed");
}

void Move(CommandContext& context) {
    SelectedMailbox& mailbox = context.mailbox;
    MessageVector& view = mailbox.view;
    // RFC 6851: a copy whose originals are expunged. Every copy is safe before any original goes, so a
    // failure on the way leaves a message twice, never nowhere.
    if (mailbox.readOnly) return context.No("MOVE command invalid since current folder is read-only");
    if (!mailbox.folder->Has('d')) return context.No("You may not delete messages in this folder");
    const auto target = CopyTarget(context, "move");
    if (!target) return;
    std::vector<std::uint32_t> sources;
    std::vector<std::uint32_t> copies;
    if (!CopySelected(context, *target, sources, copies)) return;
    if (const std::string code = CopyUidCode(context, *target, sources, copies); !code.empty()) context.Untagged("OK " + code + "Messages copied");
    std::string diagnostic;
    std::size_t failures = 0;
    std::vector<bool> gone(view.Count());
    for (std::size_t i = view.Count(); i-- > 0;) {
        if (!view.IsSelected(i)) continue;
        gone[i] = context.store.RemoveMessage(*mailbox.folder, view.Uid(i), diagnostic);
        if (!gone[i]) ++failures;
    }
    mailbox.ExpungeFromView(gone);
    if (failures > 0) return context.No("Messages were copied, but " + std::to_string(failures) + " could not be removed: " + diagnostic);
    context.SetReply("OK MOVE completed");
}

}  // namespace pw::imap::commands
