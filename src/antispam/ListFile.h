// ListFile: how the sender lists and the content filters keep their files in the store root.
//
// A list file is read whole (up to a bound) and never written in place: a change locks the store
// root (DirStorage::LockSelf), reads the file again as it is now, changes those bytes and replaces
// the file (written aside, flushed, renamed over, directory flushed: DirStorage::ReplaceStream). So
// two writers -- two administrators, or an administrator and the router writing its defaults --
// never lose each other's change, and a crash leaves the old file or the new one. Readers notice a
// replacement by the file's identity (inode, size, modification time) and read the new file.
// Also the little-endian record helpers the file formats share.
// Thread safety: functions of their arguments; the lock serialises writers across processes.
#pragma once

#include "platform/AutomationDate.h"
#include "platform/DirStorage.h"
#include "platform/HResult.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pw::antispam {

// What tells one version of a file from the next.
struct FileIdentity {
    bool exists = false;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    Date modified = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of a file of `dir` now; a missing file is S_OK with exists false.
[[nodiscard]] HRESULT IdentifyListFile(const DirStorage& dir, std::string_view name, FileIdentity& identity);
// The bytes of a file and the identity of what was read (one open file, so the two agree). A missing
// file is empty and S_OK. A file over `maxBytes` is not read: STG_E_INSUFFICIENTMEMORY.
[[nodiscard]] HRESULT ReadListFile(const DirStorage& dir, std::string_view name, std::size_t maxBytes, std::string& bytes,
                                   FileIdentity& identity);
// One change under the store root's lock: `change` receives the file's bytes as they are now (empty
// when missing) and edits them; when it returns S_OK the file is replaced with the edited bytes, any
// other result is returned and nothing is written. S_FALSE from `change` means "nothing to change".
[[nodiscard]] HRESULT ChangeListFile(const DirStorage& dir, std::string_view name, std::size_t maxBytes,
                                     const std::function<HRESULT(std::string&)>& change);

// Little-endian records.
void AppendU32(std::string& out, std::uint32_t value);
void AppendBytes(std::string& out, std::string_view bytes);  // u32 length, then the bytes
void AppendDouble(std::string& out, double value);

// Reads fields from the front of a byte view; every read checks what is left first.
class RecordReader {
public:
    explicit RecordReader(std::string_view bytes) : rest_(bytes) {}
    bool AtEnd() const { return rest_.empty(); }
    std::size_t Left() const { return rest_.size(); }
    std::optional<std::uint32_t> U32();
    std::optional<double> Double();
    // A u32 length and that many bytes; nothing when the length is over `limit` or over what is left
    // (then nothing is taken, and nothing is allocated for it).
    std::optional<std::string_view> Bytes(std::size_t limit);

private:
    std::string_view rest_;
};

}  // namespace pw::antispam
