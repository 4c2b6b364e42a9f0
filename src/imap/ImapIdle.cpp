// ImapSession: IDLE (RFC 2177) -- "+ idling", then the selected folder's changes as they happen, until
// the client's "DONE".
//
// An idling session sleeps: it waits on its socket and on a watch of the selected folder's directory
// (DirectoryWatch), never on a timer that looks again. A change wakes it; it sends what changed
// (SendUpdates: EXISTS, EXPUNGE, flag FETCHes) at once. Where the folder can not be watched, IDLE still
// works and the changes come with the reply to DONE. The session's idle time-out (30 minutes unless
// configured longer) ends an IDLE that no client ends.
#include "imap/ImapSession.h"

#include "platform/DirectoryWatch.h"
#include "platform/Text.h"

namespace pw::imap {

void ImapSession::Idle(const Command& command) {
    std::unique_ptr<DirectoryWatch> watch;
    if (state_ == SessionState::Selected) {
        std::string error;
        watch = DirectoryWatch::Watch(selected_->folder->Storage().Path(), error);
        if (!watch) Log('W', "IDLE without change notices:  " + error);
        SendUpdates();  // what happened before the watch began
    }
    connection_->WriteLine("+ idling");
    const auto deadline = std::chrono::steady_clock::now() + std::max<std::chrono::steady_clock::duration>(settings_.idleTimeout, kMinIdleWait);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto woke = left.count() <= 0 ? ImapConnection::Wakeup::TimedOut
                                            : connection_->WaitForInputOr(watch ? watch->Descriptor() : -1, left);
        if (woke == ImapConnection::Wakeup::Other) {
            watch->Drain();
            if (ImapStopping()) break;
            SendUpdates();
            continue;
        }
        if (woke == ImapConnection::Wakeup::TimedOut) {
            TimedOut();
            noReply_ = true;
            endSession_ = true;
            return;
        }
        break;
    }
    std::string line;
    bool tooLong = false;
    const auto read = connection_->ReadLine(line, kMaxIdleLine, kByteTimeout, tooLong);
    if (read != CommandSource::Status::Ok) {
        // The connection ended (or the server stops and ended its reads): no reply can reach anyone.
        if (ImapStopping() && connection_->Alive()) Untagged("BYE [ALERT] Server shutting down immediately");
        noReply_ = true;
        endSession_ = true;
        return;
    }
    if (!EqualsNoCase(line, "DONE")) return Bad("IDLE terminated by something other than DONE");
    (void)command;
    SetReply("OK IDLE terminated");
}

}  // namespace pw::imap
