// QUOTA (RFC 9208): GETQUOTAROOT, GETQUOTA and SETQUOTA, read from the limits the router enforces on
// deliveries to the mailbox -- "user:quota:diskusage" (MiB of content) and "user:quota:nummsgs" --
// against the store's figure of what the mailbox holds (store::MailBox::Usage).
//
// The user's own folders share one quota root, "", which exists only while a limit is set; public
// folders belong to none. STORAGE is in units of 1024 bytes, as the RFC counts it; a limit of MiB is
// exact in those units. Quotas are the administrator's: SETQUOTA is refused.
#include "imap/ImapCommands.h"

#include <algorithm>

#include "imap/ImapStore.h"
#include "imap/ImapStrings.h"
#include "platform/Text.h"
#include "store/MailBox.h"

namespace pw::imap::commands {

namespace {

// The one quota root of a user's folders.
constexpr std::string_view kQuotaRoot = "";

// "(STORAGE used limit MESSAGE used limit)" for the limits that are set; nullopt when none is.
std::optional<std::string> QuotaList(const ImapStore& store) {
    const auto& mailbox = store.MailBox();
    if (!mailbox) return std::nullopt;
    const auto& properties = mailbox->GetProperties();
    const auto storageMiB = static_cast<std::uint64_t>(std::max(properties.Number("user:quota:diskusage"), 0));
    const auto messages = static_cast<std::uint64_t>(std::max(properties.Number("user:quota:nummsgs"), 0));
    if (storageMiB == 0 && messages == 0) return std::nullopt;
    const store::MailBoxUsage usage = mailbox->Usage();
    std::string list;
    if (storageMiB != 0) list += Format("STORAGE %lu %lu", {(usage.bytes + 1023) / 1024, storageMiB * 1024});
    if (messages != 0) list += Format("%sMESSAGE %lu %lu", {std::string_view(list.empty() ? "" : " "), usage.messages, messages});
    return "(" + list + ")";
}

}  // namespace

void GetQuotaRoot(CommandContext& context) {
    const Command& command = context.command;
    const auto name = MailboxName(context, command.arguments[0]);
    if (!name) return;
    std::string diagnostic;
    const auto folder = context.store.FindFolder(*name, diagnostic);
    if (!folder) return context.No("[NONEXISTENT] " + diagnostic);
    const auto quota = folder->isPublic ? std::nullopt : QuotaList(context.store);
    const std::string root = ImapString(kQuotaRoot);
    const std::string& named = command.arguments[0].text;
    context.Untagged("QUOTAROOT " + (context.session.utf8Names ? ImapUtf8String(named) : ImapString(named)) + (quota ? " " + root : std::string()));
    if (quota) context.Untagged("QUOTA " + root + " " + *quota);
    context.SetReply("OK GETQUOTAROOT completed");
}

void GetQuota(CommandContext& context) {
    const auto quota = context.command.arguments[0].text == kQuotaRoot ? QuotaList(context.store) : std::nullopt;
    if (!quota) return context.No("[NONEXISTENT] No such quota root");
    context.Untagged("QUOTA " + ImapString(kQuotaRoot) + " " + *quota);
    context.SetReply("OK GETQUOTA completed");
}

void SetQuota(CommandContext& context) { context.No("[NOPERM] Quotas are set by the administrator"); }

}  // namespace pw::imap::commands
