// ImapStore: the IMAP server's one way into the message store -- the session's own store objects,
// account lookup and log in, the greeting text and the store's capability bits. Mailbox access
// (folders, the message vector, flags, rights) joins it as the mailbox commands are built.
//
// Accounts are user mailboxes only. A name without a domain, or with "localhost", means the primary
// domain. The password is the clear one the store deciphers from "_Password". A good login records
// the client in the POP-before-SMTP table, as a POP3 login does.
// Thread safety: one per session; the store serialises what sessions share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "store/MessageStore.h"

namespace pw::imap {

inline constexpr std::string_view kGreetingText = "Quillon IMAP4rev1 Server Ready!";
// Capability bits of the store: 8 makes CAPABILITY list UIDPLUS and APPEND/COPY report their UIDs;
// 2 and 4 allow renaming mailboxes; 16 would stop the check for mailbox changes after commands.
inline constexpr unsigned kStoreCapabilityRename = 2;
inline constexpr unsigned kStoreCapabilityUidPlus = 8;
inline constexpr unsigned kStoreCapabilityNoUpdates = 16;
inline constexpr unsigned kStoreCapabilities = kStoreCapabilityRename | kStoreCapabilityUidPlus;

struct AccountInfo {
    std::string canonicalName;  // "local@domain" as the store spells it
    std::string password;
    std::string inboxOverride;  // no property sets it: always empty, the check stays in place
    bool readOnly = false;      // likewise never set
    bool disabled = false;      // likewise never set
};

class ImapStore {
public:
    // Opens the session's own store objects; false with a diagnostic when the store can not be had.
    bool Open(std::string& diagnostic);
    void Close();
    unsigned Capabilities() const { return kStoreCapabilities; }

    // The account a client names, or nullopt when there is none that may log in.
    std::optional<AccountInfo> FindAccount(std::string_view user) const;
    // Keeps the account's mailbox for the session, records the client (IPv4, network byte order) for
    // POP-before-SMTP, and returns the name of its inbox folder; nullopt when the mailbox is gone.
    std::optional<std::string> LogIn(const AccountInfo& account, std::uint32_t client);

    const std::shared_ptr<store::MessageStore>& Store() const { return store_; }
    const std::shared_ptr<store::MailBox>& MailBox() const { return mailbox_; }

private:
    std::shared_ptr<store::MailBox> FindUserMailBox(std::string_view user) const;

    std::shared_ptr<store::MessageStore> store_;
    std::string primaryDomain_;
    std::shared_ptr<store::MailBox> mailbox_;
};

}  // namespace pw::imap
