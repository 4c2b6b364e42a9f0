// FuzzScratch: a temporary directory for the targets that need files, made once per process and
// removed when the process exits normally (a crash leaves it for whoever looks at the crash).
// tmpfs is preferred: the store flushes every file it replaces, and a disk would make each input
// wait for that.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace pw::fuzz {

inline std::string ScratchDirectory() {
    static const std::string path = [] {
        std::string base = "/tmp";
        std::error_code ignored;
        if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) {
            base = tmp;
        } else if (std::filesystem::is_directory("/dev/shm", ignored)) {
            base = "/dev/shm";
        }
        std::string pattern = base + "/pellworth-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    static const bool removed = [] {
        return std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }) == 0;
    }();
    (void)removed;
    return path;
}

}  // namespace pw::fuzz
