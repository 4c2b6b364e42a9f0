// FolderIndex: the process's copies of folder indexes, their repair, and the writers' appends.
#include "store/FolderIndex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "core/Logging.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "store/Envelope.h"
#include "store/StoreTypes.h"
#include "store/UidCounter.h"

namespace pw::store {
namespace {

constexpr std::string_view kLogName = "log";
// A directory time this close to the clock may still be inside the kernel's timestamp tick, where a
// later rename leaves it unchanged: it is not trusted to stand for the folder.
constexpr std::int64_t kUnsettledNs = 20'000'000;
// Kept folders before the process forgets them all and reads again.
constexpr std::size_t kMaxKeptIndexes = 1024;
// Changes whose ids a state remembers, and how many ids they may hold together.
constexpr std::size_t kKeptChanges = 64;
constexpr std::size_t kKeptChangeIds = 65536;
// The log is rewritten when it is this many times its compacted size, and at least this long.
constexpr std::uint64_t kCompactFactor = 4;
constexpr std::uint64_t kCompactMinimum = 64 * 1024;
// How long a reader that has a state to show waits for a writer midway (see Refresh).
constexpr std::chrono::milliseconds kReaderPatience{2000};
// How long a record held by another writer is waited for.
constexpr std::chrono::milliseconds kRecordBusyBound{2000};
// Ranges of removed ids remembered; past it the older half is forgotten (and the floor raised).
constexpr std::size_t kKeptVanished = 4096;
// How long a change logged first waits before its records are written: changes that come meanwhile
// (a client marking messages one at a time) are written in the same batch.
constexpr std::chrono::milliseconds kCatchUpDelay{1000};

FileSystem& Fs() { return FileSystem::Current(); }

struct DirStat {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
};

std::int64_t Ns(const timespec& time) { return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec; }

HRESULT StatDirectory(const DirStorage& folder, DirStat& out) {
    struct stat st {};
    if (Fs().Stat(folder.Path().c_str(), st) != 0) return StorageHresultFromErrno(errno);
    out = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), Ns(st.st_mtim), Ns(st.st_ctim)};
    return S_OK;
}

// The times to log for a listing taken after this stat: zero when they may still move unseen.
IndexRecord DoneRecord(const DirStat& stat, bool settledOnly) {
    IndexRecord done;
    done.kind = IndexRecordKind::Done;
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    if (!settledOnly || Ns(now) - std::max(stat.modified, stat.changed) > kUnsettledNs) {
        done.modified = stat.modified;
        done.changed = stat.changed;
    }
    return done;
}

// Waits (at most the tick) until the directory's last change lies outside the timestamp tick.
void WaitForSettled(const DirStat& stat) {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t age = Ns(now) - std::max(stat.modified, stat.changed);
    if (age >= 0 && age <= kUnsettledNs) std::this_thread::sleep_for(std::chrono::nanoseconds(kUnsettledNs - age + 1'000'000));
}

HRESULT FlockBounded(int fd, int operation, std::chrono::milliseconds bound = kStoreLockBound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (Fs().Flock(fd, operation | LOCK_NB) == 0) return S_OK;
        if (errno != EWOULDBLOCK && errno != EINTR) return StorageHresultFromErrno(errno);
        if (std::chrono::steady_clock::now() >= deadline) return STG_E_SHAREVIOLATION;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

HRESULT ReadFrom(int fd, std::size_t offset, std::vector<std::byte>& bytes) {
    bytes.clear();
    if (Fs().Seek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return StorageHresultFromErrno(errno);
    std::byte buffer[65536];
    for (;;) {
        const ssize_t got = Fs().Read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return StorageHresultFromErrno(errno);
        }
        if (got == 0) return S_OK;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}

HRESULT WriteAll(int fd, std::span<const std::byte> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = Fs().Write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return StorageHresultFromErrno(errno);
        }
        done += static_cast<std::size_t>(wrote);
    }
    return S_OK;
}

IndexRecord RemovedRecord(std::uint32_t uid) {
    IndexRecord record;
    record.kind = IndexRecordKind::Removed;
    record.uid = uid;
    return record;
}

bool IsMissing(HRESULT hr) { return hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND; }

// The clock in microseconds: the floor of every mod-sequence given (README.md, "Mod-sequences").
// Within a log each change takes one above the last; the floor makes that hold also where the log
// is gone or lost its tail (deleted, damaged, another version, a power cut), since every change
// before took a value below the clock of its own time.
std::uint64_t ClockModseq() {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// Gives every message and removal of a change its mod-sequence.
void StampModseq(std::vector<IndexRecord>& records, std::uint64_t modseq) {
    for (IndexRecord& record : records) {
        if (record.kind == IndexRecordKind::Message || record.kind == IndexRecordKind::Pending || record.kind == IndexRecordKind::Removed) {
            record.modseq = modseq;
        }
    }
}

bool IsMessageState(IndexRecordKind kind) { return kind == IndexRecordKind::Message || kind == IndexRecordKind::Pending; }

// A folder's index as this process knows it.
struct SharedIndex {
    std::timed_mutex work;  // held while the log is read, repaired or written by a thread of this process
    std::string directory;
    std::string logPath;
    std::uint64_t folderInode = 0;
    // Where the folder was last seen (a rename moves it) and its store: for the catch-up of records.
    std::string folderPath;
    std::string rootPath;

    // What the state reflects: the log file it was read from and the end of its last closed change.
    std::uint64_t logInode = 0;
    std::size_t offset = 0;
    IndexRecord lastDone;
    bool read = false;
    bool dirty = true;  // applied something since the state was last published
    std::vector<std::uint32_t> touched;  // ids applied since then
    bool historyBroken = true;  // read again from the start: the ids touched are not known
    // Compared with the folder by a rescan in this process: the first read of every process is, since
    // a power loss may have taken the log's unflushed tail while the records it described stayed.
    bool verified = false;
    std::vector<IndexedMessage> messages;  // ascending by uid: a message costs what a state's entry does
    std::vector<IndexedProperties> sets{IndexedProperties{}};
    std::map<std::string, std::uint32_t> setIndex;  // by the set's encoding
    std::uint64_t highest = 0;  // mod-sequence
    std::uint64_t vanishedFloor = 0;
    std::vector<VanishedRange> vanished;
    std::map<std::string, std::uint32_t> recent;
    // Messages whose indexed properties were logged first ('P') and whose records do not hold them
    // yet: the log is their authority until the records catch up ('W').
    std::set<std::uint32_t> pending;
    bool extrasDirty = true;  // vanished or recent changed since last published
    // The highest mod-sequence this process has seen of the folder, kept through Reset: an index made
    // again while the process lives starts above it even if the clock was set back meanwhile.
    std::uint64_t everSeen = 0;

    // The end of the log known to be on disk (a change logged first is flushed before it is reported).
    std::mutex syncMutex;
    std::uint64_t syncedInode = 0;
    std::uint64_t syncedEnd = 0;

    std::mutex stateMutex;
    std::shared_ptr<const FolderIndexState> state;
    std::shared_ptr<const std::vector<IndexedProperties>> publishedSets;

    void Reset() {
        dirty = true;
        historyBroken = true;
        touched.clear();
        logInode = 0;
        offset = 0;
        lastDone = IndexRecord{};
        read = false;
        messages.clear();
        highest = 0;
        vanishedFloor = 0;
        vanished.clear();
        recent.clear();
        pending.clear();
        extrasDirty = true;
    }

    // The mod-sequence of the next change, under the log's exclusive lock with the state up to date.
    std::uint64_t NextModseq() const { return std::max({highest + 1, everSeen + 1, ClockModseq()}); }

    void Raise(std::uint64_t modseq) {
        highest = std::max(highest, modseq);
        everSeen = std::max(everSeen, highest);
    }

    void Vanish(std::uint32_t uid, std::uint64_t modseq) {
        extrasDirty = true;
        if (!vanished.empty()) {
            VanishedRange& last = vanished.back();
            // One change's removals make one range, across ids that are not (or no longer) there.
            if (last.modseq == modseq && uid > last.last) {
                const auto next = Position(last.last + 1);
                if (next == messages.end() || next->uid >= uid) {
                    last.last = uid;
                    return;
                }
            }
        }
        vanished.push_back({uid, uid, modseq});
        if (vanished.size() > kKeptVanished) {
            const std::size_t forget = vanished.size() / 2;
            for (std::size_t i = 0; i < forget; ++i) vanishedFloor = std::max(vanishedFloor, vanished[i].modseq);
            vanished.erase(vanished.begin(), vanished.begin() + static_cast<std::ptrdiff_t>(forget));
        }
    }

    std::uint32_t Intern(const IndexedProperties& properties) {
        if (properties.empty()) return 0;
        IndexRecord probe;
        probe.kind = IndexRecordKind::Message;
        probe.properties = properties;
        std::vector<std::byte> encoded;
        AppendIndexRecord(encoded, probe);
        const std::string key(reinterpret_cast<const char*>(encoded.data()) + kIndexRecordOverhead, encoded.size() - kIndexRecordOverhead);
        const auto [it, added] = setIndex.try_emplace(key, static_cast<std::uint32_t>(sets.size()));
        if (added) sets.push_back(properties);
        return it->second;
    }

    std::vector<IndexedMessage>::iterator Position(std::uint32_t uid) {
        if (messages.empty() || messages.back().uid < uid) return messages.end();
        return std::lower_bound(messages.begin(), messages.end(), uid,
                                [](const IndexedMessage& message, std::uint32_t wanted) { return message.uid < wanted; });
    }

    const IndexedMessage* Find(std::uint32_t uid) const {
        const auto found = std::lower_bound(messages.begin(), messages.end(), uid,
                                            [](const IndexedMessage& message, std::uint32_t wanted) { return message.uid < wanted; });
        return found != messages.end() && found->uid == uid ? &*found : nullptr;
    }

    void Apply(const IndexRecord& record) {
        // Readers look for messages again when the change number moves: only what changes messages
        // moves it (a recent claim does not, or every claim would wake every session once more).
        // A record caught up ('W') changes nothing a reader sees.
        if (IsMessageState(record.kind) || record.kind == IndexRecordKind::Removed || record.kind == IndexRecordKind::Folder) {
            dirty = true;
        }
        if (IsMessageState(record.kind) || record.kind == IndexRecordKind::Removed) touched.push_back(record.uid);
        if (IsMessageState(record.kind)) {
            if (record.kind == IndexRecordKind::Pending) {
                pending.insert(record.uid);
            } else {
                pending.erase(record.uid);
            }
            const IndexedMessage message{record.uid, Intern(record.properties), record.size, record.date, record.inode, record.modseq};
            Raise(record.modseq);
            // New messages come with the highest ids: nearly always an append.
            const auto at = Position(record.uid);
            if (at != messages.end() && at->uid == record.uid) {
                *at = message;
            } else {
                messages.insert(at, message);
            }
        } else if (record.kind == IndexRecordKind::Written) {
            const auto at = Position(record.uid);
            if (at != messages.end() && at->uid == record.uid) at->inode = record.inode;
            pending.erase(record.uid);
        } else if (record.kind == IndexRecordKind::Removed) {
            Raise(record.modseq);
            pending.erase(record.uid);
            const auto at = Position(record.uid);
            if (at != messages.end() && at->uid == record.uid) {
                messages.erase(at);
                Vanish(record.uid, record.modseq);
            }
        } else if (record.kind == IndexRecordKind::Done) {
            lastDone = record;
        } else if (record.kind == IndexRecordKind::Folder) {
            Raise(record.modseq);
            vanishedFloor = record.vanishedFloor;
            vanished = record.vanished;
            extrasDirty = true;
        } else if (record.kind == IndexRecordKind::Recent) {
            std::uint32_t& mark = recent[record.key];
            mark = std::max(mark, record.uid);
            extrasDirty = true;
        }
    }

    void Publish() {
        static std::atomic<std::uint64_t> changes{0};
        if (!dirty && State()) {
            if (!extrasDirty) return;  // readers compare change numbers: only a change moves it
            // New recent marks alone: the same messages and change number.
            auto marks = std::make_shared<FolderIndexState>(*State());
            marks->recent = std::make_shared<const std::map<std::string, std::uint32_t>>(recent);
            marks->vanished = std::make_shared<const std::vector<VanishedRange>>(vanished);
            extrasDirty = false;
            std::lock_guard guard(stateMutex);
            state = std::move(marks);
            return;
        }
        dirty = false;
        auto fresh = std::make_shared<FolderIndexState>();
        fresh->messages = messages;
        if (!publishedSets || publishedSets->size() != sets.size()) publishedSets = std::make_shared<const std::vector<IndexedProperties>>(sets);
        fresh->sets = publishedSets;
        fresh->change = ++changes;
        fresh->highestModseq = highest;
        fresh->vanishedFloor = vanishedFloor;
        const auto previousState = State();
        if (extrasDirty || !previousState || !previousState->vanished) {
            fresh->vanished = std::make_shared<const std::vector<VanishedRange>>(vanished);
            fresh->recent = std::make_shared<const std::map<std::string, std::uint32_t>>(recent);
            extrasDirty = false;
        } else {
            fresh->vanished = previousState->vanished;
            fresh->recent = previousState->recent;
        }
        // What changed, for readers that know the state before: ids only, the last few changes.
        auto history = std::make_shared<std::vector<FolderIndexState::Change>>();
        const auto previous = State();
        if (!historyBroken && previous && previous->history) {
            std::size_t ids = touched.size();
            std::size_t keep = previous->history->size();
            for (std::size_t i = previous->history->size(); i > 0; --i) {
                ids += (*previous->history)[i - 1].uids.size();
                if (ids > kKeptChangeIds || previous->history->size() - i + 1 >= kKeptChanges) break;
                keep = i - 1;
            }
            history->assign(previous->history->begin() + static_cast<std::ptrdiff_t>(keep), previous->history->end());
        }
        if (!historyBroken && previous && touched.size() <= kKeptChangeIds) {
            std::sort(touched.begin(), touched.end());
            touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
            history->push_back({previous->change, fresh->change, std::move(touched)});
        } else {
            history->clear();
        }
        touched.clear();
        historyBroken = false;
        fresh->history = std::move(history);
        std::lock_guard guard(stateMutex);
        state = std::move(fresh);
    }

    std::shared_ptr<const FolderIndexState> State() {
        std::lock_guard guard(stateMutex);
        return state;
    }

    // A message's state as read from its files, for a message whose record has not caught up with
    // the log: the record stays behind, and the log's indexed properties stay the message's.
    IndexRecord Reconciled(IndexRecord record) const {
        if (record.kind != IndexRecordKind::Message || !pending.contains(record.uid)) return record;
        if (const IndexedMessage* known = Find(record.uid)) {
            record.kind = IndexRecordKind::Pending;
            record.properties = sets[known->properties];
        }
        return record;
    }

    // About what Compacted() would write, counting the removals and marks too: a log long only for
    // them is as short as it gets.
    std::uint64_t CompactedEstimate() const {
        return kIndexHeaderSize + 64 * (messages.size() + 1) + 16 * vanished.size() + 64 * recent.size();
    }

    // The compacted log: header, the folder's mod-sequences and removals, the recent marks, every
    // message, the last 'D'.
    std::vector<std::byte> Compacted() const {
        std::vector<std::byte> bytes = IndexHeader(folderInode);
        IndexRecord folder;
        folder.kind = IndexRecordKind::Folder;
        folder.modseq = highest;
        folder.vanishedFloor = vanishedFloor;
        folder.vanished = vanished;
        AppendIndexRecord(bytes, folder);
        for (const auto& [key, mark] : recent) {
            IndexRecord claim;
            claim.kind = IndexRecordKind::Recent;
            claim.key = key;
            claim.uid = mark;
            AppendIndexRecord(bytes, claim);
        }
        for (const IndexedMessage& message : messages) {
            IndexRecord record;
            record.kind = pending.contains(message.uid) ? IndexRecordKind::Pending : IndexRecordKind::Message;
            record.uid = message.uid;
            record.size = message.size;
            record.date = message.date;
            record.inode = message.inode;
            record.modseq = message.modseq;
            record.properties = sets[message.properties];
            AppendIndexRecord(bytes, record);
        }
        AppendIndexRecord(bytes, lastDone);
        return bytes;
    }
};

std::mutex registryMutex;
std::unordered_map<std::string, std::shared_ptr<SharedIndex>> registry;

std::shared_ptr<SharedIndex> FindShared(const DirStorage& folder, const std::string& rootPath, const DirStat& dir) {
    const std::string directory = FolderIndexDirectory(rootPath, dir.device, dir.inode);
    std::lock_guard guard(registryMutex);
    auto& index = registry[directory];
    if (!index) {
        if (registry.size() > kMaxKeptIndexes) {
            // Forgotten, not lost: a change logged first stays in its log for the next reader.
            registry.clear();
            return FindShared(folder, rootPath, dir);
        }
        index = std::make_shared<SharedIndex>();
        index->directory = directory;
        index->logPath = directory + std::string(kLogName);
        index->folderInode = dir.inode;
    }
    std::lock_guard state(index->stateMutex);
    index->folderPath = folder.Path();
    index->rootPath = rootPath;
    return index;
}

// A message's state from its files: the record's inode is taken before the record is read, so a
// record replaced meanwhile shows a new inode at the next rescan rather than hiding.
HRESULT ReadMessage(const DirStorage& folder, const std::string& rootPath, std::uint32_t uid, IndexRecord& record) {
    const std::string stem = UidStem(uid);
    ElementInfo info;
    HRESULT hr = folder.StatElement(stem + std::string(kRecordExtension), info);
    if (IsMissing(hr)) {
        record = RemovedRecord(uid);
        return S_OK;
    }
    if (Failed(hr)) return hr;
    std::shared_ptr<Envelope> envelope;
    // A record another writer holds a moment longer is waited for, briefly; one that is damaged is
    // passed over (and logged), so that one bad file never hides a whole folder.
    const auto deadline = std::chrono::steady_clock::now() + kRecordBusyBound;
    for (;;) {
        try {
            envelope = Envelope::Open(folder, rootPath, uid);
            break;
        } catch (const ComError& error) {
            if (IsMissing(error.Code())) {
                record = RemovedRecord(uid);
                return S_OK;
            }
            if (error.Code() == STG_E_SHAREVIOLATION) {
                if (std::chrono::steady_clock::now() >= deadline) return error.Code();  // kept as it was, read next time
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            core::Log(core::LogLevelWarning, std::string("Folder index: a message is passed over: ") + error.what());
            record = RemovedRecord(uid);
            return S_OK;
        }
    }
    record = IndexRecord{};
    record.kind = IndexRecordKind::Message;
    record.uid = uid;
    record.inode = info.inode;
    record.date = envelope->CreateDate();
    record.properties = IndexedPropertiesOf(envelope->GetProperties());
    ElementInfo content;
    if (Succeeded(folder.StatElement(stem + std::string(kContentExtension), content))) record.size = content.size;
    return S_OK;
}

// Compares the folder's records with the index and returns the records that bring it in line, the
// closing 'D' last. `locked`: under the log's exclusive lock, where no writer that logs is midway.
HRESULT Rescan(const DirStorage& folder, const std::string& rootPath, const SharedIndex& index, bool locked, std::vector<IndexRecord>& out) {
    DirStat before;
    if (const HRESULT hr = StatDirectory(folder, before); Failed(hr)) return hr;
    std::vector<ElementName> names;
    if (const HRESULT hr = folder.EnumerateNames("*", names); Failed(hr)) return hr;
    bool staging = false;
    std::vector<std::uint32_t> present;
    for (const ElementName& element : names) {
        if (element.isDirectory) continue;
        if (IsTemporaryName(element.name)) staging = true;
        const std::string_view name = element.name;
        if (name.size() <= kRecordExtension.size() || !EqualsNoCase(name.substr(name.size() - kRecordExtension.size()), kRecordExtension)) continue;
        double uid = 0;
        if (!UidFromStem(name.substr(0, name.size() - kRecordExtension.size()), uid) || uid < 1 || uid > 0xffffffffu) continue;
        present.push_back(static_cast<std::uint32_t>(uid));
    }
    std::sort(present.begin(), present.end());
    for (const IndexedMessage& message : index.messages) {
        if (!std::binary_search(present.begin(), present.end(), message.uid)) out.push_back(RemovedRecord(message.uid));
    }
    for (const std::uint32_t uid : present) {
        if (const IndexedMessage* known = index.Find(uid)) {
            ElementInfo info;
            if (Succeeded(folder.StatElement(UidStem(uid) + std::string(kRecordExtension), info)) && info.inode == known->inode) continue;
        }
        IndexRecord record;
        if (const HRESULT hr = ReadMessage(folder, rootPath, uid, record); Failed(hr)) return hr;
        out.push_back(index.Reconciled(std::move(record)));
    }
    // Without the lock, a listing that met a file being staged may have raced its publication by a
    // writer that looked for the log before it was made: look again next time.
    IndexRecord done = DoneRecord(before, true);
    if (staging && !locked) done.modified = done.changed = 0;
    out.push_back(done);
    return S_OK;
}

HRESULT OpenLog(const std::string& path, StorageFd& fd) {
    fd = StorageFd(Fs().Open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    return fd ? S_OK : StorageHresultFromErrno(errno);
}

// Writes a log (a new one, or a compaction) under a temporary name and renames it into place:
// without replacing (a log made meanwhile by another process wins), or replacing the one we hold.
HRESULT PlaceLog(const SharedIndex& index, std::span<const std::byte> bytes, bool replace) {
    const DirStorage directory(index.directory);
    const bool durable = !index.pending.empty();
    if (const HRESULT hr = directory.CreateSelf(); Failed(hr)) return hr;
    const std::string temporary = TemporaryName(kLogName);
    const std::string temporaryPath = directory.ElementPath(temporary);
    {
        StorageFd fd(Fs().Open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kStorageFileMode));
        if (!fd) return StorageHresultFromErrno(errno);
        HRESULT hr = WriteAll(fd.Get(), bytes);
        // A log that holds changes logged first is their only copy: on disk before it replaces the old.
        if (Succeeded(hr) && durable && Fs().Fsync(fd.Get()) != 0) hr = StorageHresultFromErrno(errno);
        if (Failed(hr)) {
            (void)Fs().Unlink(temporaryPath.c_str());
            return hr;
        }
    }
    if (Fs().Rename(temporaryPath.c_str(), index.logPath.c_str(), replace ? 0 : RENAME_NOREPLACE) != 0) {
        const int error = errno;
        (void)Fs().Unlink(temporaryPath.c_str());
        return error == EEXIST ? S_FALSE : StorageHresultFromErrno(error);
    }
    if (durable) return directory.Sync();
    return S_OK;
}

enum class Lock { Shared, Exclusive };

// An index made from a rescan of the records alone: every message at a mod-sequence above any the
// folder's index had before, and no removal known before it.
void StartAfresh(SharedIndex& index, std::vector<IndexRecord>& records) {
    const std::uint64_t modseq = index.NextModseq();
    StampModseq(records, modseq);
    IndexRecord folder;
    folder.kind = IndexRecordKind::Folder;
    folder.modseq = modseq;
    folder.vanishedFloor = modseq;
    index.Apply(folder);
    for (const IndexRecord& record : records) index.Apply(record);
}

// Brings the process's copy of the index up to date. With Lock::Exclusive the log is left open and
// locked in `held` for a writer (nothing when the folder has no log and `create` is false). A writer
// does not rescan for a change that bypassed the index (it would hold up deliveries behind it): it
// learns of it in `unexplained`, and its own 'D' then leaves the rescan to the next reader.
HRESULT Refresh(const DirStorage& folder, const std::string& rootPath, SharedIndex& index, const DirStat& dir, Lock lock,
                bool create, StorageFd& held, bool* unexplained = nullptr) {
    bool exclusive = lock == Lock::Exclusive;
    for (int attempt = 0; attempt < 100; ++attempt) {
        StorageFd fd;
        HRESULT hr = OpenLog(index.logPath, fd);
        if (IsMissing(hr)) {
            if (!create) return S_FALSE;
            // Made from the records, then read back like any other log.
            index.Reset();
            std::vector<IndexRecord> records;
            if (hr = Rescan(folder, rootPath, index, false, records); Failed(hr)) return hr;
            StartAfresh(index, records);
            const std::vector<std::byte> bytes = index.Compacted();
            index.Reset();
            if (hr = PlaceLog(index, bytes, false); Failed(hr)) return hr;
            index.verified = hr == S_OK;  // made by this rescan; one made meanwhile by another is checked
            continue;
        }
        if (Failed(hr)) return hr;
        // A reader waits for a writer midway rather than show the state before it: the writer's last
        // append may be the only sign of its change a watcher of the log is given, and the writer lets
        // go right after it. A reader with a state to show waits only so long, though: a writer that
        // takes longer (a batch of many records) shows its change with its next append.
        const bool patient = exclusive || !index.read;
        hr = FlockBounded(fd.Get(), exclusive ? LOCK_EX : LOCK_SH, patient ? kStoreLockBound : kReaderPatience);
        if (hr == STG_E_SHAREVIOLATION && !patient) return S_OK;
        if (Failed(hr)) return hr;
        struct stat opened {};
        struct stat named {};
        if (Fs().StatFd(fd.Get(), opened) != 0) return StorageHresultFromErrno(errno);
        if (Fs().Stat(index.logPath.c_str(), named) != 0 || named.st_ino != opened.st_ino) continue;  // replaced while we waited
        // Another log, or this one cut below what we read (only damage does that): read from the start.
        if (static_cast<std::uint64_t>(opened.st_ino) != index.logInode || static_cast<std::size_t>(opened.st_size) < index.offset) index.Reset();
        std::vector<std::byte> bytes;
        const std::size_t from = index.read ? index.offset : 0;
        if (hr = ReadFrom(fd.Get(), from, bytes); Failed(hr)) return hr;
        if (!index.read && !IsIndexStart(bytes, index.folderInode)) {
            // Another version's log, or damage (its start too: it no longer knows what was removed
            // before): made again from the records.
            if (!exclusive) {
                exclusive = true;
                continue;
            }
            index.Reset();
            std::vector<IndexRecord> records;
            if (hr = Rescan(folder, rootPath, index, true, records); Failed(hr)) return hr;
            StartAfresh(index, records);
            const std::vector<std::byte> compacted = index.Compacted();
            index.Reset();
            if (hr = PlaceLog(index, compacted, true); Failed(hr)) return hr;
            index.verified = true;
            continue;
        }
        const std::size_t start = index.read ? 0 : kIndexHeaderSize;
        const ParsedIndex parsed = ParseIndexRecords(bytes, start);
        // Only closed changes are applied; what follows the last 'D' is a writer's open change.
        std::size_t closedEnd = start;
        std::size_t firstOpen = 0;
        for (std::size_t i = 0; i < parsed.records.size(); ++i) {
            if (parsed.records[i].kind != IndexRecordKind::Done) continue;
            for (std::size_t j = firstOpen; j <= i; ++j) index.Apply(parsed.records[j]);
            firstOpen = i + 1;
            closedEnd = parsed.ends[i];
        }
        index.logInode = static_cast<std::uint64_t>(opened.st_ino);
        index.offset = from + closedEnd;
        index.read = true;
        const bool openTail = closedEnd != bytes.size();
        // The folder as it is now, under the lock, where no writer that logs is midway: a look taken
        // before waiting for one predates its change, and would take that change for a write past the
        // index -- every session woken by a delivery would rescan the folder.
        DirStat current;
        if (hr = StatDirectory(folder, current); Failed(hr)) return hr;
        const bool mismatch = current.inode != dir.inode || index.lastDone.modified == 0 || index.lastDone.modified != current.modified ||
                              index.lastDone.changed != current.changed;
        const bool bypassed = mismatch || (!index.verified && !unexplained);
        const auto size = static_cast<std::uint64_t>(opened.st_size);
        const bool compact = size > kCompactMinimum && size > kCompactFactor * index.CompactedEstimate();
        if (!exclusive && (openTail || bypassed || compact)) {
            // Under the shared lock no writer is midway: an open tail is a dead writer's.
            index.Publish();
            exclusive = true;
            continue;
        }
        std::vector<IndexRecord> repairs;
        if (exclusive && openTail) {
            std::vector<std::uint32_t> touched;
            for (std::size_t j = firstOpen; j < parsed.records.size(); ++j) {
                const IndexRecord& record = parsed.records[j];
                if (record.kind == IndexRecordKind::Intent) touched.insert(touched.end(), record.uids.begin(), record.uids.end());
            }
            if (Fs().Truncate(fd.Get(), static_cast<off_t>(index.offset)) != 0) return StorageHresultFromErrno(errno);
            for (const std::uint32_t uid : touched) {
                IndexRecord record;
                if (hr = ReadMessage(folder, rootPath, uid, record); Failed(hr)) return hr;
                repairs.push_back(index.Reconciled(std::move(record)));
            }
        }
        // A writer's own change comes next; what happened before it must be found first, or its 'D'
        // would vouch for it.
        if (unexplained) *unexplained = mismatch;
        if (exclusive && bypassed && !unexplained) {
            // A rescan inside the directory's timestamp tick could not vouch for the folder: its 'D'
            // would be zeros, the next writer's too, and the next reader -- woken at once, inside the
            // next tick -- would rescan again, delivery after delivery. Waiting out the tick (no
            // writer that logs can change the folder while we hold the lock) lets this one vouch.
            WaitForSettled(current);
            if (hr = Rescan(folder, rootPath, index, true, repairs); Failed(hr)) return hr;
            index.verified = true;
            // A rescan that found nothing and can not vouch for the folder yet writes nothing: an append
            // wakes every watcher of the log, who would rescan and append again.
            if (repairs.size() == 1 && repairs.back().modified == index.lastDone.modified && repairs.back().changed == index.lastDone.changed) {
                repairs.clear();
            }
        } else if (!repairs.empty()) {
            DirStat now;
            if (hr = StatDirectory(folder, now); Failed(hr)) return hr;
            repairs.push_back(bypassed ? IndexRecord{} : DoneRecord(now, true));
        }
        if (!repairs.empty()) {
            StampModseq(repairs, index.NextModseq());
            std::vector<std::byte> appended;
            for (const IndexRecord& record : repairs) {
                AppendIndexRecord(appended, record);
                index.Apply(record);
            }
            if (Fs().Seek(fd.Get(), static_cast<off_t>(index.offset), SEEK_SET) < 0) return StorageHresultFromErrno(errno);
            if (hr = WriteAll(fd.Get(), appended); Failed(hr)) return hr;
            index.offset += appended.size();
        }
        if (exclusive && compact) {
            if (hr = PlaceLog(index, index.Compacted(), true); Failed(hr)) return hr;
            index.Reset();
            continue;  // read back from the new file
        }
        index.Publish();
        if (lock == Lock::Exclusive) held = std::move(fd);
        return S_OK;
    }
    return E_FAIL;
}

// Makes the log durable at least up to `end` of the log file `inode`. Writers of the process that
// wait meanwhile find their end covered by the flush before theirs: a group commit.
HRESULT MakeDurable(SharedIndex& index, int fd, std::uint64_t inode, std::uint64_t end) {
    std::lock_guard guard(index.syncMutex);
    if (index.syncedInode == inode && index.syncedEnd >= end) return S_OK;
    // Everything appended before this look is covered by the flush that follows it.
    struct stat st {};
    if (Fs().StatFd(fd, st) != 0) return StorageHresultFromErrno(errno);
    if (Fs().Fsync(fd) != 0) return StorageHresultFromErrno(errno);
    index.syncedInode = inode;
    index.syncedEnd = std::max<std::uint64_t>(end, static_cast<std::uint64_t>(st.st_size));
    return S_OK;
}

// Writes the records of waiting messages with the values the log gave them, as one batch: staged,
// made durable (each file, or a small batch's files one by one) and renamed into place; the writer's
// Commit flushes the folder before it logs them caught up. A record that can not be read stays waiting.
HRESULT WriteBehind(const DirStorage& folder, const std::string& rootPath, IndexWriter& writer, const std::vector<std::uint32_t>& uids) {
    std::vector<std::shared_ptr<Envelope>> envelopes;
    std::vector<std::string> staged;
    const bool flushEach = uids.size() < kFileSystemFlushBatch;
    try {
        for (const std::uint32_t uid : uids) {
            std::shared_ptr<Envelope> envelope;
            try {
                envelope = Envelope::Open(folder, rootPath, uid);
            } catch (const ComError& error) {
                if (IsMissing(error.Code())) {
                    writer.Removed(uid);
                } else if (error.Code() != STG_E_SHAREVIOLATION) {
                    // A damaged record (readers pass it over) would be tried again every second: the
                    // index keeps showing its flags, and the record is left as it is.
                    core::Log(core::LogLevelWarning, std::string("Folder index: a record can not take its flags: ") + error.what());
                    writer.Written(uid);
                }
                continue;
            }
            if (!writer.Overlay(uid, envelope->GetProperties())) continue;  // caught up meanwhile
            staged.push_back(envelope->StageRecord(flushEach));
            envelopes.push_back(envelope);
        }
        if (!flushEach && !staged.empty()) ThrowIfFailed(folder.SyncFileSystem(), "can not flush the records of " + folder.Path());
        for (std::size_t i = 0; i < envelopes.size(); ++i) {
            envelopes[i]->PlaceRecord(staged[i]);
            staged[i].clear();
        }
    } catch (const ComError& error) {
        for (const std::string& name : staged) {
            if (!name.empty()) (void)folder.DestroyElement(name);
        }
        core::Log(core::LogLevelWarning, std::string("Folder index: records not caught up: ") + error.what());
        return error.Code();  // the intent stays open: the next reader looks at these records again
    }
    for (const auto& envelope : envelopes) writer.Written(static_cast<std::uint32_t>(envelope->UID()));
    return S_OK;
}

// Catches up the records of one folder that were waiting when it was called, a batch at a time, each
// under the folder's lock and the log's, as any writer of records takes them.
void CatchUpFolder(SharedIndex& index) {
    std::vector<std::uint32_t> waiting;
    {
        std::lock_guard work(index.work);
        waiting.assign(index.pending.begin(), index.pending.end());
    }
    std::string folderPath;
    std::string rootPath;
    {
        std::lock_guard guard(index.stateMutex);
        folderPath = index.folderPath;
        rootPath = index.rootPath;
    }
    const DirStorage folder(folderPath);
    DirStat dir;
    // Moved or gone since this process last saw it: its next reader, here or elsewhere, takes it up.
    if (waiting.empty() || Failed(StatDirectory(folder, dir)) || dir.inode != index.folderInode) return;
    for (std::size_t first = 0; first < waiting.size(); first += kRecordBatch) {
        const std::vector<std::uint32_t> batch(waiting.begin() + static_cast<std::ptrdiff_t>(first),
                                               waiting.begin() + static_cast<std::ptrdiff_t>(std::min(waiting.size(), first + kRecordBatch)));
        StorageLock lock;
        if (const HRESULT hr = folder.LockSelf(kStoreLockBound, lock); Failed(hr)) {
            core::Log(core::LogLevelWarning, "Folder index: records of " + folder.Path() + " not caught up: " + HresultText(hr));
            return;
        }
        IndexWriter writer(folder, rootPath);
        if (!writer.Begin(batch)) return;
        if (Failed(WriteBehind(folder, rootPath, writer, batch))) return;
        writer.Commit();
        if (!writer.Committed()) return;
    }
}

std::vector<std::shared_ptr<SharedIndex>> KeptIndexes() {
    std::lock_guard guard(registryMutex);
    std::vector<std::shared_ptr<SharedIndex>> kept;
    for (const auto& [directory, index] : registry) kept.push_back(index);
    return kept;
}

// The process's writer of records behind changes logged first: woken by such a change, or by a log
// read with changes waiting (a process that ended before their records caught up), it waits a moment
// for more and then writes them all. A batch that fails waits for the next change or reader.
class RecordCatchUp {
public:
    static RecordCatchUp& Instance() {
        static RecordCatchUp instance;
        return instance;
    }
    ~RecordCatchUp() {
        {
            std::lock_guard guard(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (worker_.joinable()) worker_.join();
    }
    void Background(bool on) {
        std::lock_guard guard(mutex_);
        background_ = on;
    }
    void Wake() {
        std::lock_guard guard(mutex_);
        if (stopping_ || !background_) return;
        due_ = true;
        if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
        wake_.notify_all();
    }
    // Every folder now, in the caller's thread (serialised with the worker's rounds).
    void Now() {
        std::lock_guard round(round_);
        for (const auto& index : KeptIndexes()) CatchUpFolder(*index);
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return due_ || stopping_; });
            if (stopping_) return;
            wake_.wait_for(lock, kCatchUpDelay, [this] { return stopping_; });
            if (stopping_) return;
            due_ = false;
            if (!background_) continue;
            lock.unlock();
            Now();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::mutex round_;
    std::condition_variable wake_;
    bool due_ = false;
    bool stopping_ = false;
    bool background_ = true;
    std::thread worker_;
};

}  // namespace

std::optional<std::vector<std::uint32_t>> FolderIndexState::TouchedSince(std::uint64_t since) const {
    if (since == change) return std::vector<std::uint32_t>{};
    if (!history) return std::nullopt;
    // The changes after `since` must follow one another from it; anything else is not known here.
    std::size_t first = 0;
    while (first < history->size() && (*history)[first].from != since) ++first;
    if (first == history->size()) return std::nullopt;
    std::vector<std::uint32_t> uids;
    for (std::size_t i = first; i < history->size(); ++i) {
        if (i > first && (*history)[i].from != (*history)[i - 1].to) return std::nullopt;
        uids.insert(uids.end(), (*history)[i].uids.begin(), (*history)[i].uids.end());
    }
    if (history->back().to != change) return std::nullopt;
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    return uids;
}

const IndexedMessage* FolderIndexState::Find(std::uint32_t uid) const {
    const auto found = std::lower_bound(messages.begin(), messages.end(), uid,
                                        [](const IndexedMessage& message, std::uint32_t wanted) { return message.uid < wanted; });
    return found != messages.end() && found->uid == uid ? &*found : nullptr;
}

std::optional<std::vector<VanishedRange>> FolderIndexState::VanishedSince(std::uint64_t since) const {
    if (since < vanishedFloor) return std::nullopt;
    std::vector<VanishedRange> ranges;
    if (vanished) {
        for (const VanishedRange& range : *vanished) {
            if (range.modseq > since) ranges.push_back(range);
        }
    }
    std::sort(ranges.begin(), ranges.end(), [](const VanishedRange& x, const VanishedRange& y) { return x.first < y.first; });
    // An id is removed once (ids are never used again): ranges only touch, never overlap.
    std::vector<VanishedRange> merged;
    for (const VanishedRange& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().last + std::uint64_t{1}) {
            merged.back().last = std::max(merged.back().last, range.last);
            merged.back().modseq = std::max(merged.back().modseq, range.modseq);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

std::optional<std::uint32_t> FolderIndexState::RecentMark(const std::string& key) const {
    if (!recent) return std::nullopt;
    const auto found = recent->find(key);
    if (found == recent->end()) return std::nullopt;
    return found->second;
}

std::string FolderIndexDirectory(const std::string& rootPath, std::uint64_t device, std::uint64_t inode) {
    std::string root = rootPath;
    if (!root.empty() && root.back() != '/') root += '/';
    return root + "IMAP/index/" + std::to_string(device) + "-" + std::to_string(inode) + "/";
}

void RemoveFolderIndexes(const DirStorage& top, const std::string& rootPath) {
    std::string directory;
    if (Succeeded(FolderIndexLocation(top, rootPath, directory)) && DirStorage(directory).Exists()) {
        directory.pop_back();  // the trailing "/"
        const std::size_t slash = directory.find_last_of('/');
        (void)DirStorage(directory.substr(0, slash + 1)).DestroyElement(directory.substr(slash + 1));
    }
    std::vector<ElementName> children;
    if (Failed(top.EnumerateNames("*", children))) return;
    for (const ElementName& child : children) {
        DirStorage below;
        if (child.isDirectory && Succeeded(top.OpenChildStorage(child.name, below))) RemoveFolderIndexes(below, rootPath);
    }
}

void ForgetFolderIndexes() {
    std::lock_guard guard(registryMutex);
    registry.clear();
}

Variant IndexedValue(const IndexedProperties& properties, std::string_view key) {
    for (const IndexedProperty& property : properties) {
        if (EqualsNoCase(property.key, key)) return property.value;
    }
    return Variant{};
}

HRESULT FolderIndexLocation(const DirStorage& folder, const std::string& rootPath, std::string& directory) {
    DirStat dir;
    if (const HRESULT hr = StatDirectory(folder, dir); Failed(hr)) return hr;
    directory = FolderIndexDirectory(rootPath, dir.device, dir.inode);
    return S_OK;
}

HRESULT ReadFolderIndex(const DirStorage& folder, const std::string& rootPath, std::shared_ptr<const FolderIndexState>& state) {
    DirStat dir;
    if (const HRESULT hr = StatDirectory(folder, dir); Failed(hr)) return hr;
    const auto index = FindShared(folder, rootPath, dir);
    std::unique_lock work(index->work, std::defer_lock);
    if (!work.try_lock_for(kReaderPatience)) {
        // Another thread of the process is in a long change of the folder: the state as it stands.
        if (auto current = index->State()) {
            state = std::move(current);
            return S_OK;
        }
        work.lock();
    }
    StorageFd none;
    const HRESULT hr = Refresh(folder, rootPath, *index, dir, Lock::Shared, true, none);
    if (Failed(hr)) {
        index->Reset();
        return hr;
    }
    // Changes logged first by a process that ended before their records caught up are this one's.
    if (!index->pending.empty()) RecordCatchUp::Instance().Wake();
    state = index->State();
    return state ? S_OK : E_FAIL;
}

// The folders whose index this thread holds for a writer: a writer nested in another of the same
// folder (a staged file dropped inside a change) logs nothing rather than wait for itself; its change
// is then found by the directory's stat.
thread_local std::vector<std::string> heldByThread;  // their logs' paths

struct IndexWriter::Open {
    std::shared_ptr<SharedIndex> index;
    std::unique_lock<std::timed_mutex> work;
    StorageFd fd;

    ~Open() {
        if (work.owns_lock()) std::erase(heldByThread, index->logPath);
    }
};

IndexWriter::IndexWriter(const DirStorage& folder, const std::string& rootPath) : folder_(folder), rootPath_(rootPath) {}

IndexWriter::~IndexWriter() = default;

bool IndexWriter::Begin(const std::vector<std::uint32_t>& uids) {
    DirStat dir;
    if (Failed(StatDirectory(folder_, dir))) return false;
    auto open = std::make_unique<Open>();
    open->index = FindShared(folder_, rootPath_, dir);
    // Cheap for the folders nobody indexes: one failed open.
    struct stat st {};
    if (Fs().Stat(open->index->logPath.c_str(), st) != 0) return false;
    if (std::find(heldByThread.begin(), heldByThread.end(), open->index->logPath) != heldByThread.end()) return false;
    open->work = std::unique_lock(open->index->work);
    heldByThread.push_back(open->index->logPath);
    const HRESULT hr = Refresh(folder_, rootPath_, *open->index, dir, Lock::Exclusive, false, open->fd, &unexplained_);
    if (Failed(hr)) {
        open->index->Reset();
        core::Log(core::LogLevelWarning, "Folder index of " + folder_.Path() + " not written: " + HresultText(hr));
        return false;
    }
    if (!open->fd) return false;
    IndexRecord intent;
    intent.kind = IndexRecordKind::Intent;
    intent.uids = uids;
    std::vector<std::byte> bytes;
    AppendIndexRecord(bytes, intent);
    if (Fs().Seek(open->fd.Get(), static_cast<off_t>(open->index->offset), SEEK_SET) < 0 || Failed(WriteAll(open->fd.Get(), bytes))) {
        // The tail may hold part of it: the next reader under the lock cuts it.
        open->index->Reset();
        return false;
    }
    open_ = std::move(open);
    return true;
}

void IndexWriter::Message(std::uint32_t uid, const Properties& properties) {
    if (!open_) return;
    const std::string stem = UidStem(uid);
    IndexRecord record;
    record.kind = IndexRecordKind::Message;
    record.uid = uid;
    ElementInfo info;
    if (IsMissing(folder_.StatElement(stem + std::string(kRecordExtension), info))) {
        Removed(uid);
        return;
    }
    record.inode = info.inode;
    if (Succeeded(folder_.StatElement(stem + std::string(kContentExtension), info))) record.size = info.size;
    record.date = properties.Item(kCreateDateKey).AsDouble();
    record.properties = IndexedPropertiesOf(properties);
    // A writer that did not start from the log's values (it changed another key) leaves them waiting.
    const bool caughtUp = std::find(overlaid_.begin(), overlaid_.end(), uid) != overlaid_.end();
    catchesUp_ = catchesUp_ || caughtUp;
    records_.push_back(caughtUp ? std::move(record) : open_->index->Reconciled(std::move(record)));
}

bool IndexWriter::Overlay(std::uint32_t uid, Properties& properties) {
    if (!open_) return false;
    const SharedIndex& index = *open_->index;
    const IndexedMessage* message = index.pending.contains(uid) ? index.Find(uid) : nullptr;
    if (!message) return false;
    ApplyIndexed(properties, index.sets[message->properties]);
    overlaid_.push_back(uid);
    return true;
}

void IndexWriter::Written(std::uint32_t uid) {
    if (!open_) return;
    ElementInfo info;
    if (Failed(folder_.StatElement(UidStem(uid) + std::string(kRecordExtension), info))) return;  // the next rescan looks
    IndexRecord record;
    record.kind = IndexRecordKind::Written;
    record.uid = uid;
    record.inode = info.inode;
    records_.push_back(std::move(record));
    catchesUp_ = true;
}

bool IndexWriter::LogAhead(std::uint32_t uid, const std::function<bool(Properties&)>& change) {
    if (!open_) return false;
    const SharedIndex& index = *open_->index;
    const IndexedMessage* message = index.Find(uid);
    if (!message) return false;
    Properties properties;
    ApplyIndexed(properties, index.sets[message->properties]);
    if (!change(properties)) return true;
    IndexedProperties changed = IndexedPropertiesOf(properties);
    if (changed == index.sets[message->properties]) return true;  // nothing a reader would see
    IndexRecord record;
    record.kind = IndexRecordKind::Pending;
    record.uid = uid;
    record.size = message->size;
    record.date = message->date;
    record.inode = message->inode;
    record.properties = std::move(changed);
    records_.push_back(std::move(record));
    return true;
}

void IndexWriter::Removed(std::uint32_t uid) {
    if (open_) records_.push_back(RemovedRecord(uid));
}

std::optional<std::uint32_t> IndexWriter::Recent(const std::string& key, std::uint32_t highest) {
    if (!open_) return std::nullopt;
    std::optional<std::uint32_t> previous;
    // Under the log's lock the process's copy holds every claim made before, in any process.
    if (const auto found = open_->index->recent.find(key); found != open_->index->recent.end()) previous = found->second;
    for (const IndexRecord& record : records_) {
        if (record.kind == IndexRecordKind::Recent && record.key == key) previous = std::max(previous.value_or(0), record.uid);
    }
    if (!previous || *previous < highest) {
        IndexRecord claim;
        claim.kind = IndexRecordKind::Recent;
        claim.key = key;
        claim.uid = highest;
        records_.push_back(std::move(claim));
    }
    return previous;
}

HRESULT ClaimRecent(const DirStorage& folder, const std::string& rootPath, const std::string& key, std::uint32_t highest,
                    std::optional<std::uint32_t>& previous) {
    std::shared_ptr<const FolderIndexState> state;
    if (const HRESULT hr = ReadFolderIndex(folder, rootPath, state); Failed(hr)) return hr;
    previous = state->RecentMark(key);
    if (previous && *previous >= highest) return S_OK;  // nothing new to claim: no write
    IndexWriter writer(folder, rootPath);
    if (!writer.Begin({})) return STG_E_LOCKVIOLATION;
    previous = writer.Recent(key, highest);
    writer.Commit();
    return writer.Committed() ? S_OK : STG_E_WRITEFAULT;
}

void IndexWriter::Commit() { (void)Finish(false); }

HRESULT IndexWriter::CommitDurably() { return Finish(true); }

HRESULT IndexWriter::Finish(bool durable) {
    if (!open_) return E_FAIL;
    SharedIndex& index = *open_->index;
    // Records written with values the log held ahead of them: on disk before the log says they caught
    // up, and that said on disk before anyone may change them again. Were the log to lose it in a power
    // cut while the records kept theirs, the log's older values would be written over a later change.
    if (catchesUp_ && Failed(folder_.Sync())) {
        open_.reset();  // left open: the next reader looks at these records again
        return E_FAIL;
    }
    DirStat now;
    if (Failed(StatDirectory(folder_, now))) {
        open_.reset();  // left open: repaired by the next reader
        return E_FAIL;
    }
    IndexRecord done;  // times of zero: something before this change needs a rescan
    done.kind = IndexRecordKind::Done;
    if (!unexplained_) {
        done.modified = now.modified;
        done.changed = now.changed;
    }
    records_.push_back(done);
    StampModseq(records_, index.NextModseq());
    std::vector<std::byte> bytes;
    for (const IndexRecord& record : records_) AppendIndexRecord(bytes, record);
    if (const HRESULT hr = WriteAll(open_->fd.Get(), bytes); Failed(hr)) {
        index.Reset();
        open_.reset();
        return hr;
    }
    // The intent before them is known to be there: the process's copy moves past the whole change.
    struct stat st {};
    if (Fs().StatFd(open_->fd.Get(), st) != 0) {
        const HRESULT hr = StorageHresultFromErrno(errno);
        index.Reset();
        open_.reset();
        return hr;
    }
    for (const IndexRecord& record : records_) index.Apply(record);
    index.offset = static_cast<std::size_t>(st.st_size);
    index.Publish();
    records_.clear();
    if (catchesUp_) {
        if (const HRESULT hr = MakeDurable(index, open_->fd.Get(), index.logInode, index.offset); Failed(hr)) {
            open_.reset();
            return hr;
        }
    }
    committed_ = true;
    const bool waiting = !index.pending.empty();
    if (!durable) {
        open_.reset();
        if (waiting) RecordCatchUp::Instance().Wake();
        return S_OK;
    }
    // Flushed after the locks are let go, so that the process's other writers append meanwhile and
    // one flush serves them all.
    const std::shared_ptr<SharedIndex> shared = open_->index;
    StorageFd fd = std::move(open_->fd);
    const std::uint64_t inode = index.logInode;
    const std::uint64_t end = index.offset;
    (void)Fs().Flock(fd.Get(), LOCK_UN);
    open_.reset();
    if (waiting) RecordCatchUp::Instance().Wake();
    return MakeDurable(*shared, fd.Get(), inode, end);
}

HRESULT LogIndexedChanges(const DirStorage& folder, const std::string& rootPath, const std::vector<double>& uids,
                          const std::function<bool(double, Properties&)>& change, std::vector<bool>& present, bool flush) {
    present.clear();
    IndexWriter writer(folder, rootPath);
    if (!writer.Begin({})) return S_FALSE;
    for (const double uid : uids) {
        present.push_back(writer.LogAhead(static_cast<std::uint32_t>(uid), [&](Properties& properties) { return change(uid, properties); }));
    }
    if (flush) return writer.CommitDurably();
    writer.Commit();
    return writer.Committed() ? S_OK : STG_E_WRITEFAULT;
}

HRESULT FlushFolderIndex(const DirStorage& folder, const std::string& rootPath) {
    DirStat dir;
    if (const HRESULT hr = StatDirectory(folder, dir); Failed(hr)) return hr;
    const auto index = FindShared(folder, rootPath, dir);
    StorageFd fd;
    if (const HRESULT hr = OpenLog(index->logPath, fd); Failed(hr)) return IsMissing(hr) ? S_OK : hr;
    struct stat st {};
    if (Fs().StatFd(fd.Get(), st) != 0) return StorageHresultFromErrno(errno);
    return MakeDurable(*index, fd.Get(), static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_size));
}

void CatchUpIndexedRecords() { RecordCatchUp::Instance().Now(); }

HRESULT CatchUpIndexedRecords(const DirStorage& folder, const std::string& rootPath) {
    std::shared_ptr<const FolderIndexState> state;
    if (const HRESULT hr = ReadFolderIndex(folder, rootPath, state); Failed(hr)) return hr;
    DirStat dir;
    if (const HRESULT hr = StatDirectory(folder, dir); Failed(hr)) return hr;
    const auto index = FindShared(folder, rootPath, dir);
    CatchUpFolder(*index);
    std::lock_guard work(index->work);
    return index->pending.empty() ? S_OK : STG_E_WRITEFAULT;
}

void SetIndexedCatchUpInBackground(bool on) { RecordCatchUp::Instance().Background(on); }

}  // namespace pw::store
