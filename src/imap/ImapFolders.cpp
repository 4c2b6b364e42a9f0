// ImapStore: folders by IMAP name, rights, special uses, the message vector, flags and removal.
#include "imap/ImapStore.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "core/Configuration.h"
#include "core/Logging.h"
#include "imap/ImapLimits.h"
#include "imap/ImapStrings.h"
#include "platform/Text.h"
#include "store/FolderIndex.h"
#include "store/Envelopes.h"
#include "store/MailBox.h"
#include "store/UidCounter.h"

namespace pw::imap {

namespace {

constexpr std::string_view kFlagsKey = "_ImapFlags";
constexpr std::string_view kKeywordsKey = "_ImapKeywords";
// The highest UID a session has shown as \Recent (per user where the flags are).
constexpr std::string_view kRecentKey = "_IMAP:RecentUid";
constexpr std::string_view kFlagsPerUserKey = "_IMAP:FlagsPerUser";
constexpr std::string_view kAclKey = "_ACL:Members:";
constexpr std::string_view kSpecialUseKey = "_IMAP:SpecialUse";
// A folder's UID validity once given, and, in the mailbox (or the store for public folders), the
// highest one given to any of its folders: a folder made again gets one above it.
constexpr std::string_view kUidValidityKey = "_IMAP:UidValidity";
constexpr std::string_view kLastUidValidityKey = "_IMAP:LastUidValidity";
constexpr std::uint32_t kMaxUidValidity = 0xFFFFFFFF;

// The names below a parent's folders, parents before children; the store's own ("_In" and the
// queues) are not the client's.
void CollectNames(const store::Folders& folders, const std::string& prefix, std::vector<std::string>& names,
                  const std::function<bool(const store::Folder&)>& visible) {
    for (const std::string& name : folders.Names()) {
        if (name.starts_with('_')) continue;
        const auto folder = folders.Item(name);
        if (!folder || !visible(*folder)) continue;
        names.push_back(prefix + name);
        CollectNames(*folder->GetFolders(), prefix + name + "/", names, visible);
    }
}

// The names clients and other servers give the folders of each use, for folders made before (or
// without) CREATE's USE.
struct SpecialUseName {
    std::string_view name;
    std::string_view use;
};
constexpr SpecialUseName kSpecialUseNames[] = {
    {"Drafts", "\\Drafts"},       {"Sent", "\\Sent"},           {"Sent Items", "\\Sent"},
    {"Sent Messages", "\\Sent"},  {"Trash", "\\Trash"},         {"Deleted Items", "\\Trash"},
    {"Deleted Messages", "\\Trash"}, {"Junk", "\\Junk"},        {"Spam", "\\Junk"},
    {"Junk E-mail", "\\Junk"},    {"Archive", "\\Archive"},
};

std::pair<std::string_view, std::string_view> SplitParent(std::string_view name) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) return {{}, name};
    return {name.substr(0, slash), name.substr(slash + 1)};
}

// Whole seconds of an automation date, rounded half away from zero, in 32 bits.
std::uint32_t UidValidityOf(Date created) {
    const double seconds = created * kSecondsPerDay;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(seconds + (seconds < 0 ? -0.5 : 0.5)));
}

StoredFlags ReadStoredFlags(const store::Properties& properties, const std::string& flagsKey, const std::string& keywordsKey) {
    StoredFlags flags;
    const Variant bits = properties.Item(flagsKey);
    if (!bits.IsEmpty()) flags.bits = static_cast<std::uint16_t>(bits.AsUI2() & kStorableFlags);
    const Variant keywords = properties.Item(keywordsKey);
    if (!keywords.IsEmpty()) flags.keywords = KeywordsFromText(keywords.AsText());
    return flags;
}

StoredFlags IndexedStoredFlags(const store::FolderIndexState& index, const store::IndexedMessage& message, const std::string& flagsKey,
                               const std::string& keywordsKey) {
    StoredFlags flags;
    const store::IndexedProperties& properties = index.PropertiesOf(message);
    const Variant bits = store::IndexedValue(properties, flagsKey);
    const Variant keywords = store::IndexedValue(properties, keywordsKey);
    if (!bits.IsEmpty()) flags.bits = static_cast<std::uint16_t>(bits.AsUI2() & kStorableFlags);
    if (!keywords.IsEmpty()) flags.keywords = KeywordsFromText(keywords.AsText());
    return flags;
}

// Flag changes are made durable in the folder's index before they are reported, and its records
// catch up within about a second; a site whose other programs read the records themselves may want
// them written before the reply instead, at the cost of a flush per batch of records
// ("sys:imap4:flagwritethrough" non-zero).
bool FlagsWrittenThrough() {
    const Variant value = core::ServerConfig().GetCopy("sys:imap4:flagwritethrough");
    return !value.IsEmpty() && value.AsInt64() != 0;
}

std::uint16_t PermanentFlags(const FolderRecord& folder) {
    std::uint16_t flags = kFlagRecent;
    if (folder.Has('s')) flags |= kFlagSeen;
    if (folder.Has('d')) flags |= kFlagDeleted;
    if (folder.Has('w')) flags |= kFlagAnswered | kFlagFlagged | kFlagDraft;
    return flags;
}

}  // namespace

std::string ImapStore::PublicPrefix() const {
    std::string prefix = core::ServerConfig().GetCopy("sys:public:prefix").AsText();
    if (prefix.empty()) prefix = kDefaultPublicPrefix;
    if (prefix.back() != '/') prefix += '/';
    return prefix;
}

bool ImapStore::CheckName(std::string_view name, std::string& diagnostic) {
    if (name.empty()) {
        diagnostic = "Invalid (empty) folder name";
        return false;
    }
    if (name.size() > kMaxMailboxNameBytes) {
        diagnostic = "Folder path is too long";
        return false;
    }
    std::string_view rest = name;
    if (rest.back() == '/') rest.remove_suffix(1);  // a folder meant to hold folders
    for (const std::string& level : SplitAtAny(rest, "/")) {
        bool control = false;
        for (const char c : level) control = control || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        if (level == "." || level == ".." || level.starts_with('_') || control) {
            diagnostic = "Mailbox path is syntactically invalid";
            return false;
        }
    }
    if (rest.empty() || rest.starts_with('/') || rest.find("//") != std::string_view::npos) {
        diagnostic = "Invalid (empty) folder name";
        return false;
    }
    return true;
}

std::string ImapStore::PublicRights(const store::Folder& folder) const {
    const store::Properties& properties = folder.GetProperties();
    const std::string address = mailbox_ ? mailbox_->Address() : std::string();
    const std::string domain = mailbox_ ? mailbox_->DomainName() : std::string();
    for (const std::string& who : {address, domain, std::string("localhost"), std::string("default")}) {
        if (who.empty()) continue;
        const Variant entry = properties.Item(std::string(kAclKey) + who);
        if (!entry.IsEmpty()) return ToLowerAscii(entry.AsText());
    }
    return {};  // a public folder nobody has granted anything
}

std::optional<FolderRecord> ImapStore::FindFolder(std::string_view name, std::string& diagnostic) const {
    FolderRecord record;
    try {
        if (!mailbox_) {
            diagnostic = "No such folder exists";
            return std::nullopt;
        }
        const std::string prefix = PublicPrefix();
        if (EqualsNoCase(name, "INBOX")) {
            record.folder = mailbox_->InFolder();
            record.name = "INBOX";
        } else if (StartsWithNoCase(name, prefix) && name.size() > prefix.size()) {
            record.folder = store_->FindFolder(name.substr(prefix.size()));
            record.name = std::string(name);
            record.isPublic = true;
            if (record.folder) record.rights = PublicRights(*record.folder);
        } else {
            record.folder = mailbox_->FindFolder(name);
            record.name = std::string(name);
        }
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, "IMAP4 Server: folder \"" + std::string(name) + "\": " + error.what());
        record.folder.reset();
    }
    if (!record.folder || (record.isPublic && !record.Has('l') && !record.Has('r'))) {
        diagnostic = "No such folder exists";  // a public folder the user may not see does not exist for them
        return std::nullopt;
    }
    record.readOnly = record.rights.find_first_of("swid") == std::string::npos;
    return record;
}

std::string ImapStore::FlagsKey(const store::Folder& folder) const {
    const Variant perUser = folder.GetProperties().Item(kFlagsPerUserKey);
    if (perUser.IsEmpty() || perUser.AsInt64() == 0 || !mailbox_) return std::string(kFlagsKey);
    return std::string(kFlagsKey) + ":" + mailbox_->Name() + "@" + mailbox_->DomainName();
}

std::string ImapStore::RecentKey(const store::Folder& folder) const {
    std::string key = FlagsKey(folder);
    return std::string(kRecentKey) + key.substr(kFlagsKey.size());
}

std::uint32_t ImapStore::RecentMark(const FolderRecord& record) const {
    try {
        std::shared_ptr<const store::FolderIndexState> index;
        ThrowIfFailed(store::ReadFolderIndex(record.folder->Storage(), record.folder->RootPath(), index),
                      "the index of " + record.folder->Storage().Path());
        const std::string key = RecentKey(*record.folder);
        if (const auto mark = index->RecentMark(key)) return *mark;
        return LegacyRecentMark(record, key);
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, std::string("IMAP4 Server: reading which messages are recent: ") + error.what());
        return std::numeric_limits<std::uint32_t>::max();  // nothing is shown recent rather than everything
    }
}

std::uint32_t ImapStore::LegacyRecentMark(const FolderRecord& record, const std::string& key) const {
    // Kept in the folder's properties by older versions, which rewrote them at every SELECT: the mark
    // an index that has none yet starts from, so that an upgrade does not show old mail as recent.
    record.folder->Refresh();
    const Variant mark = record.folder->GetProperties().Item(key);
    return mark.IsEmpty() ? 0 : static_cast<std::uint32_t>(mark.AsInt64());
}

std::uint32_t ImapStore::ClaimRecent(const FolderRecord& record, std::uint32_t highest) const {
    try {
        // Claimed in the folder's index under its log's lock: of sessions selecting at once, in this
        // process or others, one is shown each message as recent.
        const std::string key = RecentKey(*record.folder);
        std::optional<std::uint32_t> previous;
        ThrowIfFailed(store::ClaimRecent(record.folder->Storage(), record.folder->RootPath(), key, highest, previous),
                      "the index of " + record.folder->Storage().Path());
        return previous ? *previous : LegacyRecentMark(record, key);
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, std::string("IMAP4 Server: claiming recent messages: ") + error.what());
        return highest;
    }
}

std::string ImapStore::KeywordsKey(const store::Folder& folder) const {
    std::string key = FlagsKey(folder);
    return std::string(kKeywordsKey) + key.substr(kFlagsKey.size());
}

std::uint32_t ImapStore::UidValidity(const FolderRecord& record) const {
    store::Folder& folder = *record.folder;
    double last = 0;
    bool recorded = false;
    ThrowIfFailed(store::LastPublishedUid(folder.Storage(), last, recorded), "the id counter of " + folder.Storage().Path());
    return UidValidity(record, recorded);
}

std::string ImapStore::MailboxId(const FolderRecord& record) const {
    FileIdentity identity;
    if (Failed(record.folder->Storage().Identity(identity))) return {};
    return ObjectId('F', identity);
}

std::uint32_t ImapStore::UidValidity(const FolderRecord& record, bool recorded) const {
    const Variant stored = record.folder->GetProperties().Item(kUidValidityKey);
    if (!stored.IsEmpty() && recorded) return static_cast<std::uint32_t>(stored.AsInt64());
    // A folder given none yet keeps the value its creation date has always given it. One whose counter
    // started again (its ids may repeat) gets a new one, above every one given before.
    return AssignUidValidity(record, stored.IsEmpty() ? 0 : static_cast<std::uint32_t>(stored.AsInt64()), !stored.IsEmpty());
}

std::uint32_t ImapStore::AssignUidValidity(const FolderRecord& record, std::uint32_t previous, bool fresh) const {
    store::Folder& folder = *record.folder;
    if (folder.CreateDate() == 0) {
        folder.GetProperties().SetItem(store::kCreateDateKey, Variant::DateValue(Now()));
        folder.Update();
    }
    store::StoreObject& owner = record.isPublic || !mailbox_ ? static_cast<store::StoreObject&>(*store_) : *mailbox_;
    owner.Refresh();
    const Variant givenValue = owner.GetProperties().Item(kLastUidValidityKey);
    const auto given = givenValue.IsEmpty() ? std::uint32_t{0} : static_cast<std::uint32_t>(givenValue.AsInt64());
    std::uint32_t value = UidValidityOf(folder.CreateDate());
    if (fresh) value = std::max({value, previous == kMaxUidValidity ? previous : previous + 1, given == kMaxUidValidity ? given : given + 1});
    if (value == 0) value = 1;
    // The counter records its last published id from now on, so that one that starts again stands out.
    ThrowIfFailed(store::RecordLastPublished(folder.Storage()), "the id counter of " + folder.Storage().Path());
    folder.GetProperties().SetItem(kUidValidityKey, Variant::UI4(value));
    folder.Update();
    if (value > given) {
        owner.GetProperties().SetItem(kLastUidValidityKey, Variant::UI4(value));
        owner.Update();
    }
    return value;
}

namespace {

// The message tables the process's sessions share: per folder and flags key, the one built from
// the index state the folder was last listed at. Held weakly: a table lives as long as a view holds
// it, and a state no session is at any more costs nothing here.
class SharedTables {
public:
    std::shared_ptr<const MessageTable> Find(const std::string& key, const std::shared_ptr<const store::FolderIndexState>& state) {
        const std::lock_guard lock(mutex_);
        const auto found = entries_.find(key);
        // The same state object, not only the same change number: a folder made again starts counting anew.
        if (found == entries_.end() || found->second.state.lock() != state) return nullptr;
        return found->second.table.lock();
    }

    void Keep(const std::string& key, const std::shared_ptr<const store::FolderIndexState>& state, const std::shared_ptr<const MessageTable>& table) {
        const std::lock_guard lock(mutex_);
        entries_[key] = Entry{state, table};
        // The last few held for a while whoever uses them: a client that logs in, selects and logs out
        // again (a phone checking for mail) finds its folder's table still there.
        std::erase_if(recent_, [&](const auto& held) { return held.first == key; });
        recent_.emplace_back(key, table);
        if (recent_.size() > kHeldTables) recent_.erase(recent_.begin());
        if (++kept_ % kSweepEvery == 0) std::erase_if(entries_, [](const auto& entry) { return entry.second.table.expired(); });
    }

    // Held while a table is built: sessions woken by the same change wait for the first one's table
    // rather than each build their own.
    std::mutex building;

private:
    // Entries of tables nobody holds any more are dropped this often.
    static constexpr std::uint64_t kSweepEvery = 64;
    struct Entry {
        std::weak_ptr<const store::FolderIndexState> state;
        std::weak_ptr<const MessageTable> table;
    };
    // Tables held strongly, newest last: at 32 bytes a message, four of 50,000 cost 6 MB. Only the
    // table: it matches while the folder's index is still at its state, which the index holds.
    static constexpr std::size_t kHeldTables = 4;
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::vector<std::pair<std::string, std::shared_ptr<const MessageTable>>> recent_;
    std::uint64_t kept_ = 0;
};

SharedTables& ProcessTables() {
    static SharedTables tables;
    return tables;
}

// The folder's messages as `index` holds them, with the flags and keywords of one flags key; those
// above `last` (the last published UID) are left for the next look.
std::shared_ptr<MessageTable> BuildTable(const store::FolderIndexState& index, const std::string& flagsKey, const std::string& keywordsKey,
                                         double last) {
    auto table = std::make_shared<MessageTable>();
    table->change = index.change;
    table->highestModseq = index.highestModseq;
    // This user's flags and keywords, worked out once per distinct set of indexed properties.
    struct UserFlags {
        std::uint16_t bits = 0;
        KeywordSet keywords = 0;
    };
    std::unordered_map<std::uint32_t, UserFlags> bySet;
    table->rows.reserve(index.messages.size());
    table->firstUnseen = 0;
    for (const store::IndexedMessage& message : index.messages) {
        if (message.uid > last) {
            table->partial = true;
            // The client may not count a change as seen before it is shown the message.
            table->highestModseq = std::min(table->highestModseq, message.modseq - 1);
            continue;
        }
        auto [flags, added] = bySet.try_emplace(message.properties);
        if (added) {
            const StoredFlags stored = IndexedStoredFlags(index, message, flagsKey, keywordsKey);
            flags->second.bits = stored.bits;
            flags->second.keywords = table->keywords.Intern(stored.keywords);
        }
        table->rows.push_back(MessageRow{.uid = message.uid, .stored = flags->second.bits, .keywords = flags->second.keywords,
                                         .size = message.size, .internalDate = message.date, .modseq = message.modseq});
        if (*table->firstUnseen == 0 && !(flags->second.bits & kFlagSeen)) table->firstUnseen = static_cast<std::uint32_t>(table->rows.size());
    }
    return table;
}

}  // namespace

MessageVector ImapStore::BuildVector(const FolderRecord& record, std::uint64_t since) const {
    store::Folder& folder = *record.folder;
    const std::string key = FlagsKey(folder);
    // Every envelope up to the last published id was in place before it was recorded, so a listing
    // taken after reading it finds them all; one beyond it may be half seen, and waits for the next look.
    // One read of the counter serves the UID validity too.
    double last = 0;
    bool recorded = false;
    ThrowIfFailed(store::LastPublishedUid(folder.Storage(), last, recorded), "the id counter of " + folder.Storage().Path());
    const std::uint32_t uidValidity = UidValidity(record, recorded);
    // The folder's index, not its records: one listing per state and flags key serves every session.
    std::shared_ptr<const store::FolderIndexState> index;
    ThrowIfFailed(store::ReadFolderIndex(folder.Storage(), folder.RootPath(), index), "the index of " + folder.Storage().Path());
    const std::string tableKey = folder.Storage().Path() + '\n' + key;
    SharedTables& tables = ProcessTables();
    std::shared_ptr<const MessageTable> table = tables.Find(tableKey, index);
    bool alone = false;
    std::unique_lock building(tables.building, std::defer_lock);
    if (!table) {
        building.lock();
        table = tables.Find(tableKey, index);
    }
    if (!table) {
        auto built = BuildTable(*index, key, KeywordsKey(folder), last);
        // One that left messages out is this session's alone: the next look takes them.
        alone = built->partial;
        if (!alone) tables.Keep(tableKey, index, built);
        table = std::move(built);
    }
    MessageVector vector(table, alone);
    vector.uidValidity = uidValidity;
    // A table another session built may hold a message published after this session read the counter.
    vector.uidNext = static_cast<std::uint32_t>(std::min(std::max(last, static_cast<double>(vector.LastUid())) + 1, double{kMaxUidValidity}));
    vector.permanentFlags = PermanentFlags(record);
    vector.permanentKeywords = record.Has('w');
    vector.partial = table->partial;
    vector.change = table->change;
    vector.highestModseq = table->highestModseq;
    if (since != 0) vector.touched = index->TouchedSince(since);
    return vector;  // recent and first unseen are the session's to count (MarkRecent)
}

std::vector<std::optional<ImapStore::IndexedFlags>> ImapStore::CurrentFlags(const FolderRecord& record, const MessageVector& vector) const {
    std::shared_ptr<const store::FolderIndexState> index;
    ThrowIfFailed(store::ReadFolderIndex(record.folder->Storage(), record.folder->RootPath(), index), "the index of " + record.folder->Storage().Path());
    const std::string key = FlagsKey(*record.folder);
    const std::string keywordsKey = KeywordsKey(*record.folder);
    std::vector<std::optional<IndexedFlags>> current;
    current.reserve(vector.Count());
    for (std::size_t i = 0; i < vector.Count(); ++i) {
        const store::IndexedMessage* message = vector.IsSelected(i) ? index->Find(vector.Uid(i)) : nullptr;
        if (!message) {
            current.emplace_back();
            continue;
        }
        current.push_back(IndexedFlags{message->modseq, IndexedStoredFlags(*index, *message, key, keywordsKey)});
    }
    return current;
}

std::optional<StoredFlags> ImapStore::FlagsInIndex(const FolderRecord& record, std::uint32_t uid) const {
    std::shared_ptr<const store::FolderIndexState> index;
    ThrowIfFailed(store::ReadFolderIndex(record.folder->Storage(), record.folder->RootPath(), index), "the index of " + record.folder->Storage().Path());
    const store::IndexedMessage* message = index->Find(uid);
    if (!message) return std::nullopt;
    return IndexedStoredFlags(*index, *message, FlagsKey(*record.folder), KeywordsKey(*record.folder));
}

std::optional<NumberRanges> ImapStore::VanishedSince(const FolderRecord& record, std::uint64_t since) const {
    std::shared_ptr<const store::FolderIndexState> index;
    ThrowIfFailed(store::ReadFolderIndex(record.folder->Storage(), record.folder->RootPath(), index), "the index of " + record.folder->Storage().Path());
    const auto vanished = index->VanishedSince(since);
    if (!vanished) return std::nullopt;
    NumberRanges ranges;
    for (const store::VanishedRange& range : *vanished) ranges.emplace_back(range.first, range.last);
    return Normalized(std::move(ranges));
}

double ImapStore::Stamp(const FolderRecord& record) const {
    // The index's change number: it moves with every change the index learns of, however close in
    // time (the directory's modification time moves in clock ticks and could hide a second change).
    std::shared_ptr<const store::FolderIndexState> index;
    if (Failed(store::ReadFolderIndex(record.folder->Storage(), record.folder->RootPath(), index))) return 0;
    return static_cast<double>(index->change);
}

std::vector<std::optional<StoredFlags>> ImapStore::ChangeFlags(const FolderRecord& record, const std::vector<std::uint32_t>& uids,
                                                               const FlagChange& change, std::string& diagnostic,
                                                               const std::unordered_map<std::uint32_t, StoredFlags>* expected,
                                                               std::vector<std::uint32_t>* refused) const {
    std::vector<std::optional<StoredFlags>> result;
    const std::string flagsKey = FlagsKey(*record.folder);
    const std::string keywordsKey = KeywordsKey(*record.folder);
    const bool keywords = change.replaceKeywords || !change.addKeywords.empty() || !change.removeKeywords.empty();
    try {
        const std::vector<double> ids(uids.begin(), uids.end());
        std::vector<StoredFlags> written;
        const auto envelopes = record.folder->GetEnvelopes();
        const auto update = [&](const std::function<bool(double, store::Properties&)>& each) {
            return FlagsWrittenThrough() ? envelopes->UpdateRecordsById(ids, each) : envelopes->UpdateIndexedById(ids, each, !change.flushLater);
        };
        const auto present = update([&](double id, store::Properties& properties) {
            StoredFlags now = ReadStoredFlags(properties, flagsKey, keywordsKey);
            if (expected) {
                const auto uid = static_cast<std::uint32_t>(id);
                const auto known = expected->find(uid);
                if (known != expected->end() && (known->second.bits != now.bits || known->second.keywords != now.keywords)) {
                    // Changed by someone else since: left as it is, its mod-sequence too.
                    if (refused) refused->push_back(uid);
                    written.push_back(std::move(now));
                    return false;
                }
            }
            now.bits = static_cast<std::uint16_t>((now.bits | change.add) & ~change.remove & kStorableFlags);
            if (change.replaceKeywords) now.keywords = change.addKeywords;
            now.keywords = WithoutKeywords(WithKeywords(std::move(now.keywords), change.replaceKeywords ? Keywords{} : change.addKeywords),
                                           change.removeKeywords);
            properties.SetItem(flagsKey, Variant::UI2(now.bits));
            if (keywords && now.keywords.empty()) properties.Remove(keywordsKey);
            if (keywords && !now.keywords.empty()) properties.SetItem(keywordsKey, Variant::Text(KeywordText(now.keywords)));
            written.push_back(std::move(now));
            return true;
        });
        std::size_t next = 0;
        for (const bool found : present) result.push_back(found ? std::optional<StoredFlags>(std::move(written[next++])) : std::nullopt);
    } catch (const ComError& error) {
        diagnostic = std::string("Flags could not be stored: ") + error.what();
        result.clear();
    }
    return result;
}

bool ImapStore::FlushFlags(const FolderRecord& record, std::string& diagnostic) const {
    if (const HRESULT hr = store::FlushFolderIndex(record.folder->Storage(), record.folder->RootPath()); Failed(hr)) {
        diagnostic = "Flags could not be stored: " + HresultText(hr);
        return false;
    }
    return true;
}

std::unique_ptr<FileStream> ImapStore::OpenContent(const FolderRecord& record, std::uint32_t uid,
                                                   std::string& diagnostic) const {
    // By its id alone (the store does not read the record), so FETCH opens one file per message.
    const auto envelopes = record.folder->GetEnvelopes();
    std::unique_ptr<FileStream> stream;
    if (const HRESULT hr = envelopes->OpenContent(uid, stream); Failed(hr)) {
        diagnostic = hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND ? std::string(kMessageGone) : envelopes->ContentPath(uid) + ": " + HresultText(hr);
        return nullptr;
    }
    return stream;
}

std::optional<bool> ImapStore::RemoveIfDeleted(const FolderRecord& record, std::uint32_t uid, std::string& diagnostic) const {
    try {
        // The index's flags: the record may not have caught up with the STORE that set \Deleted.
        const auto stored = FlagsInIndex(record, uid);
        if (!stored || !(stored->bits & kFlagDeleted)) return false;
        record.folder->GetEnvelopes()->RemoveEnvelope(uid);
        return true;
    } catch (const ComError& error) {
        diagnostic = std::string("Message could not be removed: ") + error.what();
        return std::nullopt;
    }
}

bool ImapStore::RemoveMessage(const FolderRecord& record, std::uint32_t uid, std::string& diagnostic) const {
    try {
        record.folder->GetEnvelopes()->RemoveEnvelope(uid);
        return true;
    } catch (const ComError& error) {
        diagnostic = std::string("Message could not be removed: ") + error.what();
        return false;
    }
}

std::optional<std::uint32_t> ImapStore::PublishAppended(const FolderRecord& folder, store::Envelope& envelope,
                                                       const StoredFlags& flags, Date received, std::string& diagnostic) const {
    try {
        if (flags.bits != 0) envelope.GetProperties().SetItem(FlagsKey(*folder.folder), Variant::UI2(flags.bits));
        if (!flags.keywords.empty()) envelope.GetProperties().SetItem(KeywordsKey(*folder.folder), Variant::Text(KeywordText(flags.keywords)));
        envelope.GetProperties().SetItem(store::kCreateDateKey, Variant::DateValue(received));
        envelope.Update();  // the content is flushed before the record names it
        return static_cast<std::uint32_t>(envelope.UID());
    } catch (const ComError& error) {
        diagnostic = std::string("The message could not be stored: ") + error.what();
        return std::nullopt;
    }
}

StoredFlags ImapStore::AllowedFlags(const FolderRecord& folder, StoredFlags flags) {
    flags.bits &= static_cast<std::uint16_t>(PermanentFlags(folder) & kStorableFlags);
    if (!folder.Has('w')) flags.keywords.clear();
    return flags;
}

std::optional<std::uint32_t> ImapStore::CopyMessage(const FolderRecord& from, std::uint32_t uid, const FolderRecord& to,
                                                    std::string& diagnostic) const {
    try {
        const auto message = from.folder->GetEnvelopes()->FindEnvelope(uid);
        if (!message) {
            diagnostic = kMessageGone;
            return std::nullopt;
        }
        // The copy keeps the flags the target lets this user keep, under the target's own keys (one
        // folder may keep flags per user and the other not). The index's: the record may not have
        // caught up with a flag change yet.
        const auto indexed = FlagsInIndex(from, uid);
        const StoredFlags flags =
            AllowedFlags(to, indexed ? *indexed : ReadStoredFlags(message->GetProperties(), FlagsKey(*from.folder), KeywordsKey(*from.folder)));
        const auto copy = store::Envelope::CreateCopy(to.folder->Storage(), *message);
        store::Properties& properties = copy->GetProperties();
        properties.Remove(FlagsKey(*from.folder));
        properties.Remove(KeywordsKey(*from.folder));
        if (flags.bits != 0) properties.SetItem(FlagsKey(*to.folder), Variant::UI2(flags.bits));
        if (!flags.keywords.empty()) properties.SetItem(KeywordsKey(*to.folder), Variant::Text(KeywordText(flags.keywords)));
        copy->Update();
        return static_cast<std::uint32_t>(copy->UID());
    } catch (const ComError& error) {
        diagnostic = std::string("The message could not be copied: ") + error.what();
        return std::nullopt;
    }
}

std::vector<std::string> ImapStore::FolderNames() const {
    std::vector<std::string> names;
    if (!mailbox_) return names;
    try {
        names.push_back("INBOX");
        // A folder of the user's own named like the inbox (made before such names were refused) would
        // list twice and can not be reached: it is not shown.
        CollectNames(*mailbox_->GetFolders(), {}, names, [](const store::Folder&) { return true; });
        names.erase(std::remove_if(names.begin() + 1, names.end(),
                                   [](const std::string& name) { return EqualsNoCase(name, "INBOX") || StartsWithNoCase(name, "INBOX/"); }),
                    names.end());
        std::vector<std::string> shared;
        CollectNames(*store_->GetFolders(), PublicPrefix(), shared,
                     [&](const store::Folder& folder) { return PublicRights(folder).find('l') != std::string::npos; });
        if (!shared.empty()) {
            const std::string prefix = PublicPrefix();
            names.push_back(prefix.substr(0, prefix.size() - 1));
            names.insert(names.end(), shared.begin(), shared.end());
        }
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, std::string("IMAP4 Server: listing folders: ") + error.what());
    }
    return names;
}

std::string_view ImapStore::SupportedSpecialUse(std::string_view attribute) {
    for (const std::string_view use : kSpecialUses) {
        if (EqualsNoCase(use, attribute)) return use;
    }
    return {};
}

std::string ImapStore::SpecialUse(std::string_view name) const {
    if (!mailbox_ || EqualsNoCase(name, "INBOX") || StartsWithNoCase(std::string(name) + "/", PublicPrefix())) return {};
    try {
        const auto folder = mailbox_->FindFolder(name);
        if (!folder) return {};
        Variant stored;
        if (folder->GetProperties().Get(kSpecialUseKey, stored)) return std::string(SupportedSpecialUse(stored.AsText()));
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, "IMAP4 Server: folder \"" + std::string(name) + "\": " + error.what());
        return {};
    }
    if (name.find('/') != std::string_view::npos) return {};
    for (const SpecialUseName& entry : kSpecialUseNames) {
        if (EqualsNoCase(entry.name, name)) return std::string(entry.use);
    }
    return {};
}

bool ImapStore::CreateFolder(std::string_view name, std::string& diagnostic, std::string_view specialUse) const {
    std::shared_ptr<store::Folders> madeIn;  // the parent of the last level, when this call made it
    std::string made;
    try {
        auto folders = mailbox_->GetFolders();
        std::shared_ptr<store::Folder> folder;
        for (const std::string& level : SplitAtAny(name, "/")) {
            folder = folders->Item(level);
            madeIn.reset();
            if (!folder) {
                folder = folders->Add(level, store::NormalFolderType);
                madeIn = folders;
                made = level;
                FolderRecord record;
                record.folder = folder;
                (void)AssignUidValidity(record, 0, true);
            }
            folders = folder->GetFolders();
        }
        if (!specialUse.empty() && folder) {
            folder->GetProperties().SetItem(kSpecialUseKey, Variant::Text(specialUse));
            folder->Update();
        }
        return true;
    } catch (const ComError& error) {
        diagnostic = std::string("The folder could not be created: ") + error.what();
        // A folder asked for with a use must not stay without it: it would list as an ordinary one.
        if (madeIn && !specialUse.empty()) {
            try {
                madeIn->Remove(made);
            } catch (const ComError& removal) {
                core::Log(core::LogLevelWarning, "IMAP4 Server: folder \"" + std::string(name) + "\": " + removal.what());
            }
        }
        return false;
    }
}

std::shared_ptr<store::Folders> ImapStore::FoldersBelow(std::string_view parent) const {
    if (parent.empty()) return mailbox_->GetFolders();
    const auto folder = mailbox_->FindFolder(parent);
    if (!folder) throw ComError(STG_E_PATHNOTFOUND, "no such folder: " + std::string(parent));
    return folder->GetFolders();
}

bool ImapStore::DeleteFolder(const FolderRecord& record, std::string& diagnostic) const {
    try {
        if (record.folder->GetFolders()->Count() > 0) {
            diagnostic = "This folder has sub-folders; delete them first";
            return false;
        }
        const auto [parent, leaf] = SplitParent(record.name);
        FoldersBelow(parent)->Remove(leaf);
        return true;
    } catch (const ComError& error) {
        diagnostic = std::string("The folder could not be deleted: ") + error.what();
        return false;
    }
}

bool ImapStore::RenameFolder(const FolderRecord& record, std::string_view newName, std::string& diagnostic) const {
    const auto [parent, leaf] = SplitParent(record.name);
    const auto [newParent, newLeaf] = SplitParent(newName);
    // The levels above the new name are made as CREATE makes them; they stay should the move fail.
    if (!newParent.empty() && !EqualsNoCase(parent, newParent) && !CreateFolder(newParent, diagnostic)) return false;
    try {
        const auto siblings = FoldersBelow(parent);
        if (EqualsNoCase(parent, newParent)) {
            siblings->Rename(leaf, newLeaf);
        } else {
            // One directory rename: messages, UIDs, UID validity and sub-folders all go along.
            siblings->Move(leaf, *FoldersBelow(newParent), newLeaf);
        }
        return true;
    } catch (const ComError& error) {
        diagnostic = std::string("The folder could not be renamed: ") + error.what();
        return false;
    }
}

bool ImapStore::MoveInbox(std::string_view newName, std::string& diagnostic) const {
    if (!CreateFolder(newName, diagnostic)) return false;
    try {
        const auto target = mailbox_->FindFolder(newName)->GetEnvelopes();
        const auto inbox = mailbox_->InFolder()->GetEnvelopes();
        // The copies take the records whole: first they catch up with the flags logged ahead of them.
        const auto in = mailbox_->InFolder();
        ThrowIfFailed(store::CatchUpIndexedRecords(in->Storage(), in->RootPath()), "the records of " + in->Storage().Path());
        for (const double uid : inbox->Uids()) {
            const auto message = inbox->FindEnvelope(uid);
            if (!message) continue;
            target->CopyFrom(*message);  // published, content flushed, before the original goes
            inbox->RemoveEnvelope(uid);
        }
        return true;
    } catch (const ComError& error) {
        diagnostic = std::string("The inbox could not be moved: ") + error.what();
        return false;
    }
}

}  // namespace pw::imap
