// ImapStore: account lookup and log in over the store objects.
#include "imap/ImapStore.h"

#include "core/Configuration.h"
#include "net/PopBeforeSmtp.h"
#include "platform/HResult.h"
#include "platform/Text.h"
#include "store/MailBox.h"

namespace pw::imap {

bool ImapStore::Open(std::string& diagnostic) {
    try {
        store_ = store::OpenServerStore();
        primaryDomain_ = store_->PrimaryDomain(core::ServerConfig());
        return true;
    } catch (const ComError& error) {
        diagnostic = std::string("Message store unavailable: ") + error.what();
        store_.reset();
        return false;
    }
}

void ImapStore::Close() {
    mailbox_.reset();
    store_.reset();
}

std::shared_ptr<store::MailBox> ImapStore::FindUserMailBox(std::string_view user) const {
    if (!store_) return nullptr;
    const std::size_t at = user.rfind('@');
    const std::string_view local = user.substr(0, at);
    std::string domain(at == std::string_view::npos ? std::string_view() : user.substr(at + 1));
    if (domain.empty() || EqualsNoCase(domain, "localhost")) domain = primaryDomain_;
    if (local.empty() || domain.empty()) return nullptr;
    try {
        auto mailbox = store_->FindMailBox(std::string(local) + "@" + domain);
        if (!mailbox || mailbox->MailBoxType() != store::UserMailBoxType) return nullptr;
        return mailbox;
    } catch (const ComError&) {
        return nullptr;
    }
}

std::optional<AccountInfo> ImapStore::FindAccount(std::string_view user) const {
    const auto mailbox = FindUserMailBox(user);
    if (!mailbox) return std::nullopt;
    try {
        AccountInfo account;
        account.canonicalName = mailbox->Address();
        account.password = mailbox->ClearPassword();
        return account;
    } catch (const ComError&) {
        return std::nullopt;
    }
}

std::optional<std::string> ImapStore::LogIn(const AccountInfo& account, const IpAddress& client) {
    mailbox_ = FindUserMailBox(account.canonicalName);
    if (!mailbox_) return std::nullopt;
    net::PopBeforeSmtp::Instance().Record(client);
    return std::string(store::kInFolderName);
}

}  // namespace pw::imap
