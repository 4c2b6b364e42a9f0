// Folder, Folders, Envelopes.
#include "store/Folder.h"

#include <algorithm>

#include "store/UidCounter.h"

namespace pw::store {

std::shared_ptr<Envelopes> Folder::GetEnvelopes() const { return std::make_shared<Envelopes>(Storage(), RootPath()); }

std::shared_ptr<Folders> Folder::GetFolders() const { return std::make_shared<Folders>(Storage(), RootPath()); }

std::shared_ptr<Folder> Folders::Item(std::string_view name) const {
    DirStorage child;
    if (!FindChild(name, child)) return nullptr;
    return OpenStoreObject<Folder>(child, RootPath());
}

std::shared_ptr<Folder> Folders::Item(std::size_t index) const {
    const auto names = Names();
    if (index >= names.size()) throw ComError(E_INVALIDARG, "folder index out of range");
    return Item(names[index]);
}

std::shared_ptr<Folder> Folders::Add(std::string_view name, std::int32_t type) {
    if (!IsFolderType(type)) throw ComError(E_INVALIDARG, "unknown folder type " + std::to_string(type));
    DirStorage created;
    ThrowIfFailed(CreateStoreObject(Parent(), name, type, true, created), "can not create the folder " + std::string(name));
    return OpenStoreObject<Folder>(created, RootPath());
}

std::shared_ptr<Folder> Folders::Next() {
    std::string name;
    while (NextName(name)) {
        if (auto folder = Item(name)) return folder;
    }
    return nullptr;
}

std::shared_ptr<Folder> Folders::FindFolder(std::string_view path) const {
    const auto parts = SplitStorePath(path);
    if (parts.empty()) return nullptr;
    DirStorage current = Parent();
    StoreParentKind parentKind = ParentKindOf(current, RootPath());
    for (const auto& part : parts) {
        DirStorage child;
        if (Failed(FindChildDirectory(current, part, child)) || ClassifyChild(child, parentKind) != StoreChildKind::Folder) {
            return nullptr;
        }
        current = child;
        parentKind = StoreParentKind::Other;
    }
    return OpenStoreObject<Folder>(current, RootPath());
}

std::vector<double> ListEnvelopeUids(const DirStorage& folder) {
    // Names only: a listing of the queue at start-up, or of a big inbox, needs no stat per file.
    std::vector<ElementName> elements;
    std::vector<double> uids;
    if (Failed(folder.EnumerateNames("*.env", elements))) return uids;
    for (const auto& element : elements) {
        if (element.isDirectory) continue;
        const std::string_view name = element.name;
        double uid = 0;
        if (UidFromStem(name.substr(0, name.size() - kRecordExtension.size()), uid)) uids.push_back(uid);
    }
    std::sort(uids.begin(), uids.end());
    return uids;
}

std::vector<double> Envelopes::Uids() const {
    if (!uids_) uids_ = ListEnvelopeUids(folder_);
    return *uids_;
}

std::shared_ptr<Envelope> Envelopes::Item(std::size_t index) const {
    if (!uids_) uids_ = ListEnvelopeUids(folder_);
    const auto& uids = *uids_;
    if (index >= uids.size()) throw ComError(E_INVALIDARG, "envelope index out of range");
    return Envelope::Open(folder_, rootPath_, uids[index]);
}

std::shared_ptr<Envelope> Envelopes::Add() {
    uids_.reset();
    return Envelope::CreateNew(folder_, rootPath_);
}

void Envelopes::Remove(std::size_t index) {
    const auto uids = Uids();
    if (index >= uids.size()) throw ComError(E_INVALIDARG, "envelope index out of range");
    RemoveEnvelope(uids[index]);
}

void Envelopes::Reset() {
    uids_.reset();
    next_ = 0;
}

std::shared_ptr<Envelope> Envelopes::Next() {
    if (!uids_) uids_ = ListEnvelopeUids(folder_);
    const auto& uids = *uids_;
    while (next_ < uids.size()) {
        const double uid = uids[next_++];
        // An envelope removed since the listing was taken is passed over.
        if (auto envelope = FindEnvelope(uid)) return envelope;
    }
    return nullptr;
}

std::shared_ptr<Envelope> Envelopes::CopyFrom(const Envelope& source) {
    uids_.reset();
    return source.CopyTo(folder_);
}

double Envelopes::NextUID() const {
    double uid = 0;
    ThrowIfFailed(PeekUid(folder_, uid), "the id counter of " + folder_.Path());
    return uid;
}

std::shared_ptr<Envelope> Envelopes::FindEnvelope(double uid) const {
    try {
        return Envelope::Open(folder_, rootPath_, uid);
    } catch (const ComError& error) {
        if (error.Code() == STG_E_FILENOTFOUND || error.Code() == STG_E_PATHNOTFOUND) return nullptr;
        throw;
    }
}

bool Envelopes::RemoveEnvelope(double uid) {
    uids_.reset();
    ElementInfo info;
    const std::string stem = UidStem(uid);
    const bool record = Succeeded(folder_.StatElement(stem + std::string(kRecordExtension), info));
    if (!record) return false;
    Envelope envelope(folder_, rootPath_, uid, true);
    envelope.Remove();
    return true;
}

}  // namespace pw::store
