// SmtpAuth: Base64, PLAIN and CRAM-MD5.
#include "smtp/SmtpAuth.h"

#include <bit>
#include <cryptopp/hmac.h>
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <unistd.h>

#include "platform/AutomationDate.h"
#include "platform/Text.h"

namespace pw::smtp {

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::optional<std::string> DecodeBase64Strict(std::string_view text) {
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 == 1) return std::nullopt;
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        const int v = Base64Value(c);
        if (v < 0) return std::nullopt;
        value = (value << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

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

std::string CramMd5Challenge(std::string_view domain) {
    const auto bits = std::bit_cast<std::int64_t>(Now());
    return Format("<%d.%I64i@%s>", {std::int64_t{::gettid()}, bits, domain});
}

std::string CramMd5Digest(std::string_view password, std::string_view challenge) {
    CryptoPP::HMAC<CryptoPP::Weak::MD5> mac(reinterpret_cast<const CryptoPP::byte*>(password.data()), password.size());
    mac.Update(reinterpret_cast<const CryptoPP::byte*>(challenge.data()), challenge.size());
    CryptoPP::byte digest[CryptoPP::Weak::MD5::DIGESTSIZE];
    mac.Final(digest);
    std::string hex;
    constexpr std::string_view kDigits = "0123456789abcdef";
    for (const CryptoPP::byte b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

}  // namespace pw::smtp
