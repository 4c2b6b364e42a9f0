// Notifications: the registered notifier, or the log.
#include "router/Notifications.h"

#include <mutex>

#include "core/Logging.h"
#include "platform/Text.h"

namespace pw::router {

namespace {

std::mutex notifierLock;
std::shared_ptr<DeliveryNotifier> notifier;

}  // namespace

void SetDeliveryNotifier(std::shared_ptr<DeliveryNotifier> replacement) {
    std::lock_guard guard(notifierLock);
    notifier = std::move(replacement);
}

void NotifySender(const store::Envelope& original, std::string_view status, const std::vector<std::string>& failedRecipients,
                  std::string_view reason) {
    std::shared_ptr<DeliveryNotifier> current;
    {
        std::lock_guard guard(notifierLock);
        current = notifier;
    }
    if (current) {
        current->Notify(original, status, failedRecipients, reason);
        return;
    }
    std::string recipients;
    for (const auto& recipient : failedRecipients) recipients += (recipients.empty() ? "" : ", ") + recipient;
    core::Log(core::LogLevelWarning, Format("Delivery status %s for %s (message %s from %s): %s",
                                            {status, std::string_view(recipients), std::string_view(original.Namespace()),
                                             std::string_view(original.Sender()), reason}));
}

}  // namespace pw::router
