// Registry: the machine-wide settings of the server and its tools (where the store is, the language,
// logging, class registrations), kept as one text file in the syntax of exported ".reg" files, so that
// an administrator can read, edit and compare it with any text tool and every process reads the same.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\General]
//   "MessageStore"="/var/lib/pellworth/store"
//   "Language"=dword:00000009
//
// RegistryFile is the parsed document: keys in file order, each with its values in order. It knows
// REG_SZ ("text" with \\ and \" escapes), REG_EXPAND_SZ (hex(2): UTF-16LE bytes) and REG_DWORD
// (dword:), and keeps every other value, every comment and every line it does not understand exactly
// as written, so a rewrite never loses what another tool put there. Key paths and value names compare
// without regard to case; "@" is the default value (name "").
//
// Registry is the file at a path (Registry::Locate says which). Reads parse the current file; every
// change is one transaction under an exclusive lock on "<file>.lock": read, change, write a temporary
// file, flush, rename over the file, flush the directory. The new file keeps the mode and owner of the
// one it replaces, so a change made by root never locks the service's user out. A missing file reads
// as an empty registry.
// Thread safety: Registry is safe from any thread and any process; RegistryFile is a plain value.
#pragma once

#include "platform/HResult.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::platform {

enum class RegistryValueType {
    String,        // REG_SZ
    ExpandString,  // REG_EXPAND_SZ
    Dword,         // REG_DWORD
    Other,         // any other data, kept as its text after "="
    Line,          // a comment or a line that is not a value, kept as it stands
};

struct RegistryValue {
    std::string name;  // "" for the default value "@"
    RegistryValueType type = RegistryValueType::String;
    std::string text;  // String, ExpandString; the data text for Other; the whole line for Line
    std::uint32_t dword = 0;
};

struct RegistryKey {
    std::string path;  // "HKEY_LOCAL_MACHINE\Software\..."
    std::vector<RegistryValue> values;
};

class RegistryFile {
public:
    static RegistryFile Parse(std::string_view text);
    std::string Serialize() const;

    const RegistryKey* FindKey(std::string_view path) const;
    // A key exists when it is listed or when a key below it is.
    bool KeyExists(std::string_view path) const;
    const RegistryValue* FindValue(std::string_view path, std::string_view name) const;

    void SetValue(std::string_view path, RegistryValue value);
    void SetString(std::string_view path, std::string_view name, std::string_view text);
    void SetExpandString(std::string_view path, std::string_view name, std::string_view text);
    void SetDword(std::string_view path, std::string_view name, std::uint32_t value);
    void EnsureKey(std::string_view path);
    bool DeleteValue(std::string_view path, std::string_view name);
    // Deletes the key and every key below it.
    bool DeleteKeyTree(std::string_view path);

    const std::vector<RegistryKey>& Keys() const { return keys_; }

private:
    RegistryKey& KeyFor(std::string_view path);

    std::vector<std::string> preamble_;  // comment lines before the first key
    std::vector<RegistryKey> keys_;
};

// Where the registry file of a process is, and which rule chose it (for messages that name it).
struct RegistryLocation {
    std::string path;
    std::string reason;  // "named by PELLWORTH_REGISTRY", "the system's", "this checkout's", ...
};

// The one rule every executable of the server follows to find its registry file:
//   1. the file PELLWORTH_REGISTRY names, when the variable is set and not empty;
//   2. else /etc/pellworth/pellworth.reg, when it exists (an installed server);
//   3. else the checkout's run/pellworth.reg, when the executable runs from a build tree of a checkout
//      (<checkout>/<build>/bin/<program>, the checkout recognised by its scripts/run) and that file
//      exists -- the private installation scripts/run makes, so the tools find it without a variable;
//   4. else /etc/pellworth/pellworth.reg, where "-Service" and the package put it.
// The checkout is found from the executable's own path rather than the working directory, so a
// command works from any directory, and an installed executable (/usr/sbin) never looks at one.
// `environment` is the variable's value (nullptr when unset); `exists` answers for a file path.
RegistryLocation LocateRegistry(const char* environment, std::string_view executableDirectory,
                                const std::function<bool(const std::string&)>& exists);

class Registry {
public:
    explicit Registry(std::string path) : path_(std::move(path)) {}
    // The registry of this process, by LocateRegistry for this process's environment and executable.
    static Registry System();
    static RegistryLocation Locate();
    static std::string DefaultPath();

    const std::string& Path() const { return path_; }

    // The current document; a missing file is an empty one. Fails only when the file exists but can
    // not be read.
    [[nodiscard]] HRESULT Read(RegistryFile& file) const;
    std::optional<std::string> GetString(std::string_view key, std::string_view name) const;  // SZ or EXPAND_SZ
    std::optional<std::uint32_t> GetDword(std::string_view key, std::string_view name) const;
    bool KeyExists(std::string_view key) const;

    // One locked read-change-write of the file.
    [[nodiscard]] HRESULT Update(const std::function<void(RegistryFile&)>& change) const;
    [[nodiscard]] HRESULT SetString(std::string_view key, std::string_view name, std::string_view text) const;
    [[nodiscard]] HRESULT SetDword(std::string_view key, std::string_view name, std::uint32_t value) const;
    [[nodiscard]] HRESULT DeleteValue(std::string_view key, std::string_view name) const;
    [[nodiscard]] HRESULT DeleteKeyTree(std::string_view key) const;

private:
    std::string path_;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
