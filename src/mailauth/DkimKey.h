// DkimKey: a domain's DKIM signing key -- made by `pellworth-admin domain dkim`, kept beside the
// domain's own files, found again by the signer.
//
// The key is an RSA key in PEM (PKCS #8), in the domain's directory as "dkim-<selector>.key", mode
// 0600 and owned by whoever owns the directory (the server's user, also when root runs the tool). It
// is written aside and renamed over, so a signer never reads half a key. The domain's properties
// "dkim:selector" and "dkim:keyfile" name it (a relative key file is relative to the domain's
// directory, so a store that moves keeps its keys). A domain may have an Ed25519 key as well (RFC
// 8463), named by "dkim:ed25519:selector" and "dkim:ed25519:keyfile": its mail then carries a second
// signature. Key material never reaches a log or a message.
// Thread safety: pure functions over files; the domain object is the caller's.
#pragma once

#include "store/Domain.h"

#include <optional>
#include <string>
#include <string_view>

namespace pw::mailauth {

inline constexpr std::string_view kDkimSelectorKey = "dkim:selector";
inline constexpr std::string_view kDkimKeyFileKey = "dkim:keyfile";
inline constexpr std::string_view kDkimEd25519SelectorKey = "dkim:ed25519:selector";
inline constexpr std::string_view kDkimEd25519KeyFileKey = "dkim:ed25519:keyfile";
inline constexpr std::string_view kDefaultSelector = "pellworth";
inline constexpr std::string_view kDefaultEd25519Selector = "pellworth-ed25519";

enum class KeyKind { Rsa, Ed25519 };

// A selector we write into DNS names and file names: letters, digits, "-", "_" and inner dots.
bool ValidSelector(std::string_view selector);

// The TXT record that publishes the public half of a PEM private key ("v=DKIM1; k=rsa; p=...");
// nullopt when the text is no key.
std::optional<std::string> DkimDnsRecord(std::string_view privateKeyPem);

struct MadeKey {
    std::string name;    // "<selector>._domainkey.<domain>"
    std::string record;  // what to publish there
    std::string path;    // where the private key lives
};

// Makes an RSA key of `bits` bits (or an Ed25519 key, `bits` unused), stores it and names it in the
// domain's properties (saved); throws ComError with the reason, also when the selector is the one
// the domain's key of the other kind uses (one name in DNS can publish one key).
MadeKey MakeDkimKey(store::Domain& domain, std::string_view selector, int bits, KeyKind kind = KeyKind::Rsa);

// A domain's signing key as configured: its selector and the PEM text; nullopt when none is set or
// the file can not be read (logged once per call at Warning, without any of its content).
struct SigningKey {
    std::string selector;
    std::string pem;
};
std::optional<SigningKey> ReadSigningKey(const store::Domain& domain, KeyKind kind = KeyKind::Rsa);

}  // namespace pw::mailauth
