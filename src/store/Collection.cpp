// Collection: children of one directory and one class.
#include "store/Collection.h"

#include "core/Logging.h"
#include "platform/Idna.h"
#include "platform/Text.h"
#include "store/FolderIndex.h"
#include "store/MailBoxUsage.h"
#include "store/StoreObject.h"

namespace pw::store {

namespace {

StoreChildKind Wanted(const CollectionClass& kind) { return kind.folders ? StoreChildKind::Folder : StoreChildKind::Object; }

}  // namespace

StoreParentKind Collection::ParentKind() const {
    if (!parentKind_) parentKind_ = ParentKindOf(parent_, rootPath_);
    return *parentKind_;
}

std::vector<std::string> Collection::Names() const {
    return ChildDirectoryNames(parent_, ParentKind(), Wanted(class_));
}

std::vector<std::string> Collection::MatchPattern(std::string_view pattern) const { return MatchNames(Names(), pattern); }

bool Collection::FindChild(std::string_view name, DirStorage& child) const {
    if (Succeeded(FindChildDirectory(parent_, name, child)) && ClassifyChild(child, ParentKind()) == Wanted(class_)) return true;
    if (!class_.domainNames) return false;
    // Either spelling finds the domain: its stored Unicode form, or the ASCII form a domain made
    // before names were kept in Unicode still has on disk.
    for (const auto& other : {std::optional<std::string>(DomainKey(name)), DomainToAscii(name)}) {
        if (other && *other != name && Succeeded(FindChildDirectory(parent_, *other, child)) &&
            ClassifyChild(child, ParentKind()) == Wanted(class_)) {
            return true;
        }
    }
    return false;
}

void Collection::Remove(std::string_view name) const {
    DirStorage child;
    if (!FindChild(name, child)) throw ComError(STG_E_PATHNOTFOUND, "no such object: " + std::string(name));
    // Whatever it held leaves the figures of the mailboxes kept in this process.
    ForgetAllUsages();
    RemoveFolderIndexes(child, rootPath_);
    ThrowIfFailed(parent_.DestroyElement(child.Name()), "can not remove " + child.Path());
    // The object is gone; only whether its removal survives a crash is in doubt, and a removal that
    // comes back is merely a removal to do again.
    if (const HRESULT hr = parent_.Sync(); Failed(hr)) {
        core::Log(core::LogLevelWarning, "The removal of " + child.Path() + " could not be flushed: " + HresultText(hr));
    }
}

void Collection::Rename(std::string_view oldName, std::string_view newName) const { Move(oldName, *this, newName); }

void Collection::Move(std::string_view oldName, const Collection& target, std::string_view newName) const {
    if (target.class_.folders != class_.folders) throw ComError(E_INVALIDARG, "can not move a " + std::string(class_.noun) + " there");
    const std::string from = Key(oldName);
    DirStorage child;
    if (!FindChild(from, child)) throw ComError(STG_E_PATHNOTFOUND, "no such object: " + from);
    ThrowIfFailed(MoveStoreObject(parent_, child.Name(), target.parent_, target.Key(newName)), "can not rename " + child.Path());
}

std::string Collection::Key(std::string_view name) const {
    if (class_.domainNames) return DomainKey(name);
    return class_.lowerCaseNames ? ToLowerAscii(name) : std::string(name);
}

std::string Collection::NameAt(std::size_t index) const {
    auto names = Names();
    if (index >= names.size()) throw ComError(E_INVALIDARG, std::string(class_.noun) + " index out of range");
    return std::move(names[index]);
}

void Collection::SetPattern(std::string_view pattern) {
    pattern_ = pattern;
    walking_ = false;
}

void Collection::Reset() {
    snapshot_ = pattern_.empty() ? Names() : MatchPattern(pattern_);
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
