// SpfCheck: SPF (RFC 7208) of the client's address for the MAIL FROM domain -- or for the HELO name
// when the sender is null -- with libspf2 asking DNS only through our lookups (AuthDns, within the
// message's budget).
//
// libspf2 gets a DNS layer of ours (its lookup function is the one hook it offers), so its queries
// share the message's DNS budget; what could not be asked in time answers "temporary failure", which
// libspf2 turns into "temperror". Its own limits stay: ten mechanisms that ask DNS, ten MX and PTR
// names each. Its messages go to the log at Debug.
// Thread safety: one check per thread; libspf2 keeps no state between checks.
#pragma once

#include "mailauth/AuthDns.h"

#include <string>
#include <string_view>

namespace pw::mailauth {

enum class SpfResult { None, Neutral, Pass, Fail, SoftFail, TempError, PermError };

std::string_view SpfResultText(SpfResult result);

struct SpfOutcome {
    SpfResult result = SpfResult::None;
    std::string domain;  // the domain checked: MAIL FROM's, or the HELO name
    bool helo = false;   // checked for the HELO name (null sender)
};

// `clientAddress`: dotted IPv4 or IPv6 text; `sender`: local@domain or empty for the null sender.
SpfOutcome CheckSpf(DnsLookups& dns, std::string_view clientAddress, std::string_view helo, std::string_view sender);

}  // namespace pw::mailauth
