// ConfigTreeFile: the binary file format of configuration and property trees (see ConfigTree.h).
#include "core/ConfigTree.h"

#include <bit>
#include <cstring>
#include <limits>

#include "platform/ClassRegistry.h"
#include "platform/Text.h"

namespace pw::core {

namespace {

constexpr std::uint32_t kFormatVersion = 1;
// The smallest record: key length, an empty key, a type and a one-byte value.
constexpr std::uint64_t kMinRecordSize = 4 + 2 + 1;

// Fixed-size types and their widths; 0 for the types written otherwise.
std::size_t FixedWidth(VarType type) {
    switch (type) {
    case VT_UI1:
    case VT_I1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE: return 8;
    default: return 0;
    }
}

bool IsObjectType(VarType type) { return type == VT_DISPATCH || type == VT_UNKNOWN; }

void PutLittleEndian(std::byte* out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::byte>(value >> (8 * i));
}

std::uint64_t GetLittleEndian(const std::byte* in, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::to_integer<std::uint64_t>(in[i]) << (8 * i);
    return value;
}

HRESULT WriteInteger(Stream& stream, std::uint64_t value, std::size_t width) {
    std::byte bytes[8];
    PutLittleEndian(bytes, value, width);
    return stream.Write(std::span<const std::byte>(bytes, width));
}

// The bit pattern a fixed-size value has in the file.
std::uint64_t FixedBits(const Variant& value) {
    switch (value.Type()) {
    case VT_R4: return std::bit_cast<std::uint32_t>(static_cast<float>(value.AsDouble()));
    case VT_R8:
    case VT_DATE: return std::bit_cast<std::uint64_t>(value.AsDouble());
    default: return static_cast<std::uint64_t>(value.AsInt64());
    }
}

Variant FixedValue(VarType type, std::uint64_t bits) {
    switch (type) {
    case VT_I1: return Variant::I1(static_cast<std::int8_t>(bits));
    case VT_UI1: return Variant::UI1(static_cast<std::uint8_t>(bits));
    case VT_I2: return Variant::I2(static_cast<std::int16_t>(bits));
    case VT_UI2: return Variant::UI2(static_cast<std::uint16_t>(bits));
    case VT_BOOL: return Variant::BoolBits(static_cast<std::int16_t>(bits));
    case VT_I4: return Variant::I4(static_cast<std::int32_t>(bits));
    case VT_INT: return Variant::Int(static_cast<std::int32_t>(bits));
    case VT_ERROR: return Variant::Error(static_cast<HRESULT>(bits));
    case VT_UI4: return Variant::UI4(static_cast<std::uint32_t>(bits));
    case VT_UINT: return Variant::UInt(static_cast<std::uint32_t>(bits));
    case VT_R4: return Variant::R4(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    case VT_I8: return Variant::I8(static_cast<std::int64_t>(bits));
    case VT_UI8: return Variant::UI8(bits);
    case VT_R8: return Variant::R8(std::bit_cast<double>(bits));
    case VT_CY: return Variant::Currency(static_cast<std::int64_t>(bits));
    case VT_DATE: return Variant::DateValue(std::bit_cast<double>(bits));
    default: return Variant();
    }
}

HRESULT WriteValue(Stream& stream, const Variant& value) {
    const VarType type = value.Type();
    if (const std::size_t width = FixedWidth(type)) return WriteInteger(stream, FixedBits(value), width);
    if (IsObjectType(type)) return SaveObject(value.AsObject(), stream);
    if (value.IsNullText() || type == VT_NULL) return WriteInteger(stream, 0, 4);
    std::string text;
    if (const HRESULT hr = value.ToText(text); Failed(hr)) return hr;
    std::vector<std::byte> bytes = Utf8ToUtf16Le(text);
    bytes.push_back(std::byte{0});
    bytes.push_back(std::byte{0});
    if (const HRESULT hr = WriteInteger(stream, bytes.size(), 4); Failed(hr)) return hr;
    return stream.Write(bytes);
}

// Reads a tree from a stream, never trusting a length before it has checked it against the bytes
// that are left.
class RecordReader {
public:
    explicit RecordReader(Stream& stream) : stream_(stream) {}

    HRESULT Start() { return stream_.Remaining(remaining_); }

    HRESULT Integer(std::size_t width, std::uint64_t& value) {
        std::byte bytes[8];
        if (const HRESULT hr = Bytes(std::span<std::byte>(bytes, width)); Failed(hr)) return hr;
        value = GetLittleEndian(bytes, width);
        return S_OK;
    }

    HRESULT Bytes(std::span<std::byte> out) {
        if (out.size() > remaining_) return STG_E_READFAULT;
        if (const HRESULT hr = ReadExact(stream_, out); Failed(hr)) return hr;
        remaining_ -= out.size();
        return S_OK;
    }

    HRESULT Text(std::uint64_t length, std::vector<std::byte>& out) {
        if (length > remaining_) return STG_E_READFAULT;
        out.resize(static_cast<std::size_t>(length));
        return Bytes(out);
    }

    HRESULT Object(std::shared_ptr<Unknown>& object) {
        if (const HRESULT hr = LoadObject(stream_, object); Failed(hr)) return hr;
        return stream_.Remaining(remaining_);  // the object read what it needed
    }

    // Every byte from the position to the end of the stream.
    HRESULT RestFrom(std::uint64_t position, std::vector<std::byte>& out) {
        if (const HRESULT hr = stream_.Seek(static_cast<std::int64_t>(position), SeekOrigin::Begin); Failed(hr)) {
            return hr;
        }
        if (const HRESULT hr = ReadToEnd(stream_, out); Failed(hr)) return hr;
        remaining_ = 0;
        return S_OK;
    }

    std::uint64_t Remaining() const { return remaining_; }

private:
    Stream& stream_;
    std::uint64_t remaining_ = 0;
};

HRESULT ReadValue(RecordReader& reader, VarType type, Variant& value) {
    if (const std::size_t width = FixedWidth(type)) {
        std::uint64_t bits = 0;
        if (const HRESULT hr = reader.Integer(width, bits); Failed(hr)) return hr;
        value = FixedValue(type, bits);
        return S_OK;
    }
    if (IsObjectType(type)) {
        std::shared_ptr<Unknown> object;
        if (const HRESULT hr = reader.Object(object); Failed(hr)) return hr;
        value = object ? Variant::Object(std::move(object), type) : Variant();
        return S_OK;
    }
    std::uint64_t byteCount = 0;
    if (const HRESULT hr = reader.Integer(4, byteCount); Failed(hr)) return hr;
    if (byteCount == 0) {
        if (type == VT_BSTR) value = Variant::NullText();
        else if (type == VT_NULL) value = Variant::Null();
        else return Variant::FromText(type, "", value);
        return S_OK;
    }
    if (byteCount % 2 != 0) return STG_E_READFAULT;
    std::vector<std::byte> bytes;
    if (const HRESULT hr = reader.Text(byteCount, bytes); Failed(hr)) return hr;
    std::span<const std::byte> text(bytes);
    if (text[text.size() - 1] == std::byte{0} && text[text.size() - 2] == std::byte{0}) {
        text = text.first(text.size() - 2);
    }
    return Variant::FromText(type, Utf16LeToUtf8(text), value);
}

}  // namespace

HRESULT ConfigTree::WriteTo(Stream& stream) const {
    std::lock_guard guard(lock_);
    const std::vector<Record> records = Records();
    const std::uint64_t count = records.size() + (unread_ ? unread_->records : 0);
    if (count > std::numeric_limits<std::uint32_t>::max()) return STG_E_MEDIUMFULL;
    if (const HRESULT hr = WriteInteger(stream, kFormatVersion, 4); Failed(hr)) return hr;
    if (const HRESULT hr = WriteInteger(stream, count, 4); Failed(hr)) return hr;
    for (const Record& record : records) {
        HRESULT hr = WriteInteger(stream, record.key.size(), 4);
        if (Succeeded(hr)) hr = stream.Write(record.key);
        if (Succeeded(hr)) hr = WriteInteger(stream, record.value.Type(), 2);
        if (Succeeded(hr)) hr = WriteValue(stream, record.value);
        if (Failed(hr)) return hr;
    }
    return unread_ ? stream.Write(unread_->bytes) : S_OK;
}

HRESULT ConfigTree::ReadFrom(Stream& stream, UnknownObjects unknown) {
    RecordReader reader(stream);
    std::uint64_t version = 0;
    std::uint64_t count = 0;
    HRESULT hr = reader.Start();
    if (Succeeded(hr)) hr = reader.Integer(4, version);
    if (Failed(hr)) return hr;
    if (version != kFormatVersion) return E_FAIL;
    if (const HRESULT countHr = reader.Integer(4, count); Failed(countHr)) return countHr;
    if (count > reader.Remaining() / kMinRecordSize) return STG_E_READFAULT;

    ConfigTree fresh;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t start = 0;
        std::uint64_t keyLength = 0;
        std::uint64_t type = 0;
        std::vector<std::byte> key;
        Variant value;
        hr = stream.Position(start);
        if (Succeeded(hr)) hr = reader.Integer(4, keyLength);
        if (Succeeded(hr)) hr = reader.Text(keyLength, key);
        if (Succeeded(hr)) hr = reader.Integer(2, type);
        if (Succeeded(hr)) hr = ReadValue(reader, static_cast<VarType>(type), value);
        const std::string_view keyText(reinterpret_cast<const char*>(key.data()), key.size());
        if (hr == REGDB_E_CLASSNOTREG && unknown == UnknownObjects::KeepUnread) {
            ConfigTree::UnreadPart unread{std::string(keyText), static_cast<std::uint32_t>(count - i), {}};
            if (const HRESULT rest = reader.RestFrom(start, unread.bytes); Failed(rest)) return rest;
            // Every record takes at least kMinRecordSize bytes: a part that claims more can not be a
            // file this format wrote.
            if (unread.records > unread.bytes.size() / kMinRecordSize) return STG_E_READFAULT;
            fresh.unread_ = std::move(unread);
            break;
        }
        if (Failed(hr)) return hr;
        if (!fresh.Set(keyText, std::move(value))) return STG_E_READFAULT;
    }

    std::lock_guard guard(lock_);
    std::swap(root_, fresh.root_);
    std::swap(count_, fresh.count_);
    std::swap(unread_, fresh.unread_);
    dirty_ = false;
    return S_OK;
}

}  // namespace pw::core
