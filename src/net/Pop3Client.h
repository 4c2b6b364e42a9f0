// Pop3Client: the client side of POP3 (RFC 1939), as far as the server uses it: the login that opens
// a relay server's POP-before-SMTP window, and the POP3 pickup's collection. Here, below both the SMTP
// transport and the POP3 folder, so that either reaches it without depending on the other.
//
// Each command waits for its status line; only "+OK" counts. Credentials go on a connection that does
// not log its traffic. Socket failures and time-outs throw CnwSocketErr. A multi-line reply is read to
// its terminating "." line even where the reader stops taking its lines, so the conversation stays in
// step; only a whole line "." ends it, and only at a line start is a stuffed dot removed.
// Thread safety: one client per thread.
#pragma once

#include "net/SocketConnection.h"
#include "platform/IpAddress.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pw::net {

// The piece size a message is read in: longer lines arrive in several pieces.
inline constexpr std::size_t kPop3ReadPiece = 1024;

class Pop3Client {
public:
    // Every wait (connect, each status line, each piece of a message) is bounded by timeoutSeconds.
    explicit Pop3Client(int timeoutSeconds) { connection_.SetTimeout(timeoutSeconds); }

    // Connects (either family) and reads the greeting; false unless it is "+OK".
    bool Open(const IpAddress& address, std::uint16_t port);
    // Connects without reading the greeting (for TLS from the first byte: StartTls, then Greeting).
    void Connect(const IpAddress& address, std::uint16_t port);
    // The TLS client handshake; peerName is what the certificate must name. Whether it verified is
    // the caller's to ask (TlsVerifyFailure) before anything secret is sent.
    void StartTls(std::string_view peerName);
    std::string TlsVerifyFailure() const { return connection_.TlsVerifyFailure(); }
    bool Greeting() { return Ok(); }
    std::string PeerAddress() const { return connection_.PeerAddress(); }

    // USER and PASS; false at the first refusal.
    bool Login(std::string_view user, std::string_view password);
    // A command of one status line (STAT, NOOP, ...); true for "+OK". StatusText is its line.
    bool Command(std::string_view command);
    const std::string& StatusText() const { return status_; }
    // A command answered by a multi-line reply (UIDL, LIST): false for a refusal; each line of a
    // positive reply goes to `line` without its line end (a line too long to be a listing entry is
    // skipped).
    bool Listing(std::string_view command, const std::function<void(std::string_view line)>& line);
    // RETR n: false for a refusal; otherwise every piece of the message goes to `piece` as it is
    // read, at most kPop3ReadPiece bytes each, with its stuffed dot taken off and `lineStart` telling
    // whether the piece begins a line. Returns at the terminating line.
    bool Retrieve(std::uint32_t number, const std::function<void(std::string_view piece, bool lineStart)>& piece);
    // Sends QUIT without waiting for its answer.
    void Quit();
    // Sends QUIT and reads its answer: true when the server confirmed (and so made its deletions).
    bool QuitConfirmed();

private:
    bool Ok();

    SocketConnection connection_;
    std::string status_;
};

}  // namespace pw::net
