// SmtpPolicy: relaying, block lists and credentials.
#include "smtp/SmtpPolicy.h"

#include <arpa/inet.h>
#include <cstring>

#include "mime/Address.h"
#include "net/Sasl.h"
#include "platform/IpAddress.h"
#include "platform/Text.h"
#include "smtp/SmtpAuth.h"
#include "smtp/SmtpHooks.h"

namespace pw::smtp {

SmtpPolicy::SmtpPolicy(std::shared_ptr<const net::SMTPListener> listener, std::shared_ptr<store::MessageStore> store,
                       std::string domain, const IpAddress& client)
    : listener_(std::move(listener)), store_(std::move(store)), domain_(std::move(domain)), client_(client) {}

bool SmtpPolicy::RelayWithoutAuth() const {
    if (listener_->openRelay) return true;
    if (listener_->pop3Auth && PopBeforeSmtpHolds(client_)) return true;
    return listener_->relayList.Contains(client_);
}

const net::BlockListEntry* SmtpPolicy::ListedBy(dns::DnsResolver& resolver) const {
    // IPv6 clients by their 32 nibbles, as the block lists that list IPv6 addresses expect.
    const std::string reversed = client_.ReversedText() + ".";
    for (const auto& entry : listener_->blockLists) {
        if (entry.returnCodes.empty()) continue;
        if (!resolver.Query(reversed + entry.zone, dns::kTypeA) || resolver.LastStatus() != dns::DnsStatus::Answered) continue;
        const auto& answer = *resolver.LastAnswer();
        for (const auto& record : answer.answers) {
            if (record.type != dns::kTypeA || record.dataLength != 4) continue;
            std::uint32_t address = 0;
            std::memcpy(&address, answer.Data(record).data(), 4);
            if (entry.returnCodes.contains(address)) return &entry;
        }
    }
    return nullptr;
}

std::string SmtpPolicy::StoredPassword(const std::string& user) const {
    mime::ParsedAddress parsed;
    if (mime::ParseAddress(user, parsed)) {
        const std::string domain = user.find('@') == std::string::npos ? domain_ : parsed.domain;
        if (const auto mailbox = store_->FindMailBox(parsed.local + "@" + domain)) return mailbox->ClearPassword();
    }
    for (const auto& [account, password] : listener_->authAccounts) {
        if (account == user) return password;
    }
    return {};
}

bool SmtpPolicy::CheckPassword(const std::string& user, const std::string& password) const {
    mime::ParsedAddress parsed;
    if (mime::ParseAddress(user, parsed)) {
        const std::string domain = user.find('@') == std::string::npos ? domain_ : parsed.domain;
        const auto mailbox = store_->FindMailBox(parsed.local + "@" + domain);
        if (mailbox && mailbox->IsPassword(password)) return true;
    }
    for (const auto& [account, accountPassword] : listener_->authAccounts) {
        if (account == user) return !password.empty() && password == accountPassword;
    }
    return false;
}

bool SmtpPolicy::CheckCramMd5(const std::string& user, const std::string& digest, const std::string& challenge) const {
    const std::string password = StoredPassword(user);
    return !password.empty() && net::CramMd5Digest(password, challenge) == digest;
}

}  // namespace pw::smtp
