// Notifications: the registered notifier, else a notice from the "dsn.xml" template, else the log.
#include "router/Notifications.h"

#include <cstdlib>
#include <mutex>

#include "core/Logging.h"
#include "mime/MessageTemplate.h"
#include "platform/Text.h"
#include "router/Router.h"

namespace pw::router {

namespace {

std::mutex notifierLock;
std::shared_ptr<DeliveryNotifier> notifier;

int StatusNumber(std::string_view status, std::size_t index) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i) {
        start = status.find('.', start);
        if (start == std::string_view::npos) return 0;
        ++start;
    }
    return std::atoi(std::string(status.substr(start, status.find('.', start) - start)).c_str());
}

// The notice built from the "dsn.xml" template, queued for the router; false when none was made.
bool SendDeliveryNotice(const store::Envelope& original, std::string_view status, const std::vector<std::string>& failed) {
    std::vector<mime::DsnRecipient> recipients;
    for (const auto& address : failed) {
        mime::DsnRecipient recipient;
        recipient.address = address;
        recipient.statusClass = StatusNumber(status, 0);
        recipient.statusSubject = StatusNumber(status, 1);
        recipient.statusDetail = StatusNumber(status, 2);
        // The remote server's own words, when the transport recorded them.
        recipient.diagnostic = original.GetProperties().Text(store::DsnKey(address, "recv"));
        recipients.push_back(std::move(recipient));
    }
    Variant attempts;
    std::optional<int> count;
    if (original.GetProperties().Get("sys:delivery:retry", attempts) && attempts.IsNumeric()) count = attempts.AsI4();
    const auto action = StatusNumber(status, 0) == 4 ? mime::DsnDelayed : mime::DsnFailed;
    const auto uid = mime::SendNotification(original, recipients, action, count);
    if (!uid) return false;
    SubmitEnvelope(*uid);
    return true;
}

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
    if (SendDeliveryNotice(original, status, failedRecipients)) return;
    std::string recipients;
    for (const auto& recipient : failedRecipients) recipients += (recipients.empty() ? "" : ", ") + recipient;
    core::Log(core::LogLevelWarning, Format("Delivery status %s for %s (message %s from %s): %s",
                                            {status, std::string_view(recipients), std::string_view(original.Namespace()),
                                             std::string_view(original.Sender()), reason}));
}

}  // namespace pw::router
