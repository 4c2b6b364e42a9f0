// Fuzz target: an envelope record (".env") damaged on disk must be refused without crashing or
// allocating what the file can not hold, and what is accepted must write back to the same record.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "store/Envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* begin = reinterpret_cast<const std::byte*>(data);
    pw::MemoryStream input(std::vector<std::byte>(begin, begin + size));
    pw::store::Envelope envelope(pw::DirStorage("/nonexistent/"), "/nonexistent/", 1, true);
    if (pw::Failed(envelope.ReadRecord(input))) return 0;
    pw::MemoryStream written;
    if (pw::Failed(envelope.WriteRecord(written))) return 0;
    if (pw::Failed(written.Seek(0, pw::SeekOrigin::Begin))) __builtin_trap();
    pw::store::Envelope again(pw::DirStorage("/nonexistent/"), "/nonexistent/", 1, true);
    if (pw::Failed(again.ReadRecord(written)) || again.GetRecipients().All() != envelope.GetRecipients().All()) {
        __builtin_trap();
    }
    return 0;
}
