// Fuzz target: the configuration and property file reader must reject any damaged file without
// crashing, reading out of bounds or allocating what the file can not hold, and what it accepts
// must write back to a file that reads the same.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/ConfigTree.h"

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
    return 0;
}
