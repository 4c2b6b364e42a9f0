// DkimVerifier: the DKIM signatures (RFC 6376) of an incoming message, verified by libopendkim with
// keys asked through the message's budgeted DNS.
//
// A hostile message costs bounded time and memory: the header is verified only when it ends within
// kMaxCheckedHeaderBytes and kMaxCheckedHeaderFields (else one "permerror" stands for all its
// signatures), at most kMaxVerifiedSignatures signatures are verified, key records are at most
// kMaxTxtRecord bytes, and the body is hashed as it streams. A key that could not be fetched in time
// is "temperror".
// Thread safety: one verification per thread; the library handle is shared (DkimLibrary.h).
#pragma once

#include "mailauth/AuthDns.h"
#include "mailauth/DkimLibrary.h"
#include "platform/Stream.h"

#include <string>
#include <string_view>
#include <vector>

namespace pw::mailauth {

enum class DkimResult { None, Pass, Fail, Neutral, TempError, PermError };

std::string_view DkimResultText(DkimResult result);

struct DkimOutcome {
    DkimResult result = DkimResult::None;
    std::string domain;    // d=, when it is a plain domain name
    std::string selector;  // s=, likewise
};

// One outcome per signature looked at (none: the message has no signature); the content is read
// from where it stands to its end. Keys come from `keys` alone.
std::vector<DkimOutcome> VerifyDkim(const DkimKeyLookup& keys, Stream& content);

// Keys from TXT records through the message's budgeted DNS.
DkimKeyLookup KeysFromDns(DnsLookups& dns);

}  // namespace pw::mailauth
