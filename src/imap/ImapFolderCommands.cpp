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

// STATUS's items. Written in upper case: the grammar ignores case, but clients are tested against
// upper case, and some read lower-case names as nothing at all.
constexpr std::string_view kStatusItems[] = {"MESSAGES", "RECENT", "UIDNEXT", "UIDVALIDITY", "UNSEEN", "APPENDLIMIT", "SIZE", "DELETED", "DELETED-STORAGE", "HIGHESTMODSEQ", "MAILBOXID"};

bool StatusItemsValid(CommandContext& context, const std::vector<Argument>& items) {
    for (const Argument& item : items) {
        if (item.kind == ArgumentKind::List || std::find(std::begin(kStatusItems), std::end(kStatusItems), ToUpperAscii(item.text)) == std::end(kStatusItems)) {
            return context.Bad("Invalid STATUS item:  " + item.text.substr(0, 40)), false;
        }
    }
    return true;
}

// "(MESSAGES 3 UNSEEN 1)" for a readable folder and valid items (STATUS, and LIST's RETURN (STATUS));
// nullopt with the reply set when the folder can not be read.
std::optional<std::string> StatusLine(CommandContext& context, const FolderRecord& folder, const std::vector<Argument>& items) {
    MessageVector vector;
    try {
        vector = context.store.BuildVector(folder);
    } catch (const ComError& error) {
        context.No(std::string("The folder can not be read: ") + error.what());
        return std::nullopt;
    }
    // RECENT counts what a SELECT now would show as recent, without taking it.
    vector.MarkRecent(context.store.RecentMark(folder));
    std::uint64_t unseen = 0;
    std::uint64_t size = 0;  // RFC 8438: the messages' RFC822.SIZE added up
    std::uint64_t deleted = 0;
    std::uint64_t deletedBytes = 0;  // what EXPUNGE would give back to the quota (RFC 9208)
    for (std::size_t i = 0; i < vector.Count(); ++i) {
        const MessageEntry entry = vector.Entry(i);
        unseen += (entry.flags & kFlagSeen) ? 0 : 1;
        size += entry.size;
        deleted += (entry.flags & kFlagDeleted) ? 1 : 0;
        deletedBytes += (entry.flags & kFlagDeleted) ? entry.size : 0;
    }
    std::string values;
    for (const Argument& item : items) {
        const std::string key = ToUpperAscii(item.text);
        if (key == "HIGHESTMODSEQ") context.mailbox.EnableCondstore();
        if (!values.empty()) values += ' ';
        if (key == "MAILBOXID") {
            values += "MAILBOXID (" + context.store.MailboxId(folder) + ")";
            continue;
        }
        const std::uint64_t value = key == "MESSAGES" ? vector.Count()
                                    : key == "RECENT" ? vector.recent
                                    : key == "UIDNEXT" ? vector.uidNext
                                    : key == "UIDVALIDITY" ? vector.uidValidity
                                    : key == "APPENDLIMIT" ? ImapMaxMessageBytes()
                                    : key == "SIZE" ? size
                                    : key == "DELETED" ? deleted
                                    : key == "DELETED-STORAGE" ? (deletedBytes + 1023) / 1024
                                    : key == "HIGHESTMODSEQ" ? vector.highestModseq
                                                    : unseen;
        values += key + " " + std::to_string(value);
    }
    return "(" + values + ")";
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

// What LIST was asked for beyond RFC 3501's two arguments: RFC 5258's selection and return options
// (SUBSCRIBED, RECURSIVEMATCH, REMOTE, CHILDREN), several patterns, RFC 6154's SPECIAL-USE and
// RFC 5819's STATUS. CHILDREN and the special uses are always shown, asked for or not.
struct ListRequest {
    std::vector<std::string> patterns;  // reference and pattern joined, decoded
    bool extended = false;              // selection options or several patterns were given
    bool subscribedOnly = false;
    bool recursiveMatch = false;
    bool specialUseOnly = false;
    bool returnSubscribed = false;
    const std::vector<Argument>* statusItems = nullptr;
    bool utf8Names = false;  // names go out in UTF-8 (ENABLE UTF8=ACCEPT)
};

// One folder or subscribed name LIST may show.
struct ListCandidate {
    std::string name;         // UTF-8; "INBOX" for the inbox
    bool exists = true;
    bool subscribed = false;
    bool childSubscribed = false;  // some level below it is subscribed
};

std::string ListName(std::string_view name, bool utf8Names) { return name == "INBOX" ? ImapString("Inbox") : ImapMailboxName(name, utf8Names); }

// The folders and subscribed names the request selects, in the store's order, names that exist no
// more after them.
std::vector<ListCandidate> ListCandidates(const ListRequest& request, const ImapStore& store, const std::vector<std::string>& names,
                                          const std::vector<std::string>& subscribed) {
    std::unordered_set<std::string> subscribedKeys;
    std::unordered_set<std::string> aboveSubscribed;
    std::vector<std::string> missingKeys;
    std::vector<std::string> missing;
    std::unordered_set<std::string> existing;
    for (const std::string& name : names) existing.insert(ToLowerAscii(name));
    for (const std::string& raw : subscribed) {
        const DecodedMailboxName decoded = DecodeModifiedUtf7(raw);
        if (!decoded.Ok()) continue;
        const std::string name = EqualsNoCase(decoded.name, "INBOX") ? "INBOX" : decoded.name;
        if (!subscribedKeys.insert(ToLowerAscii(name)).second) continue;
        // A level above a subscribed name that has no folder is listed as non-existent where
        // RECURSIVEMATCH asks why it was chosen (RFC 5258 3.5).
        for (const std::string_view level : Ancestors(name)) {
            if (aboveSubscribed.insert(ToLowerAscii(level)).second && !existing.contains(ToLowerAscii(level))) missingKeys.push_back(std::string(level));
        }
        if (!existing.contains(ToLowerAscii(name))) missingKeys.push_back(name);
    }
    std::unordered_set<std::string> seen;
    for (const std::string& name : missingKeys) {
        if (seen.insert(ToLowerAscii(name)).second) missing.push_back(name);
    }
    std::vector<ListCandidate> candidates;
    auto consider = [&](const std::string& name, bool exists) {
        const std::string key = ToLowerAscii(name);
        ListCandidate candidate{name, exists, subscribedKeys.contains(key), aboveSubscribed.contains(key)};
        if (std::none_of(request.patterns.begin(), request.patterns.end(), [&](const std::string& p) { return Matches(p, name); })) return;
        if (request.subscribedOnly && !candidate.subscribed && !(request.recursiveMatch && candidate.childSubscribed)) return;
        if (request.specialUseOnly && (!exists || store.SpecialUse(name).empty())) return;
        candidates.push_back(std::move(candidate));
    };
    for (const std::string& name : names) consider(name, true);
    // A subscribed name without its folder is shown only to those who select by subscription.
    if (request.subscribedOnly) {
        for (const std::string& name : missing) consider(name, false);
    }
    return candidates;
}

// LIST's lines: every folder carries \HasChildren or \HasNoChildren (RFC 3348), the inbox the
// latter (it holds no folders); the public prefix is \Noselect; a folder of the user's own may add
// its special use. A subscribed name without a folder is \NonExistent.
std::vector<std::pair<std::string, const ListCandidate*>> ListLines(const ListRequest& request, const ImapStore& store,
                                                                    const std::vector<ListCandidate>& candidates,
                                                                    const std::vector<std::string>& names) {
    std::vector<std::pair<std::string, const ListCandidate*>> lines;
    const std::unordered_set<std::string> parents = Parents(names);
    const std::string prefixRoot = store.PublicPrefix().substr(0, store.PublicPrefix().size() - 1);
    for (const ListCandidate& candidate : candidates) {
        const std::string& name = candidate.name;
        const bool inbox = name == "INBOX";
        std::string attributes = !candidate.exists ? "\\NonExistent " : EqualsNoCase(name, prefixRoot) ? "\\Noselect " : "";
        attributes += !inbox && parents.contains(ToLowerAscii(name)) ? "\\HasChildren" : "\\HasNoChildren";
        if (candidate.exists) {
            if (const std::string use = store.SpecialUse(name); !use.empty()) attributes += " " + use;
        }
        if (candidate.subscribed && (request.subscribedOnly || request.returnSubscribed)) attributes += " \\Subscribed";
        std::string line = "LIST (" + attributes + ") \"/\" " + ListName(name, request.utf8Names);
        // RFC 5258 3.5: why a name that is not subscribed itself was selected.
        if (request.recursiveMatch && candidate.childSubscribed) line += " (\"CHILDINFO\" (\"SUBSCRIBED\"))";
        lines.emplace_back(std::move(line), &candidate);
    }
    return lines;
}

// LSUB's lines, names as the client subscribed them (in UTF-8 for a client that enabled it; the file
// keeps modified UTF-7 for every session). A level above a subscribed name that is not
// subscribed itself is answered \\Noselect where the pattern's final "%" stops at it (RFC 3501
// 6.3.9: with only "a/b" subscribed, "%" gives "a"), so that a client walking the tree level by level
// finds the way down.
std::vector<std::string> LsubLines(std::string_view pattern, const std::vector<std::string>& subscribed, const ImapStore& store, bool utf8Names) {
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
            lines.push_back(std::string("LSUB ") + (selectable ? "() " : "(\\Noselect) ") + "\"/\" " + (utf8Names ? ImapUtf8String(name.name) : ImapString(raw)));
            continue;
        }
        if (!pattern.ends_with('%')) continue;
        // "/" never stands inside a modified UTF-7 run, so the raw levels are the decoded ones.
        for (const std::string_view level : Ancestors(raw)) {
            const DecodedMailboxName above = DecodeModifiedUtf7(level);
            const std::string key = ToLowerAscii(above.name);
            if (!above.Ok() || subscribedNames.contains(key) || !Matches(pattern, above.name) || !shown.insert(key).second) continue;
            lines.push_back("LSUB (\\Noselect) \"/\" " + (utf8Names ? ImapUtf8String(above.name) : ImapString(level)));
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

// A pattern of LIST or LSUB joined to its reference and decoded; nullopt with the reply set.
std::optional<std::string> ListPattern(CommandContext& context, std::string_view reference, std::string_view pattern) {
    const std::string combined = std::string(reference) + std::string(pattern);
    if (combined.size() > kMaxMailboxNameBytes) return context.No("Combined folder path is too long"), std::nullopt;
    DecodedMailboxName decoded = DecodeMailboxName(combined, context.session.utf8Names);
    if (!decoded.Ok()) return context.replies.SetDiagnostic(decoded.diagnostic, decoded.bad), std::nullopt;
    return std::move(decoded.name);
}

// LIST's arguments: "[(selection)] reference pattern-or-patterns [RETURN (options)]"; false with the
// reply set.
bool ParseListRequest(CommandContext& context, ListRequest& request) {
    const std::vector<Argument>& arguments = context.command.arguments;
    std::size_t at = 0;
    if (arguments[0].kind == ArgumentKind::List) {
        request.extended = true;
        bool base = false;
        for (const Argument& option : arguments[0].items) {
            const std::string name = option.kind == ArgumentKind::List ? std::string() : ToUpperAscii(option.text);
            if (name == "SUBSCRIBED") {
                request.subscribedOnly = base = true;
            } else if (name == "SPECIAL-USE") {
                request.specialUseOnly = true;
            } else if (name == "RECURSIVEMATCH") {
                request.recursiveMatch = true;
            } else if (name != "REMOTE") {  // there are no remote folders to add
                return context.Bad("Unknown LIST selection option:  " + option.text.substr(0, 40)), false;
            }
        }
        // RFC 5258 3.1: RECURSIVEMATCH alone would select nothing it could explain; the subscriptions
        // are the one selection whose children it explains.
        if (request.recursiveMatch && !base) return context.Bad("RECURSIVEMATCH needs the SUBSCRIBED selection option"), false;
        at = 1;
    }
    if (arguments.size() < at + 2) return context.Bad("LIST needs a reference and a pattern"), false;
    const Argument& reference = arguments[at];
    const Argument& patterns = arguments[at + 1];
    if (!reference.IsString()) return context.Bad("LIST reference should be a string"), false;
    std::vector<const Argument*> written;
    if (patterns.kind == ArgumentKind::List) {
        request.extended = true;
        if (patterns.items.empty()) return context.Bad("LIST pattern list is empty"), false;
        for (const Argument& pattern : patterns.items) written.push_back(&pattern);
    } else {
        written.push_back(&patterns);
    }
    for (const Argument* pattern : written) {
        if (!pattern->IsString()) return context.Bad("LIST pattern should be a string"), false;
        auto decoded = ListPattern(context, reference.text, pattern->text);
        if (!decoded) return false;
        request.patterns.push_back(std::move(*decoded));
    }
    at += 2;
    if (at == arguments.size()) return true;
    if (arguments.size() != at + 2 || !arguments[at].IsString() || !EqualsNoCase(arguments[at].text, "RETURN") ||
        arguments[at + 1].kind != ArgumentKind::List) {
        return context.Bad("LIST arguments after the pattern should be RETURN (options)"), false;
    }
    const std::vector<Argument>& options = arguments[at + 1].items;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const std::string name = options[i].kind == ArgumentKind::List ? std::string() : ToUpperAscii(options[i].text);
        if (name == "SUBSCRIBED") {
            request.returnSubscribed = true;
        } else if (name == "STATUS" && i + 1 < options.size() && options[i + 1].kind == ArgumentKind::List && !options[i + 1].items.empty()) {
            request.statusItems = &options[++i].items;
            if (!StatusItemsValid(context, *request.statusItems)) return false;
        } else if (name != "CHILDREN" && name != "SPECIAL-USE") {  // both always shown
            return context.Bad("Unknown LIST return option:  " + options[i].text.substr(0, 40)), false;
        }
    }
    return true;
}

void ListCommand(CommandContext& context) {
    ListRequest request;
    request.utf8Names = context.session.utf8Names;
    if (!ParseListRequest(context, request)) return;
    if (!request.extended && request.patterns.front().empty() && context.command.arguments[1].text.empty()) {
        context.Untagged("LIST (\\Noselect) \"/\" \"\"");
        return context.SetReply("OK LIST completed");
    }
    const ImapStore& store = context.store;
    const std::vector<std::string> names = store.FolderNames();
    std::vector<std::string> subscribed;
    if (request.subscribedOnly || request.returnSubscribed) subscribed = Subscriptions(context.session.userDirectory).Names();
    const std::vector<ListCandidate> candidates = ListCandidates(request, store, names, subscribed);
    const std::string prefixRoot = store.PublicPrefix().substr(0, store.PublicPrefix().size() - 1);
    for (const auto& [line, candidate] : ListLines(request, store, candidates, names)) {
        context.Untagged(line);
        if (request.statusItems == nullptr || !candidate->exists || EqualsNoCase(candidate->name, prefixRoot)) continue;
        // RFC 5819: a folder whose status can not be had is listed without it.
        std::string diagnostic;
        const auto folder = store.FindFolder(candidate->name, diagnostic);
        if (!folder || !folder->Has('r')) continue;
        if (const auto status = StatusLine(context, *folder, *request.statusItems)) context.Untagged("STATUS " + ListName(candidate->name, request.utf8Names) + " " + *status);
    }
    context.SetReply("OK LIST completed");
}

void LsubCommand(CommandContext& context) {
    const Command& command = context.command;
    const auto pattern = ListPattern(context, command.arguments[0].text, command.arguments[1].text);
    if (!pattern) return;
    for (const std::string& line : LsubLines(*pattern, Subscriptions(context.session.userDirectory).Names(), context.store, context.session.utf8Names)) context.Untagged(line);
    context.SetReply("OK LSUB completed");
}

}  // namespace

void Create(CommandContext& context) {
    const Command& command = context.command;
    if (context.session.readOnly) return context.No("Your account is marked read-only.  You may not create anything.");
    auto name = MailboxName(context, command.arguments[0]);
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
    // The new folder's id goes with the reply (RFC 8474), so a client need not ask for it.
    const auto created = context.store.FindFolder(*name, diagnostic);
    const std::string id = created ? context.store.MailboxId(*created) : std::string();
    context.SetReply(id.empty() ? "OK CREATE completed" : "OK [MAILBOXID (" + id + ")] CREATE completed");
}

void Delete(CommandContext& context) {
    const Command& command = context.command;
    if (context.session.readOnly) return context.No("Your account is marked read-only.  You may not delete anything.");
    const auto name = MailboxName(context, command.arguments[0]);
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
    const auto from = MailboxName(context, command.arguments[0]);
    if (!from) return;
    auto to = MailboxName(context, command.arguments[1]);
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

void List(CommandContext& context) { ListCommand(context); }
void Lsub(CommandContext& context) { LsubCommand(context); }

void Status(CommandContext& context) {
    const Command& command = context.command;
    const auto name = MailboxName(context, command.arguments[0]);
    if (!name) return;
    std::string diagnostic;
    const auto folder = context.store.FindFolder(*name, diagnostic);
    if (!folder) return context.No("No such mailbox");
    if (!folder->Has('r')) return context.No("Cannot provide status for a non-selectable mailbox");
    if (!StatusItemsValid(context, command.arguments[1].items)) return;
    const auto values = StatusLine(context, *folder, command.arguments[1].items);
    if (!values) return;
    context.Untagged("STATUS " + (context.session.utf8Names ? ImapUtf8String(command.arguments[0].text) : ImapString(command.arguments[0].text)) + " " + *values);
    context.SetReply("OK STATUS completed");
}

}  // namespace pw::imap::commands
