// Domain, Domains, MailBox, MailBoxes: the store objects that addresses resolve to.
//
// A domain is a directory below the store root named by the domain name; its mailboxes are
// directories below it named by their local part, and its folders sit beside them (folders have a
// "_uid" counter, mailboxes and domains none). Domain and mailbox names are folded to lower case on
// disk, so "John@Example.COM" and "john@example.com" are one mailbox. A mailbox's "_Type" is its kind
// (MailBoxTypeEnum); postmaster, user and relay mailboxes have an inbox, the folder "_In".
// Thread safety: one thread at a time per object; objects are created per use.
#pragma once

#include "store/Collection.h"
#include "store/Folder.h"
#include "store/StoreObject.h"

#include <memory>

namespace pw::store {

class Domain;
class MailBoxes;

// Domain settings read by the router.
inline constexpr std::string_view kUnknownEmailKey = "domain:unknownemail";
inline constexpr std::string_view kDeleteIfUnableKey = "domain:deleteifunable";
inline constexpr std::string_view kUnknownEmailAddressKey = "domain:unknownemailaddress";

class MailBox : public StoreObject {
public:
    using StoreObject::StoreObject;
    StoreObjectTypeEnum OwnType() const override { return StoreMailBoxType; }

    std::int32_t MailBoxType() const { return ObjectType(); }
    std::string DomainName() const;
    // "local@domain".
    std::string Address() const;
    // The inbox of the kinds that have one (made again when it has gone missing); nullptr for the others.
    std::shared_ptr<Folder> InFolder() const;
    std::shared_ptr<Folders> GetFolders() const { return std::make_shared<Folders>(Storage(), RootPath()); }
    std::shared_ptr<Domain> GetDomain() const;
};

class MailBoxes : public Collection, public Unknown {
public:
    MailBoxes(DirStorage domain, std::string rootPath) : Collection(std::move(domain), std::move(rootPath), false) {}

    // nullptr when there is no such mailbox.
    std::shared_ptr<MailBox> Item(std::string_view name) const;
    std::shared_ptr<MailBox> Item(std::size_t index) const;
    // Throws ComError: STG_E_ALREADYEXISTS, STG_E_INVALIDNAME, E_INVALIDARG for an unknown kind.
    std::shared_ptr<MailBox> Add(std::string_view name, std::int32_t kind);
    void Rename(std::string_view oldName, std::string_view newName) const;
    std::shared_ptr<MailBox> Next();
};

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

class Domains : public Collection, public Unknown {
public:
    Domains(DirStorage root, std::string rootPath) : Collection(std::move(root), std::move(rootPath), false) {}

    std::shared_ptr<Domain> Item(std::string_view name) const;
    std::shared_ptr<Domain> Item(std::size_t index) const;
    std::shared_ptr<Domain> Add(std::string_view name);
    void Rename(std::string_view oldName, std::string_view newName) const;
    std::shared_ptr<Domain> Next();
};

}  // namespace pw::store
