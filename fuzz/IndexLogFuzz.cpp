// Fuzz target: a folder index's log damaged on disk must be read up to its first bad record without
// crashing or allocating what the file can not hold, and every record it accepts must encode back to
// exactly the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "store/IndexLog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span bytes(reinterpret_cast<const std::byte*>(data), size);
    const std::size_t start = pw::store::IsIndexHeader(bytes, 42) ? pw::store::kIndexHeaderSize : 0;
    const pw::store::ParsedIndex parsed = pw::store::ParseIndexRecords(bytes, start);
    if (parsed.end > size || parsed.end < start || parsed.ends.size() != parsed.records.size()) __builtin_trap();
    std::vector<std::byte> encoded;
    for (const pw::store::IndexRecord& record : parsed.records) pw::store::AppendIndexRecord(encoded, record);
    if (start + encoded.size() != parsed.end || (!encoded.empty() && std::memcmp(encoded.data(), data + start, encoded.size()) != 0)) {
        __builtin_trap();
    }
    return 0;
}
