// Collection: what Domains, MailBoxes and Folders share -- the child objects of one directory, of one
// class, enumerated in a stable order (names without regard to case).
//
// Folders are the child directories ClassifyChild (StoreObject.h) calls folders; domains (below the
// store root) and mailboxes (below a domain) are the parent's other children. Directories that are no
// store object belong to no collection. Reset and Next walk a snapshot taken by
// Reset, so objects added or removed meanwhile do not disturb a walk.
// Thread safety: one thread at a time per collection object.
#pragma once

#include "platform/DirStorage.h"
#include "store/StoreObject.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::store {

class Collection {
public:
    Collection(DirStorage parent, std::string rootPath, bool folders)
        : parent_(std::move(parent)), rootPath_(std::move(rootPath)), folders_(folders) {}

    std::vector<std::string> Names() const;
    std::size_t Count() const { return Names().size(); }
    std::vector<std::string> MatchPattern(std::string_view pattern) const;
    // Removes the child with everything below it (throws ComError; STG_E_PATHNOTFOUND when missing).
    void Remove(std::string_view name) const;
    void Reset();

    const DirStorage& Parent() const { return parent_; }
    const std::string& RootPath() const { return rootPath_; }

protected:
    // The next name of the walk; false after the last.
    bool NextName(std::string& name);
    // The child's directory when it exists and is of this collection's class.
    bool FindChild(std::string_view name, DirStorage& child) const;
    void Rename(std::string_view oldName, std::string_view newName) const;

private:
    StoreParentKind ParentKind() const;

    DirStorage parent_;
    std::string rootPath_;
    bool folders_;
    std::vector<std::string> snapshot_;
    std::size_t next_ = 0;
    bool walking_ = false;
    mutable std::optional<StoreParentKind> parentKind_;  // found once per collection object
};

}  // namespace pw::store
