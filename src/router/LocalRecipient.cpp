// LocalRecipient: the local parts the router knows by name, then the domain's mailboxes.
#include "router/LocalRecipient.h"

#include "mailcommands/CommandProcessor.h"
#include "platform/Text.h"
#include "store/StoreTypes.h"

namespace pw::router {

LocalRecipient ClassifyLocalRecipient(const store::Domain& domain, std::string_view local, std::shared_ptr<store::MailBox>* mailbox,
                                      lists::ListAddress* request) {
    if (EqualsNoCase(local, "null") || EqualsNoCase(local, "mail-deamon")) return LocalRecipient::Discarded;
    if (lists::IsListServerAddress(local)) return LocalRecipient::ListCommands;
    if (mailcommands::IsCommandAddress(local)) return LocalRecipient::Commands;
    if (auto found = lists::FindListAddress(domain, local); found.kind != lists::ListAddressKind::None) {
        if (request) *request = std::move(found);
        return LocalRecipient::ListRequest;
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
