// DmarcCheck: DMARC (RFC 7489) of the author domain -- the From field's -- from the SPF and DKIM
// outcomes, with libopendmarc judging alignment and policy on the record asked through AuthDns.
//
// The record is looked for at "_dmarc." of the author domain, then of its organizational domain
// (the public suffix list of Debian's publicsuffix package when it is there, else the last two
// labels). libopendmarc is never let ask DNS itself: it gets the record we fetched. A record that
// could not be fetched in time is "temperror" and no policy applies.
// Thread safety: one check per thread; the library is set up once.
#pragma once

#include "mailauth/AuthDns.h"
#include "mailauth/DkimVerifier.h"
#include "mailauth/SpfCheck.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::mailauth {

enum class DmarcResult { None, Pass, Fail, TempError, PermError };

std::string_view DmarcResultText(DmarcResult result);

struct DmarcOutcome {
    DmarcResult result = DmarcResult::None;
    std::string fromDomain;  // empty when the message has no single author domain
    char policy = 0;         // the policy that applies to this message: 'n', 'q' or 'r' (0: none)
};

DmarcOutcome CheckDmarc(DnsLookups& dns, std::string_view clientAddress, const std::optional<std::string>& fromDomain,
                        const SpfOutcome& spf, const std::vector<DkimOutcome>& dkim);

}  // namespace pw::mailauth
