// Notifications: the delivery status notices the router and the transport send to a message's sender
// (5.4.6 too many hops or a forwarding loop, 5.2.3 too large, 5.2.2 over quota, 5.1.1 unknown mailbox,
// 5.7.1 refused, and the transport's codes).
//
// One notice answers one routing or delivery attempt of an envelope: it lists every recipient that
// failed, each with its own status, in the text and in the machine-readable part. Unless a notifier
// is registered (tests), the notice is built from the "dsn.xml" template and queued for the router;
// when no notice can be made (no template, a sender that gets none), the log at Warning level says
// what would have been sent. The notifier interface and the failed recipient are in DeliveryNotifier.h.
// Thread safety: NotifySender may be called from every router and transport thread.
#pragma once

#include "router/DeliveryNotifier.h"
#include "router/MessageTemplate.h"
#include "store/Envelope.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::router {

// Failed recipients named in the log line that stands for a notice that could not be made.
inline constexpr std::size_t kMaxLoggedRecipients = 20;

// Takes every notice from now on in place of the built-in ones; nullptr brings those back.
void SetDeliveryNotifier(std::shared_ptr<DeliveryNotifier> notifier);
// One notice for all the failed recipients, each with its own status; nothing when the list is empty.
void NotifySender(const store::Envelope& original, const std::vector<FailedRecipient>& failed);
// A recipient's notices are as its RCPT TO asked (NOTIFY): with NEVER none, without FAILURE no failure
// notice, without DELAY no delay notice; a recipient that asked nothing gets those two as always.
// Whether the recipient, as the envelope names it, gets a notice of this status class (2, 4 or 5).
bool WantsNotice(const store::Envelope& original, std::string_view recipient, int statusClass);
// One notice of success ("delivered" into a mailbox here, "relayed" to a server that sends no
// notices of its own, "expanded" to many addresses) for those of the recipients that asked for it
// (NOTIFY=SUCCESS); none when nobody did.
void NotifySuccess(const store::Envelope& original, const std::vector<std::string>& recipients, DsnAction action);
// One notice for recipients that share one status.
void NotifySender(const store::Envelope& original, std::string_view status, const std::vector<std::string>& failedRecipients,
                  std::string_view reason);

}  // namespace pw::router
