// Idna: internationalised domain names (libidn2, IDNA2008 with the UTS #46 mapping) and the checks
// on UTF-8 mail addresses.
//
// A domain has two spellings: its ASCII form with A-labels ("xn--exmple-cua.de"), which DNS and
// peers without SMTPUTF8 see, and its Unicode form ("exämple.de"), which the store names it by.
// DomainKey gives the one form both spellings share, so a lookup by either finds the same domain:
// the lower-case Unicode form. Names libidn2 does not take (underscores, a stray label) stay as they
// are, lower-cased in ASCII, as the store has always named them.
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pw::platform {

// True when every byte is below 0x80.
bool IsAsciiText(std::string_view text);
// True when the text is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);
// The ASCII form (A-labels, lower case); an ASCII name comes back lower-cased; nullopt when the name
// is not a valid internationalised domain name.
std::optional<std::string> DomainToAscii(std::string_view domain);
// The Unicode form (U-labels, lower case, NFC); nullopt when an A-label does not decode.
std::optional<std::string> DomainToUnicode(std::string_view domain);
// The form the store names a domain by (see above).
std::string DomainKey(std::string_view domain);

}  // namespace pw::platform

namespace pw {
using namespace platform;
}  // namespace pw
