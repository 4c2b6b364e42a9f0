// Recipients: the list and its record.
#include "store/Recipients.h"

#include <algorithm>
#include <stdexcept>

#include "platform/Text.h"

namespace pw::store {

namespace {

constexpr std::size_t kTerminator = 2;

HRESULT WriteU32(Stream& stream, std::uint32_t value) {
    const std::byte bytes[4] = {static_cast<std::byte>(value), static_cast<std::byte>(value >> 8),
                                static_cast<std::byte>(value >> 16), static_cast<std::byte>(value >> 24)};
    return stream.Write(std::span<const std::byte>(bytes, 4));
}

HRESULT ReadU32(Stream& stream, std::uint32_t& value) {
    std::byte bytes[4];
    if (const HRESULT hr = ReadExact(stream, bytes); Failed(hr)) return hr;
    value = 0;
    for (int i = 0; i < 4; ++i) value |= std::to_integer<std::uint32_t>(bytes[i]) << (8 * i);
    return S_OK;
}

}  // namespace

bool Recipients::Remove(std::string_view address) {
    const auto removed = std::erase_if(addresses_, [&](const std::string& entry) { return EqualsNoCase(entry, address); });
    return removed != 0;
}

void Recipients::RemoveAt(std::size_t index) {
    if (index >= addresses_.size()) throw std::out_of_range("recipient index");
    addresses_.erase(addresses_.begin() + static_cast<std::ptrdiff_t>(index));
}

HRESULT Recipients::Save(Stream& stream) const {
    if (const HRESULT hr = WriteU32(stream, static_cast<std::uint32_t>(addresses_.size())); Failed(hr)) return hr;
    for (const auto& address : addresses_) {
        std::vector<std::byte> text = Utf8ToUtf16Le(address);
        text.resize(text.size() + kTerminator, std::byte{0});
        if (const HRESULT hr = WriteU32(stream, static_cast<std::uint32_t>(text.size())); Failed(hr)) return hr;
        if (const HRESULT hr = stream.Write(text); Failed(hr)) return hr;
    }
    return S_OK;
}

HRESULT Recipients::Load(Stream& stream) {
    std::uint64_t remaining = 0;
    if (const HRESULT hr = stream.Remaining(remaining); Failed(hr)) return hr;
    std::uint32_t count = 0;
    if (const HRESULT hr = ReadU32(stream, count); Failed(hr)) return hr;
    remaining -= 4;
    // Every entry takes at least its four-byte length.
    if (count > remaining / 4) return STG_E_READFAULT;
    std::vector<std::string> loaded;
    loaded.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t size = 0;
        if (const HRESULT hr = ReadU32(stream, size); Failed(hr)) return hr;
        remaining -= 4;
        if (size > remaining) return STG_E_READFAULT;
        std::vector<std::byte> text(size);
        if (const HRESULT hr = ReadExact(stream, text); Failed(hr)) return hr;
        remaining -= size;
        // The terminator and anything after it are not part of the address.
        std::size_t length = 0;
        while (length + 1 < text.size() && (text[length] != std::byte{0} || text[length + 1] != std::byte{0})) length += 2;
        loaded.push_back(Utf16LeToUtf8(std::span(text).first(std::min(length, text.size()))));
    }
    addresses_ = std::move(loaded);
    return S_OK;
}

}  // namespace pw::store
