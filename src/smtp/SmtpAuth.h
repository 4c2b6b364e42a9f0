// SmtpAuth: the pieces of SMTP authentication (RFC 4954) -- the PLAIN response (RFC 4616), the
// CRAM-MD5 challenge and digest (RFC 2195, HMAC-MD5 from Crypto++). Responses are decoded with
// mime::DecodeBase64Strict.
// Thread safety: pure functions.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pw::smtp {

struct PlainCredentials {
    std::string user;
    std::string password;
};
// "authzid NUL authcid NUL password": the authentication identity is the user. A non-empty
// authorisation identity other than the user is refused (nullopt), as are a missing user or password.
std::optional<PlainCredentials> ParsePlainResponse(std::string_view decoded);

// "<%d.%I64i@%s>": the thread, the bits of the current automation date as a signed integer, the domain.
std::string CramMd5Challenge(std::string_view domain);
// HMAC-MD5 of the challenge keyed with the password, as 32 lower-case hexadecimal digits.
std::string CramMd5Digest(std::string_view password, std::string_view challenge);

// What a client offered in an AUTH exchange: a user and password (LOGIN, PLAIN), or a user and the
// digest of the challenge (CRAM-MD5).
struct SaslCredentials {
    std::string user;
    std::string password;
    bool cramMd5 = false;
    std::string challenge;
    std::string digest;
};
enum class SaslMechanism { Unknown, Login, Plain, CramMd5 };
// LOGIN and PLAIN only when the instance offers them (`passwordMechanisms`); CRAM-MD5 always.
SaslMechanism ParseMechanism(std::string_view name, bool passwordMechanisms);
// The server's side of one exchange (RFC 4954): `challenge` sends a "334" line, `response` reads the
// client's next line (empty when there is none). An initial response counts for LOGIN and PLAIN.
// nullopt: the client's answers are no valid response ("501").
std::optional<SaslCredentials> RunSaslExchange(SaslMechanism mechanism, std::optional<std::string> initialResponse,
                                               std::string_view domain, const std::function<void(std::string_view)>& challenge,
                                               const std::function<std::string()>& response);

}  // namespace pw::smtp
