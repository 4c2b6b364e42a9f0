// Collection: what Domains, MailBoxes and Folders share -- the child objects of one directory, of one
// class, enumerated in a stable order (names without regard to case), looked up by name or place and
// walked with Reset and Next. CollectionOf<T> is that collection handing out objects of class T.
//
// Folders are the child directories ClassifyChild (StoreObject.h) calls folders; domains (below the
// store root) and mailboxes (below a domain) are the parent's other children. Directories that are no
// store object belong to no collection. Every lookup is without regard to case; Item and Rename fold
// domain and mailbox names to lower case first (they are stored so) and take folder names as given.
// Reset and Next walk a snapshot taken by Reset, so objects added or removed meanwhile do not disturb
// a walk: one removed since is passed over. Domain names are stored in their lower-case Unicode form
// and found by either spelling ("xn--exmple-cua.de" or "EXÄMPLE.de"); a domain made under its ASCII
// form before is still found by both. Mailbox names fold ASCII letters only: a UTF-8 local part
// keeps its other letters as written ("Jörg" and "jörg" are one mailbox, "JÖRG" another), since
// case in local parts is the owning domain's choice and no folding beyond ASCII is safe for all.
// Thread safety: one thread at a time per collection object.
#pragma once

#include "platform/DirStorage.h"
#include "store/StoreObject.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::store {

// What a collection holds and how it names it.
struct CollectionClass {
    bool folders = false;         // the parent's folders, else its other kind of child (domains, mailboxes)
    bool lowerCaseNames = false;  // names are stored in lower case (domains and mailboxes)
    bool domainNames = false;     // internationalised names: stored in their Unicode form (platform/Idna.h)
    std::string_view noun;        // what one child is called in errors ("folder")
};

class Collection {
public:
    Collection(DirStorage parent, std::string rootPath, CollectionClass kind)
        : parent_(std::move(parent)), rootPath_(std::move(rootPath)), class_(kind) {}

    std::vector<std::string> Names() const;
    std::size_t Count() const { return Names().size(); }
    std::vector<std::string> MatchPattern(std::string_view pattern) const;
    // The pattern the walk (Reset, Next) keeps to, "*" and "?" as MatchPattern takes them; empty
    // for every child. A new pattern starts the walk again at its next step.
    const std::string& Pattern() const { return pattern_; }
    void SetPattern(std::string_view pattern);
    // Removes the child with everything below it (throws ComError; STG_E_PATHNOTFOUND when missing).
    void Remove(std::string_view name) const;
    // Renames a child and its property file (throws ComError; STG_E_PATHNOTFOUND when missing).
    void Rename(std::string_view oldName, std::string_view newName) const;
    // Moves a child into another collection of the same class under a new name, with everything
    // below it (throws ComError: STG_E_PATHNOTFOUND when missing, STG_E_ALREADYEXISTS when taken there).
    void Move(std::string_view oldName, const Collection& target, std::string_view newName) const;
    void Reset();

    const DirStorage& Parent() const { return parent_; }
    const std::string& RootPath() const { return rootPath_; }

protected:
    // The next name of the walk; false after the last.
    bool NextName(std::string& name);
    // The name at a place of the listing (throws ComError: E_INVALIDARG past the last).
    std::string NameAt(std::size_t index) const;
    // A name as this collection stores it.
    std::string Key(std::string_view name) const;
    // The child's directory when it exists and is of this collection's class.
    bool FindChild(std::string_view name, DirStorage& child) const;
    StoreParentKind ParentKind() const;

private:
    DirStorage parent_;
    std::string rootPath_;
    CollectionClass class_;
    std::string pattern_;
    std::vector<std::string> snapshot_;
    std::size_t next_ = 0;
    bool walking_ = false;
    mutable std::optional<StoreParentKind> parentKind_;  // found once per collection object
};

// The collection of the children of class T (Domain, MailBox, Folder).
template <typename T>
class CollectionOf : public Collection, public Unknown {
public:
    using Collection::Collection;

    // nullptr when there is no such object.
    std::shared_ptr<T> Item(std::string_view name) const {
        DirStorage child;
        if (!FindChild(Key(name), child)) return nullptr;
        return OpenStoreObject<T>(child, RootPath());
    }
    // Throws ComError (E_INVALIDARG) past the last.
    std::shared_ptr<T> Item(std::size_t index) const { return Item(NameAt(index)); }
    // The next object of the walk; nullptr after the last.
    std::shared_ptr<T> Next() {
        std::string name;
        while (NextName(name)) {
            if (auto object = Item(name)) return object;
        }
        return nullptr;
    }
};

}  // namespace pw::store
