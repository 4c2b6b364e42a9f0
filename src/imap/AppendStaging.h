// AppendStaging: where APPEND's messages go while the command is read -- for each a new, unpublished
// envelope in the target folder, its content written as the literal arrives (MULTIAPPEND, RFC 3502,
// sends several). The APPEND handler publishes them once all have arrived whole; anything else (a
// refusal, a failed write, the end of the session) leaves them unpublished, and the store removes
// them. The command reader asks it (Open) before it invites a literal, so a message the session may
// not store is refused before its bytes are sent.
// Thread safety: one session's own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "imap/ImapCommandReader.h"
#include "imap/ImapContext.h"
#include "imap/ImapStore.h"
#include "imap/SelectedMailbox.h"

namespace pw::imap {

class AppendStaging final : public LiteralSink {
public:
    AppendStaging(const SessionStatus& session, ImapStore& store, const SelectedMailbox& mailbox)
        : session_(session), store_(store), mailbox_(mailbox) {}
    Verdict Open(const Command& command, std::uint64_t length, std::string& refusal) override;
    void Write(std::string_view bytes) override;
    void Reset();

    struct Staged {
        std::shared_ptr<store::Envelope> envelope;
        std::unique_ptr<FileStream> content;
    };

    std::optional<FolderRecord> folder;
    std::vector<Staged> messages;  // in the order of the command's literals
    std::uint64_t stagedBytes = 0;
    std::string failure;  // why some content is not whole

private:
    // A new envelope for the next literal of `length` bytes.
    Verdict Stage(std::uint64_t length, std::string& refusal);

    const SessionStatus& session_;
    ImapStore& store_;
    const SelectedMailbox& mailbox_;
};

}  // namespace pw::imap
