// SpamAssassinConfig: the registry's SpamAssassin paths and the settings kept in local.cf (see the header).
#include "antispam/SpamAssassinConfig.h"

#include "antispam/AntispamLimits.h"
#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "platform/DirStorage.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pw::antispam {

namespace {

enum class Form : std::uint8_t { Score, Switch, Count, WholeFile };

struct Setting {
    std::string_view name;  // under "sys:spam:sa:"
    std::string_view key;   // in local.cf
    Form form;
    double fallback;
};

constexpr Setting kSettings[] = {
    {"required_score", "required_hits", Form::Score, 5.0},
    {"bayes", "use_bayes", Form::Switch, 0},
    {"autolearn", "bayes_auto_learn", Form::Switch, 0},
    {"autolearn_spam", "bayes_auto_learn_threshold_spam", Form::Score, 12.0},
    {"autolearn_nospam", "bayes_auto_learn_threshold_nonspam", Form::Score, 0.1},
    {"bayes_min_spam", "bayes_min_spam_num", Form::Count, 200},
    {"bayes_min_nospam", "bayes_min_ham_num", Form::Count, 200},
    {"config", "", Form::WholeFile, 0},
};

// Written with `bayes` on: the Bayes database beside local.cf, where sa-learn and spamd both find it.
constexpr std::string_view kBayesPathKey = "bayes_path";
constexpr std::string_view kBayesFileStem = "/bayes";

const Setting* FindSetting(std::string_view name) {
    for (const Setting& setting : kSettings) {
        if (EqualsNoCase(setting.name, name)) return &setting;
    }
    return nullptr;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A line's first word, when the line is not a comment.
std::string_view FirstWord(std::string_view line, std::size_t& end) {
    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) ++start;
    end = start;
    while (end < line.size() && !IsBlank(line[end]) && line[end] != '\r') ++end;
    const std::string_view word = line.substr(start, end - start);
    return word.starts_with('#') ? std::string_view() : word;
}

// Is this line an active setting of the key: its first word, followed by a blank?
bool IsKeyLine(std::string_view line, std::string_view key, std::size_t& valueStart) {
    std::size_t end = 0;
    const std::string_view word = FirstWord(line, end);
    if (word.empty() || !EqualsNoCase(word, key) || end >= line.size() || !IsBlank(line[end])) return false;
    valueStart = end;
    return true;
}

// The lines of a text, each without its "\n" (a "\r" before it stays with the line).
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    return lines;
}

std::optional<double> ParseNumber(std::string_view text) {
    const std::string copy(text);
    if (copy.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || errno != 0 || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<std::int64_t> ParseCount(std::string_view text) {
    const std::string copy(text);
    if (copy.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), &end, 10);
    if (end != copy.c_str() + copy.size() || errno != 0 || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return value;
}

Variant DefaultOf(const Setting& setting) {
    switch (setting.form) {
        case Form::Score: return Variant::R8(setting.fallback);
        case Form::Switch: return Variant::Bool(setting.fallback != 0);
        case Form::Count: return Variant::I4(static_cast<std::int32_t>(setting.fallback));
        case Form::WholeFile: break;
    }
    return Variant::Text("");
}

// The value as its line's text ("6.50", "1", "200"); nullopt when it is not of the setting's form.
std::optional<std::string> LineValue(const Setting& setting, const Variant& value) {
    const auto number = [&]() -> std::optional<double> {
        if (value.IsText()) return ParseNumber(TrimAscii(value.AsText()));
        if (!value.IsNumeric()) return std::nullopt;
        return value.AsDouble();
    };
    switch (setting.form) {
        case Form::Score: {
            const auto score = number();
            if (!score || !std::isfinite(*score)) return std::nullopt;
            return Format("%.2f", {*score});
        }
        case Form::Switch: {
            if (value.IsText()) {
                const std::string text = ToLowerAscii(TrimAscii(value.AsText()));
                if (text == "true") return "1";
                if (text == "false") return "0";
            }
            const auto on = number();
            if (!on) return std::nullopt;
            return *on != 0 ? "1" : "0";
        }
        case Form::Count: {
            const auto count = number();
            if (!count || *count != std::floor(*count) || std::fabs(*count) > INT32_MAX) return std::nullopt;
            return Format("%d", {static_cast<std::int64_t>(*count)});
        }
        case Form::WholeFile: break;
    }
    return std::nullopt;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

HRESULT ReadWhole(const std::string& path, std::string& text) {
    FileSystem& fs = FileSystem::Current();
    const int fd = fs.Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return StorageHresultFromErrno(errno);
    text.clear();
    char chunk[8192];
    HRESULT hr = S_OK;
    for (;;) {
        const ssize_t got = fs.Read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            hr = StorageHresultFromErrno(errno);
            break;
        }
        if (got == 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > kMaxLocalCf) {
            hr = E_FAIL;  // not a site configuration: never read into memory without end
            break;
        }
    }
    fs.Close(fd);
    return hr;
}

}  // namespace

std::string SpamAssassinKey() { return core::ProductKey(core::kServerProduct, "SpamAssassin"); }

SpamAssassinPaths ReadSpamAssassinPaths(const Registry& registry) {
    const std::string key = SpamAssassinKey();
    const auto value = [&](std::string_view name, std::string_view fallback) {
        const auto text = registry.GetString(key, name);
        return text && !TrimAscii(*text).empty() ? std::string(TrimAscii(*text)) : std::string(fallback);
    };
    SpamAssassinPaths paths{value("Directory", kDefaultSpamAssassinDirectory), value("Spamd", kDefaultSpamd),
                            value("SaLearn", kDefaultSaLearn)};
    while (paths.directory.size() > 1 && paths.directory.back() == '/') paths.directory.pop_back();
    return paths;
}

std::optional<std::string> LocalCfValue(std::string_view text, std::string_view key) {
    std::optional<std::string> found;
    for (const std::string_view line : Lines(text)) {
        std::size_t valueStart = 0;
        if (!IsKeyLine(line, key, valueStart)) continue;
        std::string_view value = line.substr(valueStart);
        // SpamAssassin's own rule: "#" starts a comment unless escaped.
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '#' && (i == 0 || value[i - 1] != '\\')) {
                value = value.substr(0, i);
                break;
            }
        }
        found = std::string(TrimAscii(value));  // the last line wins, as SpamAssassin reads it
    }
    return found;
}

std::string WithLocalCfValue(std::string_view text, std::string_view key, std::string_view value) {
    const std::string newLine = std::string(key) + " " + std::string(value);
    std::string out;
    bool replaced = false;
    const std::vector<std::string_view> lines = Lines(text);
    for (const std::string_view line : lines) {
        std::size_t valueStart = 0;
        if (IsKeyLine(line, key, valueStart)) {
            if (replaced) continue;  // a later line would override the one written
            replaced = true;
            out += newLine;
            if (line.ends_with('\r')) out += '\r';
            out += '\n';
            continue;
        }
        out += line;
        out += '\n';
    }
    // The text's own end is kept: no line break is added after a last line that had none.
    if (!text.empty() && !text.ends_with('\n') && !out.empty()) out.pop_back();
    if (!replaced) {
        if (!out.empty() && !out.ends_with('\n')) out += '\n';
        out += newLine + "\n";
    }
    return out;
}

bool SpamAssassinConfig::IsMappedKey(std::string_view key, std::string* name) {
    if (key.size() <= kSpamAssassinPrefix.size() || !StartsWithNoCase(key, kSpamAssassinPrefix)) return false;
    const std::string_view rest = key.substr(kSpamAssassinPrefix.size());
    const Setting* setting = FindSetting(rest);
    if (!setting) return false;
    if (name) *name = std::string(setting->name);
    return true;
}

HRESULT SpamAssassinConfig::Read(std::string_view name, Variant& value) const {
    const Setting* setting = FindSetting(name);
    if (!setting) return E_INVALIDARG;
    value = DefaultOf(*setting);
    std::string text;
    if (Failed(ReadWhole(FilePath(), text))) return S_FALSE;
    if (setting->form == Form::WholeFile) {
        value = Variant::Text(text);
        return S_OK;
    }
    const auto found = LocalCfValue(text, setting->key);
    if (!found) return S_FALSE;
    switch (setting->form) {
        case Form::Score:
            if (const auto score = ParseNumber(*found)) {
                value = Variant::R8(*score);
                return S_OK;
            }
            break;
        case Form::Switch:
            if (const auto on = ParseCount(*found)) {
                value = Variant::Bool(*on != 0);
                return S_OK;
            }
            break;
        case Form::Count:
            if (const auto count = ParseCount(*found)) {
                value = Variant::I4(static_cast<std::int32_t>(*count));
                return S_OK;
            }
            break;
        case Form::WholeFile: break;
    }
    return S_FALSE;
}

HRESULT SpamAssassinConfig::Write(std::string_view name, const Variant& value) const {
    const Setting* setting = FindSetting(name);
    if (!setting) return E_INVALIDARG;
    std::string newText;
    std::optional<std::string> line;
    if (setting->form == Form::WholeFile) {
        if (!value.IsText()) return E_INVALIDARG;
        newText = value.AsText();
        if (newText.size() > kMaxLocalCf) return E_INVALIDARG;
    } else {
        if (value.IsText() && HasLineBreak(value.AsText())) return E_INVALIDARG;
        line = LineValue(*setting, value);
        if (!line) return E_INVALIDARG;
    }
    const std::string bayesPath = directory_ + std::string(kBayesFileStem);
    if (HasLineBreak(bayesPath)) return E_INVALIDARG;

    const DirStorage directory(directory_);
    StorageLock lock;
    if (const HRESULT hr = directory.LockSelf(kListLockBound, lock); Failed(hr)) return hr;
    FileSystem& fs = FileSystem::Current();
    struct stat st {};
    if (fs.Stat(FilePath().c_str(), st) != 0) return StorageHresultFromErrno(errno);
    if (!S_ISREG(st.st_mode)) return STG_E_ACCESSDENIED;
    if (line) {
        std::string text;
        if (const HRESULT hr = ReadWhole(FilePath(), text); Failed(hr)) return hr;
        newText = WithLocalCfValue(text, setting->key, *line);
        if (setting->key == "use_bayes" && *line == "1") newText = WithLocalCfValue(newText, kBayesPathKey, bayesPath);
    }
    // Written aside with the old file's mode (the umask must not narrow it) and, where we may, its
    // owner, then renamed over: spamd and sa-learn never read half a file.
    std::string temporary;
    const mode_t mode = st.st_mode & 07777;
    HRESULT hr = directory.WriteTemporary(kLocalCfName, std::as_bytes(std::span(newText.data(), newText.size())), mode, temporary);
    if (Failed(hr)) return hr;
    const std::string temporaryPath = directory.ElementPath(temporary);
    if (fs.ChangeModeAt(AT_FDCWD, temporaryPath.c_str(), mode) != 0) {
        hr = StorageHresultFromErrno(errno);
    } else {
        // Only root may give a file away; anyone else leaves it theirs, which the rename makes visible.
        (void)::lchown(temporaryPath.c_str(), st.st_uid, st.st_gid);
        if (fs.Rename(temporaryPath.c_str(), FilePath().c_str(), 0) != 0) hr = StorageHresultFromErrno(errno);
    }
    if (Failed(hr)) {
        fs.Unlink(temporaryPath.c_str());
        return hr;
    }
    return directory.Sync();
}

}  // namespace pw::antispam
