// The commands that do not touch messages: CAPABILITY, NOOP, LOGOUT, ID, X-TID, X-DEBUG, PROGRESS,
// CLOSE, UNSELECT, CHECK, NAMESPACE, ENABLE, STARTTLS and COMPRESS.
#include "imap/ImapCommands.h"

#include <unistd.h>

#include <algorithm>

#include "imap/ImapLimits.h"
#include "imap/ImapStore.h"
#include "imap/ImapStrings.h"
#include "imap/SelectedMailbox.h"
#include "net/TlsContext.h"
#include "platform/Text.h"

namespace pw::imap::commands {

namespace {

// "every second", "every 2.5 seconds" ...: the interval of PROGRESS in words.
std::string IntervalText(std::uint64_t tenths) {
    if (tenths == 1) return "tenth of a second";
    if (tenths < 10) return Format("%u tenths of a second", {tenths});
    if (tenths == 10) return "second";
    if (tenths % 10 != 0) return Format("%lu.%u seconds", {tenths / 10, tenths % 10});
    return Format("%lu seconds", {tenths / 10});
}

}  // namespace

void Capability(CommandContext& context) {
    const SessionStatus& session = context.session;
    const bool tls = context.replies.Connection().IsTls();
    std::string line = "CAPABILITY IMAP4rev1 ID UNSELECT PROGRESS";
    if (session.state == SessionState::NotAuthenticated) {
        if (session.options & SessionStatus::kOptionCramMd5) line += " AUTH=CRAM-MD5";
        const bool canStartTls = net::TlsAvailable() && !tls;
        if (canStartTls) line += " STARTTLS";
        // Inside TLS PLAIN is always offered; before it only where passwords may go in the clear.
        if (tls || (canStartTls && session.plaintextAuth)) line += " AUTH=PLAIN";
        if (!tls && !session.plaintextAuth) line += " LOGINDISABLED";
    }
    if (session.storeCapabilities & kStoreCapabilityUidPlus) line += " UIDPLUS";
    // Words beyond the first ones go after them, so clients that read them by place still can.
    line += " IDLE MOVE NAMESPACE SPECIAL-USE CREATE-SPECIAL-USE ENABLE LITERAL- APPENDLIMIT=" + std::to_string(ImapMaxMessageBytes());
    line += " SASL-IR ESEARCH SEARCHRES LIST-EXTENDED LIST-STATUS CHILDREN STATUS=SIZE MULTIAPPEND BINARY QUOTA QUOTA=RES-STORAGE QUOTA=RES-MESSAGE COMPRESS=DEFLATE SORT SORT=DISPLAY ESORT THREAD=REFERENCES THREAD=ORDEREDSUBJECT CONDSTORE QRESYNC OBJECTID UTF8=ACCEPT";
    context.Untagged(line);
    context.SetReply("OK CAPABILITY completed");
}

void Noop(CommandContext& context) { context.SetReply("OK NOOP completed"); }

void Logout(CommandContext& context) {
    context.session.state = SessionState::Logout;
    context.Untagged("BYE IMAP4rev1 Server logging out");
    context.mailbox.Close(false);
    context.store.Close();
    context.SetReply("OK Logout completed");
}

void Id(CommandContext& context) {
    const auto& arguments = context.command.arguments;
    if (!arguments.empty() && arguments[0].kind == ArgumentKind::List) {
        const auto& items = arguments[0].items;
        const bool tooLong = std::any_of(items.begin(), items.end(), [](const Argument& a) { return a.text.size() > kMaxIdValueBytes; });
        if (items.size() > 2 * kMaxIdPairs || tooLong) return context.Bad("ID list too long");
    }
    // RFC 2971 wants the server's own ID line before the reply.
    context.Untagged("ID (\"name\" \"Quillon Email Server\")");
    context.SetReply("OK ID completed");
}

void XTid(CommandContext& context) {
    context.Untagged(Format("Thread ID is %u", {std::int64_t{::gettid()}}));
    context.SetReply("OK X_TID completed");
}

void XDebug(CommandContext& context) {
    const CommandEntry* entry = FindCommand(ToUpperAscii(context.command.arguments[0].text));
    if (!entry) return context.Bad("Unrecognized command argument");
    const auto id = static_cast<unsigned>(entry->id);
    if (id >= 32) return context.No("Command not viable for debugging");
    context.session.debugMask |= 1u << id;
    context.SetReply("OK X-DEBUG completed");
}

void Progress(CommandContext& context) {
    const std::string& text = context.command.arguments[0].text;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) {
        return context.No("Argument should be a number representing an interval in tenths of a second");
    }
    const auto tenths = static_cast<unsigned>(std::stoul(text));
    context.session.progressTenths = tenths;
    if (tenths == 0) return context.SetReply("OK PROGRESS No progress responses will be sent");
    context.SetReply("OK PROGRESS Progress responses will be sent every " + IntervalText(tenths));
}

void Close(CommandContext& context) {
    if (context.session.state != SessionState::Selected) return context.SetReply("OK but CLOSE is really invalid in the current state");
    context.mailbox.Close(true);
    context.session.state = SessionState::Authenticated;
    context.SetReply("OK Folder closed");
}

void Unselect(CommandContext& context) {
    context.mailbox.Close(false);
    context.session.state = SessionState::Authenticated;
    context.SetReply("OK UNSELECT completed");
}

void Check(CommandContext& context) { context.SetReply("OK CHECK completed"); }

void Namespace(CommandContext& context) {
    // RFC 2342: the user's own folders at the top, nobody else's, the public ones under the prefix.
    context.Untagged("NAMESPACE ((\"\" \"/\")) NIL ((" + ImapString(context.store.PublicPrefix()) + " \"/\"))");
    context.SetReply("OK NAMESPACE completed");
}

void Enable(CommandContext& context) {
    // RFC 5161: ENABLED names what this command turned on; unknown words and ones on already are
    // passed over. QRESYNC brings CONDSTORE with it.
    std::string enabled;
    for (const Argument& argument : context.command.arguments) {
        if (!argument.IsString()) return context.Bad("ENABLE takes capability names");
        if (EqualsNoCase(argument.text, "UTF8=ACCEPT")) {
            if (!context.session.utf8Names) enabled += " UTF8=ACCEPT";
            context.session.utf8Names = true;
            continue;
        }
        const bool qresync = EqualsNoCase(argument.text, "QRESYNC");
        if (!qresync && !EqualsNoCase(argument.text, "CONDSTORE")) continue;
        if (context.mailbox.EnableCondstore(qresync)) enabled += qresync ? " QRESYNC" : " CONDSTORE";
    }
    context.Untagged("ENABLED" + enabled);
    context.SetReply("OK ENABLE completed");
}

void StartTls(CommandContext& context) {
    ImapConnection& connection = context.replies.Connection();
    if (connection.IsTls()) return context.No("TLS already started");
    if (!net::TlsAvailable()) return context.No("SSL not supported");
    connection.WriteLine(context.command.tag + " OK Let's negotiate TLS");
    context.replies.Silence();  // the tagged reply has gone before the handshake
    if (connection.StartTls(kByteTimeout) != CommandSource::Status::Ok) {
        ImapLog('W', "TLS negotiation with " + context.session.clientAddress + " failed: " + connection.ErrorText());
        context.replies.EndSession();
    }
}

void Compress(CommandContext& context) {
    ImapConnection& connection = context.replies.Connection();
    if (connection.IsCompressed()) return context.No("[COMPRESSIONACTIVE] DEFLATE is active already");
    if (!EqualsNoCase(context.command.arguments[0].text, "DEFLATE")) return context.Bad("Unknown compression mechanism");
    // The reply is the last plain byte; the client compresses from the byte after it, as do we.
    connection.WriteLine(context.command.tag + " OK DEFLATE active");
    context.replies.Silence();
    if (connection.Flush() != CommandSource::Status::Ok || !connection.StartCompression()) {
        ImapLog('W', "COMPRESS with " + context.session.clientAddress + " failed");
        context.replies.EndSession();
    }
}

}  // namespace pw::imap::commands
