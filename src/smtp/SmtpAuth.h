// SmtpAuth: the pieces of SMTP authentication (RFC 4954) -- the PLAIN response (RFC 4616), the
// CRAM-MD5 challenge and digest (RFC 2195, HMAC-MD5 from Crypto++). Responses are decoded with
// mime::DecodeBase64Strict.
// Thread safety: pure functions.
#pragma once

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

}  // namespace pw::smtp
