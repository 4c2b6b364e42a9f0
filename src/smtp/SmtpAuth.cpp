// SmtpAuth: PLAIN and CRAM-MD5.
#include "smtp/SmtpAuth.h"

#include <bit>
#include <unistd.h>

#include "mime/Codecs.h"
#include "net/Sasl.h"
#include "platform/AutomationDate.h"
#include "platform/Text.h"

namespace pw::smtp {

std::string CramMd5Challenge(std::string_view domain) {
    const auto bits = std::bit_cast<std::int64_t>(Now());
    return Format("<%d.%I64i@%s>", {std::int64_t{::gettid()}, bits, domain});
}

SaslMechanism ParseMechanism(std::string_view name, bool passwordMechanisms) {
    if (passwordMechanisms && EqualsNoCase(name, "LOGIN")) return SaslMechanism::Login;
    if (passwordMechanisms && EqualsNoCase(name, "PLAIN")) return SaslMechanism::Plain;
    if (EqualsNoCase(name, "CRAM-MD5")) return SaslMechanism::CramMd5;
    return SaslMechanism::Unknown;
}

std::optional<SaslCredentials> RunSaslExchange(SaslMechanism mechanism, std::optional<std::string> initialResponse,
                                               std::string_view domain, const std::function<void(std::string_view)>& challenge,
                                               const std::function<std::string()>& response) {
    SaslCredentials credentials;
    if (mechanism == SaslMechanism::Login) {
        if (!initialResponse) {
            challenge("334 VXNlcm5hbWU6");
            initialResponse = response();
            if (initialResponse->empty()) return std::nullopt;
        }
        const auto name = mime::DecodeBase64Strict(*initialResponse);
        if (!name || name->empty()) return std::nullopt;
        challenge("334 UGFzc3dvcmQ6");
        const std::string answer = response();
        if (answer.empty()) return std::nullopt;
        const auto secret = mime::DecodeBase64Strict(answer);
        if (!secret) return std::nullopt;
        credentials.user = *name;
        credentials.password = *secret;
        return credentials;
    }
    if (mechanism == SaslMechanism::Plain) {
        std::string answer = initialResponse.value_or(std::string());
        if (answer.empty()) {
            challenge("334 Okay");
            answer = response();
            if (answer.empty()) return std::nullopt;
        }
        const auto decoded = mime::DecodeBase64Strict(answer);
        const auto plain = decoded ? net::ParsePlainResponse(*decoded) : std::nullopt;
        if (!plain) return std::nullopt;
        credentials.user = plain->user;
        credentials.password = plain->password;
        return credentials;
    }
    if (mechanism != SaslMechanism::CramMd5) return std::nullopt;
    credentials.challenge = CramMd5Challenge(domain);
    challenge("334 " + mime::EncodeBase64(credentials.challenge, false));
    const auto decoded = mime::DecodeBase64Strict(response());
    if (!decoded) return std::nullopt;
    const std::size_t blank = decoded->rfind(' ');
    if (blank == std::string::npos || blank == 0 || blank + 1 == decoded->size()) return std::nullopt;
    credentials.user = decoded->substr(0, blank);
    credentials.digest = decoded->substr(blank + 1);
    credentials.cramMd5 = true;
    return credentials;
}

}  // namespace pw::smtp
