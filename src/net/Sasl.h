// Sasl: the pieces of password authentication that SMTP AUTH and IMAP AUTHENTICATE share -- the
// PLAIN response (RFC 4616) and the CRAM-MD5 digest (RFC 2195, HMAC-MD5 from Crypto++). Each protocol
// keeps its own challenge format and its own exchange.
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pw::net {

struct PlainCredentials {
    std::string user;
    std::string password;
};
// "authzid NUL authcid NUL password": the authentication identity is the user. A non-empty
// authorisation identity other than the user is refused (nullopt), as are a missing user or password.
std::optional<PlainCredentials> ParsePlainResponse(std::string_view decoded);

// HMAC-MD5 of the challenge keyed with the password, as 32 lower-case hexadecimal digits.
std::string CramMd5Digest(std::string_view password, std::string_view challenge);

}  // namespace pw::net
