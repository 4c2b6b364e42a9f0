// Password: the enciphered form of mailbox and store-object passwords ("_Password").
//
// The stored text is the password's bytes, padded with zero bytes to a multiple of 8, enciphered with
// Blowfish in ECB mode under the store's fixed key, written as upper-case hexadecimal. Each 8-byte
// block is read as two 32-bit little-endian words (the first is the left half) and written back the
// same way; stored passwords of existing stores depend on this byte order. This is obfuscation, not
// protection: the key is fixed, and the protocols that verify challenge responses (APOP, CRAM-MD5)
// need the clear password back. The store's files are therefore readable by the server only.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pw::store {

// The 38 characters of the key, used as bytes without a terminator.
inline constexpr std::string_view kBlowfishKey = "{5B81C7E2-94AF-4c3e-A1D6-07F2E9B4C358}";

std::string EncipherPassword(std::string_view password);
// The clear password of a stored text (cut at its first zero byte); nullopt when the text is not
// whole blocks of hexadecimal.
std::optional<std::string> DecipherPassword(std::string_view stored);
// Case-sensitive. A stored text that is missing, empty or not valid never matches: an object without
// a password can not be logged into with an empty one.
bool PasswordMatches(std::string_view stored, std::string_view offered);

// Blowfish ECB over whole 8-byte blocks, in place. With littleEndianWords each block's halves are
// little-endian words (the store's order); without, the big-endian order of the published test vectors.
void BlowfishEcb(std::span<const std::byte> key, std::span<std::byte> blocks, bool encipher, bool littleEndianWords);

}  // namespace pw::store
