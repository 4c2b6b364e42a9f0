// SELECT, EXAMINE, SUBSCRIBE and UNSUBSCRIBE, and the mailbox name arguments of every command.
#include "imap/ImapCommands.h"

#include <algorithm>

#include "imap/ImapStore.h"
#include "imap/ModifiedUtf7.h"
#include "imap/SelectedMailbox.h"
#include "imap/Subscriptions.h"
#include "platform/Text.h"

namespace pw::imap {

std::optional<std::string> MailboxName(Replies& replies, const Argument& argument) {
    // Raw 8-bit bytes are not a name: stored as they came they are no UTF-8, and the folder could
    // never be named again. Modified UTF-7 is the way to write other characters.
    if (std::any_of(argument.text.begin(), argument.text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        replies.Bad("Mailbox names are written in modified UTF-7, not in 8-bit bytes");
        return std::nullopt;
    }
    const DecodedMailboxName decoded = DecodeModifiedUtf7(argument.text);
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

// SELECT and EXAMINE: the folder's messages become the session's view.
void Open(CommandContext& context, bool examine) {
    SelectedMailbox& mailbox = context.mailbox;
    MessageVector& view = mailbox.view;
    mailbox.Close(false);
    context.session.state = SessionState::Authenticated;
    const auto name = MailboxName(context.replies, context.command.arguments[0]);
    if (!name) return;
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
    const std::uint32_t highest = view.messages.empty() ? 0 : view.messages.back().uid;
    view.MarkRecent(mailbox.readOnly ? context.store.RecentMark(*folder) : context.store.ClaimRecent(*folder, highest));
    view.permanentFlags = mailbox.readOnly ? 0 : static_cast<std::uint16_t>(view.permanentFlags & kStorableFlags);
    view.permanentKeywords = view.permanentKeywords && !mailbox.readOnly;

    context.Untagged(Format("%lu EXISTS", {std::uint64_t{view.messages.size()}}));
    context.Untagged(Format("%lu RECENT", {std::uint64_t{view.recent}}));
    if (view.firstUnseen != 0) {
        context.Untagged(Format("OK [UNSEEN %lu] Message %lu is first unread", {std::uint64_t{view.firstUnseen}, std::uint64_t{view.firstUnseen}}));
    }
    context.Untagged(Format("OK [UIDNEXT %lu] Predicted next message UID", {std::uint64_t{view.uidNext}}));
    context.Untagged(Format("OK [UIDVALIDITY %lu] UID validity status", {std::uint64_t{view.uidValidity}}));
    for (const Keywords& set : view.keywordSets) view.knownKeywords = WithKeywords(std::move(view.knownKeywords), set);
    mailbox.SendFlagLines();

    ImapLog('I', Format(examine ? "Examined:  \"%s\"" : "Selected:  \"%s\"", {std::string_view(folder->name)}));
    mailbox.folder = std::move(folder);
    context.session.state = SessionState::Selected;
    context.SetReply(examine ? "OK [READ-ONLY] EXAMINE completed"
                     : mailbox.readOnly ? "OK [READ-ONLY] SELECT completed" : "OK [READ-WRITE] SELECT completed");
}

// SUBSCRIBE and UNSUBSCRIBE.
void ChangeSubscription(CommandContext& context, bool subscribe) {
    const Command& command = context.command;
    const Subscriptions subscriptions(context.session.userDirectory);
    if (!MailboxName(context.replies, command.arguments[0])) return;
    const std::string& name = command.arguments[0].text;  // kept as the client wrote it
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
