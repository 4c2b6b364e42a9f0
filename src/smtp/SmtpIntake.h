// SmtpIntake: the DATA of one SMTP transaction into its envelope in "_In", published before the
// server says "250" and only then handed to the router queue.
//
// The content opens before "354" is sent, so a store that refuses it is a "451" and no lost message.
// In DATA only a whole line "." CR LF ends the message and only a whole line loses its leading dot: a
// bare CR or LF is no line end, and a piece of a line longer than the read buffer is never taken for a
// line of its own. The lines are written in blocks after the Received header (ReceivedHeader).
// Past the size limit the envelope is dropped at once (its reserved files go) and the rest is read
// and discarded up to the end of DATA, for at most kOversizeDiscardLimit.
// Thread safety: one intake per session thread.
#pragma once

#include "net/SocketConnection.h"
#include "platform/FileStream.h"
#include "store/Envelope.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pw::smtp {

enum class IntakeOutcome {
    Published,  // stored, flushed and queued for the router
    Oversize,   // past the size limit: nothing stored
    Failed,       // the store failed: nothing stored
    StorageFull,  // the disk or the quota is full: nothing stored
    Abandoned,  // the client kept sending past the size limit: the connection is closed
    Refused,    // the check refused it (a DMARC reject policy): nothing stored
};

// Runs on the stored content just before the envelope is published (the mail-authentication checks
// of mail from outside); it may change the content and the envelope, and false refuses the message.
using IntakeCheck = std::function<bool(Stream& content, store::Envelope& envelope)>;

// The trace header put in front of a message taken from a client (RFC 5321 section 4.4): the MAIL
// FROM argument, the client's address, the domain that took it, this server's name and version, now.
std::string ReceivedHeader(std::string_view sender, std::string_view clientAddress, std::string_view domain);

// Opens the content of the envelope for writing; throws ComError when the store refuses it.
std::unique_ptr<FileStream> OpenIntake(store::Envelope& envelope);

// Reads DATA up to its end into `content` after `header`, and publishes the envelope. The envelope
// is reset in every outcome (a dropped one removes its reserved files).
IntakeOutcome TakeMessage(net::LoggedConnection& connection, std::shared_ptr<store::Envelope>& envelope,
                          std::unique_ptr<FileStream> content, std::string header, std::uint64_t sizeLimit,
                          const IntakeCheck& check = {});

// Closes the content and publishes the envelope (flushed before anything is acknowledged), then
// hands it to the router queue; `written` is the first failed write of the content, if any, and
// `held` the whole message when none of it was written yet (the check then runs on it in memory).
// The envelope is reset in every outcome.
IntakeOutcome Publish(std::shared_ptr<store::Envelope>& envelope, std::unique_ptr<FileStream> content, HRESULT written,
                      const IntakeCheck& check = {}, std::string held = {});

// Reads a BDAT chunk of `size` bytes, handing each piece to `sink`: also a chunk that is refused is
// read whole, so the session stays in step with the client.
void ReadChunk(net::LoggedConnection& connection, std::uint64_t size, const std::function<void(std::string_view)>& sink);

// BDAT (RFC 3030): the message in chunks of announced sizes, taken byte for byte (no dot rules, no
// line rules) after the Received header, into the same envelope DATA fills. Every chunk is read
// whole, whatever happens to it, so the session stays in step with the client.
class ChunkedIntake {
public:
    ChunkedIntake(std::unique_ptr<FileStream> content, std::string header, std::uint64_t sizeLimit);
    // Reads a chunk of `size` bytes; false once the message is over the size limit.
    bool TakeChunk(net::LoggedConnection& connection, std::uint64_t size);
    // After the last chunk: publishes as DATA does.
    IntakeOutcome Finish(std::shared_ptr<store::Envelope>& envelope, const IntakeCheck& check = {});

private:
    std::unique_ptr<FileStream> content_;
    std::uint64_t sizeLimit_;
    std::uint64_t received_ = 0;
    bool oversize_ = false;
    HRESULT written_ = S_OK;
};

}  // namespace pw::smtp
