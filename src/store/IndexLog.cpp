// IndexLog: the folder index's byte format.
#include "store/IndexLog.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace pw::store {
namespace {

constexpr char kMagic[4] = {'P', 'W', 'I', 'X'};
constexpr std::string_view kIndexedPrefixes[] = {"_ImapFlags", "_ImapKeywords"};

bool IsIntegerType(VarType type) {
    switch (type) {
        case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
        case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
            return true;
        default:
            return false;
    }
}

void Put(std::vector<std::byte>& out, const void* data, std::size_t size) {
    // Grown, then copied: GCC 12 at -O3 takes an insert into an empty vector for an overflow.
    if (size == 0) return;
    const std::size_t at = out.size();
    out.resize(at + size);
    std::memcpy(out.data() + at, data, size);
}

template <typename T>
void PutInt(std::vector<std::byte>& out, T value) {
    // Little-endian whatever the host: the file moves between machines with the store.
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::byte>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xff));
}

void PutDouble(std::vector<std::byte>& out, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    PutInt(out, bits);
}

// Reads a payload; every read checks what is left, and any shortfall fails the record.
class Reader {
public:
    explicit Reader(std::span<const std::byte> bytes) : bytes_(bytes) {}
    bool Ok() const { return ok_; }
    bool AtEnd() const { return at_ == bytes_.size(); }

    template <typename T>
    T Int() {
        if (!Need(sizeof(T))) return T{};
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<std::uint64_t>(bytes_[at_ + i]) << (8 * i);
        at_ += sizeof(T);
        return static_cast<T>(value);
    }
    double Double() {
        const auto bits = Int<std::uint64_t>();
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    std::string Text(std::size_t size) {
        if (!Need(size)) return {};
        std::string text(reinterpret_cast<const char*>(bytes_.data() + at_), size);
        at_ += size;
        return text;
    }

private:
    bool Need(std::size_t size) {
        if (!ok_ || bytes_.size() - at_ < size) ok_ = false;
        return ok_;
    }

    std::span<const std::byte> bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

void PutProperties(std::vector<std::byte>& out, const IndexedProperties& properties) {
    PutInt(out, static_cast<std::uint16_t>(properties.size()));
    for (const IndexedProperty& property : properties) {
        PutInt(out, static_cast<std::uint16_t>(property.key.size()));
        Put(out, property.key.data(), property.key.size());
        if (property.value.IsText()) {
            const std::string& text = property.value.AsText();
            out.push_back(std::byte{'t'});
            PutInt(out, static_cast<std::uint32_t>(text.size()));
            Put(out, text.data(), text.size());
        } else {
            out.push_back(std::byte{'i'});
            PutInt(out, property.value.AsInt64());
        }
    }
}

bool ReadProperties(Reader& reader, IndexedProperties& properties) {
    const auto count = reader.Int<std::uint16_t>();
    for (std::uint16_t i = 0; reader.Ok() && i < count; ++i) {
        IndexedProperty property;
        property.key = reader.Text(reader.Int<std::uint16_t>());
        const auto kind = reader.Int<std::uint8_t>();
        if (kind == 't') {
            property.value = Variant::Text(reader.Text(reader.Int<std::uint32_t>()));
        } else if (kind == 'i') {
            property.value = Variant::I8(reader.Int<std::int64_t>());
        } else {
            return false;
        }
        properties.push_back(std::move(property));
    }
    return reader.Ok();
}

std::uint32_t Crc(std::span<const std::byte> bytes) {
    return static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

bool ParsePayload(std::span<const std::byte> payload, IndexRecord& record) {
    Reader reader(payload);
    record.kind = static_cast<IndexRecordKind>(reader.Int<std::uint8_t>());
    switch (record.kind) {
        case IndexRecordKind::Message:
        case IndexRecordKind::Pending:
            record.uid = reader.Int<std::uint32_t>();
            record.size = reader.Int<std::uint64_t>();
            record.date = reader.Double();
            record.inode = reader.Int<std::uint64_t>();
            record.modseq = reader.Int<std::uint64_t>();
            if (!ReadProperties(reader, record.properties)) return false;
            break;
        case IndexRecordKind::Written:
            record.uid = reader.Int<std::uint32_t>();
            record.inode = reader.Int<std::uint64_t>();
            break;
        case IndexRecordKind::Removed:
            record.uid = reader.Int<std::uint32_t>();
            record.modseq = reader.Int<std::uint64_t>();
            break;
        case IndexRecordKind::Folder: {
            record.modseq = reader.Int<std::uint64_t>();
            record.vanishedFloor = reader.Int<std::uint64_t>();
            const auto count = reader.Int<std::uint32_t>();
            if (count > payload.size() / 16) return false;
            for (std::uint32_t i = 0; reader.Ok() && i < count; ++i) {
                VanishedRange range;
                range.first = reader.Int<std::uint32_t>();
                range.last = reader.Int<std::uint32_t>();
                range.modseq = reader.Int<std::uint64_t>();
                if (range.first > range.last) return false;
                record.vanished.push_back(range);
            }
            break;
        }
        case IndexRecordKind::Recent:
            record.key = reader.Text(reader.Int<std::uint16_t>());
            record.uid = reader.Int<std::uint32_t>();
            break;
        case IndexRecordKind::Intent: {
            const auto count = reader.Int<std::uint32_t>();
            if (count > payload.size() / 4) return false;
            for (std::uint32_t i = 0; reader.Ok() && i < count; ++i) record.uids.push_back(reader.Int<std::uint32_t>());
            break;
        }
        case IndexRecordKind::Done:
            record.modified = reader.Int<std::int64_t>();
            record.changed = reader.Int<std::int64_t>();
            break;
        default:
            return false;
    }
    return reader.Ok() && reader.AtEnd();
}

}  // namespace

bool IndexedProperty::operator==(const IndexedProperty& other) const { return key == other.key && value == other.value; }

bool IsIndexedKey(std::string_view key) {
    for (const std::string_view prefix : kIndexedPrefixes) {
        if (key.size() >= prefix.size() && EqualsNoCase(key.substr(0, prefix.size()), prefix) &&
            (key.size() == prefix.size() || key[prefix.size()] == ':')) {
            return true;
        }
    }
    return false;
}

IndexedProperties IndexedPropertiesOf(const Properties& properties) {
    IndexedProperties indexed;
    for (const core::ConfigTree::Record& record : properties.Tree().Records()) {
        if (!IsIndexedKey(record.key)) continue;
        if (IsIntegerType(record.value.Type())) {
            indexed.push_back({record.key, Variant::I8(record.value.AsInt64())});
        } else if (record.value.IsText() && !record.value.IsNullText()) {
            indexed.push_back({record.key, Variant::Text(record.value.AsText())});
        }
    }
    std::sort(indexed.begin(), indexed.end(), [](const IndexedProperty& a, const IndexedProperty& b) { return a.key < b.key; });
    return indexed;
}

void ApplyIndexed(Properties& properties, const IndexedProperties& indexed) {
    std::vector<std::string> stale;
    for (const core::ConfigTree::Record& record : properties.Tree().Records()) {
        if (!IsIndexedKey(record.key)) continue;
        const bool kept = std::any_of(indexed.begin(), indexed.end(), [&](const IndexedProperty& p) { return EqualsNoCase(p.key, record.key); });
        if (!kept) stale.push_back(record.key);
    }
    for (const std::string& key : stale) properties.Remove(key);
    for (const IndexedProperty& property : indexed) {
        if (property.value.IsText()) {
            properties.SetItem(property.key, property.value);
        } else {
            properties.SetItem(property.key, Variant::UI2(static_cast<std::uint16_t>(property.value.AsInt64())));
        }
    }
}

std::vector<std::byte> IndexHeader(std::uint64_t folderInode) {
    std::vector<std::byte> header;
    Put(header, kMagic, sizeof kMagic);
    PutInt(header, kIndexVersion);
    PutInt(header, folderInode);
    return header;
}

bool IsIndexHeader(std::span<const std::byte> bytes, std::uint64_t folderInode) {
    if (bytes.size() < kIndexHeaderSize) return false;
    const std::vector<std::byte> expected = IndexHeader(folderInode);
    return std::equal(expected.begin(), expected.end(), bytes.begin());
}

void AppendIndexRecord(std::vector<std::byte>& out, const IndexRecord& record) {
    std::vector<std::byte> payload;
    payload.push_back(static_cast<std::byte>(record.kind));
    switch (record.kind) {
        case IndexRecordKind::Message:
        case IndexRecordKind::Pending:
            PutInt(payload, record.uid);
            PutInt(payload, record.size);
            PutDouble(payload, record.date);
            PutInt(payload, record.inode);
            PutInt(payload, record.modseq);
            PutProperties(payload, record.properties);
            break;
        case IndexRecordKind::Written:
            PutInt(payload, record.uid);
            PutInt(payload, record.inode);
            break;
        case IndexRecordKind::Removed:
            PutInt(payload, record.uid);
            PutInt(payload, record.modseq);
            break;
        case IndexRecordKind::Folder:
            PutInt(payload, record.modseq);
            PutInt(payload, record.vanishedFloor);
            PutInt(payload, static_cast<std::uint32_t>(record.vanished.size()));
            for (const VanishedRange& range : record.vanished) {
                PutInt(payload, range.first);
                PutInt(payload, range.last);
                PutInt(payload, range.modseq);
            }
            break;
        case IndexRecordKind::Recent:
            PutInt(payload, static_cast<std::uint16_t>(record.key.size()));
            Put(payload, record.key.data(), record.key.size());
            PutInt(payload, record.uid);
            break;
        case IndexRecordKind::Intent:
            PutInt(payload, static_cast<std::uint32_t>(record.uids.size()));
            for (const std::uint32_t uid : record.uids) PutInt(payload, uid);
            break;
        case IndexRecordKind::Done:
            PutInt(payload, record.modified);
            PutInt(payload, record.changed);
            break;
    }
    PutInt(out, static_cast<std::uint32_t>(payload.size()));
    PutInt(out, Crc(payload));
    out.insert(out.end(), payload.begin(), payload.end());
}

ParsedIndex ParseIndexRecords(std::span<const std::byte> bytes, std::size_t offset) {
    ParsedIndex parsed;
    parsed.end = std::min(offset, bytes.size());
    while (bytes.size() - parsed.end >= kIndexRecordOverhead) {
        Reader head(bytes.subspan(parsed.end, kIndexRecordOverhead));
        const auto length = head.Int<std::uint32_t>();
        const auto crc = head.Int<std::uint32_t>();
        if (length == 0 || length > kMaxIndexRecord || bytes.size() - parsed.end - kIndexRecordOverhead < length) break;
        const auto payload = bytes.subspan(parsed.end + kIndexRecordOverhead, length);
        IndexRecord record;
        if (Crc(payload) != crc || !ParsePayload(payload, record)) break;
        parsed.records.push_back(std::move(record));
        parsed.end += kIndexRecordOverhead + length;
        parsed.ends.push_back(parsed.end);
    }
    parsed.torn = parsed.end != bytes.size();
    return parsed;
}

bool IsIndexStart(std::span<const std::byte> bytes, std::uint64_t folderInode) {
    if (!IsIndexHeader(bytes, folderInode) || bytes.size() < kIndexHeaderSize + kIndexRecordOverhead) return false;
    Reader head(bytes.subspan(kIndexHeaderSize, 4));
    const auto length = head.Int<std::uint32_t>();
    if (length > kMaxIndexRecord || bytes.size() - kIndexHeaderSize - kIndexRecordOverhead < length) return false;
    const ParsedIndex first = ParseIndexRecords(bytes.first(kIndexHeaderSize + kIndexRecordOverhead + length), kIndexHeaderSize);
    return first.records.size() == 1 && first.records[0].kind == IndexRecordKind::Folder;
}

}  // namespace pw::store
