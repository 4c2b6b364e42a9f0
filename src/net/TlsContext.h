// TlsContext: the one TLS context of the process, made at start-up from a certificate chain and a
// private key (both PEM) and shared by every connection.
//
// TLS 1.2 is the least version spoken, never SSL 2 or 3; the certificate file may hold the chain of
// intermediates after the server's own certificate. A missing file or a key that does not match
// leaves the process without TLS (TlsAvailable false): TLS instances then speak plain text and
// STARTTLS is not offered. Connections keep their own reference to the context, so TlsRelease at
// shutdown never pulls it from under a running session.
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
void TlsRelease();
// The context with a reference of the caller's (SSL_CTX_free it), or nullptr.
SSL_CTX* TlsContextReference();
// The TLS library's queued error texts of this thread, taken from the queue and joined.
std::string QueuedTlsErrors(std::string_view separator);

}  // namespace pw::net
