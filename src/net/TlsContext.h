// TlsContext: the one TLS context of the process, made at start-up from a certificate chain and a
// private key (both PEM) and shared by every connection.
//
// TLS 1.2 is the least version spoken, never SSL 2 or 3; the certificate file may hold the chain of
// intermediates after the server's own certificate. A missing file or a key that does not match
// leaves the process without TLS (TlsAvailable false): STARTTLS is not offered, and instances that
// speak TLS from the first byte are not started (TlsUnavailableReason says why), never served in
// plain text. Connections keep their own reference to the context, so TlsRelease at
// shutdown never pulls it from under a running session.
// The client side has a context of its own (TlsClientContextReference), made at its first use and
// kept to the end of the process: outgoing STARTTLS works whether or not this server has a certificate
// of its own. It trusts the system's store (SSL_CTX_set_default_verify_paths, so SSL_CERT_FILE and
// SSL_CERT_DIR apply) and completes a handshake whatever the peer's certificate is; the caller asks
// the connection afterwards whether the certificate verified and decides what it may send over it.
// Thread safety: every function may be called from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;

namespace pw::net {

// False when a file is missing or unusable; the reason is logged.
bool TlsInitialise(const std::string& certificatePath, const std::string& keyPath);
bool TlsAvailable();
// Why there is no server context ("" when there is one): none was configured, or the reason the last
// TlsInitialise failed.
std::string TlsUnavailableReason();
void TlsRelease();
// The context with a reference of the caller's (SSL_CTX_free it), or nullptr.
SSL_CTX* TlsContextReference();
// The client context with a reference of the caller's (SSL_CTX_free it), made on first use; nullptr
// only when the library can not make one (logged).
SSL_CTX* TlsClientContextReference();
// The TLS library's queued error texts of this thread, taken from the queue and joined.
std::string QueuedTlsErrors(std::string_view separator);

}  // namespace pw::net
