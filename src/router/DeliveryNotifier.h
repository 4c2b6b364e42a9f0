// DeliveryNotifier: the interface that takes the delivery status notices in place of the built-in
// ones (Notifications.h), and FailedRecipient, the one failed recipient a notice lists.
//
// A notifier registered with SetDeliveryNotifier gets every notice the router and the transport
// make: the original envelope, whose sender the notice is for, and every recipient of one routing
// or delivery attempt that failed, each with its own status. Tests register one to see the notices.
// Thread safety: Notify may be called from every router and transport thread at once.
#pragma once

#include "store/Envelope.h"

#include <string>
#include <vector>

namespace pw::router {

// A recipient that could not be served, with its status ("5.1.1") and a reason for people.
struct FailedRecipient {
    std::string address;
    std::string status;
    std::string reason;
    // The recipient as the envelope names it, when the notice names it otherwise (its delivery
    // options are kept under this name); empty: the address.
    std::string named = {};
};

class DeliveryNotifier {
public:
    virtual ~DeliveryNotifier() = default;
    // The original envelope (its sender gets the notice) and the recipients that failed.
    virtual void Notify(const store::Envelope& original, const std::vector<FailedRecipient>& failed) = 0;
};

}  // namespace pw::router
