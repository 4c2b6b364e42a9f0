// Folder, Folders: the store objects that hold messages.
//
// A folder is a store object (StoreObject.h) of type FolderTypeEnum with a "_uid" id counter
// (UidCounter.h) and its messages as envelope files, listed by Envelopes (Envelopes.h). Folder names
// keep their case but are looked up without regard to it, and a name that differs from an existing
// child's only in case is refused. Folders is the collection (Collection.h) of a parent's folders.
// Thread safety: one thread at a time per object; objects are created per use.
#pragma once

#include "store/Collection.h"
#include "store/Envelopes.h"
#include "store/StoreObject.h"

#include <memory>

namespace pw::store {

class Folders;

class Folder : public StoreObject {
public:
    using StoreObject::StoreObject;
    StoreObjectTypeEnum OwnType() const override { return StoreFolderType; }

    std::int32_t FolderType() const { return ObjectType(); }
    std::shared_ptr<Envelopes> GetEnvelopes() const;
    std::shared_ptr<Folders> GetFolders() const;
};

class Folders : public CollectionOf<Folder> {
public:
    Folders(DirStorage parent, std::string rootPath)
        : CollectionOf(std::move(parent), std::move(rootPath), {.folders = true, .lowerCaseNames = false, .noun = "folder"}) {}

    // Throws ComError: STG_E_ALREADYEXISTS for a taken name, STG_E_INVALIDNAME for a name that can
    // not be a folder's, E_INVALIDARG for an unknown type.
    std::shared_ptr<Folder> Add(std::string_view name, std::int32_t type);
    // A folder below the parent by its path ("Bayesian Learn/Spam").
    std::shared_ptr<Folder> FindFolder(std::string_view path) const;
};

}  // namespace pw::store
