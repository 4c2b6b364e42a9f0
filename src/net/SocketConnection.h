// SocketConnection: the TCP connection every protocol of the server talks through -- SMTP server
// and client, POP3 server and client -- plain or TLS.
//
// Reads go through a 4096-byte receive buffer that can be peeked, so ReadLine never consumes past the
// CR LF of its line: after STARTTLS or DATA the next bytes are still unread. Every wait is bounded by
// the connection's time-out (300 s unless the session sets its instance's): a read that gets no byte
// within it, a send that can not move, and a TLS handshake that does not finish all fail with
// CnwSocketErr code 10060, so an idle or stalled peer never holds a thread. The socket is
// non-blocking underneath; "blocking" is this class's bounded waiting.
// Starting TLS discards bytes still held in the receive buffer: they arrived in plain text before the
// handshake and must not be taken as if they had come through TLS (the STARTTLS command injection).
// Failures throw CnwSocketErr (SocketError.h). OnTraffic sees every chunk sent and every chunk
// consumed; LoggedConnection writes them to the log at debug level.
// Thread safety: one thread at a time; another thread may only ShutdownSocket() to end a session.
#pragma once

#include "net/SocketError.h"
#include "platform/IpAddress.h"
#include "platform/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

namespace pw::net {

inline constexpr std::size_t kReceiveBufferSize = 4096;
inline constexpr int kDefaultConnectionTimeout = 300;
// How long a send or receive that the system asks to repeat waits for the socket before trying again.
inline constexpr int kRetryWaitSeconds = 30;

class SocketConnection {
public:
    SocketConnection();
    // Takes an accepted socket. A borrowed socket is shut down by Close but left open: its owner (a
    // session's ticket) closes it, so that a stop from another thread never meets a reused number.
    explicit SocketConnection(int socket, bool borrowed = false);
    virtual ~SocketConnection();
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    // Called with every chunk sent and every chunk consumed; the base does nothing.
    virtual bool OnTraffic(const char* data, std::size_t length);
    // Resolves the host (address text of either family, or a name through the system's lookup: its
    // IPv4 address when it has one, else its IPv6 address) and connects.
    virtual void Connect(std::string_view host, std::uint16_t port);
    // Delivers up to length bytes (fewer when fewer are buffered); 0 when the peer closed.
    virtual std::size_t Receive(char* buffer, std::size_t length, bool peek);
    // One line with its CR LF, zero-terminated, at most capacity - 1 bytes: a longer line comes in
    // pieces; a CR ending one chunk and an LF starting the next end the line. A peer that closed
    // before a byte of the line came fails with "recv" 10053.
    virtual std::size_t ReadLine(char* buffer, std::size_t capacity);
    // Sends everything, or fails.
    virtual std::size_t Send(const char* data, std::size_t length);
    virtual std::size_t SendLine(std::string_view text);
    virtual std::size_t SendString(std::string_view text);
    // A protocol reply: text that ends with CR LF (a reply of several lines, each ended) goes as it
    // is; any other text is one line and gets its CR LF.
    std::size_t SendReply(std::string_view text);

    // ReadLine into a string.
    std::string ReadLineText(std::size_t capacity = kReceiveBufferSize);
    // A command line: ReadLine, except that a line longer than capacity - 1 bytes is read to its end
    // and thrown away (nullopt), never handed out in pieces that could pass for lines of their own.
    // Only CR LF ends a line, also where a piece happens to end with a bare LF.
    std::optional<std::size_t> ReadBoundedLine(char* buffer, std::size_t capacity);
    // A session's command line: ReadBoundedLine into the buffer, the line with its end as a view of it;
    // nullopt for an over-long line, which the debug log notes without its bytes.
    std::optional<std::string_view> ReadCommandLine(std::span<char> buffer);
    // ReadLine may stop at a full buffer between the CR and the LF of a line end. After a piece whose
    // last byte is `last`, takes that LF when it comes next; true when it did (the line has ended).
    bool TakeLineFeedAfter(char last);

    // Opens a socket of the type (SOCK_STREAM) and of the address's family (IPv4 without one) and
    // binds it as Bind does.
    void Create(std::uint16_t port, int type, const char* address);
    // Address as text of the socket's family, or null for all addresses; text that does not parse, or
    // is of the other family, fails with 10022.
    void Bind(std::uint16_t port, const char* address);
    // Number of ready sockets, 0 on time-out.
    int Wait(bool forReading, int seconds, int microseconds);
    // Waits for input, or for another descriptor to become readable: kInput (also when received data
    // is already held, here or by TLS), kOther, or 0 when the time ran out.
    static constexpr int kInput = 1;
    static constexpr int kOther = 2;
    int WaitForInputOr(int other, int milliseconds);
    // Port in host order. A socket made by Create must be of the address's family.
    void ConnectAddress(const IpAddress& address, std::uint16_t port);
    // A local daemon's Unix socket (spamd, clamd), with the same bounded wait as TCP.
    void ConnectUnix(std::string_view path);
    // Address in network byte order, port in host order.
    void ConnectIPv4(std::uint32_t address, std::uint16_t port);
    void SetBlocking(bool blocking);
    // The peer's address as text (an IPv4-mapped address as IPv4).
    std::string PeerAddress() const;

    void TlsServerStart();
    // The client handshake, through the client context (TlsContext.h). A peer name (host name or
    // dotted address) goes out as the server name indication and is what the certificate must match.
    void TlsClientStart(std::string_view peerName = {});
    void TlsAccept();
    bool IsTls() const { return tls_ != nullptr; }
    // Empty when the peer's certificate verified against the trusted store and matched the peer name
    // given to TlsClientStart; else why not (also when the connection is plain).
    std::string TlsVerifyFailure() const;

    // Frees the TLS session, shuts the socket down both ways and closes it (unless borrowed).
    void Close();
    // Ends the connection from another thread: the owner's next read or write fails.
    void ShutdownSocket() const;

    int Socket() const { return socket_; }
    int Timeout() const { return timeout_; }
    void SetTimeout(int seconds) { timeout_ = seconds; }
    std::int32_t LastError() const { return lastError_; }
    std::size_t Buffered() const { return held_; }

private:
    [[noreturn]] void Fail(std::string_view operation, std::int32_t code);
    [[noreturn]] void FailTls(std::string_view operation, std::string_view message, std::int32_t code);
    void ConnectTo(int family, const sockaddr* address, socklen_t size);
    // Waits until the socket is readable (or writable) or the deadline passes; false on time-out.
    bool WaitReady(bool forReading, int milliseconds);
    void Fill();
    void AttachTls(std::string_view operation, bool server, std::string_view peerName = {});
    void Handshake(std::string_view operation, bool server);
    // The TLS error translation for a read or write that returned r <= 0: returns when the call
    // should be repeated after waiting (readable when wantRead), throws otherwise.
    void TranslateTlsError(std::string_view operation, int result, bool& wantRead);
    void Consume(std::size_t count);

    SSL* tls_ = nullptr;
    int socket_ = -1;   // the descriptor in use
    UniqueFd owned_;    // holds socket_ unless it is borrowed
    int timeout_ = kDefaultConnectionTimeout;
    std::int32_t lastError_ = 0;
    char buffer_[kReceiveBufferSize];
    std::size_t held_ = 0;
};

// SocketConnection with every chunk of traffic written to the log at debug level. A session that
// reads secrets (passwords in an AUTH exchange) turns the logging of received bytes off and logs what
// it read itself, masked.
class LoggedConnection : public SocketConnection {
public:
    using SocketConnection::SocketConnection;
    bool OnTraffic(const char* data, std::size_t length) override;
    std::size_t Send(const char* data, std::size_t length) override;
    void SetLogReceived(bool log) { logReceived_ = log; }

private:
    bool sending_ = false;  // OnTraffic is seeing sent bytes
    bool logReceived_ = true;
};

}  // namespace pw::net
