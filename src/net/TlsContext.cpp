// TlsContext: OpenSSL 3 context set-up.
#include "net/TlsContext.h"

#include <mutex>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include "core/Logging.h"

namespace pw::net {

namespace {

std::mutex contextLock;
SSL_CTX* context = nullptr;
SSL_CTX* clientContext = nullptr;  // made once, never released: clients may run until the process ends
// Why there is no server context, for the instances that can not start without one.
constexpr std::string_view kNeverConfigured = "no certificate is configured (\"sys:ssl:enabled\" is off)";
std::string unavailableReason{kNeverConfigured};

bool Fail(std::string reason) {
    core::Log(core::LogLevelCritical, "TLS is off: " + reason);
    std::lock_guard guard(contextLock);
    unavailableReason = std::move(reason);
    return false;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string QueuedTlsErrors(std::string_view separator) {
    std::string text;
    while (const unsigned long error = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(error, line, sizeof line);
        if (!text.empty()) text += separator;
        text += line;
    }
    return text;
}

bool TlsInitialise(const std::string& certificatePath, const std::string& keyPath) {
    if (!FileExists(certificatePath)) return Fail("Certificate file missing:  \"" + certificatePath + "\"");
    if (!FileExists(keyPath)) return Fail("Private Key file missing:  \"" + keyPath + "\"");
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    SSL_CTX* made = SSL_CTX_new(TLS_method());
    const bool ok = made && SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION) == 1 &&
                    SSL_CTX_use_certificate_chain_file(made, certificatePath.c_str()) == 1 &&
                    SSL_CTX_use_PrivateKey_file(made, keyPath.c_str(), SSL_FILETYPE_PEM) == 1 &&
                    SSL_CTX_check_private_key(made) == 1;
    if (!ok) {
        std::string errors = QueuedTlsErrors("; ");
        SSL_CTX_free(made);
        return Fail("the certificate or key can not be used: " + errors);
    }
    SSL_CTX_set_mode(made, SSL_MODE_AUTO_RETRY);
    std::lock_guard guard(contextLock);
    SSL_CTX_free(context);
    context = made;
    unavailableReason.clear();
    return true;
}

bool TlsAvailable() {
    std::lock_guard guard(contextLock);
    return context != nullptr;
}

void TlsRelease() {
    std::lock_guard guard(contextLock);
    SSL_CTX_free(context);
    context = nullptr;
    unavailableReason = kNeverConfigured;
}

std::string TlsUnavailableReason() {
    std::lock_guard guard(contextLock);
    return context ? std::string() : unavailableReason;
}

SSL_CTX* TlsContextReference() {
    std::lock_guard guard(contextLock);
    if (context) SSL_CTX_up_ref(context);
    return context;
}

SSL_CTX* TlsClientContextReference() {
    std::lock_guard guard(contextLock);
    if (!clientContext) {
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        SSL_CTX* made = SSL_CTX_new(TLS_method());
        const bool ok = made && SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION) == 1;
        // A store that can not be read leaves every certificate unverified, which callers handle.
        if (ok && SSL_CTX_set_default_verify_paths(made) != 1) {
            core::Log(core::LogLevelWarning, "TLS: the system's trusted certificates can not be read: " + QueuedTlsErrors("; "));
        }
        if (!ok) {
            core::Log(core::LogLevelCritical, "TLS: no client context can be made: " + QueuedTlsErrors("; "));
            SSL_CTX_free(made);
            return nullptr;
        }
        // The handshake never stops at the certificate: whether it verified is the caller's question.
        SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_mode(made, SSL_MODE_AUTO_RETRY);
        clientContext = made;
    }
    SSL_CTX_up_ref(clientContext);
    return clientContext;
}

}  // namespace pw::net
