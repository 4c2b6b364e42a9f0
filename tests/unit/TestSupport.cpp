// TestSupport: scratch directories, byte helpers and the waitable count.
#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace pw::test {

ScratchDirectory::ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/pw-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    // Tests may leave read-only directories behind; give them back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(path_, ignored);
}

void Counter::Add(int value) {
    std::lock_guard guard(lock_);
    count_ += value;
    changed_.notify_all();
}

bool Counter::WaitFor(int count, std::chrono::milliseconds bound) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, bound, [&] { return count_ >= count; });
}

int Counter::Value() {
    std::lock_guard guard(lock_);
    return count_;
}

Bytes& Bytes::U8(std::uint8_t v) {
    bytes_.push_back(static_cast<std::byte>(v));
    return *this;
}
Bytes& Bytes::U16(std::uint16_t v) { return U8(static_cast<std::uint8_t>(v)).U8(static_cast<std::uint8_t>(v >> 8)); }
Bytes& Bytes::U32(std::uint32_t v) { return U16(static_cast<std::uint16_t>(v)).U16(static_cast<std::uint16_t>(v >> 16)); }
Bytes& Bytes::U64(std::uint64_t v) { return U32(static_cast<std::uint32_t>(v)).U32(static_cast<std::uint32_t>(v >> 32)); }
Bytes& Bytes::Ascii(std::string_view text) {
    for (const char c : text) U8(static_cast<std::uint8_t>(c));
    return *this;
}
Bytes& Bytes::Append(const Bytes& other) {
    bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
    return *this;
}
Bytes& Bytes::Utf16(std::string_view text) {
    for (const char c : text) U16(static_cast<std::uint8_t>(c));
    return *this;
}

std::vector<std::byte> ReadFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto* begin = reinterpret_cast<const std::byte*>(text.data());
    return std::vector<std::byte>(begin, begin + text.size());
}

void WriteFileBytes(const std::string& path, const std::vector<std::byte>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFileText(const std::string& path, std::string_view text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace pw::test
