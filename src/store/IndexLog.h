// IndexLog: the byte format of a folder index's log (README.md, "The folder index"): its header, its
// records with their length and CRC, and the indexed properties of a message record.
//
// Pure functions over bytes: FolderIndex.h does the files, the locks and the state. A parse stops at
// the first record that is short, oversized or fails its CRC, and reports where the good bytes end,
// so that only the exclusive lock holder, which knows no writer is midway, cuts the rest.
// Thread safety: no state.
#pragma once

#include "platform/Variant.h"
#include "store/Properties.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pw::store {

inline constexpr std::uint32_t kIndexVersion = 3;
inline constexpr std::size_t kIndexHeaderSize = 16;
// Length and CRC before each payload.
inline constexpr std::size_t kIndexRecordOverhead = 8;
// No record is this long: a length beyond it is damage, not a record to wait for.
inline constexpr std::uint32_t kMaxIndexRecord = 16u << 20;

// One indexed property of a message: an integer (VT_I8) or a text (VT_BSTR).
struct IndexedProperty {
    std::string key;
    Variant value;
    bool operator==(const IndexedProperty& other) const;
};
// Ordered by key, each key once.
using IndexedProperties = std::vector<IndexedProperty>;

enum class IndexRecordKind : char {
    Message = 'M',
    Pending = 'P',  // a message whose indexed properties its record does not hold yet
    Written = 'W',  // a pending message's record caught up
    Removed = 'X',
    Intent = 'I',
    Done = 'D',
    Folder = 'S',
    Recent = 'R',
};

// Removed ids from `first` to `last`, both included, gone at mod-sequence `modseq` (or before it).
struct VanishedRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::uint64_t modseq = 0;
    bool operator==(const VanishedRange&) const = default;
};

struct IndexRecord {
    IndexRecordKind kind = IndexRecordKind::Done;
    std::uint32_t uid = 0;            // M, P, W, X; R: the highest id shown as recent
    std::uint64_t size = 0;           // M, P: the content's
    double date = 0;                  // M, P: the internal date
    std::uint64_t inode = 0;          // M, P, W: the record file's
    IndexedProperties properties;     // M, P
    std::vector<std::uint32_t> uids;  // I
    std::int64_t modified = 0;        // D: the folder directory's times, ns (0: rescan)
    std::int64_t changed = 0;
    std::uint64_t modseq = 0;         // M, P, X: the change's mod-sequence; S: the folder's highest
    std::uint64_t vanishedFloor = 0;  // S: removals at or below it are no longer remembered
    std::vector<VanishedRange> vanished;  // S
    std::string key;                  // R: whose mark ("" for a folder's shared flags)
};

// Is this key one the index keeps ("_ImapFlags", "_ImapKeywords" and their per-user children)?
bool IsIndexedKey(std::string_view key);
// The indexed properties of a message record, ordered by key. Values of kinds the index does not
// keep (neither integer nor text) are left out.
IndexedProperties IndexedPropertiesOf(const Properties& properties);
// Makes a record's indexed properties these: the indexed keys it holds and the set lacks go, the
// others are set. An integer is written as the store keeps its only integer key, the flags (VT_UI2).
void ApplyIndexed(Properties& properties, const IndexedProperties& indexed);

std::vector<std::byte> IndexHeader(std::uint64_t folderInode);
// Does the file begin with a header of this format for this folder?
bool IsIndexHeader(std::span<const std::byte> bytes, std::uint64_t folderInode);

// Does the log (from its start) begin with a header and then a good 'S' record, as every log written
// whole does? One that does not lost its start: it can not say what was removed before.
bool IsIndexStart(std::span<const std::byte> bytes, std::uint64_t folderInode);

// Appends one record (length, CRC, payload) to `out`.
void AppendIndexRecord(std::vector<std::byte>& out, const IndexRecord& record);

struct ParsedIndex {
    std::vector<IndexRecord> records;
    std::vector<std::size_t> ends;  // past each record
    std::size_t end = 0;   // past the last good record
    bool torn = false;     // bytes after `end` that do not make a good record
};
// The records from `offset` (past the header) on, up to the first bad one.
ParsedIndex ParseIndexRecords(std::span<const std::byte> bytes, std::size_t offset);

}  // namespace pw::store
