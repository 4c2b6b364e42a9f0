// Folder, Folders.
#include "store/Folder.h"

namespace pw::store {

std::shared_ptr<Envelopes> Folder::GetEnvelopes() const { return std::make_shared<Envelopes>(Storage(), RootPath()); }

std::shared_ptr<Folders> Folder::GetFolders() const { return std::make_shared<Folders>(Storage(), RootPath()); }

std::shared_ptr<Folder> Folders::Add(std::string_view name, std::int32_t type) {
    if (!IsFolderType(type)) throw ComError(E_INVALIDARG, "unknown folder type " + std::to_string(type));
    DirStorage created;
    ThrowIfFailed(CreateStoreObject(Parent(), name, type, true, created), "can not create the folder " + std::string(name));
    return OpenStoreObject<Folder>(created, RootPath());
}

std::shared_ptr<Folder> Folders::FindFolder(std::string_view path) const { return FindFolderBelow(Parent(), ParentKind(), path, RootPath()); }

}  // namespace pw::store
