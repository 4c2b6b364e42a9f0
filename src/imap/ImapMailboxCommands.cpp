// SELECT, EXAMINE, SUBSCRIBE and UNSUBSCRIBE, and the mailbox name arguments of every command.
#include "imap/ImapCommands.h"

#include <algorithm>

#include "imap/ImapStore.h"
#include "imap/ModifiedUtf7.h"
#include "imap/SelectedMailbox.h"
#include "imap/Subscriptions.h"
#include "platform/Text.h"

namespace pw::imap {

std::optional<std::string> MailboxName(CommandContext& context, const Argument& argument) {
    Replies& replies = context.replies;
    // Raw 8-bit bytes are not a name unless the client said they are UTF-8: stored as they came they
    // may be no UTF-8, and the folder could never be named again.
    const bool utf8 = context.session.utf8Names;
    if (!utf8 && std::any_of(argument.text.begin(), argument.text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        replies.Bad("Mailbox names are written in modified UTF-7, not in 8-bit bytes");
        return std::nullopt;
    }
    const DecodedMailboxName decoded = DecodeMailboxName(argument.text, utf8);
    if (!decoded.Ok()) {
        if (!decoded.logLine.empty()) ImapLog('E', decoded.logLine);
        replies.SetDiagnostic(decoded.diagnostic, decoded.bad);
        return std::nullopt;
    }
    std::string diagnostic;
    if (!EqualsNoCase(decoded.name, "INBOX") && !ImapStore::CheckName(decoded.name, diagnostic)) {
        replies.Bad(diagnostic);
        return std::nullopt;
    }
    return decoded.name;
}

}  // namespace pw::imap

namespace pw::imap::commands {

namespace {

// SELECT's and EXAMINE's parameters: (CONDSTORE) and (QRESYNC (uidvalidity modseq [known-uids
// [(known-sequence-set known-uid-set)]])).
struct OpenOptions {
    bool condstore = false;
    bool qresync = false;
    std::uint32_t uidValidity = 0;
    std::uint64_t modseq = 0;
    std::optional<NumberRanges> knownUids;
};

// A set of a QRESYNC parameter: numbers only ("*" has no place in what a client knows).
std::optional<NumberRanges> KnownSet(const Argument& argument) {
    if (argument.kind != ArgumentKind::Atom || argument.text.find('*') != std::string::npos) return std::nullopt;
    return ParseNumberSet(argument.text, 0);
}

bool ParseOpenOptions(CommandContext& context, OpenOptions& options) {
    const auto& arguments = context.command.arguments;
    if (arguments.size() < 2) return true;
    if (arguments[1].kind != ArgumentKind::List || arguments.size() > 2) return context.Bad("SELECT parameters are one list"), false;
    const auto& items = arguments[1].items;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Argument& item = items[i];
        if (item.kind == ArgumentKind::Atom && EqualsNoCase(item.text, "CONDSTORE") && !options.condstore) {
            options.condstore = true;
            continue;
        }
        if (item.kind != ArgumentKind::Atom || !EqualsNoCase(item.text, "QRESYNC") || options.qresync) {
            return context.Bad("Unknown SELECT parameter"), false;
        }
        // Only for a client that said it understands VANISHED.
        if (!context.mailbox.qresync) return context.Bad("QRESYNC is not enabled"), false;
        if (i + 1 >= items.size() || items[i + 1].kind != ArgumentKind::List) return context.Bad("QRESYNC takes a list"), false;
        const auto& values = items[++i].items;
        if (values.size() < 2 || values.size() > 4 || values[0].kind != ArgumentKind::Atom || values[1].kind != ArgumentKind::Atom) {
            return context.Bad("QRESYNC takes (uidvalidity modseq [known-uids [seq-match]])"), false;
        }
        const auto validity = ParseModseq(values[0].text, false);
        const auto modseq = ParseModseq(values[1].text, false);
        if (!validity || *validity > 0xFFFFFFFFu || !modseq) return context.Bad("Invalid QRESYNC UIDVALIDITY or mod-sequence"), false;
        options.qresync = true;
        options.uidValidity = static_cast<std::uint32_t>(*validity);
        options.modseq = *modseq;
        if (values.size() > 2) {
            options.knownUids = KnownSet(values[2]);
            if (!options.knownUids) return context.Bad("Invalid QRESYNC known UIDs"), false;
            options.knownUids = Normalized(std::move(*options.knownUids));
        }
        // The sequence match only narrows down what to compare where removals are forgotten; it is
        // checked, and every known UID is compared instead.
        if (values.size() > 3) {
            const Argument& match = values[3];
            if (match.kind != ArgumentKind::List || match.items.size() != 2 || !KnownSet(match.items[0]) || !KnownSet(match.items[1])) {
                return context.Bad("Invalid QRESYNC sequence match data"), false;
            }
        }
    }
    return true;
}

// What changed since the client's last look: "VANISHED (EARLIER)" and each changed message's flags.
void Resynchronise(CommandContext& context, const OpenOptions& options) {
    SelectedMailbox& mailbox = context.mailbox;
    const MessageVector& view = mailbox.view;
    if (view.uidNext <= 1) return;
    const NumberRanges everything{{1, view.uidNext - 1}};
    const NumberRanges& known = options.knownUids ? *options.knownUids : everything;
    std::optional<NumberRanges> vanished;
    try {
        vanished = context.store.VanishedSince(*mailbox.folder, options.modseq);
    } catch (const ComError& error) {
        ImapLog('E', std::string("SelectFolder:  ") + error.what());
    }
    NumberRanges candidates;
    if (!vanished) {
        // The index no longer knows that far back: every known UID that is not here is gone.
        candidates = known;
    } else {
        for (const auto& [low, high] : *vanished) {
            for (const auto& [knownLow, knownHigh] : known) {
                const std::uint32_t first = std::max(low, knownLow);
                const std::uint32_t last = std::min(high, knownHigh);
                if (first <= last) candidates.emplace_back(first, last);
            }
        }
        candidates = Normalized(std::move(candidates));
    }
    // The view is what the client is told of: a UID it still holds is not gone, whatever the index
    // learnt since the listing.
    if (const std::string gone = MissingUids(candidates, view); !gone.empty()) context.Untagged("VANISHED (EARLIER) " + gone);
    for (std::size_t i = 0; i < view.Count(); ++i) {
        if (view.Modseq(i) > options.modseq) mailbox.SendFlags(i);
    }
}

// SELECT and EXAMINE: the folder's messages become the session's view.
void Open(CommandContext& context, bool examine) {
    SelectedMailbox& mailbox = context.mailbox;
    MessageVector& view = mailbox.view;
    mailbox.Close(false);
    context.session.state = SessionState::Authenticated;
    const auto name = MailboxName(context, context.command.arguments[0]);
    if (!name) return;
    OpenOptions options;
    if (!ParseOpenOptions(context, options)) return;
    if (options.condstore) mailbox.EnableCondstore();
    std::string diagnostic;
    auto folder = context.store.FindFolder(*name, diagnostic);
    if (!folder) return context.No(diagnostic);
    // A folder listed but not readable (the learning folders, which take COPY) opens read-only and
    // empty: clients that open every folder LIST shows must be able to open this one too.
    const bool readable = folder->Has('r');
    try {
        mailbox.stamp = context.store.Stamp(*folder);  // before the listing, so that nothing after it goes unseen
        if (readable) {
            view = context.store.BuildVector(*folder);
            if (view.partial) mailbox.stamp = 0;  // look again after this command
        } else {
            view = MessageVector{};
            view.uidValidity = context.store.UidValidity(*folder);
        }
    } catch (const ComError& error) {
        ImapLog('E', std::string("SelectFolder:  ") + error.what());
        return context.No("The folder can not be read");
    }
    mailbox.readOnly = examine || folder->readOnly || !readable;
    // EXAMINE shows what is recent without taking it from the next session that selects the folder.
    const std::uint32_t highest = view.LastUid();
    view.MarkRecent(mailbox.readOnly ? context.store.RecentMark(*folder) : context.store.ClaimRecent(*folder, highest));
    view.permanentFlags = mailbox.readOnly ? 0 : static_cast<std::uint16_t>(view.permanentFlags & kStorableFlags);
    view.permanentKeywords = view.permanentKeywords && !mailbox.readOnly;

    context.Untagged(Format("%lu EXISTS", {std::uint64_t{view.Count()}}));
    context.Untagged(Format("%lu RECENT", {std::uint64_t{view.recent}}));
    if (view.firstUnseen != 0) {
        context.Untagged(Format("OK [UNSEEN %lu] Message %lu is first unread", {std::uint64_t{view.firstUnseen}, std::uint64_t{view.firstUnseen}}));
    }
    context.Untagged(Format("OK [UIDNEXT %lu] Predicted next message UID", {std::uint64_t{view.uidNext}}));
    context.Untagged(Format("OK [UIDVALIDITY %lu] UID validity status", {std::uint64_t{view.uidValidity}}));
    if (const std::string id = context.store.MailboxId(*folder); !id.empty()) context.Untagged("OK [MAILBOXID (" + id + ")] Ok");
    for (const Keywords& set : view.Table()->keywords.sets) view.knownKeywords = WithKeywords(std::move(view.knownKeywords), set);
    mailbox.SendFlagLines();
    if (mailbox.condstore) mailbox.SendHighestModseq();

    ImapLog('I', Format(examine ? "Examined:  \"%s\"" : "Selected:  \"%s\"", {std::string_view(folder->name)}));
    mailbox.folder = std::move(folder);
    context.session.state = SessionState::Selected;
    // A folder made again since (another UID validity) is new to the client: nothing to compare.
    if (options.qresync && readable && options.uidValidity == view.uidValidity) Resynchronise(context, options);
    context.SetReply(examine ? "OK [READ-ONLY] EXAMINE completed"
                     : mailbox.readOnly ? "OK [READ-ONLY] SELECT completed" : "OK [READ-WRITE] SELECT completed");
}

// SUBSCRIBE and UNSUBSCRIBE.
void ChangeSubscription(CommandContext& context, bool subscribe) {
    const Command& command = context.command;
    const Subscriptions subscriptions(context.session.userDirectory);
    const auto decoded = MailboxName(context, command.arguments[0]);
    if (!decoded) return;
    // Kept as the client wrote it; a UTF-8 name in modified UTF-7, as every session reads the file.
    const std::string name = context.session.utf8Names ? EncodeModifiedUtf7(*decoded) : command.arguments[0].text;
    std::vector<std::string> names = subscriptions.Names();
    const auto known = std::find_if(names.begin(), names.end(), [&](const std::string& n) { return EqualsNoCase(n, name); });
    // Asking for what already holds is no failure (RFC 3501 lets either side answer OK): clients that
    // sync subscriptions send it and take a NO for a fault.
    if (subscribe == (known != names.end())) return context.SetReply(subscribe ? "OK SUBSCRIBE completed" : "OK UNSUBSCRIBE completed");
    if (subscribe) {
        names.push_back(name);
    } else {
        names.erase(known);
    }
    if (!subscriptions.Write(names)) return context.No("Subscriptions could not be saved");
    context.SetReply(subscribe ? "OK SUBSCRIBE completed" : "OK UNSUBSCRIBE completed");
}

}  // namespace

void Select(CommandContext& context) { Open(context, false); }
void Examine(CommandContext& context) { Open(context, true); }
void Subscribe(CommandContext& context) { ChangeSubscription(context, true); }
void Unsubscribe(CommandContext& context) { ChangeSubscription(context, false); }

}  // namespace pw::imap::commands
