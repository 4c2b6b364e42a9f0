// Replies: what a running IMAP command says -- its untagged lines as they go, and the tagged reply
// that ends it -- over the session's connection.
//
// A command's outcome is its reply text or its diagnostic: the first diagnostic set during a command
// wins, and a command that sets neither is answered "BAD Internal server failure" -- never silence.
// A command may also end the session (the connection failed, or the client must go) or have answered
// already (STARTTLS replies before its handshake; a broken connection answers nobody).
// Thread safety: one session thread.
#pragma once

#include <string>
#include <string_view>

#include "imap/ImapConnection.h"

namespace pw::imap {

// Logs a line of the IMAP server: 'E' critical, 'W' warning, 'D' debug, anything else normal.
void ImapLog(char severity, std::string_view text);

class Replies {
public:
    explicit Replies(ImapConnection& connection) : connection_(connection) {}

    ImapConnection& Connection() { return connection_; }
    void Untagged(std::string_view text) { connection_.WriteLine("* " + std::string(text)); }

    void SetReply(std::string text) { reply_ = std::move(text); }
    void SetDiagnostic(std::string text, bool bad);
    void Bad(std::string text) { SetDiagnostic(std::move(text), true); }
    void No(std::string text) { SetDiagnostic(std::move(text), false); }
    // Nothing tagged goes out for this command: it answered already, or nobody can hear it.
    void Silence() { noReply_ = true; }
    // The session ends after this command.
    void EndSession() { endSession_ = true; }
    // The command has failed or answered: later steps of it add nothing.
    bool Settled() const { return !diagnostic_.empty() || noReply_; }
    bool Ending() const { return endSession_; }

    // Starts the next command.
    void Begin();
    // Writes the tagged reply (the fallback when the command set none; nothing after a silence) and
    // flushes. Counts BAD replies in a row.
    void Finish(const std::string& tag);
    unsigned BadInARow() const { return badInARow_; }

private:
    ImapConnection& connection_;
    std::string reply_;
    std::string diagnostic_;
    bool bad_ = false;
    bool noReply_ = false;
    bool endSession_ = false;
    unsigned badInARow_ = 0;
};

}  // namespace pw::imap
