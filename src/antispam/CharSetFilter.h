// CharSetFilter: character sets whose mail is spam. A message whose subject (an encoded word's
// charset), top-level Content-Type or any text part declares one of them scores 100.
//
// Names compare canonically (CanonicalCharset): without quotes and an RFC 2231 language ("*en"),
// upper-cased, and every name glibc's iconv takes for one set is that set, as the alias lines of its
// gconv-modules configuration say -- "windows-1251" is "CP1251", "GB2312" is "EUC-CN". Entries are
// stored upper-cased as given, so that older readers, which compare upper-cased names, still match.
// The file is the filter's agent file in the store root (store::AgentFileName of its class): u32 1,
// then per entry u32 length and bytes, little-endian. Changes and damage as for the sender lists
// (ListFile, SendersList.h): saved at once, noticed by Refresh, a damaged file is absent and kept.
// Thread safety: one object per thread; the names it reads are its own snapshot.
#pragma once

#include "antispam/ListFile.h"
#include "mime/Message.h"
#include "platform/DirStorage.h"
#include "platform/Guid.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::antispam {

extern const Guid kCharSetFilterClassId;
// What a charset filter scores a message that declares a listed set.
inline constexpr double kCharsetSpamScore = 100.0;

// The name iconv knows the set by: quotes and "*lang" dropped, upper case, aliases resolved.
std::string CanonicalCharset(std::string_view name);
// The charsets a message declares: each encoded word of its subject, the top-level Content-Type and
// every text part's, in that order (raw, as written).
std::vector<std::string> DeclaredCharsets(const mime::Message& message);

std::optional<std::vector<std::string>> ParseCharsetFile(std::string_view bytes);
std::string SerialiseCharsetFile(const std::vector<std::string>& names);

class CharSetFilter {
public:
    static std::string FileName();

    // Reads the file of the store root; S_OK also when missing, E_FAIL when damaged.
    [[nodiscard]] HRESULT Load(const DirStorage& root);
    bool Loaded() const { return loaded_; }
    // Reads the file again when it was replaced; returns Loaded().
    bool Refresh();

    std::size_t Count() const { return names_.size(); }
    const std::vector<std::string>& Names() const { return names_; }
    // S_OK added; S_FALSE a name of the same set is listed; E_INVALIDARG an empty, overlong or
    // control-character name; E_FAIL a damaged file or a full list.
    [[nodiscard]] HRESULT Add(std::string_view name);
    // S_OK removed every entry of the same set; S_FALSE there was none.
    [[nodiscard]] HRESULT Remove(std::string_view name);
    [[nodiscard]] HRESULT RemoveAll();

    // kCharsetSpamScore when the message declares a listed set (`results` then names the entry), else 0
    // with `results` unchanged.
    double Spamicity(const mime::Message& message, std::string& results) const;
    // The listed entry of the same set as `declared`, if any.
    std::optional<std::string> Match(std::string_view declared) const;

private:
    [[nodiscard]] HRESULT Change(const std::function<HRESULT(std::vector<std::string>&)>& change);
    void Take(std::vector<std::string> names, FileIdentity identity);

    DirStorage root_;
    bool attached_ = false;
    bool loaded_ = false;
    FileIdentity identity_;
    std::vector<std::string> names_;
    std::vector<std::string> canonical_;  // CanonicalCharset of each name
};

}  // namespace pw::antispam
