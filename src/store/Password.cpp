// Password: Blowfish ECB from Crypto++, with the store's byte order and hexadecimal form.
#include "store/Password.h"

#include <algorithm>
#include <cryptopp/blowfish.h>
#include <cryptopp/misc.h>
#include <vector>

namespace pw::store {

namespace {

constexpr std::size_t kBlock = 8;
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// Crypto++ reads a Blowfish block as two big-endian words; the store's blocks are little-endian words.
void SwapWords(std::span<std::byte> block) {
    std::reverse(block.begin(), block.begin() + 4);
    std::reverse(block.begin() + 4, block.end());
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::span<const std::byte> KeyBytes() { return std::as_bytes(std::span(kBlowfishKey.data(), kBlowfishKey.size())); }

}  // namespace

void BlowfishEcb(std::span<const std::byte> key, std::span<std::byte> blocks, bool encipher, bool littleEndianWords) {
    const auto* keyData = reinterpret_cast<const CryptoPP::byte*>(key.data());
    CryptoPP::Blowfish::Encryption encryption;
    CryptoPP::Blowfish::Decryption decryption;
    CryptoPP::BlockTransformation* cipher = &encryption;
    if (encipher) {
        encryption.SetKey(keyData, key.size());
    } else {
        decryption.SetKey(keyData, key.size());
        cipher = &decryption;
    }
    for (std::size_t offset = 0; offset + kBlock <= blocks.size(); offset += kBlock) {
        const auto block = blocks.subspan(offset, kBlock);
        if (littleEndianWords) SwapWords(block);
        auto* data = reinterpret_cast<CryptoPP::byte*>(block.data());
        cipher->ProcessBlock(data);
        if (littleEndianWords) SwapWords(block);
    }
}

std::string EncipherPassword(std::string_view password) {
    std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(password.data()),
                                 reinterpret_cast<const std::byte*>(password.data()) + password.size());
    bytes.resize((bytes.size() + kBlock - 1) / kBlock * kBlock, std::byte{0});
    BlowfishEcb(KeyBytes(), bytes, true, true);
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const std::byte b : bytes) {
        const auto value = std::to_integer<unsigned>(b);
        hex += kHexDigits[value >> 4];
        hex += kHexDigits[value & 0xF];
    }
    return hex;
}

std::optional<std::string> DecipherPassword(std::string_view stored) {
    if (stored.size() % (2 * kBlock) != 0) return std::nullopt;
    std::vector<std::byte> bytes;
    bytes.reserve(stored.size() / 2);
    for (std::size_t i = 0; i < stored.size(); i += 2) {
        const int high = HexValue(stored[i]);
        const int low = HexValue(stored[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::byte>(high * 16 + low));
    }
    BlowfishEcb(KeyBytes(), bytes, false, true);
    const auto end = std::find(bytes.begin(), bytes.end(), std::byte{0});
    return std::string(reinterpret_cast<const char*>(bytes.data()), static_cast<std::size_t>(end - bytes.begin()));
}

bool PasswordMatches(std::string_view stored, std::string_view offered) {
    if (stored.empty()) return false;
    const auto clear = DecipherPassword(stored);
    if (!clear || clear->empty()) return false;
    // Both texts padded to one length and compared whole, the lengths last: the time taken tells a
    // guesser neither how much of a guess was right nor how long the password is.
    std::string left(std::max(clear->size(), offered.size()), '\0');
    std::string right(left.size(), '\0');
    left.replace(0, clear->size(), *clear);
    right.replace(0, offered.size(), offered);
    const bool same = CryptoPP::VerifyBufsEqual(reinterpret_cast<const CryptoPP::byte*>(left.data()),
                                                reinterpret_cast<const CryptoPP::byte*>(right.data()), left.size());
    return same && clear->size() == offered.size();
}

}  // namespace pw::store
