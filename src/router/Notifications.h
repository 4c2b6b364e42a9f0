// Notifications: the delivery status notices the router sends to a message's sender (5.4.6 too many
// hops, 5.2.3 too large, 5.2.2 over quota, 5.1.1 unknown mailbox, 5.7.1 refused).
//
// The router and the transport call one interface. Unless a notifier is registered (tests), the
// notice is built from the "dsn.xml" template and queued for the router; when no notice can be made
// (no template, a sender that gets none), the log at Warning level says what would have been sent.
// Thread safety: Notify may be called from every router thread.
#pragma once

#include "store/Envelope.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::router {

class DeliveryNotifier {
public:
    virtual ~DeliveryNotifier() = default;
    // The original envelope (its sender gets the notice), the status code, the recipients that failed
    // and a reason for people.
    virtual void Notify(const store::Envelope& original, std::string_view status,
                        const std::vector<std::string>& failedRecipients, std::string_view reason) = 0;
};

void SetDeliveryNotifier(std::shared_ptr<DeliveryNotifier> notifier);
void NotifySender(const store::Envelope& original, std::string_view status, const std::vector<std::string>& failedRecipients,
                  std::string_view reason);

}  // namespace pw::router
