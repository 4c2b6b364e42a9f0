// ImapSession: the commands of every state -- CAPABILITY, LOGOUT, X-TID, X-DEBUG, PROGRESS -- and
// STARTTLS.
#include "imap/ImapSession.h"

#include <unistd.h>

#include "imap/ImapLimits.h"
#include "net/TlsContext.h"
#include "platform/Text.h"

namespace pw::imap {

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

void ImapSession::Capability() {
    std::string line = "CAPABILITY IMAP4rev1 ID UNSELECT PROGRESS";
    if (state_ == SessionState::NotAuthenticated) {
        if (options_ & kOptionCramMd5) line += " AUTH=CRAM-MD5";
        const bool canStartTls = net::TlsAvailable() && !connection_->IsTls();
        if (canStartTls) line += " STARTTLS";
        // Inside TLS PLAIN is always offered; before it only where passwords may go in the clear.
        if (connection_->IsTls() || (canStartTls && plaintextAuth_)) line += " AUTH=PLAIN";
        if (!connection_->IsTls() && !plaintextAuth_) line += " LOGINDISABLED";
    }
    if (storeCapabilities_ & kStoreCapabilityUidPlus) line += " UIDPLUS";
    // Words beyond the first ones go after them, so clients that read them by place still can.
    line += " IDLE MOVE NAMESPACE SPECIAL-USE CREATE-SPECIAL-USE ENABLE LITERAL- APPENDLIMIT=" + std::to_string(ImapMaxMessageBytes());
    Untagged(line);
    SetReply("OK CAPABILITY completed");
}

void ImapSession::Logout() {
    state_ = SessionState::Logout;
    Untagged("BYE IMAP4rev1 Server logging out");
    selected_.reset();
    store_.Close();
    SetReply("OK Logout completed");
}

void ImapSession::XTid() {
    Untagged(Format("Thread ID is %u", {std::int64_t{::gettid()}}));
    SetReply("OK X_TID completed");
}

void ImapSession::XDebug(const Command& command) {
    const CommandEntry* entry = FindCommand(ToUpperAscii(command.arguments[0].text));
    if (!entry) return Bad("Unrecognized command argument");
    const auto id = static_cast<unsigned>(entry->id);
    if (id >= 32) return No("Command not viable for debugging");
    debugMask_ |= 1u << id;
    SetReply("OK X-DEBUG completed");
}

void ImapSession::Progress(const Command& command) {
    const std::string& text = command.arguments[0].text;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) {
        return No("Argument should be a number representing an interval in tenths of a second");
    }
    const auto tenths = static_cast<unsigned>(std::stoul(text));
    progressTenths_ = tenths;
    progressSet_ = std::chrono::steady_clock::now();
    if (tenths == 0) return SetReply("OK PROGRESS No progress responses will be sent");
    SetReply("OK PROGRESS Progress responses will be sent every " + IntervalText(tenths));
}

void ImapSession::StartTls(const Command& command) {
    if (connection_->IsTls()) return No("TLS already started");
    if (!net::TlsAvailable()) return No("SSL not supported");
    connection_->WriteLine(command.tag + " OK Let's negotiate TLS");
    noReply_ = true;  // the tagged reply has gone before the handshake
    if (connection_->StartTls(kByteTimeout) != CommandSource::Status::Ok) {
        Log('W', "TLS negotiation with " + ticket_->ClientAddress() + " failed: " + connection_->ErrorText());
        endSession_ = true;
    }
}

}  // namespace pw::imap
