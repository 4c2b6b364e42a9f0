// APPEND -- each message literal streamed into a staged envelope of the target folder, all of them
// published with their flags and dates only when the whole command was good (MULTIAPPEND, RFC 3502:
// all or none).
#include "imap/AppendStaging.h"
#include "imap/ImapCommands.h"

#include <algorithm>

#include "imap/ImapDates.h"
#include "imap/ImapLimits.h"
#include "imap/ModifiedUtf7.h"
#include "platform/Text.h"
#include "store/Envelopes.h"

namespace pw::imap {

LiteralSink::Verdict AppendStaging::Open(const Command& command, std::uint64_t length, std::string& refusal) {
    const auto& arguments = command.arguments;
    const bool first = std::none_of(arguments.begin(), arguments.end(), [](const Argument& a) { return a.streamed; });
    if (first) Reset();
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
    if (messages.size() >= kMaxAppendMessages || stagedBytes + length > std::max(kMaxAppendBytes, ImapMaxMessageBytes())) {
        refusal = "[LIMIT] Too many messages in one APPEND";
        return Verdict::Refuse;
    }
    if (!first) return Stage(length, refusal);
    const DecodedMailboxName name = DecodeMailboxName(command.arguments[0].text, session_.utf8Names);
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
    return Stage(length, refusal);
}

LiteralSink::Verdict AppendStaging::Stage(std::uint64_t length, std::string& refusal) {
    try {
        Staged staged;
        staged.envelope = folder->folder->GetEnvelopes()->Add();
        staged.content = staged.envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        messages.push_back(std::move(staged));
        stagedBytes += length;
    } catch (const ComError& error) {
        Reset();
        refusal = std::string("The message could not be stored: ") + error.what();
        return Verdict::Refuse;
    }
    return Verdict::Accept;
}

void AppendStaging::Write(std::string_view bytes) {
    if (messages.empty() || !messages.back().content || !failure.empty()) return;
    if (const HRESULT hr = messages.back().content->Write(bytes); Failed(hr)) failure = "The message could not be stored: " + HresultText(hr);
}

void AppendStaging::Reset() {
    messages.clear();  // never published: the store removes what it staged
    stagedBytes = 0;
    folder.reset();
    failure.clear();
}

}  // namespace pw::imap

namespace pw::imap::commands {

namespace {

// One message of APPEND: "[flags] [date-time] literal".
struct AppendMessage {
    StoredFlags flags;
    Date received = 0;
};

// The messages' flags and dates, one per literal; nullopt with the BAD diagnostic set.
std::optional<std::vector<AppendMessage>> ParseAppend(CommandContext& context) {
    const std::vector<Argument>& arguments = context.command.arguments;
    std::vector<AppendMessage> messages;
    std::string diagnostic;
    for (std::size_t next = 1; next < arguments.size(); ++next) {
        AppendMessage message;
        message.received = Now();
        if (arguments[next].kind == ArgumentKind::List) {
            const auto parsed = ParseFlags(arguments[next].items, diagnostic);
            if (!parsed) return context.Bad(diagnostic), std::nullopt;
            message.flags.bits = static_cast<std::uint16_t>(parsed->bits & kStorableFlags);
            message.flags.keywords = parsed->keywords;
            ++next;
        }
        // RFC 6855: "UTF8 (~{n}...)" carries a message with UTF-8 in its header, for a client that said
        // it speaks UTF-8; the reader streamed its literal like any other.
        auto utf8Data = [&](std::size_t at) {
            return at + 1 < arguments.size() && arguments[at].kind == ArgumentKind::Atom && EqualsNoCase(arguments[at].text, "UTF8") &&
                   arguments[at + 1].streamed;
        };
        if (next + 1 < arguments.size() && !arguments[next].streamed && !utf8Data(next)) {
            if (arguments[next].kind != ArgumentKind::Quoted) return context.Bad("Invalid argument to APPEND where date-time expected"), std::nullopt;
            const auto date = ParseDateTime(arguments[next].text);
            if (!date) return context.Bad("Invalid date-time argument to APPEND"), std::nullopt;
            message.received = *date;
            ++next;
        }
        if (utf8Data(next)) {
            if (!context.session.utf8Names) return context.Bad("APPEND UTF8 needs ENABLE UTF8=ACCEPT first"), std::nullopt;
            ++next;
        }
        if (next >= arguments.size() || !arguments[next].streamed) return context.Bad("Invalid argument to APPEND where message expected"), std::nullopt;
        messages.push_back(std::move(message));
    }
    if (messages.empty()) return context.Bad("Invalid argument to APPEND where message expected"), std::nullopt;
    return messages;
}

}  // namespace

void Append(CommandContext& context) {
    AppendStaging& staging = context.staging;
    auto messages = ParseAppend(context);
    if (!messages) return;
    if (staging.messages.size() != messages->size()) return context.No("APPEND missing message argument");
    if (!staging.failure.empty()) return context.No(staging.failure);
    for (AppendStaging::Staged& staged : staging.messages) staged.content.reset();
    // All or none: what this command published goes again when a later message fails, so another
    // session sees at most a passing glimpse, and only after a store failure.
    std::vector<std::uint32_t> uids;
    std::string diagnostic;
    for (std::size_t i = 0; i < messages->size(); ++i) {
        // Only the flags the folder lets this user keep: an APPEND must not store \Deleted where its
        // user may not delete.
        const StoredFlags flags = ImapStore::AllowedFlags(*staging.folder, std::move((*messages)[i].flags));
        const auto uid = context.store.PublishAppended(*staging.folder, *staging.messages[i].envelope, flags, (*messages)[i].received, diagnostic);
        if (!uid) {
            for (const std::uint32_t made : uids) {
                std::string ignored;
                (void)context.store.RemoveMessage(*staging.folder, made, ignored);
            }
            return context.No(diagnostic);
        }
        uids.push_back(*uid);
    }
    const std::uint32_t validity = context.store.UidValidity(*staging.folder);
    staging.messages.clear();
    if (context.session.storeCapabilities & kStoreCapabilityUidPlus) {
        return context.SetReply(Format("OK [APPENDUID %lu %s] APPEND completed", {std::uint64_t{validity}, std::string_view(UidSet(uids))}));
    }
    context.SetReply("OK APPEND completed");
}

}  // namespace pw::imap::commands
