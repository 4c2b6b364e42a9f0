// LocalRecipient: the local parts the router knows by name, then the domain's mailboxes.
#include "router/LocalRecipient.h"

#include "platform/Text.h"
#include "store/StoreTypes.h"

namespace pw::router {

LocalRecipient ClassifyLocalRecipient(const store::Domain& domain, std::string_view local, std::shared_ptr<store::MailBox>* mailbox) {
    if (EqualsNoCase(local, "null") || EqualsNoCase(local, "mail-deamon")) return LocalRecipient::Discarded;
    if (EqualsNoCase(local, "listserver") || EqualsNoCase(local, "listserv") || EqualsNoCase(local, "command")) {
        return LocalRecipient::Unhandled;
    }
    for (const std::string_view prefix : {std::string_view("join-"), std::string_view("leave-")}) {
        if (!StartsWithNoCase(local, prefix)) continue;
        const auto list = domain.GetMailBoxes()->Item(local.substr(prefix.size()));
        if (list && list->MailBoxType() == store::MailingListMailBoxType) return LocalRecipient::ListRequest;
    }
    auto found = domain.GetMailBoxes()->Item(local);
    if (!found) return LocalRecipient::Unknown;
    if (mailbox) *mailbox = std::move(found);
    return LocalRecipient::MailBox;
}

bool RefusedAsUnknown(const store::Domain& domain, std::string_view local) {
    return domain.UnknownEmail() == store::UnkownEmailReturnSender && ClassifyLocalRecipient(domain, local) == LocalRecipient::Unknown;
}

}  // namespace pw::router
