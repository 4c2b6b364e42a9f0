// QuotaCleanup: see QuotaCleanup.h.
#include "admin/QuotaCleanup.h"

#include "core/Logging.h"
#include "platform/Text.h"
#include "pop3/Pop3Session.h"
#include "store/Domain.h"
#include "store/Envelope.h"
#include "store/Envelopes.h"
#include "store/Folder.h"
#include "store/MailBox.h"

#include <cmath>

namespace pw::admin {

namespace {

std::size_t RemoveFromFolder(store::Folder& folder, Date now, int days, const std::atomic<bool>& stop) {
    std::size_t removed = 0;
    const auto envelopes = folder.GetEnvelopes();
    for (const double uid : envelopes->Uids()) {
        if (stop.load()) return removed;
        try {
            const auto envelope = envelopes->FindEnvelope(uid);
            if (!envelope) continue;
            const Date created = envelope->CreateDate();
            if (!(created > 0) || std::floor(now - created) <= days) continue;
            if (envelopes->RemoveEnvelope(uid)) ++removed;
        } catch (const ComError&) {
            // An unreadable record keeps its message.
        }
    }
    const auto children = folder.GetFolders();
    for (const std::string& name : children->Names()) {
        if (stop.load()) break;
        if (const auto child = children->Item(name)) removed += RemoveFromFolder(*child, now, days, stop);
    }
    return removed;
}

}  // namespace

CleanUpCounts RemoveExpiredMail(const store::MessageStore& messageStore, Date now, const std::atomic<bool>& stop) {
    CleanUpCounts counts;
    const auto domains = messageStore.GetDomains();
    for (const std::string& domainName : domains->Names()) {
        const auto domain = domains->Item(domainName);
        if (!domain) continue;
        const auto mailboxes = domain->GetMailBoxes();
        for (const std::string& name : mailboxes->Names()) {
            if (stop.load()) return counts;
            try {
                const auto mailbox = mailboxes->Item(name);
                if (!mailbox) continue;
                const int days = mailbox->GetProperties().Number(kDeleteDaysKey, 0);
                if (days <= 0) continue;
                const auto inbox = mailbox->InFolder();
                const std::string inboxPath = inbox ? inbox->Storage().Path() : std::string();
                if (!inboxPath.empty() && !pop3::HoldMaildrop(inboxPath)) {
                    ++counts.mailboxesPassedOver;
                    continue;
                }
                std::size_t removed = 0;
                try {
                    const auto folders = mailbox->GetFolders();
                    for (const std::string& folderName : folders->Names()) {
                        if (const auto folder = folders->Item(folderName)) removed += RemoveFromFolder(*folder, now, days, stop);
                    }
                } catch (...) {
                    if (!inboxPath.empty()) pop3::ReleaseHeldMaildrop(inboxPath);
                    throw;
                }
                if (!inboxPath.empty()) pop3::ReleaseHeldMaildrop(inboxPath);
                counts.removed += removed;
                if (removed > 0) {
                    core::Log(core::LogLevelNormal, Format("Removed %u messages older than %d days from %s@%s",
                                                           {std::uint64_t{removed}, std::int64_t{days}, std::string_view(name),
                                                            std::string_view(domainName)}));
                }
            } catch (const ComError& error) {
                ++counts.mailboxesPassedOver;
                core::Log(core::LogLevelWarning, "Clean-up of " + name + "@" + domainName + " failed: " + error.what());
            }
        }
    }
    return counts;
}

}  // namespace pw::admin
