// CharSetFilter: the listed character sets, their file and the canonical names (see CharSetFilter.h).
#include "antispam/CharSetFilter.h"

#include "antispam/AntispamLimits.h"
#include "core/Logging.h"
#include "mime/MimeSyntax.h"
#include "platform/Text.h"
#include "store/StoreObject.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <unordered_map>

namespace pw::antispam {

const Guid kCharSetFilterClassId = *Guid::Parse("{6B0D3C52-9E47-4F1A-B8E2-3A5C7D914F08}");

namespace {

constexpr std::uint32_t kCharsetHeader = 1;
constexpr std::size_t kMaxCharsetFileBytes = 4 + kMaxCharsets * (4 + kMaxCharsetName);
// A gconv-modules file beyond this is not a configuration we know how to read.
constexpr std::size_t kMaxGconvFileBytes = 4 << 20;
constexpr int kMaxAliasSteps = 8;

// Where glibc keeps its converter configuration on Debian's architectures, after GCONV_PATH.
constexpr std::string_view kGconvDirectories[] = {
    "/usr/lib/x86_64-linux-gnu/gconv", "/usr/lib/aarch64-linux-gnu/gconv", "/usr/lib/i386-linux-gnu/gconv",
    "/usr/lib/arm-linux-gnueabihf/gconv", "/usr/lib64/gconv", "/usr/lib/gconv",
};

std::string UpperName(std::string_view name) {
    std::string upper = ToUpperAscii(name);
    while (upper.ends_with("/")) upper.pop_back();
    return upper;
}

// "alias  FROM//  TO//" lines of one gconv-modules file.
void ReadAliases(const std::string& path, std::unordered_map<std::string, std::string>& aliases) {
    std::ifstream file(path);
    std::string line;
    std::size_t read = 0;
    while (std::getline(file, line) && (read += line.size()) < kMaxGconvFileBytes) {
        const auto words = SplitAtAny(line, " \t");
        if (words.size() < 3 || words[0] != "alias") continue;
        aliases.emplace(UpperName(words[1]), UpperName(words[2]));
    }
}

const std::unordered_map<std::string, std::string>& Aliases() {
    static const auto table = [] {
        std::unordered_map<std::string, std::string> aliases;
        std::vector<std::string> directories;
        if (const char* configured = std::getenv("GCONV_PATH")) {
            for (auto& directory : SplitAtAny(configured, ":")) directories.push_back(std::move(directory));
        }
        for (const auto directory : kGconvDirectories) directories.emplace_back(directory);
        for (const auto& directory : directories) {
            ReadAliases(directory + "/gconv-modules", aliases);
            const DirStorage extra(directory + "/gconv-modules.d");
            std::vector<ElementName> names;
            if (Failed(extra.EnumerateNames("*.conf", names))) continue;
            std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
            for (const auto& name : names) ReadAliases(extra.ElementPath(name.name), aliases);
        }
        if (aliases.empty()) core::Log(core::LogLevelWarning, "No iconv alias list found: charset names compare as written");
        return aliases;
    }();
    return table;
}

bool HasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// The charset of each encoded word "=?charset?..." in a header value.
void EncodedWordCharsets(std::string_view value, std::vector<std::string>& out) {
    std::size_t at = 0;
    while ((at = value.find("=?", at)) != std::string_view::npos) {
        const std::size_t end = value.find('?', at + 2);
        if (end == std::string_view::npos) return;
        out.emplace_back(value.substr(at + 2, end - at - 2));
        at = end + 1;
    }
}

}  // namespace

std::string CanonicalCharset(std::string_view name) {
    std::string bare;
    for (const char c : TrimAscii(name)) {
        if (c != '"' && c != '\'') bare += c;
    }
    if (const std::size_t star = bare.find('*'); star != std::string::npos) bare.resize(star);
    std::string canonical = UpperName(TrimAscii(bare));
    const auto& aliases = Aliases();
    for (int step = 0; step < kMaxAliasSteps; ++step) {
        const auto found = aliases.find(canonical);
        if (found == aliases.end() || found->second == canonical) break;
        canonical = found->second;
    }
    return canonical;
}

std::vector<std::string> DeclaredCharsets(const mime::Message& message) {
    std::vector<std::string> declared;
    EncodedWordCharsets(message.Subject(), declared);
    const auto top = mime::ParameterValue(mime::ParseParameters(message.ContentSubTypeParameters()), "charset");
    if (!top.empty()) declared.push_back(top);
    if (!message.IsMimeEncoded()) return declared;
    for (auto position = message.SearchForPart("text", {}); !position.empty();
         position = message.SearchForPart("text", position)) {
        const auto part = message.GetPart(position);
        if (!part) break;
        const auto charset = mime::ParameterValue(mime::ParseParameters(part->ContentSubTypeParameters()), "charset");
        if (!charset.empty()) declared.push_back(charset);
    }
    return declared;
}

std::optional<std::vector<std::string>> ParseCharsetFile(std::string_view bytes) {
    std::vector<std::string> names;
    if (bytes.empty()) return names;
    RecordReader reader(bytes);
    if (reader.U32() != kCharsetHeader) return std::nullopt;
    while (!reader.AtEnd()) {
        const auto name = reader.Bytes(kMaxCharsetName);
        if (!name || names.size() >= kMaxCharsets) return std::nullopt;
        names.emplace_back(*name);
    }
    return names;
}

std::string SerialiseCharsetFile(const std::vector<std::string>& names) {
    std::string bytes;
    AppendU32(bytes, kCharsetHeader);
    for (const auto& name : names) AppendBytes(bytes, name);
    return bytes;
}

std::string CharSetFilter::FileName() { return store::AgentFileName(kCharSetFilterClassId); }

HRESULT CharSetFilter::Load(const DirStorage& root) {
    root_ = root;
    attached_ = true;
    identity_ = {};
    identity_.inode = ~std::uint64_t{0};  // never a real file's: the first Refresh reads
    Refresh();
    return loaded_ ? S_OK : E_FAIL;
}

bool CharSetFilter::Refresh() {
    if (!attached_) return false;
    FileIdentity identity;
    if (Failed(IdentifyListFile(root_, FileName(), identity)) || identity == identity_) return loaded_;
    std::string bytes;
    const HRESULT hr = ReadListFile(root_, FileName(), kMaxCharsetFileBytes, bytes, identity);
    auto names = Succeeded(hr) ? ParseCharsetFile(bytes) : std::nullopt;
    if (!names) {
        core::Log(core::LogLevelCritical, "The charset filter's file " + root_.ElementPath(FileName()) +
                                              " is damaged or unreadable; the filter is not used until it is replaced");
        names_.clear();
        canonical_.clear();
        identity_ = identity;
        loaded_ = false;
        return false;
    }
    Take(std::move(*names), identity);
    return true;
}

void CharSetFilter::Take(std::vector<std::string> names, FileIdentity identity) {
    canonical_.clear();
    for (const auto& name : names) canonical_.push_back(CanonicalCharset(name));
    names_ = std::move(names);
    identity_ = identity;
    loaded_ = true;
}

std::optional<std::string> CharSetFilter::Match(std::string_view declared) const {
    const std::string wanted = CanonicalCharset(declared);
    if (wanted.empty()) return std::nullopt;
    for (std::size_t i = 0; i < canonical_.size(); ++i) {
        if (canonical_[i] == wanted) return names_[i];
    }
    return std::nullopt;
}

double CharSetFilter::Spamicity(const mime::Message& message, std::string& results) const {
    if (!loaded_ || names_.empty()) return 0;
    for (const auto& declared : DeclaredCharsets(message)) {
        if (auto hit = Match(declared)) {
            results = std::move(*hit);
            return kCharsetSpamScore;
        }
    }
    return 0;
}

HRESULT CharSetFilter::Add(std::string_view name) {
    const std::string upper = ToUpperAscii(TrimAscii(name));
    if (upper.empty() || upper.size() > kMaxCharsetName || HasControl(upper) || CanonicalCharset(upper).empty()) {
        return E_INVALIDARG;
    }
    return Change([&](std::vector<std::string>& names) {
        const std::string wanted = CanonicalCharset(upper);
        if (std::any_of(names.begin(), names.end(), [&](const auto& n) { return CanonicalCharset(n) == wanted; })) return S_FALSE;
        if (names.size() >= kMaxCharsets) return E_FAIL;
        names.push_back(upper);
        return S_OK;
    });
}

HRESULT CharSetFilter::Remove(std::string_view name) {
    const std::string wanted = CanonicalCharset(name);
    return Change([&](std::vector<std::string>& names) {
        const auto kept = std::remove_if(names.begin(), names.end(), [&](const auto& n) { return CanonicalCharset(n) == wanted; });
        if (kept == names.end()) return S_FALSE;
        names.erase(kept, names.end());
        return S_OK;
    });
}

HRESULT CharSetFilter::RemoveAll() {
    return Change([](std::vector<std::string>& names) {
        names.clear();
        return S_OK;
    });
}

HRESULT CharSetFilter::Change(const std::function<HRESULT(std::vector<std::string>&)>& change) {
    if (!attached_) return E_FAIL;
    const HRESULT hr = ChangeListFile(root_, FileName(), kMaxCharsetFileBytes, [&](std::string& bytes) {
        auto names = ParseCharsetFile(bytes);
        if (!names) return E_FAIL;
        if (const HRESULT changed = change(*names); changed != S_OK) return changed;
        bytes = SerialiseCharsetFile(*names);
        return S_OK;
    });
    Refresh();
    return hr;
}

}  // namespace pw::antispam
