// Fuzz target: any registry file parses, and what it serialises parses to the same document again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const pw::RegistryFile file = pw::RegistryFile::Parse(text);
    const std::string once = file.Serialize();
    const std::string twice = pw::RegistryFile::Parse(once).Serialize();
    if (once != twice) __builtin_trap();
    return 0;
}
