// UidCounter: the locked folder counter and the stems of envelope files.
#include "store/UidCounter.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/Text.h"
#include "store/StoreTypes.h"

namespace pw::store {

namespace {

constexpr std::size_t kCounterSize = 8;

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

bool IsSoundCounter(double value) { return std::isfinite(value) && value >= 0 && value < kMaxUid && std::floor(value) == value; }

// Reads the counter of an open, locked "_uid"; nullopt-like false when it is damaged.
bool ReadCounter(FileStream& stream, double& value) {
    ElementInfo info;
    if (Failed(stream.Stat(info))) return false;
    if (info.size == 0) {
        value = 0;
        return true;
    }
    if (info.size != kCounterSize) return false;
    std::byte bytes[kCounterSize];
    if (Failed(stream.Seek(0, SeekOrigin::Begin)) || Failed(ReadExact(stream, bytes))) return false;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kCounterSize; ++i) bits |= std::to_integer<std::uint64_t>(bytes[i]) << (8 * i);
    value = std::bit_cast<double>(bits);
    return IsSoundCounter(value);
}

HRESULT WriteCounter(FileStream& stream, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    std::byte bytes[kCounterSize];
    for (std::size_t i = 0; i < kCounterSize; ++i) bytes[i] = static_cast<std::byte>(bits >> (8 * i));
    if (const HRESULT hr = stream.Seek(0, SeekOrigin::Begin); Failed(hr)) return hr;
    if (const HRESULT hr = stream.Write(std::span<const std::byte>(bytes, kCounterSize)); Failed(hr)) return hr;
    return stream.SetSize(kCounterSize);
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

// The next id of this process's reservation for the folder, when it still stands: the counter file
// is the same file and still holds at least the reservation's end (a counter set back by hand, or
// a folder removed and made again, drops it).
bool TakeReserved(const std::string& path, const Reservation& file, double counter, double floor, bool take, double& uid) {
    std::lock_guard guard(reservationsLock);
    const auto found = reservations.find(path);
    if (found == reservations.end()) return false;
    Reservation& held = found->second;
    if (held.owner != ::getpid() || held.device != file.device || held.inode != file.inode || counter < held.last) {
        reservations.erase(found);
        return false;
    }
    const double next = std::max(held.next, floor + 1);
    if (next > held.last) return false;
    uid = next;
    if (take) held.next = next + 1;
    return true;
}

void KeepReservation(const std::string& path, const Reservation& reservation) {
    std::lock_guard guard(reservationsLock);
    // Dropping reservations only leaves gaps in the ids; it keeps the table of a long-running
    // server with many folders small.
    if (reservations.size() >= kMaxUidReservations) reservations.clear();
    reservations[path] = reservation;
}

HRESULT Counter(const DirStorage& folder, double& uid, double floor, bool write) {
    std::unique_ptr<FileStream> stream;
    bool created = false;
    if (const HRESULT hr = OpenCounter(folder, stream, created); Failed(hr)) return hr;
    if (const HRESULT hr = stream->LockRegion(0, kCounterSize, true); Failed(hr)) return hr;
    Reservation fresh;
    const bool identified = FileIdentity(*stream, fresh.device, fresh.inode);
    double value = 0;
    // A counter that was missing is made empty, and an empty one reads as 0: neither may hand out
    // the ids of files already in the folder.
    const bool sound = ReadCounter(*stream, value) && value != 0;
    HRESULT hr = S_OK;
    if (!(sound && identified && TakeReserved(folder.Path(), fresh, value, floor, write, uid))) {
        if (!sound) value = HighestStoredUid(folder);
        value = std::max(value, floor) + 1;
        hr = value < kMaxUid ? S_OK : STG_E_MEDIUMFULL;
        if (Succeeded(hr) && write) {
            // A new block of ids: the counter records its end, on the disk, before any is used.
            fresh.last = std::min(value + (kUidReserveBlock - 1), kMaxUid - 1);
            fresh.next = value + 1;
            fresh.owner = ::getpid();
            hr = WriteCounter(*stream, fresh.last);
            if (Succeeded(hr)) hr = stream->Commit();
            if (Succeeded(hr) && created) hr = folder.Sync();
            if (Succeeded(hr) && identified) KeepReservation(folder.Path(), fresh);
        }
        if (Succeeded(hr)) uid = value;
    }
    if (Failed(stream->UnlockRegion(0, kCounterSize))) {
        // The range lock belongs to the open file description: closing it releases the lock all the same.
        stream.reset();
    }
    return hr;
}

}  // namespace

HRESULT RepairUidCounter(const DirStorage& folder) {
    std::unique_ptr<FileStream> stream;
    HRESULT hr = folder.CreateStream(kUidFileName, STGM_READWRITE | STGM_SHARE_DENY_NONE, stream);
    if (hr == STG_E_FILEALREADYEXISTS) return S_FALSE;
    if (Failed(hr)) return hr;
    if (hr = stream->LockRegion(0, kCounterSize, true); Failed(hr)) return hr;
    // A drawer that came first has written a value of its own: it stands.
    double value = 0;
    if (!ReadCounter(*stream, value) || value == 0) {
        hr = WriteCounter(*stream, HighestStoredUid(folder));
        if (Succeeded(hr)) hr = stream->Commit();
    }
    // Closing the stream releases its range lock whether or not the unlock went through.
    if (Failed(stream->UnlockRegion(0, kCounterSize))) stream.reset();
    if (Succeeded(hr)) hr = folder.Sync();
    return Succeeded(hr) ? S_OK : hr;
}

HRESULT DrawUid(const DirStorage& folder, double& uid, double floor) { return Counter(folder, uid, floor, true); }

HRESULT PeekUid(const DirStorage& folder, double& uid) { return Counter(folder, uid, 0, false); }

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
