// IDLE (RFC 2177) -- "+ idling", then the selected folder's changes as they happen, until
// the client's "DONE".
//
// An idling session sleeps: it waits on its socket and on a watch of the selected folder's directory
// and of its index's log (DirectoryWatch), never on a timer that looks again. A change wakes it; it sends what changed
// (SendUpdates: EXISTS, EXPUNGE, flag FETCHes) at once. Where the folder can not be watched, IDLE still
// works and the changes come with the reply to DONE. The session's idle time-out (30 minutes unless
// configured longer) ends an IDLE that no client ends.
#include "imap/ImapCommands.h"
#include "imap/SelectedMailbox.h"

#include "platform/DirectoryWatch.h"
#include "platform/Text.h"
#include "store/FolderIndex.h"

namespace pw::imap::commands {

void Idle(CommandContext& context) {
    ImapConnection& connection = context.replies.Connection();
    std::unique_ptr<DirectoryWatch> watch;
    if (context.session.state == SessionState::Selected) {
        std::string error;
        const store::Folder& folder = *context.mailbox.folder->folder;
        watch = DirectoryWatch::Watch(folder.Storage().Path(), error);
        if (!watch) ImapLog('W', "IDLE without change notices:  " + error);
        // The folder's directory shows writes that passed the index by; the index's log shows every
        // other change, and is the one place that does so only once the change is complete.
        std::string index;
        if (watch && (Failed(store::FolderIndexLocation(folder.Storage(), folder.RootPath(), index)) || !watch->AddWritten(index, error))) {
            ImapLog('W', "IDLE without notices of the folder index:  " + error);
        }
        context.mailbox.SendUpdates();  // what happened before the watch began
    }
    connection.WriteLine("+ idling");
    const auto deadline = std::chrono::steady_clock::now() + std::max<std::chrono::steady_clock::duration>(context.session.settings.idleTimeout, kMinIdleWait);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto woke = left.count() <= 0 ? ImapConnection::Wakeup::TimedOut
                                            : connection.WaitForInputOr(watch ? watch->Descriptor() : -1, left);
        if (woke == ImapConnection::Wakeup::Other) {
            watch->Drain();
            if (ImapStopping()) break;
            context.mailbox.SendUpdates();
            continue;
        }
        if (woke == ImapConnection::Wakeup::TimedOut) {
            SayTimedOut(context.replies, context.session);
            context.replies.Silence();
            context.replies.EndSession();
            return;
        }
        break;
    }
    std::string line;
    bool tooLong = false;
    const auto read = connection.ReadLine(line, kMaxIdleLine, kByteTimeout, tooLong);
    if (read != CommandSource::Status::Ok) {
        // The connection ended (or the server stops and ended its reads): no reply can reach anyone.
        if (ImapStopping() && connection.Alive()) context.Untagged("BYE [ALERT] Server shutting down immediately");
        context.replies.Silence();
        context.replies.EndSession();
        return;
    }
    if (!EqualsNoCase(line, "DONE")) return context.Bad("IDLE terminated by something other than DONE");
    context.SetReply("OK IDLE terminated");
}

}  // namespace pw::imap::commands
