// Password: Blowfish against published vectors, the store's little-endian word order that existing
// stores depend on, the stored hexadecimal form, and matching.
#include "store/Password.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/Text.h"

namespace pw::store {
namespace {

std::vector<std::byte> FromHex(std::string_view hex) {
    std::vector<std::byte> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) bytes.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

std::string ToHex(std::span<const std::byte> bytes) {
    std::string hex;
    for (const std::byte b : bytes) hex += Format("%02X", {std::uint64_t{std::to_integer<unsigned>(b)}});
    return hex;
}

std::span<const std::byte> StoreKey() { return std::as_bytes(std::span(kBlowfishKey.data(), kBlowfishKey.size())); }

TEST(store_PasswordTest, BlowfishMatchesThePublishedVectorsBothWays) {
    struct Vector {
        const char* key;
        const char* clear;
        const char* cipher;
    };
    for (const Vector& v : {Vector{"0000000000000000", "0000000000000000", "4EF997456198DD78"},
                            Vector{"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
                            Vector{"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"}}) {
        const auto key = FromHex(v.key);
        auto block = FromHex(v.clear);
        BlowfishEcb(key, block, true, false);
        EXPECT_EQ(ToHex(block), v.cipher) << v.key;
        BlowfishEcb(key, block, false, false);
        EXPECT_EQ(ToHex(block), v.clear) << v.key;
    }
}

TEST(store_PasswordTest, StoredTextIsBigEndianBlowfishOfByteSwappedWords) {
    for (const std::string_view password : {"s", "secret!!", "secret!!x", "Gr\xC3\xBC\xC3\x9F" "e-\xE2\x82\xAC-16-bytes!"}) {
        std::vector<std::byte> blocks(reinterpret_cast<const std::byte*>(password.data()),
                                      reinterpret_cast<const std::byte*>(password.data()) + password.size());
        blocks.resize((blocks.size() + 7) / 8 * 8, std::byte{0});
        const auto swap = [&] {
            for (std::size_t i = 0; i < blocks.size(); i += 4) std::reverse(blocks.begin() + i, blocks.begin() + i + 4);
        };
        const auto plainBigEndian = [&] {
            auto copy = blocks;
            BlowfishEcb(StoreKey(), copy, true, false);
            return ToHex(copy);
        }();
        swap();
        BlowfishEcb(StoreKey(), blocks, true, false);
        swap();
        const std::string stored = EncipherPassword(password);
        EXPECT_EQ(stored, ToHex(blocks)) << password;
        EXPECT_NE(stored, plainBigEndian) << password;
        EXPECT_EQ(DecipherPassword(stored), std::string(password));
        EXPECT_TRUE(std::all_of(stored.begin(), stored.end(), [](char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); }));
    }
    EXPECT_EQ(EncipherPassword("12345678").size(), 16u);
    EXPECT_EQ(EncipherPassword("123456789").size(), 32u);
    EXPECT_EQ(EncipherPassword("1234567890123456").size(), 32u);
}

TEST(store_PasswordTest, MatchingIsCaseSensitiveAndNeverAcceptsAMissingOrDamagedText) {
    const std::string stored = EncipherPassword("Secret");
    EXPECT_TRUE(PasswordMatches(stored, "Secret"));
    EXPECT_FALSE(PasswordMatches(stored, "secret"));
    EXPECT_FALSE(PasswordMatches(stored, "Secret "));
    EXPECT_FALSE(PasswordMatches(stored, ""));
    // Compared over the longer length: a guess that only begins with the password, or the password
    // with zero bytes after it (the padding of the comparison), is no match.
    EXPECT_FALSE(PasswordMatches(stored, "Secret2"));
    EXPECT_FALSE(PasswordMatches(stored, std::string("Secret\0", 7)));
    EXPECT_FALSE(PasswordMatches(stored, "Secre"));
    std::string notHex = stored;
    notHex[3] = 'G';
    for (const std::string& bad : {std::string(), EncipherPassword(""), notHex, stored.substr(0, 15), stored + "0"}) {
        EXPECT_FALSE(PasswordMatches(bad, "")) << bad;
        EXPECT_FALSE(PasswordMatches(bad, "Secret")) << bad;
    }
    EXPECT_EQ(DecipherPassword(notHex), std::nullopt);
    EXPECT_EQ(DecipherPassword(stored.substr(0, 15)), std::nullopt);
}

}  // namespace
}  // namespace pw::store
