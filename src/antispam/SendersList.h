// SendersList: a list of senders kept in a file of the store root -- the friendly senders
// ("GoodSenders.lst", never spam), the enemy senders ("BadSenders.lst", spam) and the senders that
// never get an automatic reply ("NoRespondTo.lst").
//
// An entry is a key (a normalised address, or a pattern with "*" and "?") and a display name. The
// file: u32 1, then per entry u32 length and key bytes, u32 length and name bytes, little-endian,
// nothing after the last entry; a 0-byte or missing file is an empty list. Entries are written in the
// order they were first added, and a later record with the same key replaces the name of the earlier.
// Keys: an address is lower-cased ("local@domain"); a pattern is kept as written, so it matches only
// when written in lower case. Exact keys are found by hash, "*@domain" patterns by their domain, other
// patterns by the iterative wildcard match (linear in practice, never exponential).
// Changes are saved at once (ListFile: locked re-read, change, atomic replacement), and every list
// object notices a replaced file at its next Refresh. A damaged file -- cut short, a length beyond
// the bytes left, over a bound of AntispamLimits.h -- is never allocated and never changed: the list
// counts as absent (Loaded() false, matches nothing), with a Critical log line once per version.
// Thread safety: one object per thread; what it reads is an immutable snapshot shared by every list
// of the process on the same file, so readers never meet a list being changed.
#pragma once

#include "platform/DirStorage.h"
#include "platform/HResult.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::antispam {

inline constexpr std::string_view kFriendlySendersFileName = "GoodSenders.lst";
inline constexpr std::string_view kEnemySendersFileName = "BadSenders.lst";
inline constexpr std::string_view kNoRespondToFileName = "NoRespondTo.lst";

struct SenderEntry {
    std::string key;
    std::string name;
    friend bool operator==(const SenderEntry&, const SenderEntry&) = default;
};

// The key and display name a text stands for. A text with "*" or "?" is a pattern: its name is the
// text before the first "<" without quotes, its key what stands in the angle brackets (or the whole
// text without them), and when nothing stands before "<" the key is also the name. Any other text is
// an address with an optional display name, parsed as every address of the server is; its key is
// "local@domain" in lower case. An empty key: nothing to store or match.
SenderEntry NormaliseSender(std::string_view text);
// "*" any run of bytes, "?" one byte, everything else itself (case-sensitive).
bool WildcardMatch(std::string_view pattern, std::string_view text);

// The entries of a list file in file order (duplicates merged); nothing when the file is damaged.
std::optional<std::vector<SenderEntry>> ParseSendersFile(std::string_view bytes);
std::string SerialiseSendersFile(const std::vector<SenderEntry>& entries);
// `"NAME" <KEY>`, as enumerations show an entry.
std::string EntryText(const SenderEntry& entry);

class SendersList {
public:
    explicit SendersList(std::string fileName);
    virtual ~SendersList() = default;
    SendersList(const SendersList&) = delete;
    SendersList& operator=(const SendersList&) = delete;

    const std::string& FileName() const { return fileName_; }
    // Reads the list file of the store root `root`. S_OK also for a missing file (an empty list);
    // E_FAIL for a damaged one (the list stays absent); storage errors as they come.
    [[nodiscard]] HRESULT Load(const DirStorage& root);
    // True after a load that found a readable file (or none).
    bool Loaded() const;
    // Reads the file again when it was replaced since; returns Loaded().
    bool Refresh();

    std::size_t Count() const;
    // Does the address (or pattern) match an entry? Never for an absent list or an empty key.
    bool IsInList(std::string_view address) const;
    // S_OK added (an existing key gets the new name); S_FALSE nothing to add (an empty key);
    // E_INVALIDARG over a bound or with a control character; E_FAIL for a damaged file or a full list;
    // storage errors as they come (nothing is written then).
    [[nodiscard]] HRESULT Add(std::string_view text);
    // Several entries in one change of the file (each as Add).
    [[nodiscard]] HRESULT AddAll(const std::vector<std::string_view>& texts);
    // S_OK removed the entry whose key is exactly the normalised text; S_FALSE there was none.
    [[nodiscard]] HRESULT Remove(std::string_view text);
    // Enumeration over this object's own snapshot, taken by Reset.
    void Reset();
    // Up to `count` entries from the cursor on, as EntryText; fewer (none) at the end.
    std::vector<std::string> Next(std::size_t count);

    struct Snapshot;

private:
    [[nodiscard]] HRESULT Change(const std::vector<SenderEntry>& additions, const SenderEntry* removal);

    std::string fileName_;
    DirStorage root_;
    bool attached_ = false;
    std::shared_ptr<const Snapshot> current_;
    std::shared_ptr<const Snapshot> enumerated_;
    std::size_t cursor_ = 0;
};

class FriendlySendersList : public SendersList {
public:
    FriendlySendersList() : SendersList(std::string(kFriendlySendersFileName)) {}
};

class EnemySendersList : public SendersList {
public:
    EnemySendersList() : SendersList(std::string(kEnemySendersFileName)) {}
};

class NoRespondToList : public SendersList {
public:
    NoRespondToList() : SendersList(std::string(kNoRespondToFileName)) {}
    // The daemons, list servers and role accounts that never get an automatic reply, with their names.
    [[nodiscard]] HRESULT AddDefaults();
};

// The eight entries AddDefaults adds, in order.
extern const std::string_view kNoRespondDefaults[8];

}  // namespace pw::antispam
