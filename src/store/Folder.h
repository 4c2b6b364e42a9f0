// Folder, Folders, Envelopes: the store objects that hold messages.
//
// A folder is a store object (StoreObject.h) of type FolderTypeEnum with a "_uid" id counter
// (UidCounter.h) and its messages as envelope files (Envelope.h). Folder names keep their case but are
// looked up without regard to it, and a name that differs from an existing child's only in case is
// refused. Envelopes lists a folder's messages by their "*.env" records, in id order.
// Thread safety: one thread at a time per object; objects are created per use.
#pragma once

#include "store/Collection.h"
#include "store/Envelope.h"
#include "store/StoreObject.h"

#include <memory>
#include <optional>

namespace pw::store {

class Envelopes;
class Folders;

class Folder : public StoreObject {
public:
    using StoreObject::StoreObject;
    StoreObjectTypeEnum OwnType() const override { return StoreFolderType; }

    std::int32_t FolderType() const { return ObjectType(); }
    std::shared_ptr<Envelopes> GetEnvelopes() const;
    std::shared_ptr<Folders> GetFolders() const;
};

class Folders : public Collection, public Unknown {
public:
    Folders(DirStorage parent, std::string rootPath) : Collection(std::move(parent), std::move(rootPath), true) {}

    // nullptr when there is no such folder.
    std::shared_ptr<Folder> Item(std::string_view name) const;
    std::shared_ptr<Folder> Item(std::size_t index) const;
    // Throws ComError: STG_E_ALREADYEXISTS for a taken name, STG_E_INVALIDNAME for a name that can
    // not be a folder's, E_INVALIDARG for an unknown type.
    std::shared_ptr<Folder> Add(std::string_view name, std::int32_t type);
    void Rename(std::string_view oldName, std::string_view newName) const { Collection::Rename(oldName, newName); }
    std::shared_ptr<Folder> Next();
    // A folder below the parent by its path ("Bayesian Learn/Spam").
    std::shared_ptr<Folder> FindFolder(std::string_view path) const;
};

class Envelopes : public Unknown {
public:
    Envelopes(DirStorage folder, std::string rootPath) : folder_(std::move(folder)), rootPath_(std::move(rootPath)) {}

    // The ids of the published envelopes, ascending (the listing is taken again by Reset and by the
    // collection's own Add and Remove). A copy: the collection may be a temporary.
    std::vector<double> Uids() const;
    std::size_t Count() const { return Uids().size(); }
    // The envelope at a place of the listing (throws ComError).
    std::shared_ptr<Envelope> Item(std::size_t index) const;
    // A new envelope, published by its first Update (Envelope.h).
    std::shared_ptr<Envelope> Add();
    void Remove(std::size_t index);
    void Reset();
    std::shared_ptr<Envelope> Next();
    // A published copy of an envelope of any folder in this one.
    std::shared_ptr<Envelope> CopyFrom(const Envelope& source);
    // The id the next Add would draw.
    double NextUID() const;
    // nullptr when the folder has no envelope with that id.
    std::shared_ptr<Envelope> FindEnvelope(double uid) const;
    // Removes the envelope with that id; false when there was none.
    bool RemoveEnvelope(double uid);

private:
    DirStorage folder_;
    std::string rootPath_;
    mutable std::optional<std::vector<double>> uids_;
    std::size_t next_ = 0;
};

// The ids of a folder's published envelopes, ascending.
std::vector<double> ListEnvelopeUids(const DirStorage& folder);

}  // namespace pw::store
