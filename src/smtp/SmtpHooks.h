// SmtpHooks: what the SMTP server asks of other parts of the service -- the POP-before-SMTP table and
// the release of mail held for an ETRN or ATRN node -- as functions the service sets at start-up, so
// this folder depends neither on POP3 nor, in the session, on the transport.
// Thread safety: set and called from any thread (locked).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/IpAddress.h"

namespace pw::smtp {

// Does the POP-before-SMTP table hold this client? The POP3 server sets the check; without one nobody
// is in the table.
void SetPopBeforeSmtpCheck(std::function<bool(const IpAddress&)> check);
bool PopBeforeSmtpHolds(const IpAddress& client);

// Releases the mail held for an ETRN or ATRN node; the SMTP transport sets it. Without one every
// release fails ("458").
enum class ReleaseKind { ETRN, ATRN };
void SetReleaseForNode(std::function<bool(ReleaseKind, const std::string&)> release);
bool ReleaseNode(ReleaseKind kind, const std::string& node);

}  // namespace pw::smtp
