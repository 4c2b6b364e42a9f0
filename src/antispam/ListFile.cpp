// ListFile: reading, identifying and replacing the files of the lists and filters (see ListFile.h).
#include "antispam/ListFile.h"

#include "antispam/AntispamLimits.h"
#include "platform/Stream.h"

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

namespace pw::antispam {

namespace {

FileIdentity IdentityOf(const ElementInfo& info) { return {true, info.inode, info.size, info.modified}; }

}  // namespace

HRESULT IdentifyListFile(const DirStorage& dir, std::string_view name, FileIdentity& identity) {
    identity = {};
    ElementInfo info;
    const HRESULT hr = dir.StatElement(name, info);
    if (hr == STG_E_FILENOTFOUND) return S_OK;
    if (Failed(hr)) return hr;
    identity = IdentityOf(info);
    return S_OK;
}

HRESULT ReadListFile(const DirStorage& dir, std::string_view name, std::size_t maxBytes, std::string& bytes,
                     FileIdentity& identity) {
    bytes.clear();
    identity = {};
    std::unique_ptr<FileStream> stream;
    HRESULT hr = dir.OpenStream(name, STGM_READ | STGM_SHARE_DENY_NONE, stream);
    if (hr == STG_E_FILENOTFOUND) return S_OK;
    if (Failed(hr)) return hr;
    ElementInfo info;
    if (hr = stream->Stat(info); Failed(hr)) return hr;
    if (info.size > maxBytes) return STG_E_INSUFFICIENTMEMORY;
    std::vector<std::byte> content;
    if (hr = ReadToEnd(*stream, content); Failed(hr)) return hr;
    if (content.size() > maxBytes) return STG_E_INSUFFICIENTMEMORY;  // grew while read
    bytes.assign(reinterpret_cast<const char*>(content.data()), content.size());
    identity = IdentityOf(info);
    return S_OK;
}

HRESULT ChangeListFile(const DirStorage& dir, std::string_view name, std::size_t maxBytes,
                       const std::function<HRESULT(std::string&)>& change) {
    StorageLock lock;
    if (const HRESULT hr = dir.LockSelf(kListLockBound, lock); Failed(hr)) return hr;
    std::string bytes;
    FileIdentity identity;
    if (const HRESULT hr = ReadListFile(dir, name, maxBytes, bytes, identity); Failed(hr)) return hr;
    if (const HRESULT hr = change(bytes); hr != S_OK) return hr;
    return dir.ReplaceStream(name, std::as_bytes(std::span(bytes.data(), bytes.size())));
}

void AppendU32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendBytes(std::string& out, std::string_view bytes) {
    AppendU32(out, static_cast<std::uint32_t>(bytes.size()));
    out.append(bytes);
}

void AppendDouble(std::string& out, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

std::optional<std::uint32_t> RecordReader::U32() {
    if (rest_.size() < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(rest_[static_cast<std::size_t>(i)]);
    rest_.remove_prefix(4);
    return value;
}

std::optional<double> RecordReader::Double() {
    if (rest_.size() < 8) return std::nullopt;
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(rest_[static_cast<std::size_t>(i)]);
    rest_.remove_prefix(8);
    return std::bit_cast<double>(bits);
}

std::optional<std::string_view> RecordReader::Bytes(std::size_t limit) {
    if (rest_.size() < 4) return std::nullopt;
    RecordReader probe(rest_);
    const std::uint32_t length = *probe.U32();
    if (length > limit || length > probe.Left()) return std::nullopt;
    const std::string_view field = rest_.substr(4, length);
    rest_.remove_prefix(4 + std::size_t{length});
    return field;
}

}  // namespace pw::antispam
