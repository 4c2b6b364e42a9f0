// The commands on folders themselves -- CREATE, DELETE, RENAME, LIST, LSUB and STATUS.
#include "imap/ImapCommands.h"

#include <algorithm>
#include <unordered_set>

#include "imap/ImapLimits.h"
#include "imap/ImapStore.h"
#include "imap/ImapStrings.h"
#include "imap/ModifiedUtf7.h"
#include "imap/SelectedMailbox.h"
#include "imap/Subscriptions.h"
#include "platform/Text.h"

namespace pw::imap::commands {

namespace {

// LIST's wildcards (RFC 3501 6.3.8): "*" matches anything, "%" anything but the hierarchy
// delimiter, in any combination ("*/%" matches "a/b/c"). Names compare without regard to case, as the
// store looks them up. The name positions the pattern so far can reach are carried one pattern
// character at a time, so no combination of wildcards costs more than pattern times name.
bool Matches(std::string_view pattern, std::string_view name) {
    std::vector<bool> reach(name.size() + 1, false);
    reach[0] = true;
    for (const char c : pattern) {
        std::vector<bool> next(name.size() + 1, false);
        for (std::size_t n = 0; n <= name.size(); ++n) {
            if (!reach[n]) continue;
            if (c == '*') {
                std::fill(next.begin() + static_cast<std::ptrdiff_t>(n), next.end(), true);
                break;
            }
            if (c == '%') {
                for (std::size_t m = n; !next[m]; ++m) {
                    next[m] = true;
                    if (m == name.size() || name[m] == '/') break;
                }
            } else if (n < name.size() && FoldAscii(c) == FoldAscii(name[n])) {
                next[n + 1] = true;
            }
        }
        reach = std::move(next);
    }
    return reach[name.size()];
}

// The levels above a name, nearest the top first: "a", "a/b" for "a/b/c".
std::vector<std::string_view> Ancestors(std::string_view name) {
    std::vector<std::string_view> levels;
    for (std::size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
        levels.push_back(name.substr(0, slash));
    }
    return levels;
}

// The names that have a child among `names`, in lower case.
std::unordered_set<std::string> Parents(const std::vector<std::string>& names) {
    std::unordered_set<std::string> parents;
    for (const std::string& name : names) {
        for (const std::string_view level : Ancestors(name)) parents.insert(ToLowerAscii(level));
    }
    return parents;
}

// CREATE's parameters (RFC 4466), of which only USE (RFC 6154) is known: "(USE (\\Sent))". The
// attributes as the client wrote them; nullopt when the parameters are malformed.
std::optional<std::vector<std::string>> SpecialUseParameter(const Argument& parameters) {
    if (parameters.kind != ArgumentKind::List || parameters.items.size() != 2) return std::nullopt;
    const Argument& word = parameters.items[0];
    const Argument& uses = parameters.items[1];
    if (word.kind != ArgumentKind::Atom || !EqualsNoCase(word.text, "USE") || uses.kind != ArgumentKind::List) return std::nullopt;
    std::vector<std::string> attributes;
    for (const Argument& use : uses.items) {
        if (use.kind != ArgumentKind::Atom || !use.text.starts_with('\\') || use.text.size() < 2) return std::nullopt;
        attributes.push_back(use.text);
    }
    return attributes;
}

// LIST's lines: every folder carries \\HasChildren or \\HasNoChildren (RFC 3348), the inbox the
// latter (it holds no folders); the public prefix is \\Noselect; a folder of the user's own may add
// its special use.
std::vector<std::string> ListLines(std::string_view pattern, const ImapStore& store) {
    std::vector<std::string> lines;
    const std::vector<std::string> names = store.FolderNames();
    const std::unordered_set<std::string> parents = Parents(names);
    const std::string prefixRoot = store.PublicPrefix().substr(0, store.PublicPrefix().size() - 1);
    for (const std::string& name : names) {
        if (!Matches(pattern, name)) continue;
        const bool inbox = name == "INBOX";
        std::string attributes = EqualsNoCase(name, prefixRoot) ? "\\Noselect " : "";
        attributes += !inbox && parents.contains(ToLowerAscii(name)) ? "\\HasChildren" : "\\HasNoChildren";
        if (const std::string use = store.SpecialUse(name); !use.empty()) attributes += " " + use;
        lines.push_back("LIST (" + attributes + ") \"/\" " + (inbox ? ImapString("Inbox") : ImapMailboxName(name)));
    }
    return lines;
}

// LSUB's lines, names as the client subscribed them. A level above a subscribed name that is not
// subscribed itself is answered \\Noselect where the pattern's final "%" stops at it (RFC 3501
// 6.3.9: with only "a/b" subscribed, "%" gives "a"), so that a client walking the tree level by level
// finds the way down.
std::vector<std::string> LsubLines(std::string_view pattern, const std::vector<std::string>& subscribed, const ImapStore& store) {
    std::unordered_set<std::string> subscribedNames;
    for (const std::string& raw : subscribed) {
        if (const DecodedMailboxName name = DecodeModifiedUtf7(raw); name.Ok()) subscribedNames.insert(ToLowerAscii(name.name));
    }
    std::vector<std::string> lines;
    std::unordered_set<std::string> shown;
    for (const std::string& raw : subscribed) {
        const DecodedMailboxName name = DecodeModifiedUtf7(raw);
        if (!name.Ok()) continue;
        if (Matches(pattern, name.name)) {
            if (!shown.insert(ToLowerAscii(name.name)).second) continue;
            std::string ignored;
            const bool selectable = EqualsNoCase(name.name, "INBOX") || store.FindFolder(name.name, ignored).has_value();
            lines.push_back(std::string("LSUB ") + (selectable ? "() " : "(\\Noselect) ") + "\"/\" " + ImapString(raw));
            continue;
        }
        if (!pattern.ends_with('%')) continue;
        // "/" never stands inside a modified UTF-7 run, so the raw levels are the decoded ones.
        for (const std::string_view level : Ancestors(raw)) {
            const DecodedMailboxName above = DecodeModifiedUtf7(level);
            const std::string key = ToLowerAscii(above.name);
            if (!above.Ok() || subscribedNames.contains(key) || !Matches(pattern, above.name) || !shown.insert(key).second) continue;
            lines.push_back("LSUB (\\Noselect) \"/\" " + ImapString(level));
        }
    }
    return lines;
}

// RENAME's checks of the new name, shared by the inbox and other folders; false with the reply set.
bool RenameTargetAllowed(CommandContext& context, std::string_view to) {
    std::string diagnostic;
    if (EqualsNoCase(to, "INBOX") || context.store.FindFolder(to, diagnostic)) {
        context.No("This folder already exists");
    } else if (StartsWithNoCase(std::string(to) + "/", context.store.PublicPrefix())) {
        context.No("You may not create folders there");
    } else if (StartsWithNoCase(to, "INBOX/")) {
        context.No("[CANNOT] The inbox can not hold folders");
    } else if (to.starts_with('#')) {
        context.No("You may not create a top-level folder with a name starting with '#'");
    } else {
        return true;
    }
    return false;
}

// LIST and LSUB.
void ListOrLsub(CommandContext& context, bool lsub) {
    const Command& command = context.command;
    const std::string combined = command.arguments[0].text + command.arguments[1].text;
    if (combined.size() > kMaxMailboxNameBytes) return context.No("Combined folder path is too long");
    const DecodedMailboxName pattern = DecodeModifiedUtf7(combined);
    if (!pattern.Ok()) return context.replies.SetDiagnostic(pattern.diagnostic, pattern.bad);
    if (!lsub && command.arguments[1].text.empty()) {
        context.Untagged("LIST (\\Noselect) \"/\" \"\"");
        return context.SetReply("OK LIST completed");
    }
    const ImapStore& store = context.store;
    const std::vector<std::string> lines =
        lsub ? LsubLines(pattern.name, Subscriptions(context.session.userDirectory).Names(), store) : ListLines(pattern.name, store);
    for (const std::string& line : lines) context.Untagged(line);
    context.SetReply(lsub ? "OK LSUB completed" : "OK LIST completed");
}

}  // namespace

void Create(CommandContext& context) {
    const Command& command = context.command;
    if (context.session.readOnly) return context.No("Your account is marked read-only.  You may not create anything.");
    auto name = MailboxName(context.replies, command.arguments[0]);
    if (!name) return;
    if (name->back() == '/') name->pop_back();
    std::string_view specialUse;
    if (command.arguments.size() > 1) {
        const auto attributes = SpecialUseParameter(command.arguments[1]);
        if (!attributes) return context.Bad("Invalid CREATE parameters");
        for (const std::string& attribute : *attributes) {
            if (ImapStore::SupportedSpecialUse(attribute).empty()) return context.No("[USEATTR] " + attribute + " is not supported");
        }
        // A folder has one use: the store keeps one, and LIST would otherwise show what it can not keep.
        if (attributes->size() > 1) return context.No("[USEATTR] Only one special-use attribute per folder is supported");
        if (!attributes->empty()) specialUse = ImapStore::SupportedSpecialUse(attributes->front());
    }
    if (EqualsNoCase(*name, "INBOX")) return context.No("You may not create \"Inbox\".  This is an IMAP restriction.");
    if (name->starts_with('#')) return context.No("You may not create a top-level folder with a name starting with '#'");
    // The store's inbox holds no folders, and a folder of the user's own named "INBOX" would be one
    // no client could ever reach again.
    if (StartsWithNoCase(*name, "INBOX/")) return context.No("[CANNOT] The inbox can not hold folders");
    std::string diagnostic;
    if (StartsWithNoCase(*name + "/", context.store.PublicPrefix())) return context.No("You may not create folders there");
    if (context.store.FindFolder(*name, diagnostic)) return context.No("This folder already exists");
    diagnostic.clear();
    if (!context.store.CreateFolder(*name, diagnostic, specialUse)) return context.No(diagnostic);
    ImapLog('I', "Created folder:  \"" + *name + "\"" + (specialUse.empty() ? "" : " as " + std::string(specialUse)));
    context.SetReply("OK CREATE completed");
}

void Delete(CommandContext& context) {
    const Command& command = context.command;
    if (context.session.readOnly) return context.No("Your account is marked read-only.  You may not delete anything.");
    const auto name = MailboxName(context.replies, command.arguments[0]);
    if (!name) return;
    if (EqualsNoCase(*name, "INBOX")) return context.No("You may not delete \"Inbox\".  This is an IMAP restriction.");
    std::string diagnostic;
    const auto folder = context.store.FindFolder(*name, diagnostic);
    if (!folder) return context.No(diagnostic);
    if (folder->isPublic) return context.No("The specified folder is marked read-only.  You may not delete anything in it.");
    if (context.mailbox.IsFolder(folder->name)) return context.No("You may not delete the currently selected folder");
    if (!context.store.DeleteFolder(*folder, diagnostic)) return context.No(diagnostic);
    ImapLog('I', "Deleted folder:  \"" + *name + "\"");
    Subscriptions(context.session.userDirectory).Carry(folder->name, std::nullopt);
    context.SetReply("OK DELETE completed");
}

void Rename(CommandContext& context) {
    const Command& command = context.command;
    if (context.session.readOnly) return context.No("Your account is marked read-only.  You may not rename anything.");
    if (command.arguments[1].text.empty()) return context.Bad("You may not give a folder an empty name");
    const auto from = MailboxName(context.replies, command.arguments[0]);
    if (!from) return;
    auto to = MailboxName(context.replies, command.arguments[1]);
    if (!to) return;
    if (to->back() == '/') to->pop_back();
    if (context.mailbox.IsFolder(*from)) return context.No("You may not rename the currently selected folder");
    // The selected folder's session keeps its place in the store: it may not move under it.
    if (context.mailbox.folder && StartsWithNoCase(context.mailbox.folder->name, *from + "/")) return context.No("You may not move the folder that holds the selected folder");
    if (!RenameTargetAllowed(context, *to)) return;
    std::string diagnostic;
    if (EqualsNoCase(*from, "INBOX")) {
        if (!context.store.MoveInbox(*to, diagnostic)) return context.No(diagnostic);
        return context.SetReply("OK Inbox contents moved to new folder");
    }
    const auto folder = context.store.FindFolder(*from, diagnostic);
    if (!folder) return context.No(diagnostic);
    if (folder->isPublic) return context.No("The specified folder is marked read-only.  You may not rename it.");
    if (StartsWithNoCase(*to, folder->name + "/")) return context.No("[CANNOT] A folder can not be moved into itself");
    if (!context.store.RenameFolder(*folder, *to, diagnostic)) return context.No(diagnostic);
    ImapLog('I', "Renamed folder:  \"" + folder->name + "\" to \"" + *to + "\"");
    std::string_view written = command.arguments[1].text;  // as the client wrote it, for its subscriptions
    if (written.ends_with('/')) written.remove_suffix(1);
    Subscriptions(context.session.userDirectory).Carry(folder->name, written);
    context.SetReply("OK Folder renamed");
}

void List(CommandContext& context) { ListOrLsub(context, false); }
void Lsub(CommandContext& context) { ListOrLsub(context, true); }

void Status(CommandContext& context) {
    const Command& command = context.command;
    const auto name = MailboxName(context.replies, command.arguments[0]);
    if (!name) return;
    std::string diagnostic;
    const auto folder = context.store.FindFolder(*name, diagnostic);
    if (!folder) return context.No("No such mailbox");
    if (!folder->Has('r')) return context.No("Cannot provide status for a non-selectable mailbox");
    // Written in upper case: the grammar ignores case, but clients are tested against upper case,
    // and some read lower-case names as nothing at all.
    static constexpr std::string_view kItems[] = {"MESSAGES", "RECENT", "UIDNEXT", "UIDVALIDITY", "UNSEEN", "APPENDLIMIT"};
    for (const Argument& item : command.arguments[1].items) {
        if (item.kind == ArgumentKind::List || std::find(std::begin(kItems), std::end(kItems), ToUpperAscii(item.text)) == std::end(kItems)) {
            return context.Bad("Invalid STATUS item:  " + item.text.substr(0, 40));
        }
    }
    MessageVector vector;
    try {
        vector = context.store.BuildVector(*folder);
    } catch (const ComError& error) {
        return context.No(std::string("The folder can not be read: ") + error.what());
    }
    // RECENT counts what a SELECT now would show as recent, without taking it.
    vector.MarkRecent(context.store.RecentMark(*folder));
    std::uint64_t unseen = 0;
    for (const MessageEntry& entry : vector.messages) unseen += (entry.flags & kFlagSeen) ? 0 : 1;
    std::string values;
    for (const Argument& item : command.arguments[1].items) {
        const std::string key = ToUpperAscii(item.text);
        const std::uint64_t value = key == "MESSAGES" ? vector.messages.size()
                                    : key == "RECENT" ? vector.recent
                                    : key == "UIDNEXT" ? vector.uidNext
                                    : key == "UIDVALIDITY" ? vector.uidValidity
                                    : key == "APPENDLIMIT" ? ImapMaxMessageBytes()
                                                           : unseen;
        if (!values.empty()) values += ' ';
        values += key + " " + std::to_string(value);
    }
    context.Untagged("STATUS " + ImapString(command.arguments[0].text) + " (" + values + ")");
    context.SetReply("OK STATUS completed");
}

}  // namespace pw::imap::commands
