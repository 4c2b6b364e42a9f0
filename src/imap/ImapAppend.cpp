// ImapSession: APPEND -- the message literal streamed into a staged envelope of the target folder,
// published with its flags and date only when the whole command was good.
#include "imap/ImapSession.h"

#include "imap/ImapDates.h"
#include "imap/ImapLimits.h"
#include "imap/ModifiedUtf7.h"
#include "platform/Text.h"
#include "store/Envelopes.h"

namespace pw::imap {

LiteralSink::Verdict AppendStaging::Open(const Command& command, std::uint64_t length, std::string& refusal) {
    Reset();
    ImapSession& session = session_;
    if (session.state_ != SessionState::Authenticated && session.state_ != SessionState::Selected) {
        refusal = "Command invalid in current context:  \"APPEND\"";  // nothing is staged before login
        return Verdict::Refuse;
    }
    if (session.readOnly_) {
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
    folder = session.store_.FindFolder(name.name, diagnostic);
    if (!folder) {
        refusal = "[TRYCREATE] No such folder";
        return Verdict::Refuse;
    }
    if (session.selected_ && session.selectedReadOnly_ && EqualsNoCase(session.selected_->name, folder->name)) {
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

void ImapSession::Append(const Command& command) {
    const std::vector<Argument>& arguments = command.arguments;
    std::size_t next = 1;
    StoredFlags flags;
    std::string diagnostic;
    if (next < arguments.size() && arguments[next].kind == ArgumentKind::List) {
        const auto parsed = ParseFlags(arguments[next].items, diagnostic);
        if (!parsed) return Bad(diagnostic);
        flags.bits = static_cast<std::uint16_t>(parsed->bits & kStorableFlags);
        flags.keywords = parsed->keywords;
        ++next;
    }
    Date received = Now();
    if (next + 1 < arguments.size()) {
        if (arguments[next].kind != ArgumentKind::Quoted) return Bad("Invalid argument to APPEND where date-time expected");
        const auto date = ParseDateTime(arguments[next].text);
        if (!date) return Bad("Invalid date-time argument to APPEND");
        received = *date;
        ++next;
    }
    if (next >= arguments.size() || !arguments[next].streamed) return Bad("Invalid argument to APPEND where message expected");
    if (next + 1 < arguments.size()) return Bad("Too many arguments to APPEND");
    if (!staging_.envelope) return No("APPEND missing message argument");
    if (!staging_.failure.empty()) return No(staging_.failure);
    staging_.content.reset();
    // Only the flags the folder lets this user keep: an APPEND must not store \Deleted where its user
    // may not delete.
    flags = ImapStore::AllowedFlags(*staging_.folder, std::move(flags));
    const auto uid = store_.PublishAppended(*staging_.folder, *staging_.envelope, flags, received, diagnostic);
    if (!uid) return No(diagnostic);
    const std::uint32_t validity = store_.UidValidity(*staging_.folder);
    staging_.envelope.reset();
    if (storeCapabilities_ & kStoreCapabilityUidPlus) {
        return SetReply(Format("OK [APPENDUID %lu %lu] APPEND completed", {std::uint64_t{validity}, std::uint64_t{*uid}}));
    }
    SetReply("OK APPEND completed");
}

}  // namespace pw::imap
