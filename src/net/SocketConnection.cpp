// SocketConnection: bounded-wait reads and writes, the line reader, TLS sessions.
#include "net/SocketConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/Logging.h"
#include "net/TlsContext.h"
#include "platform/IpAddress.h"
#include "platform/Text.h"

namespace pw::net {

namespace {

using Clock = std::chrono::steady_clock;

// A peer that closes while we write must end the session with an error, not the process.
void IgnoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

bool SetNonBlocking(int fd, bool nonBlocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return ::fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

// A reply or command written in two pieces must not wait for the peer's delayed acknowledgement.
void SendWithoutDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

Clock::time_point DeadlineAfter(int seconds) { return Clock::now() + std::chrono::seconds(std::max(seconds, 1)); }

bool Retryable(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EINPROGRESS; }

}  // namespace

SocketConnection::SocketConnection() { IgnoreBrokenPipes(); }

SocketConnection::SocketConnection(int socket, bool borrowed) : socket_(socket), owned_(borrowed ? -1 : socket) {
    IgnoreBrokenPipes();
    SetNonBlocking(socket_, true);
    SendWithoutDelay(socket_);
}

SocketConnection::~SocketConnection() { Close(); }

bool SocketConnection::OnTraffic(const char*, std::size_t) { return true; }

void SocketConnection::Fail(std::string_view operation, std::int32_t code) {
    lastError_ = code;
    throw CnwSocketErr::Socket(socket_, operation, code);
}

void SocketConnection::FailTls(std::string_view operation, std::string_view message, std::int32_t code) {
    if (code == 0) code = lastError_;
    lastError_ = code;
    throw CnwSocketErr::Tls(socket_, operation, message, code);
}

bool SocketConnection::WaitReady(bool forReading, int milliseconds) {
    pollfd entry{socket_, static_cast<short>(forReading ? POLLIN : POLLOUT), 0};
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) Fail("Wait", WinsockErrorFromErrno(errno));
    }
}

int SocketConnection::WaitForInputOr(int other, int milliseconds) {
    if (held_ > 0 || (tls_ && SSL_pending(tls_) > 0)) return kInput;
    pollfd entries[2] = {{socket_, POLLIN, 0}, {other, POLLIN, 0}};
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const int ready = ::poll(entries, other >= 0 ? 2 : 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) Fail("Wait", WinsockErrorFromErrno(errno));
        if (ready == 0) return 0;
        // The socket first: its end or an error must be seen even while the other keeps firing.
        return entries[0].revents != 0 ? kInput : kOther;
    }
}

int SocketConnection::Wait(bool forReading, int seconds, int microseconds) {
    pollfd entry{socket_, static_cast<short>(forReading ? POLLIN : POLLOUT), 0};
    const int ready = ::poll(&entry, 1, seconds * 1000 + microseconds / 1000);
    if (ready < 0) Fail("Wait", WinsockErrorFromErrno(errno));
    return ready;
}

void SocketConnection::TranslateTlsError(std::string_view operation, int result, bool& wantRead) {
    const int kind = SSL_get_error(tls_, result);
    switch (kind) {
    case SSL_ERROR_WANT_READ: wantRead = true; return;
    case SSL_ERROR_WANT_WRITE: wantRead = false; return;
    case SSL_ERROR_SSL: FailTls(operation, "SSL error:" + QueuedTlsErrors("\r\n"), result);
    case SSL_ERROR_ZERO_RETURN: FailTls(operation, "ERROR_ZERO_RETURN", result);
    case SSL_ERROR_SYSCALL: {
        if (const unsigned long queued = ERR_get_error()) {
            FailTls(operation, Format("SYSCall error: Error code %u", {std::uint64_t{queued}}), result);
        }
        if (result == 0) FailTls(operation, "SYSCall error: Connection truncated", result);
        const int error = errno;
        if (Retryable(error)) {
            wantRead = std::string_view(operation) == "TlsReceive";
            return;
        }
        int pending = 0;
        socklen_t size = sizeof pending;
        ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &pending, &size);
        const int code = WinsockErrorFromErrno(pending != 0 ? pending : error);
        lastError_ = code;
        FailTls(operation, Format("SYSCall error: Socket error %d", {std::int64_t{code}}), code);
    }
    default: FailTls(operation, Format("Result Code %d, error %d", {std::int64_t{result}, std::int64_t{kind}}), result);
    }
}

void SocketConnection::Fill() {
    const auto deadline = DeadlineAfter(timeout_);
    bool wantRead = true;
    // Only the first read may skip the wait for data OpenSSL already holds. SSL_has_pending is also
    // true for an incomplete record; once SSL_read asked for more, only the socket can bring it, and
    // skipping the wait then would spin past the deadline.
    bool wait = !(tls_ && SSL_has_pending(tls_));
    for (;; wait = true) {
        if (wait && !WaitReady(wantRead, MillisecondsLeft(deadline))) Fail("Receive", wsa::kTimedOut);
        if (tls_) {
            const int r = SSL_read(tls_, buffer_, static_cast<int>(sizeof buffer_));
            if (r > 0) {
                held_ = static_cast<std::size_t>(r);
                return;
            }
            TranslateTlsError("TlsReceive", r, wantRead);
            continue;
        }
        const ssize_t r = ::recv(socket_, buffer_, sizeof buffer_, 0);
        if (r >= 0) {
            held_ = static_cast<std::size_t>(r);  // 0: the peer closed
            return;
        }
        if (!Retryable(errno)) Fail("Receive", WinsockErrorFromErrno(errno));
    }
}

void SocketConnection::Consume(std::size_t count) {
    std::memmove(buffer_, buffer_ + count, held_ - count);
    held_ -= count;
}

std::size_t SocketConnection::Receive(char* buffer, std::size_t length, bool peek) {
    if (socket_ < 0) Fail("Receive", wsa::kNotSocket);
    if (held_ == 0) Fill();
    const std::size_t count = std::min(held_, length);
    std::memcpy(buffer, buffer_, count);
    if (!peek && count != 0) {
        Consume(count);
        OnTraffic(buffer, count);
    }
    return count;
}

std::size_t SocketConnection::ReadLine(char* buffer, std::size_t capacity) {
    if (capacity == 0) return 0;
    std::size_t room = capacity - 1;
    std::size_t got = 0;
    while (room > 0) {
        const std::size_t peeked = Receive(buffer + got, room, true);
        if (peeked == 0) {
            if (got == 0) Fail("recv", wsa::kConnectionAborted);
            break;
        }
        const char* data = buffer + got;
        if (got > 0 && buffer[got - 1] == '\r' && data[0] == '\n') {
            got += Receive(buffer + got, 1, false);
            break;
        }
        const void* lf = nullptr;
        for (std::size_t i = 0; i + 1 < peeked; ++i) {
            if (data[i] == '\r' && data[i + 1] == '\n') {
                lf = data + i + 1;
                break;
            }
        }
        if (lf) {
            got += Receive(buffer + got, static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1, false);
            break;
        }
        got += Receive(buffer + got, peeked, false);
        room -= peeked;
    }
    buffer[got] = '\0';
    return got;
}

std::string SocketConnection::ReadLineText(std::size_t capacity) {
    std::string line(capacity, '\0');
    line.resize(ReadLine(line.data(), capacity));
    return line;
}

bool SocketConnection::TakeLineFeedAfter(char last) {
    char next = 0;
    if (last != '\r' || Receive(&next, 1, true) != 1 || next != '\n') return false;
    Receive(&next, 1, false);
    return true;
}

std::optional<std::size_t> SocketConnection::ReadBoundedLine(char* buffer, std::size_t capacity) {
    // A piece that does not fill the buffer is a whole line: it ends with CR LF, or where the peer closed.
    const auto whole = [&](std::size_t length) {
        return length + 1 < capacity || (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n');
    };
    std::size_t length = ReadLine(buffer, capacity);
    if (length == 0 || whole(length)) return length;
    while (!TakeLineFeedAfter(buffer[length - 1])) {
        length = ReadLine(buffer, capacity);
        if (whole(length)) break;
    }
    return std::nullopt;
}

std::optional<std::string_view> SocketConnection::ReadCommandLine(std::span<char> buffer) {
    const auto length = ReadBoundedLine(buffer.data(), buffer.size());
    if (!length) {
        core::Log(core::LogLevelDebug, "(an over-long command line)");
        return std::nullopt;
    }
    return std::string_view(buffer.data(), *length);
}

std::size_t SocketConnection::Send(const char* data, std::size_t length) {
    if (socket_ < 0) Fail("send", wsa::kNotSocket);
    std::size_t sent = 0;
    while (sent < length) {
        const auto deadline = DeadlineAfter(timeout_);
        bool wantRead = false;
        // A reply almost always fits the socket's buffer: the wait comes only after a try that would block.
        for (bool wait = false;; wait = true) {
            if (wait && !WaitReady(wantRead, MillisecondsLeft(deadline))) Fail("send", wsa::kTimedOut);
            ssize_t r = 0;
            const std::size_t left = std::min<std::size_t>(length - sent, 1 << 30);
            if (tls_) {
                r = SSL_write(tls_, data + sent, static_cast<int>(left));
                if (r <= 0) {
                    TranslateTlsError("TlsSend", static_cast<int>(r), wantRead);
                    continue;
                }
            } else {
                r = ::send(socket_, data + sent, left, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (r < 0 && Retryable(errno)) continue;
                if (r <= 0) Fail("send", r < 0 ? WinsockErrorFromErrno(errno) : wsa::kConnectionAborted);
            }
            OnTraffic(data + sent, static_cast<std::size_t>(r));
            sent += static_cast<std::size_t>(r);
            break;
        }
    }
    return sent;
}

std::size_t SocketConnection::SendString(std::string_view text) { return Send(text.data(), text.size()); }

std::size_t SocketConnection::SendLine(std::string_view text) {
    // One send for the line and its end: a segment of its own for two bytes would cost the peer a wake-up.
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n");
    return SendString(line);
}

std::size_t SocketConnection::SendReply(std::string_view text) {
    return text.ends_with("\r\n") ? SendString(text) : SendLine(text);
}

void SocketConnection::Create(std::uint16_t port, int type, const char* address) {
    Close();
    const auto parsed = address ? IpAddress::Parse(address) : std::nullopt;
    owned_.Reset(::socket(parsed ? parsed->SocketFamily() : AF_INET, type | SOCK_CLOEXEC, 0));
    socket_ = owned_.Get();
    if (socket_ < 0) Fail("Create", WinsockErrorFromErrno(errno));
    Bind(port, address);
}

void SocketConnection::Bind(std::uint16_t port, const char* address) {
    int family = AF_INET;
    socklen_t size = sizeof family;
    if (::getsockopt(socket_, SOL_SOCKET, SO_DOMAIN, &family, &size) != 0) Fail("Bind", WinsockErrorFromErrno(errno));
    IpAddress local = family == AF_INET6 ? IpAddress::FromIPv6Bytes({}) : IpAddress();
    if (address) {
        const auto parsed = IpAddress::Parse(address);
        if (!parsed || parsed->SocketFamily() != family) Fail("Bind", wsa::kInvalidArgument);
        local = *parsed;
    }
    sockaddr_storage bound{};
    const socklen_t boundSize = local.ToSocketAddress(port, bound);
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&bound), boundSize) != 0) Fail("Bind", WinsockErrorFromErrno(errno));
}

void SocketConnection::Connect(std::string_view host, std::uint16_t port) {
    if (host.empty()) Fail("Connect", wsa::kNoDestination);
    const std::string name(host);
    if (const auto address = IpAddress::Parse(name)) return ConnectAddress(*address, port);
    // IPv4 first, as the transport orders a name's addresses; IPv6 when the name has no IPv4 address.
    for (const int family : {AF_INET, AF_INET6}) {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) continue;
        const auto address = IpAddress::FromSocketAddress(found->ai_addr, found->ai_addrlen);
        ::freeaddrinfo(found);
        if (address) return ConnectAddress(*address, port);
    }
    Fail("Connect", wsa::kNoDestination);
}

void SocketConnection::ConnectIPv4(std::uint32_t address, std::uint16_t port) {
    ConnectAddress(IpAddress::FromNetworkOrder(address), port);
}

void SocketConnection::ConnectAddress(const IpAddress& address, std::uint16_t port) {
    sockaddr_storage remote{};
    const socklen_t size = address.ToSocketAddress(port, remote);
    ConnectTo(address.SocketFamily(), reinterpret_cast<const sockaddr*>(&remote), size);
}

void SocketConnection::ConnectUnix(std::string_view path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) Fail("Connect", wsa::kInvalidArgument);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ConnectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void SocketConnection::ConnectTo(int family, const sockaddr* address, socklen_t size) {
    if (socket_ < 0) {
        owned_.Reset(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        socket_ = owned_.Get();
        if (socket_ < 0) Fail("Connect", WinsockErrorFromErrno(errno));
        if (family != AF_UNIX) SendWithoutDelay(socket_);
    }
    if (!SetNonBlocking(socket_, true)) Fail("BlockMode", WinsockErrorFromErrno(errno));
    if (::connect(socket_, address, size) == 0) return;
    if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) Fail("Connect", WinsockErrorFromErrno(errno));
    if (!WaitReady(false, timeout_ * 1000)) Fail("Connect", wsa::kTimedOut);
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) Fail("Connect", WinsockErrorFromErrno(error));
}

void SocketConnection::SetBlocking(bool blocking) {
    if (!SetNonBlocking(socket_, !blocking)) Fail("BlockMode", WinsockErrorFromErrno(errno));
}

std::string SocketConnection::PeerAddress() const {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &size) != 0) {
        throw CnwSocketErr::Socket(socket_, "GetPeerName", WinsockErrorFromErrno(errno));
    }
    const auto address = IpAddress::FromSocketAddress(reinterpret_cast<const sockaddr*>(&peer), size);
    if (!address) throw CnwSocketErr::Socket(socket_, "GetPeerName", wsa::kInvalidArgument);
    return address->Text();
}

void SocketConnection::AttachTls(std::string_view operation, bool server, std::string_view peerName) {
    SSL_CTX* context = server ? TlsContextReference() : TlsClientContextReference();
    if (!context) FailTls(operation, "SSL context not initialized", wsa::kNotConnected);
    SSL* session = SSL_new(context);
    SSL_CTX_free(context);  // the session holds its own reference
    if (!session) FailTls(operation, "SSL_new() failed", wsa::kNoBuffers);
    if (SSL_set_fd(session, socket_) != 1) {
        SSL_free(session);
        FailTls(operation, "SSL_set_fd() failed", wsa::kNotSocket);
    }
    // A peer that just drops the connection ends it like a close; its data was already read.
    SSL_set_options(session, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (server) {
        SSL_set_accept_state(session);
    } else {
        SSL_set_connect_state(session);
        if (!peerName.empty()) {
            const std::string name(peerName);
            // A name, not an address, goes out as the server name indication (RFC 6066).
            if (!IpAddress::Parse(name)) SSL_set_tlsext_host_name(session, name.c_str());
            // OpenSSL takes an address (either family) as one to match against the certificate's IP entries.
            SSL_set1_host(session, name.c_str());
        }
    }
    // Bytes that came in plain text before the handshake are not the TLS peer's: drop them.
    held_ = 0;
    tls_ = session;
}

void SocketConnection::Handshake(std::string_view operation, bool server) {
    const auto deadline = DeadlineAfter(timeout_);
    for (;;) {
        const int r = SSL_do_handshake(tls_);
        if (r == 1) return;
        const int kind = SSL_get_error(tls_, r);
        const bool wantRead = kind == SSL_ERROR_WANT_READ;
        if ((wantRead || kind == SSL_ERROR_WANT_WRITE) && WaitReady(wantRead, MillisecondsLeft(deadline)) &&
            MillisecondsLeft(deadline) > 0) {
            continue;
        }
        const std::string errors = QueuedTlsErrors("\r\n");
        SSL_free(tls_);
        tls_ = nullptr;
        const std::string call = server ? "SSL_accept()" : "SSL_connect()";
        if (wantRead || kind == SSL_ERROR_WANT_WRITE) FailTls(operation, call + " timed out", wsa::kTimedOut);
        if (kind == SSL_ERROR_SSL) FailTls(operation, call + " SSL error:" + errors, 1);
        FailTls(operation, call + " error", kind);
    }
}

void SocketConnection::TlsServerStart() { AttachTls("TslStart", true); }

void SocketConnection::TlsClientStart(std::string_view peerName) {
    AttachTls("TslStart", false, peerName);
    Handshake("TslStart", false);
}

std::string SocketConnection::TlsVerifyFailure() const {
    if (!tls_) return "the connection is not encrypted";
    // Without a certificate the verify result stays "OK": it has to be asked for separately.
    X509* certificate = SSL_get1_peer_certificate(tls_);
    if (!certificate) return "the peer sent no certificate";
    X509_free(certificate);
    const long result = SSL_get_verify_result(tls_);
    return result == X509_V_OK ? std::string() : std::string(X509_verify_cert_error_string(result));
}

void SocketConnection::TlsAccept() {
    AttachTls("TlsAccept", true);
    Handshake("TlsAccept", true);
}

void SocketConnection::Close() {
    if (tls_) {
        SSL_shutdown(tls_);  // a close notify when it can go at once; no waiting for the peer's
        SSL_free(tls_);
        tls_ = nullptr;
    }
    if (socket_ >= 0) {
        ::shutdown(socket_, SHUT_RDWR);
        owned_.Reset();  // a borrowed socket is its owner's to close
        socket_ = -1;
    }
    held_ = 0;
}

void SocketConnection::ShutdownSocket() const {
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

std::size_t LoggedConnection::Send(const char* data, std::size_t length) {
    sending_ = true;
    try {
        const std::size_t sent = SocketConnection::Send(data, length);
        sending_ = false;
        return sent;
    } catch (...) {
        sending_ = false;
        throw;
    }
}

bool LoggedConnection::OnTraffic(const char* data, std::size_t length) {
    if (sending_ || logReceived_) core::Log(core::LogLevelDebug, std::string_view(data, length));
    return true;
}

}  // namespace pw::net
