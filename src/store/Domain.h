// Domain, Domains: the local mail domains of the store.
//
// A domain is a directory below the store root named by the domain name, folded to lower case on
// disk; its mailboxes (MailBox.h) are directories below it, and its folders sit beside them (folders
// have a "_uid" counter, mailboxes and domains none). A domain's "_Type" is 0, like the root's. Its
// properties hold the settings the router reads, such as what becomes of mail for a local part that
// has no mailbox. Domains is the collection (Collection.h) of the store root's domains.
// Thread safety: one thread at a time per object; objects are created per use.
#pragma once

#include "store/Collection.h"
#include "store/Folder.h"
#include "store/MailBox.h"
#include "store/StoreObject.h"

#include <memory>

namespace pw::store {

// Domain settings read by the router.
inline constexpr std::string_view kUnknownEmailKey = "domain:unknownemail";
inline constexpr std::string_view kDeleteIfUnableKey = "domain:deleteifunable";
inline constexpr std::string_view kUnknownEmailAddressKey = "domain:unknownemailaddress";

class Domain : public StoreObject {
public:
    using StoreObject::StoreObject;
    StoreObjectTypeEnum OwnType() const override { return StoreDomainType; }

    std::shared_ptr<MailBoxes> GetMailBoxes() const { return std::make_shared<MailBoxes>(Storage(), RootPath()); }
    std::shared_ptr<Folders> GetFolders() const { return std::make_shared<Folders>(Storage(), RootPath()); }

    std::int32_t UnknownEmail() const { return GetProperties().Number(kUnknownEmailKey, UnkownEmailReturnSender); }
    void SetUnknownEmail(std::int32_t value) { GetProperties().SetItem(kUnknownEmailKey, Variant::I4(value)); }
    bool DeleteIfUnable() const { return GetProperties().Item(kDeleteIfUnableKey).IsTrue(); }
    void SetDeleteIfUnable(bool value) { GetProperties().SetItem(kDeleteIfUnableKey, Variant::Switch(value)); }
    std::string UnknownEmailAddress() const { return GetProperties().Text(kUnknownEmailAddressKey); }
    void SetUnknownEmailAddress(std::string_view address) {
        GetProperties().SetItem(kUnknownEmailAddressKey, Variant::Text(address));
    }
};

class Domains : public CollectionOf<Domain> {
public:
    Domains(DirStorage root, std::string rootPath)
        : CollectionOf(std::move(root), std::move(rootPath), {.folders = false, .lowerCaseNames = true, .domainNames = true, .noun = "domain"}) {}

    // Throws ComError: STG_E_ALREADYEXISTS, STG_E_INVALIDNAME.
    std::shared_ptr<Domain> Add(std::string_view name);
};

}  // namespace pw::store
