// StoredMessage: one message of a folder read as far as its reader needs -- its content file alone
// (sizes, literals), its header through the structure parser, or the whole message walked (parts,
// structures, decoded bodies) -- for FETCH and SEARCH alike. MessageParser is the session's parser,
// opened at the first message that needs it.
//
// The content file stays open while the message is read: the store replaces a file by renaming a new
// one over it, so the bytes a reader counted never change under it. The parser's handles close with
// the message.
// Thread safety: one session's own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "imap/ImapStore.h"
#include "m5/M5Session.h"

namespace pw::imap {

class MessageParser {
public:
    MessageParser() = default;
    MessageParser(const MessageParser&) = delete;
    MessageParser& operator=(const MessageParser&) = delete;
    ~MessageParser();

    // False (logged) when the parser can not be had.
    bool Open();
    // After Open.
    m5::M5SessionHandle Session() const { return *session_; }

private:
    std::optional<m5::M5SessionHandle> session_;
};

class StoredMessage {
public:
    enum class Opened { Ok, Gone, Failed };

    StoredMessage() = default;
    StoredMessage(const StoredMessage&) = delete;
    StoredMessage& operator=(const StoredMessage&) = delete;
    ~StoredMessage();

    // Opens the content file. Gone: another session or POP3 removed the message; Failed: Failure()
    // says what (the file's path, or the store's diagnostic).
    Opened Open(const ImapStore& store, const FolderRecord& folder, std::uint32_t uid);
    // The header alone: M5STS_LIMIT_REACHED for a header past the header-only read's limit, which
    // only the whole walk reads to its end.
    m5::M5Status ReadHeader(MessageParser& parser);
    // Every part of the message.
    m5::M5Status Walk(MessageParser& parser);

    bool IsOpen() const { return file_ != nullptr; }
    bool Walked() const { return walked_.has_value(); }
    FileStream& File() { return *file_; }
    std::uint64_t Size() const { return size_; }
    const std::string& Path() const { return file_ ? file_->Path() : failure_; }
    const std::string& Failure() const { return failure_; }
    // The handle whose part 0 is the message's own header: the walk's when there is one.
    m5::M5MessageHandle Structure() const { return walked_ ? *walked_ : *header_; }
    // A part of what has been read (0: the message itself); nullptr when there is no such part.
    const m5::M5PartDesc* Part(std::size_t number) const;

private:
    std::unique_ptr<FileStream> file_;
    std::uint64_t size_ = 0;
    std::string failure_;
    std::optional<m5::M5MessageHandle> header_;
    std::optional<m5::M5MessageHandle> walked_;
};

}  // namespace pw::imap
