// TestSupport: scratch directories and byte helpers shared by the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace pw::test {

// A fresh directory under the system's temporary directory, removed with everything in it at the end.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& Path() const { return path_; }  // without a trailing "/"
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

// Little-endian building blocks for hand-made file images.
class Bytes {
public:
    Bytes& U8(std::uint8_t v);
    Bytes& U16(std::uint16_t v);
    Bytes& U32(std::uint32_t v);
    Bytes& U64(std::uint64_t v);
    Bytes& Ascii(std::string_view text);
    // UTF-16LE of an ASCII text, without terminator.
    Bytes& Utf16(std::string_view text);
    Bytes& Append(const Bytes& other);
    const std::vector<std::byte>& Get() const { return bytes_; }

private:
    std::vector<std::byte> bytes_;
};

std::vector<std::byte> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<std::byte>& bytes);
std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, std::string_view text);
bool FileExists(const std::string& path);

}  // namespace pw::test
