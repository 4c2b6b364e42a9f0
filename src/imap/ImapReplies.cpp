// Replies: the tagged reply of a command, and the server's log lines.
#include "imap/ImapReplies.h"

#include "core/Logging.h"

namespace pw::imap {

void ImapLog(char severity, std::string_view text) {
    const core::LoggingLevelEnum level = severity == 'E'   ? core::LogLevelCritical
                                         : severity == 'W' ? core::LogLevelWarning
                                         : severity == 'D' ? core::LogLevelDebug
                                                           : core::LogLevelNormal;
    core::Log(level, "IMAP4 Server: " + std::string(text));
}

void Replies::SetDiagnostic(std::string text, bool bad) {
    if (!diagnostic_.empty()) return;  // the first diagnostic of a command wins
    diagnostic_ = std::move(text);
    bad_ = bad;
}

void Replies::Begin() {
    reply_.clear();
    diagnostic_.clear();
    bad_ = noReply_ = false;
}

void Replies::Finish(const std::string& tag) {
    if (reply_.empty() && !diagnostic_.empty()) reply_ = (bad_ ? "BAD " : "NO ") + diagnostic_;
    if (reply_.empty() && !noReply_) reply_ = "BAD Internal server failure";
    if (reply_.starts_with("BAD")) ++badInARow_;
    else if (!reply_.empty()) badInARow_ = 0;
    if (!reply_.empty() && !noReply_) connection_.WriteLine(tag + " " + reply_);
    connection_.Flush();
}

}  // namespace pw::imap
