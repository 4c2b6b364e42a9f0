// StoreObject: property files, agents, store streams, names and paths of store objects.
#include "store/StoreObject.h"

#include <algorithm>
#include <fnmatch.h>

#include "core/Logging.h"
#include "platform/Text.h"
#include "store/Folder.h"
#include "store/MailBoxUsage.h"
#include "store/Password.h"

namespace pw::store {

namespace {

bool IsRecordFile(std::string_view name) {
    return name.size() > kRecordExtension.size() && EqualsNoCase(name.substr(name.size() - 4), kRecordExtension);
}

bool IsContentFile(std::string_view name) {
    return name.size() > kContentExtension.size() && EqualsNoCase(name.substr(name.size() - 4), kContentExtension);
}

// The files that could be a directory's property file under an old name (a rename cut short).
std::vector<std::string> PropertyFileCandidates(const DirStorage& dir) {
    std::vector<ElementInfo> elements;
    std::vector<std::string> candidates;
    if (Failed(dir.Enumerate("_*", elements))) return candidates;
    for (const auto& element : elements) {
        if (!element.isDirectory && !EqualsNoCase(element.name, kUidFileName)) candidates.push_back(element.name);
    }
    return candidates;
}

enum class PropertyFileState { Missing, Unreadable, Read };

// Reads the "_Type" of a directory's property file and changes nothing (0 when the key is missing).
PropertyFileState ReadStoredType(const DirStorage& dir, std::int32_t& type) {
    std::vector<std::byte> bytes;
    HRESULT hr = dir.ReadWholeCached("_" + dir.Name(), bytes);
    if (hr == STG_E_FILENOTFOUND) {
        const auto candidates = PropertyFileCandidates(dir);
        if (candidates.size() != 1) return PropertyFileState::Missing;
        hr = dir.ReadWholeCached(candidates.front(), bytes);
    }
    if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return PropertyFileState::Missing;
    if (Failed(hr)) return PropertyFileState::Unreadable;
    MemoryStream memory(std::move(bytes));
    core::ConfigTree tree;
    if (Failed(tree.ReadFrom(memory))) return PropertyFileState::Unreadable;
    Variant value;
    type = tree.Get(kTypeKey, value) && !value.IsEmpty() ? value.AsI4() : 0;
    return PropertyFileState::Read;
}

}  // namespace

StoreObject::StoreObject(DirStorage dir, std::string rootPath) : dir_(std::move(dir)), rootPath_(std::move(rootPath)) {}

HRESULT StoreObject::ReadPropertyFile(core::ConfigTree& tree) const {
    std::vector<std::byte> bytes;
    HRESULT hr = dir_.ReadWholeCached(PropertyFileName(), bytes);
    if (hr == STG_E_FILENOTFOUND && Succeeded(RepairPropertyFileName())) hr = dir_.ReadWholeCached(PropertyFileName(), bytes);
    if (hr == STG_E_FILENOTFOUND) {
        tree.Clear();
        return S_OK;
    }
    if (Failed(hr)) return hr;
    MemoryStream memory(std::move(bytes));
    return tree.ReadFrom(memory);
}

// A rename of the object that was cut short between its two steps leaves the property file under the
// old name. When exactly one file could be it, it takes the directory's name again.
HRESULT StoreObject::RepairPropertyFileName() const {
    const auto candidates = PropertyFileCandidates(dir_);
    if (candidates.size() != 1) return STG_E_FILENOTFOUND;
    return dir_.RenameElement(candidates.front(), PropertyFileName());
}

void StoreObject::Load() {
    core::ConfigTree tree;
    if (const HRESULT hr = ReadPropertyFile(tree); Failed(hr)) {
        throw ComError(hr, "can not read the property file " + dir_.ElementPath(PropertyFileName()));
    }
    MemoryStream bytes;
    ThrowIfFailed(tree.WriteTo(bytes));
    ThrowIfFailed(bytes.Seek(0, SeekOrigin::Begin));
    ThrowIfFailed(properties_.ReadFrom(bytes));
}

void StoreObject::Refresh() { Load(); }

void StoreObject::Update() {
    if (!properties_.HasChanges()) return;
    WriteMerged([](core::ConfigTree&) {});
}

Variant StoreObject::UpdateProperty(std::string_view key, const std::function<Variant(const Variant&)>& change) {
    Variant previous;
    WriteMerged([&](core::ConfigTree& fresh) {
        previous = fresh.GetCopy(key);
        fresh.Set(key, change(previous));
    });
    return previous;
}

void StoreObject::WriteMerged(const std::function<void(core::ConfigTree&)>& adjust) {
    StorageLock lock;
    if (const HRESULT hr = dir_.LockSelf(kStoreLockBound, lock); Failed(hr)) {
        throw ComError(hr, "can not lock " + dir_.Path() + " to update its properties");
    }
    core::ConfigTree fresh;
    if (const HRESULT hr = ReadPropertyFile(fresh); Failed(hr)) {
        throw ComError(hr, "can not read the property file " + dir_.ElementPath(PropertyFileName()));
    }
    properties_.ApplyChangesTo(fresh);
    adjust(fresh);
    MemoryStream content;
    ThrowIfFailed(fresh.WriteTo(content));
    if (const HRESULT hr = dir_.ReplaceStream(PropertyFileName(), content.Bytes()); Failed(hr)) {
        throw ComError(hr, "can not write the property file " + dir_.ElementPath(PropertyFileName()));
    }
    ThrowIfFailed(content.Seek(0, SeekOrigin::Begin));
    ThrowIfFailed(properties_.ReadFrom(content));
}

void StoreObject::SetPassword(std::string_view password) {
    properties_.SetItem(kPasswordKey, Variant::Text(EncipherPassword(password)));
}

bool StoreObject::IsPassword(std::string_view offered) const {
    return PasswordMatches(properties_.Text(kPasswordKey), offered);
}

std::string StoreObject::ClearPassword() const {
    return DecipherPassword(properties_.Text(kPasswordKey)).value_or(std::string());
}

std::unique_ptr<FileStream> StoreObject::GetStoreStream(std::string_view name, bool create, std::uint32_t mode) const {
    if (EqualsNoCase(name, PropertyFileName())) throw ComError(STG_E_ACCESSDENIED, "the property file is not a store stream");
    std::unique_ptr<FileStream> stream;
    const HRESULT hr = create ? dir_.CreateStream(name, mode | STGM_CREATE, stream) : dir_.OpenStream(name, mode, stream);
    ThrowIfFailed(hr, "store stream " + dir_.ElementPath(name));
    return stream;
}

void StoreObject::RemoveStoreStream(std::string_view name) const {
    if (EqualsNoCase(name, PropertyFileName())) throw ComError(STG_E_ACCESSDENIED, "the property file is not a store stream");
    ThrowIfFailed(dir_.DestroyElement(name), "store stream " + dir_.ElementPath(name));
}

std::string AgentFileName(const Guid& id) {
    const auto& d = id.data4;
    const auto pair = [&](int i) { return std::uint64_t{d[i]} << 8 | d[i + 1]; };
    const std::uint64_t tail = std::uint64_t{d[4]} << 24 | std::uint64_t{d[5]} << 16 | std::uint64_t{d[6]} << 8 | d[7];
    return Format("%lx%hx%hx%x%x%lx", {std::uint64_t{id.data1}, std::uint64_t{id.data2}, std::uint64_t{id.data3},
                                        pair(0), pair(2), tail}) +
           std::string(kAgentExtension);
}

void StoreObject::SaveAgent(PersistStream& agent) const {
    MemoryStream content;
    ThrowIfFailed(agent.Save(content), "saving an agent");
    const std::string name = AgentFileName(agent.ClassId());
    ThrowIfFailed(dir_.ReplaceStream(name, content.Bytes()), "agent file " + dir_.ElementPath(name));
}

void StoreObject::LoadAgent(PersistStream& agent) const {
    const std::string name = AgentFileName(agent.ClassId());
    std::unique_ptr<FileStream> stream;
    ThrowIfFailed(dir_.OpenStream(name, STGM_READ | STGM_SHARE_DENY_WRITE, stream), "agent file " + dir_.ElementPath(name));
    ThrowIfFailed(agent.Load(*stream), "loading the agent " + dir_.ElementPath(name));
}

HRESULT StoreObject::RemoveAgentStream(const Guid& classId) const { return dir_.DestroyElement(AgentFileName(classId)); }

std::string StoreObject::Namespace() const { return RelativeStorePath(dir_, rootPath_); }

std::string RelativeStorePath(const DirStorage& dir, const std::string& rootPath) {
    std::string path = dir.Path();
    if (path.size() <= rootPath.size() || path.compare(0, rootPath.size(), rootPath) != 0) return {};
    path = path.substr(rootPath.size());
    if (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

std::shared_ptr<Folder> StoreObject::FindFolder(std::string_view path) const {
    return FindFolderBelow(dir_, ParentKindOf(OwnType()), path, rootPath_);
}

std::shared_ptr<Folder> FindFolderBelow(const DirStorage& dir, StoreParentKind parentKind, std::string_view path,
                                        const std::string& rootPath) {
    const auto parts = SplitStorePath(path);
    if (parts.empty()) return nullptr;
    DirStorage current = dir;
    for (const auto& part : parts) {
        DirStorage child;
        if (Failed(FindChildDirectory(current, part, child)) || ClassifyChild(child, parentKind) != StoreChildKind::Folder) {
            return nullptr;
        }
        current = child;
        parentKind = StoreParentKind::Other;
    }
    return OpenStoreObject<Folder>(current, rootPath);
}

StoreObjectTypeEnum StoreObject::StoreObjectType(std::string_view path) const {
    const auto parts = SplitStorePath(path);
    StoreObjectTypeEnum kind = OwnType();
    DirStorage current = dir_;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        DirStorage child;
        if (Succeeded(FindChildDirectory(current, part, child))) {
            switch (ClassifyChild(child, ParentKindOf(kind))) {
            case StoreChildKind::Folder:
                kind = StoreFolderType;
                break;
            case StoreChildKind::Object:
                kind = kind == StoreMessageStoreType ? StoreDomainType : StoreMailBoxType;
                break;
            case StoreChildKind::None:
                return StoreNoType;
            }
            current = child;
            continue;
        }
        ElementInfo info;
        const bool lastInFolder = i + 1 == parts.size() && kind == StoreFolderType;
        if (!lastInFolder || Failed(current.StatElement(part, info)) || info.isDirectory) return StoreNoType;
        if (IsRecordFile(part)) return StoreEnvelopeType;
        if (IsContentFile(part)) return StoreMessageType;
        return StoreNoType;
    }
    return kind;
}

bool IsFolderDirectory(const DirStorage& dir) {
    ElementInfo info;
    return Succeeded(dir.StatElement(kUidFileName, info)) && !info.isDirectory;
}

StoreChildKind ClassifyChild(const DirStorage& child, StoreParentKind parent) {
    if (IsFolderDirectory(child)) return StoreChildKind::Folder;
    std::int32_t type = 0;
    switch (ReadStoredType(child, type)) {
    case PropertyFileState::Missing:
        return StoreChildKind::None;
    case PropertyFileState::Unreadable:
        // Its owner gets the read error when it opens the object, rather than the object vanishing.
        return parent == StoreParentKind::Other ? StoreChildKind::Folder : StoreChildKind::Object;
    case PropertyFileState::Read:
        break;
    }
    switch (parent) {
    case StoreParentKind::Root:
        if (type == 0) return StoreChildKind::Object;
        break;
    case StoreParentKind::Domain:
        // A postmaster mailbox and an inbox folder share the number 1; only folders have counters.
        if (type != NoMailBoxType && IsMailBoxType(type)) return StoreChildKind::Object;
        break;
    case StoreParentKind::Other:
        break;
    }
    return IsFolderType(type) ? StoreChildKind::Folder : StoreChildKind::None;
}

StoreParentKind ParentKindOf(StoreObjectTypeEnum ownType) {
    if (ownType == StoreMessageStoreType) return StoreParentKind::Root;
    if (ownType == StoreDomainType) return StoreParentKind::Domain;
    return StoreParentKind::Other;
}

StoreParentKind ParentKindOf(const DirStorage& dir, const std::string& rootPath) {
    if (DirStorage(rootPath).Path() == dir.Path()) return StoreParentKind::Root;
    const auto parts = SplitStorePath(RelativeStorePath(dir, DirStorage(rootPath).Path()));
    // Only a domain, right below the root, has children other than folders.
    if (parts.size() != 1) return StoreParentKind::Other;
    return ClassifyChild(dir, StoreParentKind::Root) == StoreChildKind::Object ? StoreParentKind::Domain : StoreParentKind::Other;
}

HRESULT FindChildDirectory(const DirStorage& parent, std::string_view name, DirStorage& child) {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    if (Succeeded(parent.OpenChildStorage(name, child))) return S_OK;
    std::vector<ElementInfo> elements;
    if (const HRESULT hr = parent.Enumerate("*", elements); Failed(hr)) return hr;
    for (const auto& element : elements) {
        if (element.isDirectory && EqualsNoCase(element.name, name)) return parent.OpenChildStorage(element.name, child);
    }
    return STG_E_PATHNOTFOUND;
}

std::vector<std::string> ChildDirectoryNames(const DirStorage& parent, StoreParentKind parentKind, StoreChildKind kind) {
    std::vector<ElementInfo> elements;
    std::vector<std::string> names;
    if (Failed(parent.Enumerate("*", elements))) return names;
    for (const auto& element : elements) {
        // A hidden directory is an object still being made (or one a crash cut short).
        if (!element.isDirectory || IsTemporaryName(element.name) || Failed(ValidateElementName(element.name))) continue;
        if (ClassifyChild(DirStorage(parent.ElementPath(element.name)), parentKind) == kind) names.push_back(element.name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
    return names;
}

std::vector<std::string> MatchNames(const std::vector<std::string>& names, std::string_view pattern) {
    std::vector<std::string> matches;
    const std::string wanted(pattern.empty() ? "*" : pattern);
    for (const auto& name : names) {
        if (::fnmatch(wanted.c_str(), name.c_str(), FNM_CASEFOLD | FNM_NOESCAPE) == 0) matches.push_back(name);
    }
    return matches;
}

namespace {

// The counter (a folder's), the property file and what the caller puts inside, into a directory
// nobody else writes to: a new object's hidden directory, or one taken over.
HRESULT FillStoreObject(const DirStorage& child, std::string_view name, std::int32_t type, bool isFolder,
                        const std::vector<std::pair<std::string, Variant>>& extra, const StoreObjectFiller& fill) {
    if (isFolder) {
        // Without replacing: a counter already there (a folder taken over) may have handed out ids.
        std::unique_ptr<FileStream> uid;
        const HRESULT hr = child.CreateStream(kUidFileName, STGM_WRITE | STGM_SHARE_DENY_NONE, uid);
        if (Failed(hr) && hr != STG_E_FILEALREADYEXISTS) return hr;
    }
    core::ConfigTree tree;
    tree.Set(kVersionKey, Variant::I4(kObjectVersion));
    tree.Set(kTypeKey, Variant::I4(type));
    tree.Set(kCreateDateKey, Variant::DateValue(Now()));
    for (const auto& [key, value] : extra) tree.Set(key, value);
    MemoryStream content;
    if (const HRESULT hr = tree.WriteTo(content); Failed(hr)) return hr;
    if (fill) {
        if (const HRESULT hr = fill(child); Failed(hr)) return hr;
    }
    return child.PublishStream("_" + std::string(name), content.Bytes());
}

}  // namespace

HRESULT CreateStoreObject(const DirStorage& parent, std::string_view name, std::int32_t type, bool isFolder,
                          DirStorage& created, const std::vector<std::pair<std::string, Variant>>& extra,
                          const StoreObjectFiller& fill) {
    if (const HRESULT hr = ValidateElementName(name); Failed(hr)) return hr;
    if (IsTemporaryName(name) || EqualsNoCase(name, kUidFileName)) return STG_E_INVALIDNAME;
    DirStorage existing;
    if (Succeeded(FindChildDirectory(parent, name, existing))) {
        // A directory that is no store object under exactly this name is what a creation of older
        // versions, cut short after its first step, left: it is taken over in place. Whatever the
        // outcome it stays -- someone else may be taking it over as well.
        std::int32_t existingType = 0;
        if (existing.Name() != name || IsFolderDirectory(existing) ||
            ReadStoredType(existing, existingType) != PropertyFileState::Missing) {
            return STG_E_ALREADYEXISTS;
        }
        if (const HRESULT hr = FillStoreObject(existing, name, type, isFolder, extra, fill); Failed(hr)) return hr;
        created = existing;
        return parent.Sync();
    }
    // Made whole under a hidden name, then given its own by one rename that never replaces: two
    // makers of one name (two routers reaching a new domain at once) can not meet inside it, the
    // loser finds the name taken and takes the winner's, and no listing ever shows half an object.
    // Start-up clears a hidden directory a crash left behind.
    const std::string hidden = TemporaryName(name);
    DirStorage child;
    if (const HRESULT hr = parent.CreateChildStorage(hidden, &child); Failed(hr)) return hr;
    HRESULT hr = FillStoreObject(child, name, type, isFolder, extra, fill);
    if (Succeeded(hr)) hr = parent.RenameElement(hidden, name);
    if (Failed(hr)) {
        if (const HRESULT undone = parent.DestroyElement(hidden); Failed(undone)) {
            core::Log(core::LogLevelWarning, "A half-made store object stays until the next start: " + parent.ElementPath(hidden) +
                                                 " (" + HresultText(undone) + ")");
        }
        return hr;
    }
    if (hr = parent.Sync(); Failed(hr)) return hr;
    created = DirStorage(parent.ElementPath(name));
    return S_OK;
}

HRESULT RenameStoreObject(const DirStorage& parent, std::string_view oldName, std::string_view newName) {
    return MoveStoreObject(parent, oldName, parent, newName);
}

HRESULT MoveStoreObject(const DirStorage& parent, std::string_view oldName, const DirStorage& target, std::string_view newName) {
    if (const HRESULT hr = ValidateElementName(newName); Failed(hr)) return hr;
    if (IsTemporaryName(newName) || EqualsNoCase(newName, kUidFileName)) return STG_E_INVALIDNAME;
    DirStorage object;
    if (const HRESULT hr = FindChildDirectory(parent, oldName, object); Failed(hr)) return hr;
    const bool sameParent = parent.Path() == target.Path();
    // Within one parent a name may change only its case; elsewhere any name taken in any case is.
    DirStorage existing;
    if ((!sameParent || !EqualsNoCase(oldName, newName)) && Succeeded(FindChildDirectory(target, newName, existing))) {
        return STG_E_ALREADYEXISTS;
    }
    const std::string actualOld = object.Name();
    if (const HRESULT hr = parent.MoveElement(actualOld, target, newName); Failed(hr)) return hr;
    // A figure kept under a path the object had, or now has, is no longer the mailbox's.
    ForgetAllUsages();
    const DirStorage renamed(target.ElementPath(newName));
    // The property file follows its directory; a crash in between is repaired when the object is next read.
    // A move that keeps the name keeps the file's name too.
    const HRESULT hr = actualOld == newName ? S_FALSE : renamed.RenameElement("_" + actualOld, "_" + std::string(newName));
    if (Failed(hr) && hr != STG_E_FILENOTFOUND) return hr;
    // Renames that may not survive a crash are reported like any other failure to make them safe.
    if (hr == S_OK) {
        if (const HRESULT flushed = renamed.Sync(); Failed(flushed)) return flushed;
    }
    if (!sameParent) {
        if (const HRESULT flushed = target.Sync(); Failed(flushed)) return flushed;
    }
    return parent.Sync();
}

std::vector<std::string> SplitStorePath(std::string_view path) { return SplitAtAny(path, "/\\"); }

}  // namespace pw::store
