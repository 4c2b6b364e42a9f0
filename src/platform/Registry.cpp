// Registry: the ".reg" document model and the locked, atomic registry file.
#include "platform/Registry.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/DirStorage.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace pw::platform {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
// Bytes per line of a hex value, as regedit wraps them.
constexpr std::size_t kHexBytesPerLine = 25;
// A registry file larger than this is not ours; reading it would only waste memory.
constexpr std::size_t kMaxRegistryFileSize = 16 * 1024 * 1024;
// How long a writer waits for another writer's lock before it gives up.
constexpr auto kLockWait = std::chrono::seconds(30);
// A new registry file may be read by everybody: it says where the store is, to every tool, and holds
// no secret. A file that exists keeps its own mode and owner (an installed server's is 0640).
constexpr mode_t kRegistryFileMode = 0644;
// The rule of LocateRegistry.
constexpr const char* kRegistryVariable = "PELLWORTH_REGISTRY";
constexpr std::string_view kSystemRegistryPath = "/etc/pellworth/pellworth.reg";
constexpr std::string_view kCheckoutRegistryPath = "run/pellworth.reg";
constexpr std::string_view kCheckoutMarker = "scripts/run";

bool KeyIsAtOrBelow(std::string_view candidate, std::string_view path) {
    if (EqualsNoCase(candidate, path)) return true;
    return candidate.size() > path.size() && candidate[path.size()] == '\\' &&
           EqualsNoCase(candidate.substr(0, path.size()), path);
}

// Reads a quoted text with \\ and \" escapes starting at line[pos] == '"'; pos ends after the quote.
std::optional<std::string> ReadQuoted(std::string_view line, std::size_t& pos) {
    if (pos >= line.size() || line[pos] != '"') return std::nullopt;
    std::string out;
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return out;
        }
        if (c == '\\' && pos + 1 < line.size() && (line[pos + 1] == '\\' || line[pos + 1] == '"')) {
            out += line[++pos];
            continue;
        }
        out += c;
    }
    return std::nullopt;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::optional<std::vector<std::byte>> ParseHexBytes(std::string_view data) {
    std::vector<std::byte> bytes;
    std::string_view rest = TrimAscii(data);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = TrimAscii(rest.substr(0, comma));
        if (item.empty() || item.size() > 2) return std::nullopt;
        unsigned value = 0;
        for (const char c : item) {
            const int digit = (c >= '0' && c <= '9')   ? c - '0'
                              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                       : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        bytes.push_back(static_cast<std::byte>(value));
        if (comma == std::string_view::npos) break;
        rest = rest.substr(comma + 1);
    }
    return bytes;
}

std::string HexData(std::string_view prefix, std::span<const std::byte> bytes) {
    std::string out(prefix);
    char hex[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%02x", std::to_integer<unsigned>(bytes[i]));
        out += hex;
        if (i + 1 < bytes.size()) {
            out += ',';
            if ((i + 1) % kHexBytesPerLine == 0) out += "\\\n  ";
        }
    }
    return out;
}

// The text of a REG_SZ or REG_EXPAND_SZ written as UTF-16LE bytes, without its one terminator.
std::string TextFromUtf16Bytes(std::span<const std::byte> bytes) {
    std::string text = Utf16LeToUtf8(bytes);
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::vector<std::byte> Utf16BytesWithTerminator(std::string_view text) {
    std::vector<std::byte> bytes = Utf8ToUtf16Le(text);
    bytes.push_back(std::byte{0});
    bytes.push_back(std::byte{0});
    return bytes;
}

bool NeedsHexForm(std::string_view text) {
    for (const char c : text) {
        if (c == '\n' || c == '\r' || c == '\0') return true;
    }
    return false;
}

RegistryValue ParseData(std::string name, std::string_view data) {
    RegistryValue value;
    value.name = std::move(name);
    data = TrimAscii(data);
    if (!data.empty() && data.front() == '"') {
        std::size_t pos = 0;
        if (auto text = ReadQuoted(data, pos); text && TrimAscii(data.substr(pos)).empty()) {
            value.type = RegistryValueType::String;
            value.text = std::move(*text);
            return value;
        }
    } else if (StartsWithNoCase(data, "dword:")) {
        const std::string digits(TrimAscii(data.substr(6)));
        char* end = nullptr;
        const unsigned long number = std::strtoul(digits.c_str(), &end, 16);
        if (!digits.empty() && digits.size() <= 8 && end == digits.c_str() + digits.size()) {
            value.type = RegistryValueType::Dword;
            value.dword = static_cast<std::uint32_t>(number);
            return value;
        }
    } else if (StartsWithNoCase(data, "hex(2):") || StartsWithNoCase(data, "hex(1):")) {
        if (auto bytes = ParseHexBytes(data.substr(7))) {
            value.type = data[4] == '2' ? RegistryValueType::ExpandString : RegistryValueType::String;
            value.text = TextFromUtf16Bytes(*bytes);
            return value;
        }
    }
    value.type = RegistryValueType::Other;
    value.text = std::string(data);
    return value;
}

// One logical value line ("name"=data or @=data); nullopt when the line is not one.
std::optional<RegistryValue> ParseValueLine(std::string_view line) {
    std::string name;
    std::size_t pos = 0;
    if (line.starts_with("@")) {
        pos = 1;
    } else {
        auto quoted = ReadQuoted(line, pos);
        if (!quoted) return std::nullopt;
        name = std::move(*quoted);
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return std::nullopt;
    return ParseData(std::move(name), line.substr(pos + 1));
}

std::string ValueLine(const RegistryValue& value) {
    if (value.type == RegistryValueType::Line) return value.text;
    std::string line = value.name.empty() ? "@=" : Quote(value.name) + "=";
    switch (value.type) {
    case RegistryValueType::String:
        if (NeedsHexForm(value.text)) return HexData(line + "hex(1):", Utf16BytesWithTerminator(value.text));
        return line + Quote(value.text);
    case RegistryValueType::ExpandString:
        return HexData(line + "hex(2):", Utf16BytesWithTerminator(value.text));
    case RegistryValueType::Dword: {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", value.dword);
        return line + digits;
    }
    default: return line + value.text;
    }
}

// Splits the file into logical lines: CR LF or LF, and hex data continued with a trailing backslash
// on indented lines, as regedit writes them. A line that is not indented never continues a value, so
// a damaged value that happens to end in a backslash reads the same every time.
std::vector<std::string> LogicalLines(std::string_view text) {
    std::vector<std::string> lines;
    bool continuable = false;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const bool indented = !line.empty() && (line.front() == ' ' || line.front() == '\t');
        if (continuable && indented) {
            std::string& last = lines.back();
            last.resize(last.find_last_of('\\'));
            last += std::string(TrimAscii(line));
        } else {
            lines.emplace_back(line);
        }
        const std::string& last = lines.back();
        const std::string_view trimmed = TrimAscii(last);
        continuable = !trimmed.empty() && trimmed.back() == '\\' && last.find("=hex") != std::string::npos;
    }
    return lines;
}

// Text as regedit may have saved it: UTF-16LE with its byte-order mark, or UTF-8 with or without one.
std::string DecodeFileText(std::string_view raw) {
    if (raw.starts_with("\xFF\xFE")) {
        const auto* begin = reinterpret_cast<const std::byte*>(raw.data() + 2);
        return Utf16LeToUtf8(std::span<const std::byte>(begin, raw.size() - 2));
    }
    if (raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);
    return std::string(raw);
}

}  // namespace

RegistryFile RegistryFile::Parse(std::string_view text) {
    RegistryFile file;
    bool headerSeen = false;
    std::size_t current = 0;
    for (const std::string& raw : LogicalLines(text)) {
        const std::string_view line = TrimAscii(raw);
        if (line.empty()) continue;
        if (!headerSeen && file.keys_.empty() && (line == kHeader || line == kOldHeader)) {
            headerSeen = true;
            continue;
        }
        if (line.front() == '[' && line.back() == ']' && line.size() > 2 && line[1] != '-') {
            // A key that appears again takes its values where it first appeared.
            const RegistryKey& key = file.KeyFor(line.substr(1, line.size() - 2));
            current = static_cast<std::size_t>(&key - file.keys_.data());
            continue;
        }
        std::optional<RegistryValue> value;
        if (line.front() != ';' && !file.keys_.empty()) value = ParseValueLine(line);
        if (!value) value = RegistryValue{"", RegistryValueType::Line, std::string(line), 0};
        if (file.keys_.empty()) {
            file.preamble_.push_back(value->text);
            continue;
        }
        auto& values = file.keys_[current].values;
        // A value named again replaces the earlier one, as an import would.
        const auto same = value->type == RegistryValueType::Line ? values.end()
                                                                 : std::find_if(values.begin(), values.end(), [&](const RegistryValue& v) {
                                                                       return v.type != RegistryValueType::Line && EqualsNoCase(v.name, value->name);
                                                                   });
        if (same != values.end()) {
            *same = std::move(*value);
        } else {
            values.push_back(std::move(*value));
        }
    }
    return file;
}

std::string RegistryFile::Serialize() const {
    std::string out(kHeader);
    out += "\n\n";
    for (const std::string& line : preamble_) out += line + "\n";
    if (!preamble_.empty()) out += "\n";
    for (const RegistryKey& key : keys_) {
        out += "[" + key.path + "]\n";
        for (const RegistryValue& value : key.values) out += ValueLine(value) + "\n";
        out += "\n";
    }
    return out;
}

const RegistryKey* RegistryFile::FindKey(std::string_view path) const {
    for (const RegistryKey& key : keys_) {
        if (EqualsNoCase(key.path, path)) return &key;
    }
    return nullptr;
}

bool RegistryFile::KeyExists(std::string_view path) const {
    for (const RegistryKey& key : keys_) {
        if (KeyIsAtOrBelow(key.path, path)) return true;
    }
    return false;
}

const RegistryValue* RegistryFile::FindValue(std::string_view path, std::string_view name) const {
    const RegistryKey* key = FindKey(path);
    if (!key) return nullptr;
    for (const RegistryValue& value : key->values) {
        if (value.type != RegistryValueType::Line && EqualsNoCase(value.name, name)) return &value;
    }
    return nullptr;
}

RegistryKey& RegistryFile::KeyFor(std::string_view path) {
    for (RegistryKey& key : keys_) {
        if (EqualsNoCase(key.path, path)) return key;
    }
    keys_.push_back(RegistryKey{std::string(path), {}});
    return keys_.back();
}

void RegistryFile::EnsureKey(std::string_view path) { KeyFor(path); }

void RegistryFile::SetValue(std::string_view path, RegistryValue value) {
    RegistryKey& key = KeyFor(path);
    for (RegistryValue& existing : key.values) {
        if (existing.type != RegistryValueType::Line && EqualsNoCase(existing.name, value.name)) {
            existing = std::move(value);
            return;
        }
    }
    key.values.push_back(std::move(value));
}

void RegistryFile::SetString(std::string_view path, std::string_view name, std::string_view text) {
    SetValue(path, RegistryValue{std::string(name), RegistryValueType::String, std::string(text), 0});
}

void RegistryFile::SetExpandString(std::string_view path, std::string_view name, std::string_view text) {
    SetValue(path, RegistryValue{std::string(name), RegistryValueType::ExpandString, std::string(text), 0});
}

void RegistryFile::SetDword(std::string_view path, std::string_view name, std::uint32_t value) {
    SetValue(path, RegistryValue{std::string(name), RegistryValueType::Dword, {}, value});
}

bool RegistryFile::DeleteValue(std::string_view path, std::string_view name) {
    for (RegistryKey& key : keys_) {
        if (!EqualsNoCase(key.path, path)) continue;
        for (auto it = key.values.begin(); it != key.values.end(); ++it) {
            if (it->type != RegistryValueType::Line && EqualsNoCase(it->name, name)) {
                key.values.erase(it);
                return true;
            }
        }
    }
    return false;
}

bool RegistryFile::DeleteKeyTree(std::string_view path) {
    const auto before = keys_.size();
    std::erase_if(keys_, [&](const RegistryKey& key) { return KeyIsAtOrBelow(key.path, path); });
    return keys_.size() != before;
}

namespace {

HRESULT ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno == ENOENT ? S_FALSE : StorageHresultFromErrno(errno);
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return StorageHresultFromErrno(errno);
        if (got == 0) return S_OK;
        if (out.size() + static_cast<std::size_t>(got) > kMaxRegistryFileSize) return STG_E_INSUFFICIENTMEMORY;
        out.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string Registry::DefaultPath() { return std::string(kSystemRegistryPath); }

RegistryLocation LocateRegistry(const char* environment, std::string_view executableDirectory,
                                const std::function<bool(const std::string&)>& exists) {
    if (environment && *environment) return {environment, std::string("named by ") + kRegistryVariable};
    const std::string system(kSystemRegistryPath);
    if (exists(system)) return {system, "the installed server's"};
    // <checkout>/<build>/bin: two directories up from the executable's own.
    std::string checkout(executableDirectory);
    for (int level = 0; level < 2 && !checkout.empty(); ++level) {
        const std::size_t slash = checkout.find_last_of('/');
        checkout = slash == std::string::npos ? std::string() : checkout.substr(0, slash);
    }
    if (!checkout.empty()) {
        const std::string candidate = checkout + "/" + std::string(kCheckoutRegistryPath);
        if (exists(checkout + "/" + std::string(kCheckoutMarker)) && exists(candidate)) {
            return {candidate, "this checkout's (made by scripts/run)"};
        }
    }
    return {system, std::string("which does not exist: start the server once with scripts/run, install the "
                                "package, or name a file in ") + kRegistryVariable};
}

RegistryLocation Registry::Locate() {
    return LocateRegistry(std::getenv(kRegistryVariable), ExecutableDirectory(), [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    });
}

Registry Registry::System() { return Registry(Locate().path); }

HRESULT Registry::Read(RegistryFile& file) const {
    std::string raw;
    const HRESULT hr = ReadWholeFile(path_, raw);
    if (Failed(hr)) return hr;
    file = RegistryFile::Parse(DecodeFileText(raw));
    return S_OK;
}

std::optional<std::string> Registry::GetString(std::string_view key, std::string_view name) const {
    RegistryFile file;
    if (Failed(Read(file))) return std::nullopt;
    const RegistryValue* value = file.FindValue(key, name);
    if (!value || (value->type != RegistryValueType::String && value->type != RegistryValueType::ExpandString)) {
        return std::nullopt;
    }
    return value->text;
}

std::optional<std::uint32_t> Registry::GetDword(std::string_view key, std::string_view name) const {
    RegistryFile file;
    if (Failed(Read(file))) return std::nullopt;
    const RegistryValue* value = file.FindValue(key, name);
    if (!value || value->type != RegistryValueType::Dword) return std::nullopt;
    return value->dword;
}

bool Registry::KeyExists(std::string_view key) const {
    RegistryFile file;
    return Succeeded(Read(file)) && file.KeyExists(key);
}

// The writers' lock and the replacement are the storage layer's, so a full disk or a failing device
// fails a registry change the way it fails the store's, and leaves the old file or the new one.
HRESULT Registry::Update(const std::function<void(RegistryFile&)>& change) const {
    const DirStorage directory(DirectoryOf(path_));
    if (const HRESULT hr = directory.CreateSelf(); Failed(hr)) return hr;
    const std::string name = FileNameOf(path_);
    StorageLock lock;
    if (const HRESULT hr = directory.LockElement(name + ".lock", kLockWait, lock); Failed(hr)) return hr;
    RegistryFile file;
    if (const HRESULT hr = Read(file); Failed(hr)) return hr;
    change(file);
    const std::string text = file.Serialize();
    struct stat before {};
    const bool existed = ::stat(path_.c_str(), &before) == 0;
    const mode_t mode = existed ? (before.st_mode & 07777) : kRegistryFileMode;
    const HRESULT hr = directory.ReplaceStream(name, std::as_bytes(std::span(text.data(), text.size())), mode);
    if (Failed(hr) || !existed || (before.st_uid == ::geteuid() && before.st_gid == ::getegid())) return hr;
    // Only root can give the file back to its owner; anyone else wrote a file they own already.
    if (::chown(path_.c_str(), before.st_uid, before.st_gid) != 0) return HresultFromWin32(Win32ErrorFromErrno(errno));
    return S_OK;
}

HRESULT Registry::SetString(std::string_view key, std::string_view name, std::string_view text) const {
    return Update([&](RegistryFile& file) { file.SetString(key, name, text); });
}

HRESULT Registry::SetDword(std::string_view key, std::string_view name, std::uint32_t value) const {
    return Update([&](RegistryFile& file) { file.SetDword(key, name, value); });
}

HRESULT Registry::DeleteValue(std::string_view key, std::string_view name) const {
    return Update([&](RegistryFile& file) { file.DeleteValue(key, name); });
}

HRESULT Registry::DeleteKeyTree(std::string_view key) const {
    return Update([&](RegistryFile& file) { file.DeleteKeyTree(key); });
}

}  // namespace pw::platform
