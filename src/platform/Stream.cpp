// Stream: the shared read helpers and the in-memory stream.
#include "platform/Stream.h"

#include <algorithm>
#include <cstring>

namespace pw::platform {

HRESULT Stream::Remaining(std::uint64_t& remaining) {
    std::uint64_t position = 0;
    ElementInfo info;
    HRESULT hr = Position(position);
    if (Succeeded(hr)) hr = Stat(info);
    if (Failed(hr)) return hr;
    remaining = info.size > position ? info.size - position : 0;
    return S_OK;
}

HRESULT ReadExact(Stream& stream, std::span<std::byte> buffer) {
    while (!buffer.empty()) {
        std::size_t got = 0;
        const HRESULT hr = stream.Read(buffer, got);
        if (Failed(hr)) return hr;
        buffer = buffer.subspan(got);
    }
    return S_OK;
}

HRESULT ReadToEnd(Stream& stream, std::vector<std::byte>& out) {
    std::byte block[65536];
    for (;;) {
        std::size_t got = 0;
        const HRESULT hr = stream.Read(block, got);
        if (hr == STG_E_ENDOFFILE) return S_OK;
        if (Failed(hr)) return hr;
        out.insert(out.end(), block, block + got);
    }
}

HRESULT CopyStream(Stream& from, Stream& to, std::size_t blockSize) {
    std::vector<std::byte> block(std::max<std::size_t>(blockSize, 1));
    for (;;) {
        std::size_t got = 0;
        HRESULT hr = from.Read(block, got);
        if (hr == STG_E_ENDOFFILE) return S_OK;
        if (Failed(hr)) return hr;
        hr = to.Write(std::span<const std::byte>(block.data(), got));
        if (Failed(hr)) return hr;
    }
}

HRESULT MemoryStream::Read(std::span<std::byte> buffer, std::size_t& transferred) {
    transferred = 0;
    if (position_ >= bytes_.size() || buffer.empty()) return STG_E_ENDOFFILE;
    transferred = std::min(buffer.size(), bytes_.size() - position_);
    std::memcpy(buffer.data(), bytes_.data() + position_, transferred);
    position_ += transferred;
    return S_OK;
}

HRESULT MemoryStream::Write(std::span<const std::byte> data) {
    if (data.empty()) return S_OK;
    if (position_ + data.size() > bytes_.size()) bytes_.resize(position_ + data.size());
    std::memcpy(bytes_.data() + position_, data.data(), data.size());
    position_ += data.size();
    return S_OK;
}

HRESULT MemoryStream::Seek(std::int64_t offset, SeekOrigin origin, std::uint64_t* newPosition) {
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current) base = static_cast<std::int64_t>(position_);
    if (origin == SeekOrigin::End) base = static_cast<std::int64_t>(bytes_.size());
    const std::int64_t target = base + offset;
    if (target < 0) return STG_E_INVALIDPARAMETER;
    position_ = static_cast<std::size_t>(target);
    if (newPosition) *newPosition = position_;
    return S_OK;
}

HRESULT MemoryStream::SetSize(std::uint64_t size) {
    bytes_.resize(static_cast<std::size_t>(size));
    return S_OK;
}

HRESULT MemoryStream::Stat(ElementInfo& info) {
    info = ElementInfo{};
    info.size = bytes_.size();
    return S_OK;
}

}  // namespace pw::platform
