// DkimLibrary: the process's one libopendkim handle, set up once for signing and verifying.
//
// Signing covers the usual headers (kSignedHeaders) with "From" signed once more than it occurs, so
// a second From can not be slipped in; bare LF line ends count as CR LF. Verification checks at most
// kMaxVerifiedSignatures signatures, refuses keys under kMinVerifiedKeyBits, and takes keys only from
// the key lookup of the message being verified (DkimKeyLookup, set as the handle's user context):
// the library itself never asks DNS.
// Thread safety: the handle is made once (std::call_once) and shared; each message has its own DKIM
// handle.
#pragma once

// dkim.h is C and spells its booleans _Bool, which C++ calls bool (the same type on this platform).
#define _Bool bool
#include <opendkim/dkim.h>
#undef _Bool

#include <functional>
#include <string>

namespace pw::mailauth {

enum class KeyLookupStatus { Found, NotFound, Failed };

// Looks up the TXT record at a key's name ("<selector>._domainkey.<domain>").
using DkimKeyLookup = std::function<KeyLookupStatus(const std::string& name, std::string& record)>;

DKIM_LIB* DkimLibrary();

}  // namespace pw::mailauth
