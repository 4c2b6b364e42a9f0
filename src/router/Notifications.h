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
// One notice for recipients that share one status.
void NotifySender(const store::Envelope& original, std::string_view status, const std::vector<std::string>& failedRecipients,
                  std::string_view reason);

}  // namespace pw::router
