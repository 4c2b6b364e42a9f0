// SpamAssassinConfig: where SpamAssassin lives on this machine (the registry's "SpamAssassin" key),
// and the classifier settings under "sys:spam:sa:<name>", which are kept in SpamAssassin's own
// "local.cf" rather than in pellworth.cfg.
//
// Owns the reading and the rewriting of local.cf and nothing of SpamAssassin beyond it. A setting
// is one line "<key> <value>" (required_hits, use_bayes, bayes_auto_learn, ...); SpamAssassin reads
// the file top to bottom, the last line of a key winning, and takes "#" to the end of a line as a
// comment. So a read takes the last line whose first word is the key (any case), its value trimmed
// and stripped of a trailing comment; a write replaces the first such line and drops the later ones,
// which would override it, or appends the line when there is none. Commented-out lines ("#
// required_hits 9") are never read nor touched, nor are lines where the key is only part of a word.
// The file is changed by one locked read-change-replace (the directory's lock, for two
// administrators at once): written aside, flushed, given the old file's mode and owner, renamed
// over. A value with CR or LF is refused and the file left as it was; only `config`, the whole file,
// may hold line breaks. A missing or unreadable local.cf reads as the defaults, and writes fail.
// Thread safety: no state beyond the paths; any thread, any process.
#pragma once

#include "platform/HResult.h"
#include "platform/Registry.h"
#include "platform/Variant.h"

#include <optional>
#include <string>
#include <string_view>

namespace pw::antispam {

inline constexpr std::string_view kSpamAssassinPrefix = "sys:spam:sa:";
inline constexpr std::string_view kSpamAssassinEnabledKey = "sys:spam:sa:enabled";
inline constexpr std::string_view kSpamAssassinReportKey = "sys:spam:sa:report_hdr";
inline constexpr std::string_view kLocalCfName = "local.cf";
inline constexpr std::string_view kDefaultSpamAssassinDirectory = "/etc/spamassassin";
inline constexpr std::string_view kDefaultSpamd = "127.0.0.1:783";
inline constexpr std::string_view kDefaultSaLearn = "sa-learn";
// The largest local.cf read or written: a site configuration, not a rule set.
inline constexpr std::size_t kMaxLocalCf = 1 << 20;

// The registry's HKEY_LOCAL_MACHINE\Software\Quillon\Tessaline\Pellworth\SpamAssassin: "Directory"
// (local.cf and the ".pre" files: the site configuration of spamd and sa-learn), "Spamd" ("HOST:PORT"
// or a socket path) and "SaLearn" (the program).
struct SpamAssassinPaths {
    std::string directory;  // without a trailing "/"
    std::string spamd;
    std::string saLearn;
};
std::string SpamAssassinKey();
SpamAssassinPaths ReadSpamAssassinPaths(const Registry& registry);

class SpamAssassinConfig {
public:
    explicit SpamAssassinConfig(std::string directory) : directory_(std::move(directory)) {}

    // Is "sys:spam:sa:<name>" (any case) one of the settings kept in local.cf? `name` receives <name>.
    static bool IsMappedKey(std::string_view key, std::string* name = nullptr);

    // The value of a setting: VT_R8 for the scores, VT_BOOL for the switches, VT_I4 for the counts,
    // VT_BSTR for `config`. S_OK when the file holds it, S_FALSE when the default was given (key
    // missing, file missing or unreadable, or a value that does not read as its form);
    // E_INVALIDARG for a name that is not one of the settings.
    HRESULT Read(std::string_view name, Variant& value) const;
    // Changes a setting in the file at once. E_INVALIDARG for an unknown name, a value with CR or LF
    // (but for `config`) or one that is not of the setting's form; the file's own error when it is
    // missing or can not be replaced. The file is unchanged whenever this fails.
    HRESULT Write(std::string_view name, const Variant& value) const;

    std::string FilePath() const { return directory_ + "/" + std::string(kLocalCfName); }

private:
    std::string directory_;
};

// The value of the key's last active line in local.cf's text, or nullopt (exposed for tests).
std::optional<std::string> LocalCfValue(std::string_view text, std::string_view key);
// The text with the key's line set to "<key> <value>" by the rules above (exposed for tests).
std::string WithLocalCfValue(std::string_view text, std::string_view key, std::string_view value);

}  // namespace pw::antispam
