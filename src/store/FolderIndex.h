// FolderIndex: a folder's index (README.md, "The folder index") -- the state its log describes, kept
// once per process for every folder somebody reads through it, and the writers' side of the log.
//
// Readers ask for a folder's state (ReadFolderIndex): the process's copy is brought up to date by
// reading only what the log gained since, and repaired where a writer died or something wrote past
// the index. A reader waits (bounded) for a writer midway, so what it shows after being woken by the
// log's last append includes that change. The state a reader gets is immutable: a later change makes a new one, so a session may
// keep it as long as it likes without a lock.
// Writers (Envelope, Envelopes) wrap each change of the records in an IndexWriter, which does nothing
// at all for a folder without an index.
// Thread safety: any thread; one mutex per folder orders the process's readers and writers, and the
// log's flock orders processes.
#pragma once

#include "platform/DirStorage.h"
#include "store/IndexLog.h"
#include "store/Properties.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pw::store {

// One message as the index holds it; `properties` numbers a set of the state's table.
struct IndexedMessage {
    std::uint32_t uid = 0;
    std::uint32_t properties = 0;
    std::uint64_t size = 0;
    double date = 0;
    std::uint64_t inode = 0;  // of the record file: a record replaced by rename has a new one
    std::uint64_t modseq = 0;  // of the last change of the message (its arrival, a flag, its record)
};
static_assert(sizeof(IndexedMessage) <= 40);

struct FolderIndexState {
    std::vector<IndexedMessage> messages;  // ascending by uid
    // Set 0 is the empty one; sets are only ever added, so a number stays valid for the process.
    std::shared_ptr<const std::vector<IndexedProperties>> sets;
    // Moves with every change applied in this process (never 0 for a state that was read).
    std::uint64_t change = 0;
    // The ids the process's recent changes touched, oldest first: state `from` became `to`.
    struct Change {
        std::uint64_t from = 0;
        std::uint64_t to = 0;
        std::vector<std::uint32_t> uids;
    };
    std::shared_ptr<const std::vector<Change>> history;
    // The folder's highest mod-sequence: raised by every change that adds, alters or removes a message,
    // never lower than any one a state of this folder showed before (README.md: "Mod-sequences").
    std::uint64_t highestModseq = 0;
    // Removed ids with the mod-sequence of their removal, oldest first; removals at or below
    // `vanishedFloor` are forgotten (a rebuilt index knows none before its making).
    std::uint64_t vanishedFloor = 0;
    std::shared_ptr<const std::vector<VanishedRange>> vanished;
    // Per key (a user's flags key, or the shared one), the highest id a session was shown as recent.
    std::shared_ptr<const std::map<std::string, std::uint32_t>> recent;

    const IndexedProperties& PropertiesOf(const IndexedMessage& message) const { return (*sets)[message.properties]; }
    // The ids whose messages may differ between the state numbered `since` and this one, ascending;
    // nullopt when this process no longer knows (a reader then compares everything).
    std::optional<std::vector<std::uint32_t>> TouchedSince(std::uint64_t since) const;
    // The message with that id, or nullptr.
    const IndexedMessage* Find(std::uint32_t uid) const;
    // The ids removed after mod-sequence `since`, as ascending ranges (each with the mod-sequence of
    // its removal, or a later one where ranges were merged); nullopt when the index no longer knows
    // them all, and the asker must compare every id.
    std::optional<std::vector<VanishedRange>> VanishedSince(std::uint64_t since) const;
    // The recent mark of a key, or nullopt when no session claimed one since the index was made.
    std::optional<std::uint32_t> RecentMark(const std::string& key) const;
};

// The folder's index, brought up to date (made from the records when it has none yet). Fails only
// when neither the index nor the folder can be read.
[[nodiscard]] HRESULT ReadFolderIndex(const DirStorage& folder, const std::string& rootPath, std::shared_ptr<const FolderIndexState>& state);
// The value of an indexed property, found without regard to case (VT_EMPTY when the set lacks it).
Variant IndexedValue(const IndexedProperties& properties, std::string_view key);
// \Recent for one session only: raises the key's mark to `highest` under the log's lock unless it
// is there already, and gives the mark before in `previous` (nullopt: none was claimed since the index
// was made), so that of several sessions, in any processes, only one is shown each id as recent.
[[nodiscard]] HRESULT ClaimRecent(const DirStorage& folder, const std::string& rootPath, const std::string& key, std::uint32_t highest,
                                  std::optional<std::uint32_t>& previous);
// Where a folder's index lives below the store root: "IMAP/index/<device>-<inode>/".
std::string FolderIndexDirectory(const std::string& rootPath, std::uint64_t device, std::uint64_t inode);
// The directory of a folder's index (whether it has one or not), for a watch of its log.
[[nodiscard]] HRESULT FolderIndexLocation(const DirStorage& folder, const std::string& rootPath, std::string& directory);
// Removes the indexes of a store object's directory and of every directory below it, before the
// object itself is removed (they would only take room: a directory that reuses an inode is rescanned).
void RemoveFolderIndexes(const DirStorage& top, const std::string& rootPath);
// Forgets every folder's state this process keeps (tests; a store opened afresh).
void ForgetFolderIndexes();

// Changes indexed properties (flags, keywords) in the folder's log alone, on disk before it returns;
// the records catch up behind (README.md, "Changes logged first"). `change` gets a message's indexed
// properties as its record would hold them and says whether to keep what it made of them; changes
// to other keys are not kept. `present` says per id whether the message is there. S_FALSE: the
// folder has no index and nothing was done (the caller writes the records itself).
// With `flush` false the log is not flushed here: the caller flushes it (FlushFolderIndex) before it
// reports the change, once for several.
[[nodiscard]] HRESULT LogIndexedChanges(const DirStorage& folder, const std::string& rootPath, const std::vector<double>& uids,
                                        const std::function<bool(double, Properties&)>& change, std::vector<bool>& present,
                                        bool flush = true);
// Makes everything logged so far in the folder's index durable.
[[nodiscard]] HRESULT FlushFolderIndex(const DirStorage& folder, const std::string& rootPath);
// Writes now the records of every change logged first that this process knows of: for a clean stop,
// so that the records hold everything once the server is down.
void CatchUpIndexedRecords();
// The same for one folder, for a writer about to copy its records whole.
[[nodiscard]] HRESULT CatchUpIndexedRecords(const DirStorage& folder, const std::string& rootPath);
// Whether the records catch up in the background, about a second after a change (the default); when
// off, only CatchUpIndexedRecords writes them (for tests that fork, which must not copy a process
// whose background writer holds a lock).
void SetIndexedCatchUpInBackground(bool on);

// A writer's change of a folder's records, logged when the folder has an index: Begin takes the log's
// lock and writes the intent, the writer changes the records, names the state of each id after the
// change (Message or Removed), and Commit writes it with the closing 'D'. A writer that fails or
// throws before Commit leaves the intent open, and the next reader repairs from the records.
class IndexWriter {
public:
    IndexWriter(const DirStorage& folder, const std::string& rootPath);
    ~IndexWriter();
    IndexWriter(const IndexWriter&) = delete;
    IndexWriter& operator=(const IndexWriter&) = delete;

    // False when the folder has no index (everything else is then a no-op) or it could not be
    // locked (logged; the next reader finds the change by the directory's stat).
    bool Begin(const std::vector<std::uint32_t>& uids);
    // The message's state now: its record's properties as written, its files stat'd here.
    void Message(std::uint32_t uid, const Properties& properties);
    void Removed(std::uint32_t uid);
    // Raises the recent mark of `key` to `highest` when it is below; the mark before (see ClaimRecent).
    std::optional<std::uint32_t> Recent(const std::string& key, std::uint32_t highest);
    // For a writer that reads a record to change it: where the log holds indexed properties the
    // record has not caught up with, gives them to `properties` (true). The writer's change then
    // starts from them, and the record it writes catches up.
    bool Overlay(std::uint32_t uid, Properties& properties);
    // A waiting record written with what Overlay gave it: caught up, and nothing a reader sees changed.
    void Written(std::uint32_t uid);
    // A change of the message's indexed properties ahead of its record ('P'), which catches up later:
    // `change` gets them as the record would hold them and says whether to keep its result. False
    // when the index does not hold the message.
    bool LogAhead(std::uint32_t uid, const std::function<bool(Properties&)>& change);
    // Appends the states and 'D'; a failure is logged and left for a reader to repair. Where records
    // caught up with values logged ahead of them, the folder is flushed first and the log after.
    void Commit();
    // Commit, then waits until the log is on disk (one flush serves every writer of the process
    // that waits for it). A change logged ahead is reported only after this.
    [[nodiscard]] HRESULT CommitDurably();
    // Did Commit write the change to the log?
    bool Committed() const { return committed_; }

    struct Open;

private:
    HRESULT Finish(bool durable);

    DirStorage folder_;
    std::string rootPath_;
    std::unique_ptr<Open> open_;
    std::vector<IndexRecord> records_;
    std::vector<std::uint32_t> overlaid_;  // their records now written from the log's values
    bool catchesUp_ = false;  // records written here caught up with values logged ahead of them
    bool unexplained_ = false;  // the folder changed past the index before this change
    bool committed_ = false;
};

}  // namespace pw::store
