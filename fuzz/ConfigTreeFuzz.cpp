// Fuzz target: the configuration and property file reader must reject any damaged file without
// crashing, reading out of bounds or allocating what the file can not hold, and what it accepts
// must write back to a file that reads the same, with any records it kept unread kept byte for byte.
// The connection schedule's classes are registered, as in the server and the admin tool, so stored
// events are read (and written back) by their own code rather than kept unread.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/ConfigTree.h"
#include "core/ScheduleEvents.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pw::core::RegisterScheduleClasses(pw::ClassRegistry::Instance());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* begin = reinterpret_cast<const std::byte*>(data);
    pw::MemoryStream input(std::vector<std::byte>(begin, begin + size));
    pw::core::ConfigTree tree;
    if (pw::Failed(tree.ReadFrom(input))) return 0;
    pw::MemoryStream written;
    if (pw::Failed(tree.WriteTo(written))) return 0;
    if (pw::Failed(written.Seek(0, pw::SeekOrigin::Begin))) __builtin_trap();
    pw::core::ConfigTree again;
    if (pw::Failed(again.ReadFrom(written)) || again.NodeCount() != tree.NodeCount()) __builtin_trap();
    // What was kept unread is kept exactly, and stops the second read at the same object.
    const auto kept = tree.Unread();
    const auto keptAgain = again.Unread();
    if (kept.has_value() != keptAgain.has_value()) __builtin_trap();
    if (kept && (kept->bytes != keptAgain->bytes || kept->records != keptAgain->records)) __builtin_trap();
    return 0;
}
