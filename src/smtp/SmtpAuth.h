// SmtpAuth: the server's side of SMTP authentication (RFC 4954) -- the mechanisms, the "334" exchange
// and the CRAM-MD5 challenge of this protocol. The PLAIN response and the CRAM-MD5 digest are
// net/Sasl.h's, shared with IMAP. Responses are decoded with mime::DecodeBase64Strict.
// Thread safety: pure functions.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pw::smtp {

// "<%d.%I64i@%s>": the thread, the bits of the current automation date as a signed integer, the domain.
std::string CramMd5Challenge(std::string_view domain);
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
