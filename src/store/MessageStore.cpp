// MessageStore: opening and making the store, lookups by address and namespace, clean-up.
#include "store/MessageStore.h"

#include <mutex>
#include <unordered_set>

#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "store/MailBoxUsage.h"
#include "store/UidCounter.h"

namespace pw::store {

namespace {

// Deeper trees than this are not the store's making; the clean-up does not descend into them.
constexpr int kMaxCleanupDepth = 32;
// The rights of the Bayesian learning folders: local users may see them and put messages in.
constexpr std::string_view kBayesianRights = "lip";

std::vector<std::pair<std::string, Variant>> BayesianRights() {
    return {{"_ACL:members:default", Variant::Text(kBayesianRights)},
            {"_ACL:members:localhost", Variant::Text(kBayesianRights)}};
}

// Makes a folder below parent when it is missing.
void EnsureFolder(const DirStorage& parent, StoreParentKind parentKind, std::string_view name, std::int32_t type,
                  std::vector<std::string>& made, const std::vector<std::pair<std::string, Variant>>& extra = {}) {
    DirStorage child;
    if (Succeeded(FindChildDirectory(parent, name, child)) && ClassifyChild(child, parentKind) != StoreChildKind::None) return;
    ThrowIfFailed(CreateStoreObject(parent, name, type, true, child, extra), "can not create the folder " + parent.ElementPath(name));
    made.push_back("folder " + child.Path());
}

// Gives every folder that lost its "_uid" counter a new one before anything draws from it.
void RepairCounters(const DirStorage& dir, StoreParentKind parentKind, int depth, std::vector<std::string>& made) {
    // Names and kinds only: a folder of 200,000 messages must not cost 400,000 stat calls at start-up.
    std::vector<ElementName> elements;
    if (depth > kMaxCleanupDepth || Failed(dir.EnumerateNames("*", elements))) return;
    for (const auto& element : elements) {
        if (!element.isDirectory || IsTemporaryName(element.name) || Failed(ValidateElementName(element.name))) continue;
        const DirStorage child(dir.ElementPath(element.name));
        const StoreChildKind kind = ClassifyChild(child, parentKind);
        if (kind == StoreChildKind::None) continue;
        if (kind == StoreChildKind::Folder) {
            const HRESULT hr = RepairUidCounter(child);
            if (hr == S_OK) made.push_back("id counter " + child.ElementPath(kUidFileName));
            if (Failed(hr)) core::Log(core::LogLevelWarning, "Can not give " + child.Path() + " its id counter: " + HresultText(hr));
        }
        const StoreParentKind next =
            parentKind == StoreParentKind::Root && kind == StoreChildKind::Object ? StoreParentKind::Domain : StoreParentKind::Other;
        RepairCounters(child, next, depth + 1, made);
    }
}

void EnsureRootProperties(const DirStorage& root, std::vector<std::string>& made) {
    const std::string name = "_" + root.Name();
    ElementInfo info;
    if (Succeeded(root.StatElement(name, info))) return;
    core::ConfigTree tree;
    tree.Set(kVersionKey, Variant::I4(kObjectVersion));
    tree.Set(kTypeKey, Variant::I4(0));
    tree.Set(kCreateDateKey, Variant::DateValue(Now()));
    MemoryStream content;
    ThrowIfFailed(tree.WriteTo(content));
    const HRESULT hr = root.PublishStream(name, content.Bytes());
    if (hr == STG_E_ALREADYEXISTS) return;  // another opener was quicker
    ThrowIfFailed(hr, "can not create " + root.ElementPath(name));
    made.push_back("property file " + root.ElementPath(name));
}

// An envelope file's stem as a key: its value and its length (so "0000001" and "00000001" stay two
// stems, as they are two names), or 0 for a name that is no envelope file with that extension.
std::uint64_t StemKey(std::string_view name, std::string_view extension) {
    if (name.size() <= extension.size() || !EqualsNoCase(name.substr(name.size() - extension.size()), extension)) return 0;
    const std::string_view stem = name.substr(0, name.size() - extension.size());
    double uid = 0;
    if (!UidFromStem(stem, uid) || uid >= kMaxUid) return 0;
    return (static_cast<std::uint64_t>(uid) << 5 | stem.size()) + 1;
}

// One pass over a directory: the stems of its records and contents go into sets first, so that a
// folder of any size is judged in time proportional to its files (start-up waits for this).
// Below "_Out" a record without content is left to the transport: it is a message that will never
// go, and the transport tells the postmaster and the sender so, which a silent clean-up would not.
std::size_t CleanDirectory(const DirStorage& dir, int depth, bool outbound = false) {
    std::vector<ElementName> elements;
    if (depth > kMaxCleanupDepth || Failed(dir.EnumerateNames("*", elements))) return 0;
    const bool folder = IsFolderDirectory(dir);
    std::unordered_set<std::uint64_t> records;
    std::unordered_set<std::uint64_t> contents;
    if (folder) {
        records.reserve(elements.size() / 2 + 1);
        contents.reserve(elements.size() / 2 + 1);
        for (const auto& element : elements) {
            if (element.isDirectory) continue;
            if (const auto key = StemKey(element.name, kRecordExtension); key != 0) records.insert(key);
            if (const auto key = StemKey(element.name, kContentExtension); key != 0) contents.insert(key);
        }
    }
    std::size_t removed = 0;
    for (const auto& element : elements) {
        const std::string_view name = element.name;
        if (element.isDirectory && IsTemporaryName(name)) {
            // A store object whose creation was cut short before it got its name.
            if (Succeeded(dir.DestroyElement(name))) {
                core::Log(core::LogLevelWarning, "Removed the unfinished directory " + dir.ElementPath(name));
                ++removed;
            }
            continue;
        }
        if (element.isDirectory) {
            removed += CleanDirectory(DirStorage(dir.ElementPath(name)), depth + 1,
                                      outbound || (depth == 0 && EqualsNoCase(name, kOutFolderName)));
            continue;
        }
        bool abandoned = IsTemporaryName(name);
        if (!abandoned && folder) {
            // Content without a record is a message never published, or one whose removal was cut
            // short; a record without content is a removal cut short the other way, or an update that
            // raced a removal. Neither can ever be delivered or read.
            const std::uint64_t content = StemKey(name, kContentExtension);
            const std::uint64_t record = StemKey(name, kRecordExtension);
            abandoned = (content != 0 && !records.contains(content)) || (record != 0 && !outbound && !contents.contains(record));
        }
        if (abandoned && Succeeded(dir.DestroyElement(name))) {
            core::Log(core::LogLevelWarning, "Removed the unfinished file " + dir.ElementPath(name));
            ++removed;
        }
    }
    return removed;
}

}  // namespace

std::shared_ptr<MessageStore> MessageStore::Open(const std::string& path) {
    const DirStorage root(path);
    if (!root.Exists()) throw ComError(STG_E_PATHNOTFOUND, "there is no message store at " + root.Path());
    return OpenStoreObject<MessageStore>(root, root.Path());
}

std::shared_ptr<MessageStore> MessageStore::OpenOrCreate(const std::string& path, std::vector<std::string>* made) {
    std::vector<std::string> lines;
    const DirStorage root(path);
    if (!root.Exists()) {
        ThrowIfFailed(root.CreateSelf(), "can not create the message store " + root.Path());
        lines.push_back("message store " + root.Path());
    }
    EnsureRootProperties(root, lines);
    EnsureFolder(root, StoreParentKind::Root, kInFolderName, InboxFolderType, lines);
    EnsureFolder(root, StoreParentKind::Root, kOutFolderName, OutboxFolderType, lines);
    EnsureFolder(root, StoreParentKind::Root, kBayesianFolder, PublicSystemFolderType, lines, BayesianRights());
    DirStorage bayesian;
    ThrowIfFailed(FindChildDirectory(root, kBayesianFolder, bayesian));
    EnsureFolder(bayesian, StoreParentKind::Other, kBayesianSpamFolder, PublicSystemFolderType, lines, BayesianRights());
    EnsureFolder(bayesian, StoreParentKind::Other, kBayesianGoodFolder, PublicSystemFolderType, lines, BayesianRights());
    RepairCounters(root, StoreParentKind::Root, 0, lines);
    if (made) *made = std::move(lines);
    return Open(path);
}

std::shared_ptr<Folder> MessageStore::InFolder() const {
    auto folder = GetFolders()->Item(kInFolderName);
    if (!folder) throw ComError(STG_E_PATHNOTFOUND, "the store has no \"_In\" folder");
    return folder;
}

std::shared_ptr<Folder> MessageStore::OutFolder() const {
    auto folder = GetFolders()->Item(kOutFolderName);
    if (!folder) throw ComError(STG_E_PATHNOTFOUND, "the store has no \"_Out\" folder");
    return folder;
}

bool SplitAddress(std::string_view address, std::string& local, std::string& domain) {
    address = TrimAscii(address);
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>') address = address.substr(1, address.size() - 2);
    const std::size_t at = address.rfind('@');
    if (at == std::string_view::npos) return false;
    local = std::string(address.substr(0, at));
    domain = std::string(address.substr(at + 1));
    return true;
}

std::shared_ptr<Domain> MessageStore::FindDomain(std::string_view name) const {
    if (Failed(ValidateElementName(name))) return nullptr;
    return GetDomains()->Item(name);
}

std::shared_ptr<MailBox> MessageStore::FindMailBox(std::string_view address) const {
    std::string local;
    std::string domainName;
    if (!SplitAddress(address, local, domainName) || Failed(ValidateElementName(local))) return nullptr;
    const auto domain = FindDomain(domainName);
    return domain ? domain->GetMailBoxes()->Item(local) : nullptr;
}

std::shared_ptr<Envelope> MessageStore::FindEnvelope(std::string_view envelopeNamespace) const {
    auto parts = SplitStorePath(envelopeNamespace);
    if (parts.size() < 2) return nullptr;
    std::string stem = parts.back();
    parts.pop_back();
    if (stem.size() > 4 && EqualsNoCase(std::string_view(stem).substr(stem.size() - 4), kRecordExtension)) stem.resize(stem.size() - 4);
    double uid = 0;
    if (!UidFromStem(stem, uid)) return nullptr;
    DirStorage current = Storage();
    StoreParentKind parentKind = StoreParentKind::Root;
    StoreChildKind kind = StoreChildKind::None;
    for (const auto& part : parts) {
        DirStorage child;
        if (Failed(FindChildDirectory(current, part, child))) return nullptr;
        kind = ClassifyChild(child, parentKind);
        if (kind == StoreChildKind::None) return nullptr;
        parentKind = parentKind == StoreParentKind::Root && kind == StoreChildKind::Object ? StoreParentKind::Domain : StoreParentKind::Other;
        current = child;
    }
    if (kind != StoreChildKind::Folder) return nullptr;
    return Envelopes(current, RootPath()).FindEnvelope(uid);
}

std::shared_ptr<Folder> MessageStore::CreateFolder(std::string_view path, std::int32_t type) const {
    auto parts = SplitStorePath(path);
    if (parts.empty()) throw ComError(STG_E_INVALIDNAME, "a folder needs a name");
    const std::string name = parts.back();
    parts.pop_back();
    DirStorage parent = Storage();
    for (const auto& part : parts) {
        DirStorage child;
        ThrowIfFailed(FindChildDirectory(parent, part, child), "no such store object: " + part);
        parent = child;
    }
    return Folders(parent, RootPath()).Add(name, type);
}

std::string MessageStore::PrimaryDomain(const core::ConfigTree& config) const {
    Variant configured;
    if (config.Get(kPrimaryDomainKey, configured) && configured.IsText() && !configured.AsText().empty()) {
        return configured.AsText();
    }
    // Asked for by every SMTP session: the store's root is listed again only when its names changed.
    struct Listed {
        std::mutex lock;
        std::string path;
        std::optional<FileVersion> version;
        std::string first;
    };
    static auto* listed = new Listed;  // never destroyed: a session may still ask while the process ends
    const std::optional<FileVersion> version = Storage().ListingVersion();
    if (version) {
        std::lock_guard guard(listed->lock);
        if (listed->path == Storage().Path() && listed->version == version) return listed->first;
    }
    const auto names = GetDomains()->Names();
    const std::string first = names.empty() ? std::string(kFallbackDomain) : names.front();
    if (version) {
        std::lock_guard guard(listed->lock);
        listed->path = Storage().Path();
        listed->version = version;
        listed->first = first;
    }
    return first;
}

std::string MessageStore::PostmasterAddress(const core::ConfigTree& config) const {
    return "<postmaster@" + PrimaryDomain(config) + ">";
}

std::string MessageStore::SystemSender(const core::ConfigTree& config) const {
    return "<mail-deamon@" + PrimaryDomain(config) + ">";
}

std::size_t MessageStore::RemoveAbandonedFiles() const {
    const std::size_t removed = CleanDirectory(Storage(), 0);
    // A record removed here was a listed message of its mailbox.
    if (removed != 0) ForgetAllUsages();
    return removed;
}

namespace {

std::mutex serverStoreLock;
std::string serverStorePath;

}  // namespace

void SetServerStorePath(std::string path) {
    std::lock_guard guard(serverStoreLock);
    serverStorePath = std::move(path);
}

std::shared_ptr<MessageStore> OpenServerStore() {
    std::string path;
    {
        std::lock_guard guard(serverStoreLock);
        path = serverStorePath;
    }
    if (path.empty()) throw ComError(STG_E_PATHNOTFOUND, "the server's message store is not open");
    return MessageStore::Open(path);
}

void RegisterStoreClasses(ClassRegistry& registry) {
    registry.Register({kMessageStoreClassId, "Pellworth.MessageStore", "MessageStore", []() -> std::shared_ptr<Unknown> {
                           const auto path = core::ReadMessageStorePath(Registry::System());
                           if (!path) throw ComError(STG_E_FILENOTFOUND, "no MessageStore value in the registry file");
                           return MessageStore::Open(*path);
                       }});
}

}  // namespace pw::store
