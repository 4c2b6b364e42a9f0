// ImapSession: the commands on the selected mailbox's messages -- STORE and EXPUNGE.
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
    const std::vector<Argument> words = command.arguments[2].kind == ArgumentKind::List
                                            ? command.arguments[2].items
                                            : std::vector<Argument>(command.arguments.begin() + 2, command.arguments.end());
    const auto bits = ParseFlags(words, diagnostic);
    if (!bits) return Bad(diagnostic);
    if (*bits & kFlagRecent) return Bad("STORE command may not be used to change the \\Recent flag");

    // What may be stored; the rest is shown to this session only (EXAMINE, or a right missing).
    const auto mask = static_cast<std::uint16_t>(vector_.permanentFlags & kStorableFlags);
    for (std::size_t i = 0; i < vector_.messages.size(); ++i) {
        MessageEntry& entry = vector_.messages[i];
        if (!entry.selected) continue;
        const std::uint16_t shown = entry.flags;
        entry.flags = mode == '+' ? shown | *bits : mode == '-' ? shown & ~*bits : (shown & kFlagRecent) | *bits;
        const auto wanted = static_cast<std::uint16_t>(((entry.flags & mask) | (entry.stored & ~mask)) & kStorableFlags);
        if (!selectedReadOnly_ && wanted != entry.stored) {
            std::string failure;
            if (store_.StoreFlags(*selected_, entry.uid, wanted, failure)) {
                entry.stored = wanted;
            } else {
                No(failure);
            }
        }
        if (silent) continue;
        const std::string uid = command.uid ? Format("UID %lu ", {std::uint64_t{entry.uid}}) : std::string();
        Untagged(Format("%lu FETCH (%sFLAGS %s)", {std::uint64_t{i + 1}, std::string_view(uid), std::string_view(FlagList(entry.flags))}));
    }
    vector_.Recount();
    if (diagnostic_.empty()) SetReply("OK STORE completed");
}

void ImapSession::Expunge(const Command& command) {
    if (selectedReadOnly_) return No("EXPUNGE command invalid since current folder is read-only");
    if (!selected_->Has('d')) return No("You may not delete messages in this folder");
    std::string diagnostic;
    if (command.uid && !vector_.Select(command.arguments[0].text, true, diagnostic)) return Bad(diagnostic);
    // From the highest number down, so that every number sent is still valid when the client applies
    // it. A pass that removed some but not all tries again while the failures keep falling.
    std::size_t failures = 0;
    for (std::size_t previous = std::numeric_limits<std::size_t>::max(); previous > 0;) {
        failures = 0;
        for (std::size_t i = vector_.messages.size(); i-- > 0;) {
            const MessageEntry& entry = vector_.messages[i];
            if (!(entry.flags & kFlagDeleted) || (command.uid && !entry.selected)) continue;
            if (!store_.RemoveMessage(*selected_, entry.uid, diagnostic)) {
                ++failures;
                continue;
            }
            Untagged(Format("%lu EXPUNGE", {std::uint64_t{i + 1}}));
            vector_.messages.erase(vector_.messages.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (failures == 0 || failures >= previous) break;
        previous = failures;
    }
    vector_.Recount();
    if (failures > 0) return No(diagnostic);
    SetReply("OK EXPUNGE completed");
}

}  // namespace pw::imap
