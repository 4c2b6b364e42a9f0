// MailBox, MailBoxes: the store objects that addresses resolve to.
//
// A mailbox is a directory below its domain (Domain.h) named by its local part, folded to lower case
// on disk, so "John@Example.COM" and "john@example.com" are one mailbox; its folders sit below it.
// A mailbox's "_Type" is its kind (MailBoxTypeEnum); postmaster, user and relay mailboxes have an
// inbox, the folder "_In". MailBoxes is the collection (Collection.h) of a domain's mailboxes.
// Thread safety: one thread at a time per object; objects are created per use.
#pragma once

#include "store/Collection.h"
#include "store/Folder.h"
#include "store/MailBoxUsage.h"
#include "store/StoreObject.h"

#include <memory>

namespace pw::store {

class Domain;

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
    // The messages and content bytes over all the mailbox's folders (MailBoxUsage.h): the figure this
    // process keeps, counted again when older than maxAge. A folder that can not be listed counts as
    // empty, a message whose content is missing as a message of no bytes.
    MailBoxUsage Usage(std::chrono::seconds maxAge = kUsageRefresh) const;
};

class MailBoxes : public CollectionOf<MailBox> {
public:
    MailBoxes(DirStorage domain, std::string rootPath)
        : CollectionOf(std::move(domain), std::move(rootPath), {.folders = false, .lowerCaseNames = true, .noun = "mailbox"}) {}

    // Throws ComError: STG_E_ALREADYEXISTS, STG_E_INVALIDNAME, E_INVALIDARG for an unknown kind.
    std::shared_ptr<MailBox> Add(std::string_view name, std::int32_t kind);
};

}  // namespace pw::store
