// StoreObject: what the message store, its domains, mailboxes and folders have in common -- a
// directory of the store with a property file named "_" + the directory's own name, agent files,
// store streams and child objects.
//
// An object reads its property file when it is opened and does not keep it open: the file is
// replaced whole (atomically) by Update and read whole by others, so a reader never waits and never
// sees half a file. Update takes the directory's lock (bounded wait), reads the file again, replays
// the changes made through this object, writes the result and takes it as the object's tree; changes
// other objects made meanwhile to other keys survive.
// Creation (CreateStoreObject) makes the directory under a hidden (temporary) name, puts in it, for a
// folder, its "_uid" counter, what the caller adds, and the property file with "_Version" 1, "_Type"
// and "_CreateDate", and only then gives it its name: an object is whole or absent, and a failure
// removes what it made. A directory that holds neither a "_uid" nor a property file under the wanted
// name (what older versions left when a creation was cut short) is taken over in place.
// Children: a directory with a "_uid" counter is a folder. Without one its property file's "_Type"
// decides, read as the parent's children are defined: below the root 0 is a domain, below a domain a
// mailbox kind is a mailbox, and any other folder type is a folder that lost its counter (its
// counter is made again on first use). Below mailboxes and folders every child is a folder. A
// directory with neither a counter nor a property file ("lost+found", a directory made by hand, a
// creation cut short) is no store object and is passed over.
// Names: every name that becomes a path component passes ValidateElementName; a child is looked up
// by its exact name first and then without regard to case.
// Thread safety: one object per thread; objects are created per use and released after it.
#pragma once

#include "platform/ClassRegistry.h"
#include "platform/DirStorage.h"
#include "store/Properties.h"
#include "store/StoreTypes.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pw::store {

class Folder;

class StoreObject : public Unknown {
public:
    StoreObject(DirStorage dir, std::string rootPath);

    const DirStorage& Storage() const { return dir_; }
    const std::string& RootPath() const { return rootPath_; }
    std::string Name() const { return dir_.Name(); }
    std::string PropertyFileName() const { return "_" + Name(); }
    virtual StoreObjectTypeEnum OwnType() const = 0;

    Properties& GetProperties() { return properties_; }
    const Properties& GetProperties() const { return properties_; }
    // "_Type": the folder type, the mailbox kind, 0 for the store root and the domains.
    std::int32_t ObjectType() const { return properties_.Number(kTypeKey); }
    std::string Comment() const { return properties_.Text(kCommentKey); }
    void SetComment(std::string_view comment) { properties_.SetItem(kCommentKey, Variant::Text(comment)); }
    Date CreateDate() const { return properties_.Item(kCreateDateKey).AsDouble(); }
    // Stores the enciphered password; Update writes it.
    void SetPassword(std::string_view password);
    bool IsPassword(std::string_view offered) const;
    // The clear password, for the protocols that verify a challenge response; empty when none is set.
    std::string ClearPassword() const;

    // Writes this object's changes (throws ComError).
    void Update();
    // Sets one property from its value on disk now, under the directory's lock, with this object's
    // other changes: a change relative to the stored value ("raise it to") never undoes another
    // writer's. Returns the value it replaced (empty when there was none).
    Variant UpdateProperty(std::string_view key, const std::function<Variant(const Variant&)>& change);
    // Reads the property file again, dropping changes not yet written.
    void Refresh();

    // Other Parts' files in this object's directory. The property file is not one of them.
    std::unique_ptr<FileStream> GetStoreStream(std::string_view name, bool create, std::uint32_t mode) const;
    void RemoveStoreStream(std::string_view name) const;
    void SaveAgent(PersistStream& agent) const;
    void LoadAgent(PersistStream& agent) const;
    // S_OK, or 0x80030000 + the Windows error of the failed delete.
    [[nodiscard]] HRESULT RemoveAgentStream(const Guid& classId) const;

    // The object's path below the store root, components separated by "/"; "" for the root.
    std::string Namespace() const;
    // A folder below this object by its path ("Bayesian Learn/Spam"); nullptr when there is none.
    std::shared_ptr<Folder> FindFolder(std::string_view path) const;
    // The kind of store object at a path below this one ("" is this object).
    StoreObjectTypeEnum StoreObjectType(std::string_view path) const;

    // Reads the property file (a missing one is an empty tree). Openers call it; throws ComError.
    void Load();

private:
    [[nodiscard]] HRESULT ReadPropertyFile(core::ConfigTree& tree) const;
    // Under the directory's lock: the file as it is now, with this object's changes and then `adjust`
    // applied, replaces the file, and becomes this object's properties.
    void WriteMerged(const std::function<void(core::ConfigTree&)>& adjust);
    [[nodiscard]] HRESULT RepairPropertyFileName() const;

    DirStorage dir_;
    std::string rootPath_;
    Properties properties_;
};

// Opens an object of type T on a directory and reads its properties (throws ComError).
template <typename T>
std::shared_ptr<T> OpenStoreObject(DirStorage dir, const std::string& rootPath) {
    auto object = std::make_shared<T>(std::move(dir), rootPath);
    object->Load();
    return object;
}

// The agent file of a class: "%lx%hx%hx%x%x%lx" of the identifier's groups, then ".agent".
std::string AgentFileName(const Guid& classId);

// Makes a new store object below parent (see the file comment). A name that differs from an existing
// child's only in case is taken: STG_E_ALREADYEXISTS, as for the same name.
// `fill` puts children in before the object appears (a mailbox's inbox).
using StoreObjectFiller = std::function<HRESULT(const DirStorage& made)>;
[[nodiscard]] HRESULT CreateStoreObject(const DirStorage& parent, std::string_view name, std::int32_t type, bool isFolder,
                                        DirStorage& created, const std::vector<std::pair<std::string, Variant>>& extra = {},
                                        const StoreObjectFiller& fill = {});

// Does the directory have a "_uid" counter? Only folders have one, but a folder whose counter was
// lost has none: ClassifyChild is what tells children apart.
bool IsFolderDirectory(const DirStorage& dir);

// The store object a directory is, as a parent: its children are told apart by it.
enum class StoreParentKind { Root, Domain, Other };
// What a child directory is (see the file comment): a folder, the parent's other kind of child (a
// domain below the root, a mailbox below a domain), or no store object at all.
enum class StoreChildKind { None, Folder, Object };
StoreChildKind ClassifyChild(const DirStorage& child, StoreParentKind parent);
// The parent kind of a directory of the store below rootPath.
StoreParentKind ParentKindOf(const DirStorage& dir, const std::string& rootPath);
StoreParentKind ParentKindOf(StoreObjectTypeEnum ownType);
// A child directory by name: the exact name first, then without regard to case.
[[nodiscard]] HRESULT FindChildDirectory(const DirStorage& parent, std::string_view name, DirStorage& child);
// The names of the child directories of one kind, in an order without regard to case.
std::vector<std::string> ChildDirectoryNames(const DirStorage& parent, StoreParentKind parentKind, StoreChildKind kind);
// A folder below dir by its path ("Bayesian Learn/Spam"), dir's children told apart as those of a
// parentKind; nullptr when there is none.
std::shared_ptr<Folder> FindFolderBelow(const DirStorage& dir, StoreParentKind parentKind, std::string_view path,
                                        const std::string& rootPath);
// Names matching a pattern with "*" and "?" wildcards, without regard to case.
std::vector<std::string> MatchNames(const std::vector<std::string>& names, std::string_view pattern);
// Renames a child object's directory and its property file with it.
[[nodiscard]] HRESULT RenameStoreObject(const DirStorage& parent, std::string_view oldName, std::string_view newName);
// The same into another parent directory (one rename: the object keeps its children, its id counter
// and its properties); a name taken there, in any case, is STG_E_ALREADYEXISTS.
[[nodiscard]] HRESULT MoveStoreObject(const DirStorage& parent, std::string_view oldName, const DirStorage& target,
                                      std::string_view newName);
// A directory's path below the store root, components separated by "/"; "" for the root itself.
std::string RelativeStorePath(const DirStorage& dir, const std::string& rootPath);
// Splits "a/b\c" into its components (both separators count; empty components are skipped).
std::vector<std::string> SplitStorePath(std::string_view path);

}  // namespace pw::store
