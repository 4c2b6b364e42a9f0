// AppendStaging: where APPEND's message goes while the command is read -- a new, unpublished envelope
// in the target folder, its content written as the literal arrives. The APPEND handler publishes it;
// anything else (a refusal, a failed write, the end of the session) leaves it unpublished, and the
// store removes it. The command reader asks it (Open) before it invites a literal, so a message the
// session may not store is refused before its bytes are sent.
// Thread safety: one session's own.
#pragma once

#include <memory>
#include <optional>
#include <string>

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

    std::optional<FolderRecord> folder;
    std::shared_ptr<store::Envelope> envelope;
    std::unique_ptr<FileStream> content;
    std::string failure;  // why the content is not whole

private:
    const SessionStatus& session_;
    ImapStore& store_;
    const SelectedMailbox& mailbox_;
};

}  // namespace pw::imap
