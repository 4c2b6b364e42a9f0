// APPEND -- the message literal streamed into a staged envelope of the target folder,
// published with its flags and date only when the whole command was good.
#include "imap/AppendStaging.h"
#include "imap/ImapCommands.h"

#include "imap/ImapDates.h"
#include "imap/ImapLimits.h"
#include "imap/ModifiedUtf7.h"
#include "platform/Text.h"
#include "store/Envelopes.h"

namespace pw::imap {

LiteralSink::Verdict AppendStaging::Open(const Command& command, std::uint64_t length, std::string& refusal) {
    Reset();
    if (!session_.LoggedIn()) {
        refusal = "Command invalid in current context:  \"APPEND\"";  // nothing is staged before login
        return Verdict::Refuse;
    }
    if (session_.readOnly) {
        refusal = "Your account is marked read-only.  You may not create messages.";
        return Verdict::Refuse;
    }
    if (length > ImapMaxMessageBytes()) {
        refusal = "[TOOBIG] Message too large";
        return length > kMaxSkippedLiteral ? Verdict::RefuseAndClose : Verdict::Refuse;
    }
    const DecodedMailboxName name = DecodeModifiedUtf7(command.arguments[0].text);
    std::string diagnostic;
    if (!name.Ok() || (!EqualsNoCase(name.name, "INBOX") && !ImapStore::CheckName(name.name, diagnostic))) {
        refusal = name.Ok() ? diagnostic : name.diagnostic;
        return Verdict::Refuse;
    }
    folder = store_.FindFolder(name.name, diagnostic);
    if (!folder) {
        refusal = "[TRYCREATE] No such folder";
        return Verdict::Refuse;
    }
    if (mailbox_.readOnly && mailbox_.IsFolder(folder->name)) {
        refusal = "The specified folder is marked read-only.  You may not add messages to it.";
        return Verdict::Refuse;
    }
    if (!folder->Has('i')) {
        refusal = "You may not add messages to this folder";
        return Verdict::Refuse;
    }
    try {
        envelope = folder->folder->GetEnvelopes()->Add();
        content = envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
    } catch (const ComError& error) {
        Reset();
        refusal = std::string("The message could not be stored: ") + error.what();
        return Verdict::Refuse;
    }
    return Verdict::Accept;
}

void AppendStaging::Write(std::string_view bytes) {
    if (!content || !failure.empty()) return;
    if (const HRESULT hr = content->Write(bytes); Failed(hr)) failure = "The message could not be stored: " + HresultText(hr);
}

void AppendStaging::Reset() {
    content.reset();
    envelope.reset();  // never published: the store removes what it staged
    folder.reset();
    failure.clear();
}

}  // namespace pw::imap

namespace pw::imap::commands {

void Append(CommandContext& context) {
    const std::vector<Argument>& arguments = context.command.arguments;
    AppendStaging& staging = context.staging;
    std::size_t next = 1;
    StoredFlags flags;
    std::string diagnostic;
    if (next < arguments.size() && arguments[next].kind == ArgumentKind::List) {
        const auto parsed = ParseFlags(arguments[next].items, diagnostic);
        if (!parsed) return context.Bad(diagnostic);
        flags.bits = static_cast<std::uint16_t>(parsed->bits & kStorableFlags);
        flags.keywords = parsed->keywords;
        ++next;
    }
    Date received = Now();
    if (next + 1 < arguments.size()) {
        if (arguments[next].kind != ArgumentKind::Quoted) return context.Bad("Invalid argument to APPEND where date-time expected");
        const auto date = ParseDateTime(arguments[next].text);
        if (!date) return context.Bad("Invalid date-time argument to APPEND");
        received = *date;
        ++next;
    }
    if (next >= arguments.size() || !arguments[next].streamed) return context.Bad("Invalid argument to APPEND where message expected");
    if (next + 1 < arguments.size()) return context.Bad("Too many arguments to APPEND");
    if (!staging.envelope) return context.No("APPEND missing message argument");
    if (!staging.failure.empty()) return context.No(staging.failure);
    staging.content.reset();
    // Only the flags the folder lets this user keep: an APPEND must not store \Deleted where its user
    // may not delete.
    flags = ImapStore::AllowedFlags(*staging.folder, std::move(flags));
    const auto uid = context.store.PublishAppended(*staging.folder, *staging.envelope, flags, received, diagnostic);
    if (!uid) return context.No(diagnostic);
    const std::uint32_t validity = context.store.UidValidity(*staging.folder);
    staging.envelope.reset();
    if (context.session.storeCapabilities & kStoreCapabilityUidPlus) {
        return context.SetReply(Format("OK [APPENDUID %lu %lu] APPEND completed", {std::uint64_t{validity}, std::uint64_t{*uid}}));
    }
    context.SetReply("OK APPEND completed");
}

}  // namespace pw::imap::commands
