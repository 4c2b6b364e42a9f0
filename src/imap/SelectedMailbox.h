// SelectedMailbox: the folder a session has selected and its view of it -- the messages, their
// flags and numbers as the client was told them -- and the untagged lines that keep the client's
// view in step with the store: EXISTS, RECENT, EXPUNGE, flag FETCHes and the flag lines.
//
// The view changes only through these lines: a message leaves it with its "n EXPUNGE", arrives with
// "n EXISTS", and a flag another session stored is sent as a FETCH. Once told, the view takes the
// new state's shared table (MessageVector) and keeps only what is its own. Changes are noticed by the
// folder's stamp (ImapStore::Stamp), taken before each listing so that nothing after it goes unseen.
// Thread safety: one session's own.
#pragma once

#include <optional>
#include <vector>

#include "imap/ImapReplies.h"
#include "imap/ImapStore.h"
#include "imap/MessageVector.h"

namespace pw::imap {

class SelectedMailbox {
public:
    SelectedMailbox(ImapStore& store, Replies& replies) : store_(store), replies_(replies) {}

    bool IsSelected() const { return folder.has_value(); }
    // Is `name` the selected folder's (the store's spelling, case ignored)?
    bool IsFolder(std::string_view name) const;

    // The lines for what other sessions and deliveries changed since the folder was last looked at.
    void SendUpdates();
    // Takes the marked messages out of the view with their "n EXPUNGE" lines, or one "VANISHED uids"
    // once the client enabled QRESYNC.
    void ExpungeFromView(const std::vector<bool>& gone);
    // Those lines alone, for messages of the view as it stands.
    void AnnounceExpunged(const std::vector<bool>& gone);
    // "* OK [PERMANENTFLAGS ...]" and "* FLAGS ...", keywords in use included.
    void SendFlagLines();
    // Sends the flag lines again when some of these keywords are new to the client.
    void AnnounceKeywords(const Keywords& keywords);
    // "n FETCH (UID u FLAGS (...))" for a message whose flags the client has not been shown, with
    // "MODSEQ (m)" once the client enabled CONDSTORE.
    void SendFlags(std::size_t index);
    // Leaves the folder; with `expunge`, first removes (silently) what the store holds \Deleted, where
    // the user may delete.
    void Close(bool expunge);
    // Turns CONDSTORE on (QRESYNC too with `qresync`); false when it was on already. A client that
    // turns it on with a folder selected is told the folder's HIGHESTMODSEQ at once.
    bool EnableCondstore(bool qresync = false);
    // "OK [HIGHESTMODSEQ n]", or "OK [NOMODSEQ]" for a folder opened without its messages.
    void SendHighestModseq();

    std::optional<FolderRecord> folder;
    MessageVector view;
    bool readOnly = false;  // EXAMINE, a read-only folder, or one the user may not read
    double stamp = 0;       // of the folder when it was last looked at; 0 looks again
    // Extensions the client turned on (ENABLE, or the first command that uses them); for the session.
    bool condstore = false;
    bool qresync = false;

private:
    // Adds to `hidden_` what the new state holds below the last UID the client knows that the view
    // lacks; the highest mod-sequence the client may then count as seen.
    std::uint64_t LeaveOutLate(const MessageVector& before, const MessageVector& fresh);
    // The FETCH of a message whose stored flags another session changed since `before` (its index
    // there), shown as stored now; else keeps what the session showed of its own.
    void SendFlagChange(const MessageVector& before, std::size_t was);

    // Messages of the store the view leaves out until the next SELECT (published late, below a UID
    // the client knows), ascending.
    std::vector<std::uint32_t> hidden_;
    ImapStore& store_;
    Replies& replies_;
};

}  // namespace pw::imap
