// SessionStore: the store the SMTP and POP3 session tests run against -- a fresh message store in a
// scratch directory, the server's store (store::SetServerStorePath) for the life of the object, with
// the primary domain example.com and its mailbox john@example.com, password "secret".
#pragma once

#include <memory>

#include "TestSupport.h"
#include "core/Configuration.h"
#include "store/MessageStore.h"

namespace pw::test {

class SessionStore {
public:
    SessionStore()
        : messageStore(store::MessageStore::OpenOrCreate(scratch_ / "store")) {
        store::SetServerStorePath(messageStore->RootPath());
        core::ServerConfig().Set(store::kPrimaryDomainKey, Variant::Text("example.com"));
        john = messageStore->GetDomains()->Add("example.com")->GetMailBoxes()->Add("john", store::UserMailBoxType);
        john->SetPassword("secret");
        john->Update();
    }
    ~SessionStore() { store::SetServerStorePath(""); }
    SessionStore(const SessionStore&) = delete;
    SessionStore& operator=(const SessionStore&) = delete;

private:
    ScratchDirectory scratch_;  // made first, removed last

public:
    const std::shared_ptr<store::MessageStore> messageStore;
    std::shared_ptr<store::MailBox> john;
};

}  // namespace pw::test
