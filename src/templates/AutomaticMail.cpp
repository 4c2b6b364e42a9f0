// AutomaticMail: the sender and header tests of automatic mail, in one place.
#include "templates/AutomaticMail.h"

#include "platform/Text.h"

namespace pw::templates {

bool IsAutoSubmitted(const mime::HeaderBlock& header) {
    const std::string submitted = ToLowerAscii(TrimAscii(header.Field("Auto-Submitted")));
    return !submitted.empty() && submitted != "no";
}

bool IsAutomaticMail(std::string_view envelopeSender, const mime::HeaderBlock& header) {
    const std::string_view sender = TrimAscii(envelopeSender);
    // The server's own system sender, and the name other servers' bounces come from.
    if (sender.empty() || StartsWithNoCase(sender, "mail-deamon@") || StartsWithNoCase(sender, "mailer-daemon@")) return true;
    if (IsAutoSubmitted(header)) return true;
    const std::string precedence = ToLowerAscii(TrimAscii(header.Field("Precedence")));
    if (precedence == "bulk" || precedence == "list" || precedence == "junk") return true;
    return header.Has("List-Id");
}

}  // namespace pw::templates
