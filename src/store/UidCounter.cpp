// UidCounter: the locked folder counter and the stems of envelope files.
#include "store/UidCounter.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/Text.h"
#include "store/StoreTypes.h"

namespace pw::store {

namespace {

constexpr std::size_t kCounterSize = 8;

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

HRESULT TryOpenCounter(const DirStorage& folder, std::unique_ptr<FileStream>& stream) {
    HRESULT hr = folder.OpenStream(kUidFileName, STGM_READWRITE | STGM_SHARE_DENY_NONE, stream);
    // A folder made by hand, or one whose creation was cut short, gets its counter now; the value
    // comes from the files already there.
    if (hr == STG_E_FILENOTFOUND) {
        hr = folder.CreateStream(kUidFileName, STGM_READWRITE | STGM_SHARE_DENY_NONE, stream);
        if (hr == STG_E_FILEALREADYEXISTS) hr = folder.OpenStream(kUidFileName, STGM_READWRITE | STGM_SHARE_DENY_NONE, stream);
    }
    return hr;
}

// Every drawer opens "_uid" for writing, and such an open briefly probes the file's share lock, so two
// drawers opening at the same moment see a share violation that is gone a moment later.
HRESULT OpenCounter(const DirStorage& folder, std::unique_ptr<FileStream>& stream) {
    const auto deadline = std::chrono::steady_clock::now() + kStoreLockBound;
    for (;;) {
        const HRESULT hr = TryOpenCounter(folder, stream);
        if (hr != STG_E_SHAREVIOLATION || std::chrono::steady_clock::now() >= deadline) return hr;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

HRESULT Counter(const DirStorage& folder, double& uid, double floor, bool write) {
    std::unique_ptr<FileStream> stream;
    if (const HRESULT hr = OpenCounter(folder, stream); Failed(hr)) return hr;
    if (const HRESULT hr = stream->LockRegion(0, kCounterSize, true); Failed(hr)) return hr;
    double value = 0;
    // A counter that was missing is made empty, and an empty one reads as 0: neither may hand out
    // the ids of files already in the folder.
    if (!ReadCounter(*stream, value) || value == 0) value = HighestStoredUid(folder);
    value = std::max(value, floor) + 1;
    HRESULT hr = value < kMaxUid ? S_OK : STG_E_MEDIUMFULL;
    if (Succeeded(hr) && write) hr = WriteCounter(*stream, value);
    if (Failed(stream->UnlockRegion(0, kCounterSize))) {
        // The range lock belongs to the open file description: closing it releases the lock all the same.
        stream.reset();
    }
    if (Succeeded(hr)) uid = value;
    return hr;
}

}  // namespace

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
