// Stream: the shape every file of the store takes -- read, write, seek, size, range locks, stat.
//
// FileStream implements it over a file; MemoryStream over a byte vector (messages composed in memory,
// tests). Read follows the storage rules: a read that transfers bytes succeeds, possibly short; a read
// that transfers nothing returns STG_E_ENDOFFILE, which every reader treats as the end of the stream.
// Write writes everything or fails. Helpers below read exact lengths and copy streams.
// Thread safety: one stream, one thread at a time.
#pragma once

#include "platform/AutomationDate.h"
#include "platform/HResult.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pw::platform {

enum class SeekOrigin { Begin = 0, Current = 1, End = 2 };

// What stat reports of a stream or a storage element. The server reads names, sizes and the
// directory bit; the times are there for people.
struct ElementInfo {
    std::string name;
    std::uint64_t size = 0;
    bool isDirectory = false;
    bool isReadOnly = false;
    // Names the file has (hard links); above 1, a write through one name shows through the others.
    std::uint32_t links = 1;
    // With size and modification time: tells a file replaced by rename from the one read before.
    std::uint64_t inode = 0;
    Date modified = 0;
    Date accessed = 0;
    Date changed = 0;
};

class Stream {
public:
    virtual ~Stream() = default;

    [[nodiscard]] virtual HRESULT Read(std::span<std::byte> buffer, std::size_t& transferred) = 0;
    [[nodiscard]] virtual HRESULT Write(std::span<const std::byte> data) = 0;
    [[nodiscard]] virtual HRESULT Seek(std::int64_t offset, SeekOrigin origin, std::uint64_t* newPosition = nullptr) = 0;
    [[nodiscard]] virtual HRESULT SetSize(std::uint64_t size) = 0;
    // Exclusive lock of a byte range. With wait, blocks until the range is free; without, a range
    // held by another opener fails with STG_E_LOCKVIOLATION.
    [[nodiscard]] virtual HRESULT LockRegion(std::uint64_t offset, std::uint64_t length, bool wait) = 0;
    [[nodiscard]] virtual HRESULT UnlockRegion(std::uint64_t offset, std::uint64_t length) = 0;
    [[nodiscard]] virtual HRESULT Stat(ElementInfo& info) = 0;
    // Makes what was written durable (fsync for files).
    [[nodiscard]] virtual HRESULT Commit() = 0;

    [[nodiscard]] HRESULT Write(std::string_view text) { return Write(std::as_bytes(std::span(text.data(), text.size()))); }
    [[nodiscard]] HRESULT Position(std::uint64_t& position) { return Seek(0, SeekOrigin::Current, &position); }
    // Bytes from the position to the end.
    [[nodiscard]] HRESULT Remaining(std::uint64_t& remaining);
};

// Reads exactly buffer.size() bytes; a stream that ends first gives STG_E_ENDOFFILE.
[[nodiscard]] HRESULT ReadExact(Stream& stream, std::span<std::byte> buffer);
// Reads from the position to the end.
[[nodiscard]] HRESULT ReadToEnd(Stream& stream, std::vector<std::byte>& out);
// Copies from the source's position to its end in blocks of blockSize bytes.
[[nodiscard]] HRESULT CopyStream(Stream& from, Stream& to, std::size_t blockSize = 65536);

class MemoryStream final : public Stream {
public:
    MemoryStream() = default;
    explicit MemoryStream(std::vector<std::byte> bytes) : bytes_(std::move(bytes)) {}

    [[nodiscard]] HRESULT Read(std::span<std::byte> buffer, std::size_t& transferred) override;
    [[nodiscard]] HRESULT Write(std::span<const std::byte> data) override;
    using Stream::Write;
    [[nodiscard]] HRESULT Seek(std::int64_t offset, SeekOrigin origin, std::uint64_t* newPosition = nullptr) override;
    [[nodiscard]] HRESULT SetSize(std::uint64_t size) override;
    [[nodiscard]] HRESULT LockRegion(std::uint64_t, std::uint64_t, bool) override { return S_OK; }
    [[nodiscard]] HRESULT UnlockRegion(std::uint64_t, std::uint64_t) override { return S_OK; }
    [[nodiscard]] HRESULT Stat(ElementInfo& info) override;
    [[nodiscard]] HRESULT Commit() override { return S_OK; }

    const std::vector<std::byte>& Bytes() const { return bytes_; }
    std::vector<std::byte> TakeBytes() { return std::move(bytes_); }

private:
    std::vector<std::byte> bytes_;
    std::size_t position_ = 0;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
