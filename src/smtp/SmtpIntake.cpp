// SmtpIntake: DATA into a published envelope.
#include "smtp/SmtpIntake.h"

#include <functional>
#include <memory>
#include <vector>

#include "core/Logging.h"
#include "core/Version.h"
#include "mime/MessageDate.h"
#include "platform/AutomationDate.h"
#include "platform/Text.h"
#include "router/RouterQueue.h"
#include "smtp/SmtpLimits.h"

namespace pw::smtp {

namespace {

bool EndsWithLine(std::string_view text) { return text.size() >= 2 && text.substr(text.size() - 2) == "\r\n"; }

}  // namespace

std::string ReceivedHeader(std::string_view sender, std::string_view clientAddress, std::string_view domain) {
    // An IPv6 address literal is tagged inside its brackets ("[IPv6:2001:db8::1]").
    const std::string_view tag = clientAddress.find(':') != std::string_view::npos ? "IPv6:" : "";
    return Format("Received: from %s ([%s%s]) by %s ( %s %s ) ; %s\r\n",
                  {sender, tag, clientAddress, domain, std::string_view(core::kProductName), std::string_view(core::VersionText()),
                   std::string_view(mime::FormatMessageDate(Now()))});
}

std::unique_ptr<FileStream> OpenIntake(store::Envelope& envelope) {
    // Read and write: the intake check reads what was written and may put a field at its top.
    return envelope.StreamOnContent(true, STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
}

IntakeOutcome TakeMessage(net::LoggedConnection& connection, std::shared_ptr<store::Envelope>& envelope,
                          std::unique_ptr<FileStream> content, std::string header, std::uint64_t sizeLimit,
                          const IntakeCheck& check) {
    std::string block = std::move(header);
    HRESULT written = S_OK;  // the first failed write, kept for the reply
    bool oversize = false;
    bool held = true;  // nothing written yet: the whole message is in `block`
    const auto flush = [&] {
        if (Succeeded(written) && !oversize && !block.empty()) written = content->Write(block);
        block.clear();
        held = false;
    };
    // Not zeroed: a reader writes every byte it hands on, and 64 KiB cleared per message shows in a profile.
    constexpr std::size_t kRoom = kDataBuffer + 1;
    const auto buffer = std::make_unique_for_overwrite<char[]>(kRoom);
    std::uint64_t count = 0;
    bool atLineStart = true;
    auto exceeded = std::chrono::steady_clock::now();
    for (;;) {
        std::size_t length = connection.ReadLine(buffer.get(), kRoom);
        // The buffer has room for the LF of a piece that filled it up to the CR.
        if (length + 1 == kRoom && connection.TakeLineFeedAfter(buffer[length - 1])) buffer[length++] = '\n';
        const std::string_view piece(buffer.get(), length);
        // Only a whole line is a line: a piece of a longer one never ends the message or loses a dot.
        const bool wholeLine = atLineStart;
        atLineStart = EndsWithLine(piece);
        if (wholeLine && piece == ".\r\n") break;
        count += length;
        if (oversize) {
            if (std::chrono::steady_clock::now() - exceeded > kOversizeDiscardLimit) {
                connection.Close();
                return IntakeOutcome::Abandoned;
            }
            continue;
        }
        block += wholeLine && !piece.empty() && piece.front() == '.' ? piece.substr(1) : piece;
        if (block.size() >= kContentWriteBlock) flush();
        if (sizeLimit != 0 && count > sizeLimit) {
            oversize = true;
            exceeded = std::chrono::steady_clock::now();
            content.reset();
            envelope.reset();  // an envelope not yet published removes its reserved files when it goes
        }
    }
    core::Log(core::LogLevelDebug, Format("(%u bytes of message data)", {std::uint64_t{count}}));
    if (oversize) return IntakeOutcome::Oversize;
    if (held) return Publish(envelope, std::move(content), written, check, std::move(block));
    flush();
    return Publish(envelope, std::move(content), written, check);
}

IntakeOutcome Publish(std::shared_ptr<store::Envelope>& envelope, std::unique_ptr<FileStream> content, HRESULT written,
                      const IntakeCheck& check, std::string held) {
    double uid = 0;
    try {
        if (Failed(written)) throw ComError(written, "writing the message content");
        bool passed = true;
        if (!held.empty() && check) {
            // Checked in memory, where a field put at the top moves no bytes on the disk.
            const auto* bytes = reinterpret_cast<const std::byte*>(held.data());
            MemoryStream memory(std::vector<std::byte>(bytes, bytes + held.size()));
            held = std::string();
            passed = check(memory, *envelope);
            if (passed) ThrowIfFailed(content->Write(memory.Bytes()), "writing the message content");
        } else {
            if (!held.empty()) ThrowIfFailed(content->Write(held), "writing the message content");
            passed = !check || check(*content, *envelope);
        }
        if (!passed) {
            content.reset();
            envelope.reset();  // not published: its reserved files go
            return IntakeOutcome::Refused;
        }
        content.reset();
        envelope->Update();
        uid = envelope->UID();
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical, std::string("SMTP Server: the message could not be stored: ") + error.what());
        content.reset();
        envelope.reset();
        // A full disk or an exhausted quota: the client keeps the message and tries again later.
        return error.Code() == STG_E_MEDIUMFULL ? IntakeOutcome::StorageFull : IntakeOutcome::Failed;
    }
    envelope.reset();
    router::RouterQueue::Instance().Submit(uid);
    return IntakeOutcome::Published;
}

ChunkedIntake::ChunkedIntake(std::unique_ptr<FileStream> content, std::string header, std::uint64_t sizeLimit)
    : content_(std::move(content)), sizeLimit_(sizeLimit) {
    written_ = content_->Write(header);
}

void ReadChunk(net::LoggedConnection& connection, std::uint64_t size, const std::function<void(std::string_view)>& sink) {
    const auto buffer = std::make_unique_for_overwrite<char[]>(kDataBuffer);
    for (std::uint64_t left = size; left > 0;) {
        const std::size_t got = connection.Receive(buffer.get(), static_cast<std::size_t>(std::min<std::uint64_t>(left, kDataBuffer)), false);
        if (got == 0) throw net::CnwSocketErr::Socket(connection.Socket(), "recv", 10053);  // the client went mid-chunk
        left -= got;
        sink(std::string_view(buffer.get(), got));
    }
}

bool ChunkedIntake::TakeChunk(net::LoggedConnection& connection, std::uint64_t size) {
    ReadChunk(connection, size, [this](std::string_view bytes) {
        received_ += bytes.size();
        if (sizeLimit_ != 0 && received_ > sizeLimit_) oversize_ = true;
        // Past the limit, or after a failed write, the rest is read and dropped: the client counts on
        // its bytes being taken before the next command.
        if (!oversize_ && Succeeded(written_)) written_ = content_->Write(bytes);
    });
    return !oversize_;
}

IntakeOutcome ChunkedIntake::Finish(std::shared_ptr<store::Envelope>& envelope, const IntakeCheck& check) {
    core::Log(core::LogLevelDebug, Format("(%lu bytes of message data in chunks)", {received_}));
    return Publish(envelope, std::move(content_), written_, check);
}

}  // namespace pw::smtp
