// Collection: children of one directory and one class.
#include "store/Collection.h"

#include "core/Logging.h"
#include "store/StoreObject.h"

namespace pw::store {

namespace {

StoreChildKind Wanted(bool folders) { return folders ? StoreChildKind::Folder : StoreChildKind::Object; }

}  // namespace

StoreParentKind Collection::ParentKind() const {
    if (!parentKind_) parentKind_ = ParentKindOf(parent_, rootPath_);
    return *parentKind_;
}

std::vector<std::string> Collection::Names() const {
    return ChildDirectoryNames(parent_, ParentKind(), Wanted(folders_));
}

std::vector<std::string> Collection::MatchPattern(std::string_view pattern) const { return MatchNames(Names(), pattern); }

bool Collection::FindChild(std::string_view name, DirStorage& child) const {
    return Succeeded(FindChildDirectory(parent_, name, child)) && ClassifyChild(child, ParentKind()) == Wanted(folders_);
}

void Collection::Remove(std::string_view name) const {
    DirStorage child;
    if (!FindChild(name, child)) throw ComError(STG_E_PATHNOTFOUND, "no such object: " + std::string(name));
    ThrowIfFailed(parent_.DestroyElement(child.Name()), "can not remove " + child.Path());
    // The object is gone; only whether its removal survives a crash is in doubt, and a removal that
    // comes back is merely a removal to do again.
    if (const HRESULT hr = parent_.Sync(); Failed(hr)) {
        core::Log(core::LogLevelWarning, "The removal of " + child.Path() + " could not be flushed: " + HresultText(hr));
    }
}

void Collection::Rename(std::string_view oldName, std::string_view newName) const {
    DirStorage child;
    if (!FindChild(oldName, child)) throw ComError(STG_E_PATHNOTFOUND, "no such object: " + std::string(oldName));
    ThrowIfFailed(RenameStoreObject(parent_, child.Name(), newName), "can not rename " + child.Path());
}

void Collection::Reset() {
    snapshot_ = Names();
    next_ = 0;
    walking_ = true;
}

bool Collection::NextName(std::string& name) {
    if (!walking_) Reset();
    if (next_ >= snapshot_.size()) return false;
    name = snapshot_[next_++];
    return true;
}

}  // namespace pw::store
