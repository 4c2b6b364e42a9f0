// TestSupport: scratch directories, byte helpers and a waitable count shared by the unit tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
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

// How long a test waits for something that must happen: generous, for a loaded machine.
inline constexpr std::chrono::seconds kWaitBound{30};

// A count that other threads raise and a test waits on, every wait bounded. Thread-safe.
class Counter {
public:
    void Add(int value = 1);
    // True once the count has reached `count`; false when `bound` passed first.
    bool WaitFor(int count, std::chrono::milliseconds bound = kWaitBound);
    int Value();

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int count_ = 0;
};

std::vector<std::byte> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<std::byte>& bytes);
std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, std::string_view text);
bool FileExists(const std::string& path);

}  // namespace pw::test
