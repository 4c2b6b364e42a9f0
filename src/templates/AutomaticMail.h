// AutomaticMail: the one test of whether a message was sent by a program rather than a person --
// the test every sender of automatic answers makes (auto-replies, the list server, commands by mail)
// before it answers, so that two servers never answer each other for ever (RFC 3834).
// Thread safety: a pure function.
#pragma once

#include "mime/HeaderBlock.h"

#include <string_view>

namespace pw::templates {

// True for mail from the null sender, the server's own "mail-deamon@" or a "mailer-daemon@" (any
// case), and for mail whose header says it is automatic ("Auto-Submitted:" other than "no"), bulk
// ("Precedence: bulk", "list", "junk") or list mail ("List-Id:").
bool IsAutomaticMail(std::string_view envelopeSender, const mime::HeaderBlock& header);
// Only the header's own claim: "Auto-Submitted:" present and other than "no".
bool IsAutoSubmitted(const mime::HeaderBlock& header);

}  // namespace pw::templates
