// ImapConnection: the IMAP session's side of its network connection. Bytes come in through a
// receive buffer, one at a time, each read bounded by the wait the caller gives; replies are gathered
// in a send buffer and go out when it fills, at every tagged reply, and before any read that has to
// wait, so a client is never left waiting for a reply that sits in the buffer.
//
// Operations answer with a status (ok, error, timed out, closed) instead of throwing; the first
// failure leaves the connection dead, and every later operation answers "closed". The text of the
// failure ("Connection gracefully closed", "Socket Error reported by recv:  Connection reset", ...)
// is what the session logs. An optional capture keeps a copy of what is sent (bounded).
//
// COMPRESS=DEFLATE (RFC 4978) sits between the buffers and the connection (TLS below it): once on,
// what is received is inflated into the receive buffer a block at a time, so every limit the command
// reader keeps counts inflated bytes and an inflated flood costs no more memory than plain input; what
// is sent is deflated and flushed (Z_SYNC_FLUSH) at every send, so a reply is never held back.
// Thread safety: one session thread; another thread may only shut the socket down.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "imap/ImapCommandReader.h"
#include "imap/ImapLimits.h"
#include "net/SocketConnection.h"

namespace pw::imap {

class ImapConnection final : public CommandSource {
public:
    explicit ImapConnection(net::SocketConnection& connection);

    Status ReadByte(char& byte, std::chrono::seconds wait) override;
    Status SendContinuation(std::string_view line) override;
    // One line of at most `capacity` bytes without its CR LF. A longer line is read to its end and
    // refused (Error, with `tooLong` set).
    Status ReadLine(std::string& line, std::size_t capacity, std::chrono::seconds wait, bool& tooLong);

    // Gathered; sent when the buffer fills or at Flush.
    void Write(std::string_view bytes);
    void WriteLine(std::string_view text);
    Status Flush();

    // Flushes, then waits until input arrives (or is already here) or `other` becomes readable.
    enum class Wakeup { Input, Other, TimedOut, Failed };
    Wakeup WaitForInputOr(int other, std::chrono::milliseconds wait);

    // Drops what was received in plain text and runs the server handshake, bounded by `wait`.
    Status StartTls(std::chrono::seconds wait);
    bool IsTls() const { return connection_.IsTls(); }
    // Starts DEFLATE both ways after the reply that announced it was sent: the bytes received after
    // the command are the first compressed ones. False when it is on already or zlib fails.
    bool StartCompression();
    bool IsCompressed() const { return compression_ != nullptr; }
    // False after a failure; the end of the peer's data leaves writing possible.
    bool Alive() const { return alive_; }
    const std::string& ErrorText() const { return errorText_; }

    // While set, a copy of everything written goes to `capture`, up to `limit` bytes.
    void Capture(std::string* capture, std::size_t limit);

private:
    Status Refill(std::chrono::seconds wait);
    Status Fail(Status status, std::string text);
    Status SendNow(std::string_view bytes);
    Status SendRaw(std::string_view bytes);
    // Inflates what compressed input is pending into the receive buffer; Ok with nothing when more
    // must be read first.
    Status Inflate();

    net::SocketConnection& connection_;
    bool alive_ = true;
    bool readEnded_ = false;
    Status failure_ = Status::Ok;
    std::string errorText_;
    char receive_[kReceiveBufferSize];
    std::size_t receiveAt_ = 0;
    std::size_t receiveEnd_ = 0;
    std::string send_;
    struct Compression;
    struct CompressionDeleter {
        void operator()(Compression* compression) const;
    };
    std::unique_ptr<Compression, CompressionDeleter> compression_;
    std::string* capture_ = nullptr;
    std::size_t captureLimit_ = 0;
};

// "Socket Error reported by OPERATION:  DESCRIPTION" for a socket failure's code.
std::string SocketErrorText(std::string_view operation, std::int32_t code, std::uint16_t localPort = 0);

}  // namespace pw::imap
