// Notifications: the registered notifier, else a notice from the "dsn.xml" template, else the log.
#include "router/Notifications.h"

#include <cstdlib>
#include <mutex>

#include "core/Logging.h"
#include "platform/Text.h"
#include "router/MessageTemplate.h"
#include "router/RouterQueue.h"

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
bool SendDeliveryNotice(const store::Envelope& original, const std::vector<FailedRecipient>& failed) {
    std::vector<DsnRecipient> recipients;
    bool allDelayed = true;
    for (const auto& entry : failed) {
        DsnRecipient recipient;
        recipient.originalRecipient =
            original.GetProperties().Text(store::RecipientKey(entry.named.empty() ? entry.address : entry.named, "orcpt"));
        recipient.address = entry.address;
        recipient.statusClass = StatusNumber(entry.status, 0);
        recipient.statusSubject = StatusNumber(entry.status, 1);
        recipient.statusDetail = StatusNumber(entry.status, 2);
        allDelayed = allDelayed && recipient.statusClass == 4;
        // The remote server's own words, when the transport recorded them.
        recipient.diagnostic = original.GetProperties().Text(store::DsnKey(entry.address, "recv"));
        recipients.push_back(std::move(recipient));
    }
    Variant attempts;
    std::optional<int> count;
    if (original.GetProperties().Get("sys:delivery:retry", attempts) && attempts.IsNumeric()) count = attempts.AsI4();
    const auto action = allDelayed ? DsnDelayed : DsnFailed;
    const auto uid = SendNotification(original, recipients, action, count);
    if (!uid) return false;
    SubmitEnvelope(*uid);
    return true;
}

}  // namespace

void SetDeliveryNotifier(std::shared_ptr<DeliveryNotifier> replacement) {
    std::lock_guard guard(notifierLock);
    notifier = std::move(replacement);
}

bool WantsNotice(const store::Envelope& original, std::string_view recipient, int statusClass) {
    const std::string notify = original.GetProperties().Text(store::RecipientKey(recipient, "notify"));
    if (notify.empty()) return statusClass != 2;
    const std::string_view wanted = statusClass == 2 ? "SUCCESS" : statusClass == 4 ? "DELAY" : "FAILURE";
    for (const auto& word : SplitAtAny(notify, ",")) {
        if (EqualsNoCase(word, wanted)) return true;
    }
    return false;
}

void NotifySuccess(const store::Envelope& original, const std::vector<std::string>& delivered, DsnAction action) {
    std::vector<DsnRecipient> recipients;
    for (const auto& address : delivered) {
        if (!WantsNotice(original, address, 2)) continue;
        DsnRecipient recipient;
        recipient.address = address;
        recipient.statusClass = 2;
        recipient.originalRecipient = original.GetProperties().Text(store::RecipientKey(address, "orcpt"));
        recipients.push_back(std::move(recipient));
    }
    if (recipients.empty()) return;
    if (const auto uid = SendNotification(original, recipients, action, std::nullopt)) SubmitEnvelope(*uid);
}

void NotifySender(const store::Envelope& original, const std::vector<FailedRecipient>& all) {
    // Only those who asked for this kind of notice, or asked nothing.
    std::vector<FailedRecipient> failed;
    for (const auto& entry : all) {
        if (WantsNotice(original, entry.named.empty() ? entry.address : entry.named, StatusNumber(entry.status, 0))) failed.push_back(entry);
    }
    if (failed.empty()) return;
    std::shared_ptr<DeliveryNotifier> current;
    {
        std::lock_guard guard(notifierLock);
        current = notifier;
    }
    if (current) {
        current->Notify(original, failed);
        return;
    }
    if (SendDeliveryNotice(original, failed)) return;
    std::string recipients;
    for (std::size_t i = 0; i < failed.size() && i < kMaxLoggedRecipients; ++i) {
        recipients += (recipients.empty() ? "" : ", ") + failed[i].address + " " + failed[i].status + " (" + failed[i].reason + ")";
    }
    if (failed.size() > kMaxLoggedRecipients) recipients += ", ...";
    core::Log(core::LogLevelWarning, Format("Delivery status for %u recipients (message %s from %s): %s",
                                            {std::uint64_t{failed.size()}, std::string_view(original.Namespace()),
                                             std::string_view(original.Sender()), std::string_view(recipients)}));
}

void NotifySender(const store::Envelope& original, std::string_view status, const std::vector<std::string>& failedRecipients,
                  std::string_view reason) {
    std::vector<FailedRecipient> failed;
    failed.reserve(failedRecipients.size());
    for (const auto& address : failedRecipients) failed.push_back({address, std::string(status), std::string(reason)});
    NotifySender(original, failed);
}

}  // namespace pw::router
