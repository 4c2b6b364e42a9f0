// SmtpPolicy: the checks of the SMTP server, apart from its dialogue -- may a client relay, is it on
// a DNS block list, and are its AUTH credentials good.
//
// Relaying without credentials: an open relay instance, a client in the POP-before-SMTP table (when
// the instance asks for it), or one on the instance's IP relay list. Block lists are asked with the
// reversed client address in front of their zone; only a listed return code counts. Credentials are
// those of a mailbox (a user name without a domain is in the instance's domain) or one of the
// instance's own AUTH accounts.
// Thread safety: one policy per session; the hooks it consults are locked by their owner.
#pragma once

#include "dns/DnsResolver.h"
#include "net/Listener.h"
#include "store/MessageStore.h"

#include <cstdint>
#include <memory>
#include <string>

namespace pw::smtp {

class SmtpPolicy {
public:
    SmtpPolicy(std::shared_ptr<const net::SMTPListener> listener, std::shared_ptr<store::MessageStore> store,
               std::string domain, const IpAddress& client);

    // May the client relay before any AUTH?
    bool RelayWithoutAuth() const;
    // The first block list that lists the client, or nullptr.
    const net::BlockListEntry* ListedBy(dns::DnsResolver& resolver) const;
    // Are offered credentials checked? A client already allowed to relay has nothing to gain from a
    // password, and what it sends is not checked -- unless the instance requires authentication: then
    // the password is the requirement, and an address on the relay list is no substitute for it.
    bool ChecksCredentials(bool relayAllowed) const { return !relayAllowed || listener_->authRequired; }
    bool CheckPassword(const std::string& user, const std::string& password) const;
    bool CheckCramMd5(const std::string& user, const std::string& digest, const std::string& challenge) const;

private:
    std::string StoredPassword(const std::string& user) const;

    std::shared_ptr<const net::SMTPListener> listener_;
    std::shared_ptr<store::MessageStore> store_;
    std::string domain_;
    IpAddress client_;
};

}  // namespace pw::smtp
