// ImapSession: the commands on the selected mailbox's messages -- STORE.
#include "imap/ImapSession.h"

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

}  // namespace pw::imap
