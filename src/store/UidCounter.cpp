// UidCounter: the locked folder counter and the stems of envelope files.
#include "store/UidCounter.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "core/Logging.h"
#include "platform/Text.h"
#include "store/StoreTypes.h"

namespace pw::store {

namespace {

// The counter alone; with the last published id after it.
constexpr std::size_t kCounterSize = 8;
constexpr std::size_t kRecordedSize = 16;
// How often a draw starts again after the highest stem because the id it drew was taken.
constexpr int kDrawAttempts = 3;

// The ids of one folder this process has reserved and not handed out yet: next..last. The counter
// file holds last (written through to the disk before the first of them was handed out), so a
// counter read after a power loss never lies below an id that was used. The file's identity tells a
// folder made again under the same path from the one the ids were reserved in.
// A child made by fork inherits the table but not the reservations: they stay its parent's.
struct Reservation {
    double next = 0;
    double last = 0;
    dev_t device = 0;
    ino_t inode = 0;
    pid_t owner = 0;
};

std::mutex reservationsLock;
std::unordered_map<std::string, Reservation> reservations;

bool FileIdentity(const FileStream& stream, dev_t& device, ino_t& inode) {
    struct stat info {};
    if (::fstat(stream.Descriptor(), &info) != 0) return false;
    device = info.st_dev;
    inode = info.st_ino;
    return true;
}

bool IsSoundId(double value) { return std::isfinite(value) && value >= 0 && value < kMaxUid && std::floor(value) == value; }

// What "_uid" holds.
struct CounterImage {
    double counter = 0;
    double lastPublished = 0;
    bool recorded = false;  // the file holds a last published id
    // The file's length as last read or written: a write of the same length needs no truncation,
    // which costs a journal entry of its own.
    std::uint64_t fileSize = UINT64_MAX;
};

double DecodeDouble(const std::byte* bytes) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 8; ++i) bits |= std::to_integer<std::uint64_t>(bytes[i]) << (8 * i);
    return std::bit_cast<double>(bits);
}

void EncodeDouble(double value, std::byte* bytes) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::byte>(bits >> (8 * i));
}

// Reads an open, locked "_uid"; false when it is damaged.
bool ReadCounter(FileStream& stream, CounterImage& image) {
    image = CounterImage{};
    ElementInfo info;
    if (Failed(stream.Stat(info))) return false;
    image.fileSize = info.size;
    if (info.size == 0) return true;
    if (info.size != kCounterSize && info.size != kRecordedSize) return false;
    std::byte bytes[kRecordedSize];
    const std::span<std::byte> wanted(bytes, static_cast<std::size_t>(info.size));
    if (Failed(stream.Seek(0, SeekOrigin::Begin)) || Failed(ReadExact(stream, wanted))) return false;
    image.counter = DecodeDouble(bytes);
    if (info.size == kRecordedSize) {
        image.lastPublished = DecodeDouble(bytes + kCounterSize);
        image.recorded = true;
        // A last published id beyond the counter was never handed out by it.
        if (!IsSoundId(image.lastPublished) || image.lastPublished > image.counter) return false;
    }
    return IsSoundId(image.counter);
}

HRESULT WriteCounter(FileStream& stream, CounterImage& image) {
    std::byte bytes[kRecordedSize];
    EncodeDouble(image.counter, bytes);
    EncodeDouble(image.lastPublished, bytes + kCounterSize);
    const std::size_t size = image.recorded ? kRecordedSize : kCounterSize;
    if (const HRESULT hr = stream.Seek(0, SeekOrigin::Begin); Failed(hr)) return hr;
    if (const HRESULT hr = stream.Write(std::span<const std::byte>(bytes, size)); Failed(hr)) {
        image.fileSize = UINT64_MAX;  // a write cut short may have lengthened it
        return hr;
    }
    if (image.fileSize > size) {
        if (const HRESULT hr = stream.SetSize(size); Failed(hr)) {
            image.fileSize = UINT64_MAX;
            return hr;
        }
    }
    image.fileSize = size;
    return S_OK;
}

HRESULT TryOpenCounter(const DirStorage& folder, std::unique_ptr<FileStream>& stream, bool& created) {
    created = false;
    HRESULT hr = folder.OpenStream(kUidFileName, STGM_READWRITE | STGM_SHARE_DENY_NONE, stream);
    // A folder made by hand, or one whose creation was cut short, gets its counter now; the value
    // comes from the files already there.
    if (hr == STG_E_FILENOTFOUND) {
        hr = folder.CreateStream(kUidFileName, STGM_READWRITE | STGM_SHARE_DENY_NONE, stream);
        created = Succeeded(hr);
        if (hr == STG_E_FILEALREADYEXISTS) hr = folder.OpenStream(kUidFileName, STGM_READWRITE | STGM_SHARE_DENY_NONE, stream);
    }
    return hr;
}

// Every drawer opens "_uid" for writing, and such an open briefly probes the file's share lock, so two
// drawers opening at the same moment see a share violation that is gone a moment later.
HRESULT OpenCounter(const DirStorage& folder, std::unique_ptr<FileStream>& stream, bool& created) {
    const auto deadline = std::chrono::steady_clock::now() + kStoreLockBound;
    for (;;) {
        const HRESULT hr = TryOpenCounter(folder, stream, created);
        if (hr != STG_E_SHAREVIOLATION || std::chrono::steady_clock::now() >= deadline) return hr;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The open counter of a folder with its lock held; closing it (or Release) lets the next drawer in.
class LockedCounter {
public:
    HRESULT Open(const DirStorage& folder) {
        if (const HRESULT hr = OpenCounter(folder, stream_, created_); Failed(hr)) return hr;
        if (const HRESULT hr = stream_->LockRegion(0, kCounterSize, true); Failed(hr)) return hr;
        locked_ = true;
        identified_ = FileIdentity(*stream_, device_, inode_);
        sound_ = ReadCounter(*stream_, image_);
        return S_OK;
    }
    ~LockedCounter() { Release(); }
    LockedCounter() = default;
    LockedCounter(const LockedCounter&) = delete;
    LockedCounter& operator=(const LockedCounter&) = delete;

    void Release() {
        // The range lock belongs to the open file description: closing it releases the lock all the same.
        if (locked_ && Failed(stream_->UnlockRegion(0, kCounterSize))) stream_.reset();
        locked_ = false;
        stream_.reset();
    }

    FileStream& Stream() { return *stream_; }
    CounterImage& Image() { return image_; }
    // A counter that was missing is made empty, and an empty one reads as 0: neither may hand out the
    // ids of files already in the folder. One that records a last published id stands as it is, 0 too.
    bool Trusted() const { return sound_ && (image_.counter != 0 || image_.recorded); }
    bool Created() const { return created_; }
    bool Identified() const { return identified_; }
    dev_t Device() const { return device_; }
    ino_t Inode() const { return inode_; }

private:
    std::unique_ptr<FileStream> stream_;
    CounterImage image_;
    bool locked_ = false;
    bool created_ = false;
    bool sound_ = false;
    bool identified_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// The next id of this process's reservation for the folder, when it still stands: the counter file
// is the same file and still holds exactly the reservation's end. A counter moved on by another
// process (or set back by hand, or a folder made again) drops it, so that no id is handed out below
// one another process published.
bool TakeReserved(const std::string& path, LockedCounter& counter, double floor, double& uid) {
    std::lock_guard guard(reservationsLock);
    const auto found = reservations.find(path);
    if (found == reservations.end()) return false;
    Reservation& held = found->second;
    if (held.owner != ::getpid() || held.device != counter.Device() || held.inode != counter.Inode() ||
        counter.Image().counter != held.last) {
        reservations.erase(found);
        return false;
    }
    const double next = std::max({held.next, floor + 1, counter.Image().lastPublished + 1});
    if (next > held.last) return false;
    uid = next;
    held.next = next + 1;
    return true;
}

void KeepReservation(const std::string& path, const Reservation& reservation) {
    std::lock_guard guard(reservationsLock);
    // Dropping reservations only leaves gaps in the ids; it keeps the table of a long-running
    // server with many folders small.
    if (reservations.size() >= kMaxUidReservations) reservations.clear();
    reservations[path] = reservation;
}

// Draws an id from a locked counter: from the process's reservation, or from a new block whose end is
// on the disk before the id is used.
HRESULT DrawLocked(const DirStorage& folder, LockedCounter& counter, double floor, double& uid) {
    CounterImage& image = counter.Image();
    if (counter.Trusted() && counter.Identified() && TakeReserved(folder.Path(), counter, floor, uid)) return S_OK;
    if (!counter.Trusted()) {
        image.counter = HighestStoredUid(folder);
        image.recorded = false;  // a counter started again knows nothing of what was published
    }
    const double value = std::max(image.counter, floor) + 1;
    if (value >= kMaxUid) return STG_E_MEDIUMFULL;
    Reservation fresh{value + 1, std::min(value + (kUidReserveBlock - 1), kMaxUid - 1), counter.Device(), counter.Inode(), ::getpid()};
    image.counter = fresh.last;
    HRESULT hr = WriteCounter(counter.Stream(), image);
    if (Succeeded(hr)) hr = counter.Stream().Commit();
    if (Succeeded(hr) && counter.Created()) hr = folder.Sync();
    if (Failed(hr)) return hr;
    if (counter.Identified()) KeepReservation(folder.Path(), fresh);
    uid = value;
    return S_OK;
}

}  // namespace

HRESULT RepairUidCounter(const DirStorage& folder) {
    std::unique_ptr<FileStream> stream;
    HRESULT hr = folder.CreateStream(kUidFileName, STGM_READWRITE | STGM_SHARE_DENY_NONE, stream);
    if (hr == STG_E_FILEALREADYEXISTS) return S_FALSE;
    if (Failed(hr)) return hr;
    if (hr = stream->LockRegion(0, kCounterSize, true); Failed(hr)) return hr;
    // A drawer that came first has written a value of its own: it stands.
    CounterImage image;
    if (!ReadCounter(*stream, image) || image.counter == 0) {
        CounterImage fresh{HighestStoredUid(folder), 0, false, image.fileSize};
        hr = WriteCounter(*stream, fresh);
        if (Succeeded(hr)) hr = stream->Commit();
    }
    // Closing the stream releases its range lock whether or not the unlock went through.
    if (Failed(stream->UnlockRegion(0, kCounterSize))) stream.reset();
    if (Succeeded(hr)) hr = folder.Sync();
    return Succeeded(hr) ? S_OK : hr;
}

HRESULT PublishWithUid(const DirStorage& folder, const std::function<HRESULT(double uid)>& place, double& uid) {
    LockedCounter counter;
    if (const HRESULT hr = counter.Open(folder); Failed(hr)) return hr;
    double floor = 0;
    for (int attempt = 0; attempt < kDrawAttempts; ++attempt) {
        double drawn = 0;
        if (const HRESULT hr = DrawLocked(folder, counter, floor, drawn); Failed(hr)) return hr;
        const HRESULT placed = place(drawn);
        if (placed == STG_E_ALREADYEXISTS || placed == STG_E_FILEALREADYEXISTS) {
            core::Log(core::LogLevelWarning, "The id counter of " + folder.Path() + " is behind its envelopes; it starts again after them");
            floor = HighestStoredUid(folder);
            continue;
        }
        if (Failed(placed)) return placed;
        // Unflushed: after a power loss the counter's flushed block end still lies above every id used.
        CounterImage& image = counter.Image();
        image.lastPublished = std::max(image.recorded ? image.lastPublished : 0, drawn);
        image.recorded = true;
        uid = drawn;
        // The envelope is in place whatever becomes of the record of it: a counter left behind is
        // caught up by the next draw.
        (void)WriteCounter(counter.Stream(), image);
        return S_OK;
    }
    return STG_E_FILEALREADYEXISTS;
}

HRESULT DrawUid(const DirStorage& folder, double& uid, double floor) {
    LockedCounter counter;
    if (const HRESULT hr = counter.Open(folder); Failed(hr)) return hr;
    double drawn = 0;
    if (const HRESULT hr = DrawLocked(folder, counter, floor, drawn); Failed(hr)) return hr;
    counter.Image().lastPublished = std::max(counter.Image().lastPublished, drawn);
    counter.Image().recorded = true;
    if (const HRESULT hr = WriteCounter(counter.Stream(), counter.Image()); Failed(hr)) return hr;
    uid = drawn;
    return S_OK;
}

HRESULT LastPublishedUid(const DirStorage& folder, double& last, bool& recorded) {
    LockedCounter counter;
    if (const HRESULT hr = counter.Open(folder); Failed(hr)) return hr;
    const CounterImage& image = counter.Image();
    recorded = counter.Trusted() && image.recorded;
    last = recorded ? image.lastPublished : counter.Trusted() ? image.counter : HighestStoredUid(folder);
    return S_OK;
}

HRESULT PeekUid(const DirStorage& folder, double& uid) {
    double last = 0;
    bool recorded = false;
    if (const HRESULT hr = LastPublishedUid(folder, last, recorded); Failed(hr)) return hr;
    uid = last + 1;
    return S_OK;
}

HRESULT RecordLastPublished(const DirStorage& folder) {
    LockedCounter counter;
    if (const HRESULT hr = counter.Open(folder); Failed(hr)) return hr;
    CounterImage& image = counter.Image();
    if (counter.Trusted() && image.recorded) return S_FALSE;
    if (!counter.Trusted()) image.counter = HighestStoredUid(folder);
    image.lastPublished = image.counter;
    image.recorded = true;
    HRESULT hr = WriteCounter(counter.Stream(), image);
    if (Succeeded(hr)) hr = counter.Stream().Commit();
    return hr;
}

std::string UidStem(double uid) {
    char stem[32];
    std::snprintf(stem, sizeof stem, "%07llX", static_cast<unsigned long long>(uid));
    return stem;
}

bool UidFromStem(std::string_view stem, double& uid) {
    if (stem.empty() || stem.size() > 16) return false;
    std::uint64_t value = 0;
    for (const char c : stem) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) return false;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    uid = static_cast<double>(value);
    return true;
}

double HighestStoredUid(const DirStorage& folder) {
    std::vector<ElementInfo> elements;
    double highest = 0;
    if (Failed(folder.Enumerate("*", elements))) return highest;
    for (const auto& element : elements) {
        const std::string_view name = element.name;
        if (element.isDirectory || name.size() <= 4) continue;
        const std::string_view extension = name.substr(name.size() - 4);
        if (!EqualsNoCase(extension, kRecordExtension) && !EqualsNoCase(extension, kContentExtension)) continue;
        double uid = 0;
        if (UidFromStem(name.substr(0, name.size() - 4), uid) && uid < kMaxUid) highest = std::max(highest, uid);
    }
    return highest;
}

}  // namespace pw::store
