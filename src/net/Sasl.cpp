// Sasl: PLAIN parsing and the CRAM-MD5 digest.
#include "net/Sasl.h"

#include <cryptopp/hmac.h>
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include "platform/Text.h"

namespace pw::net {

std::optional<PlainCredentials> ParsePlainResponse(std::string_view decoded) {
    const std::size_t first = decoded.find('\0');
    if (first == std::string_view::npos) return std::nullopt;
    const std::size_t second = decoded.find('\0', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const std::string_view authorisation = decoded.substr(0, first);
    PlainCredentials credentials{std::string(decoded.substr(first + 1, second - first - 1)),
                                 std::string(decoded.substr(second + 1))};
    if (credentials.user.empty() || credentials.password.empty()) return std::nullopt;
    if (!authorisation.empty() && authorisation != credentials.user) return std::nullopt;
    return credentials;
}

std::string CramMd5Digest(std::string_view password, std::string_view challenge) {
    CryptoPP::HMAC<CryptoPP::Weak::MD5> mac(reinterpret_cast<const CryptoPP::byte*>(password.data()), password.size());
    mac.Update(reinterpret_cast<const CryptoPP::byte*>(challenge.data()), challenge.size());
    CryptoPP::byte digest[CryptoPP::Weak::MD5::DIGESTSIZE];
    mac.Final(digest);
    return LowerHex(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

}  // namespace pw::net
