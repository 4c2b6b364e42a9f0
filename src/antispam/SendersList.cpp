// SendersList: the sender lists' file format, normaliser, matching and changes (see SendersList.h).
#include "antispam/SendersList.h"

#include "antispam/AntispamLimits.h"
#include "antispam/ListFile.h"
#include "core/Logging.h"
#include "mime/Address.h"
#include "platform/Text.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace pw::antispam {

const std::string_view kNoRespondDefaults[8] = {
    "\"Mail Daemon\" <mail-daemon@*>", "\"Mailer Daemon\" <mailer-daemon@*>", "\"List Serv\" <listserv@*>",
    "\"List Server\" <listserver@*>",  "\"Majordom\" <majordom@*>",           "\"root\" <root@*>",
    "\"Postmaster\" <postmaster@*>",   "\"null\" <null@*>",
};

struct SendersList::Snapshot {
    std::vector<SenderEntry> entries;
    // Every key, for exact matches (a pattern matches itself too).
    std::unordered_set<std::string> keys;
    // "*@DOMAIN" patterns with no other wildcard, by DOMAIN: the common case, found by hash.
    std::unordered_set<std::string> anyAtDomain;
    // The other patterns, matched one by one.
    std::vector<std::string> patterns;
    FileIdentity identity;
    bool damaged = false;
};

namespace {

constexpr std::uint32_t kListHeader = 1;
constexpr std::size_t kMaxListFileBytes = 4 + kMaxListEntries * (8 + 2 * kMaxListText);

bool IsPattern(std::string_view key) { return key.find_first_of("*?") != std::string_view::npos; }

bool HasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::shared_ptr<const SendersList::Snapshot> MakeSnapshot(std::vector<SenderEntry> entries, FileIdentity identity,
                                                          bool damaged) {
    auto snapshot = std::make_shared<SendersList::Snapshot>();
    snapshot->identity = identity;
    snapshot->damaged = damaged;
    for (const auto& entry : entries) {
        snapshot->keys.insert(entry.key);
        if (!IsPattern(entry.key)) continue;
        const std::string_view domain = std::string_view(entry.key).substr(std::min<std::size_t>(2, entry.key.size()));
        if (entry.key.starts_with("*@") && !IsPattern(domain)) {
            snapshot->anyAtDomain.emplace(domain);
        } else {
            snapshot->patterns.push_back(entry.key);
        }
    }
    snapshot->entries = std::move(entries);
    return snapshot;
}

// Parsed lists shared by every list object of the process, by path: four routers read one copy, and
// a replaced file is parsed once.
std::mutex cacheLock;
std::map<std::string, std::shared_ptr<const SendersList::Snapshot>> cache;

// Adds or renames in place; false when the list is full.
bool Put(std::vector<SenderEntry>& entries, std::unordered_map<std::string, std::size_t>& index, SenderEntry entry) {
    if (const auto found = index.find(entry.key); found != index.end()) {
        entries[found->second].name = std::move(entry.name);
        return true;
    }
    if (entries.size() >= kMaxListEntries) return false;
    index.emplace(entry.key, entries.size());
    entries.push_back(std::move(entry));
    return true;
}

}  // namespace

SenderEntry NormaliseSender(std::string_view text) {
    SenderEntry entry;
    if (IsPattern(text)) {
        const std::size_t open = text.find('<');
        for (const char c : TrimAscii(text.substr(0, open))) {
            if (c != '"') entry.name += c;
        }
        std::string working;
        for (const char c : open == std::string_view::npos ? text : text.substr(open)) {
            if (c != '<' && c != '>') working += c;
        }
        entry.key = std::string(TrimAscii(working));
        if (entry.name.empty() && open != std::string_view::npos) entry.name = entry.key;
        if (entry.name.empty()) entry.key.clear();
        return entry;
    }
    mime::ParsedAddress parsed;
    if (!mime::ParseAddress(text, parsed) || parsed.local.empty() || parsed.domain.empty()) return entry;
    entry.key = parsed.local + "@" + parsed.domain;
    entry.name = parsed.name;
    return entry;
}

bool WildcardMatch(std::string_view pattern, std::string_view text) {
    // Greedy with one backtrack point: a later star supersedes an earlier one, so the work is at most
    // pattern times text and, for the patterns lists hold, linear.
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::optional<std::vector<SenderEntry>> ParseSendersFile(std::string_view bytes) {
    std::vector<SenderEntry> entries;
    if (bytes.empty()) return entries;
    RecordReader reader(bytes);
    if (reader.U32() != kListHeader) return std::nullopt;
    std::unordered_map<std::string, std::size_t> index;
    while (!reader.AtEnd()) {
        const auto key = reader.Bytes(kMaxListText);
        if (!key) return std::nullopt;
        const auto name = reader.Bytes(kMaxListText);
        if (!name) return std::nullopt;
        if (key->empty()) continue;
        if (!Put(entries, index, {std::string(*key), std::string(*name)})) return std::nullopt;
    }
    return entries;
}

std::string SerialiseSendersFile(const std::vector<SenderEntry>& entries) {
    std::string bytes;
    AppendU32(bytes, kListHeader);
    for (const auto& entry : entries) {
        AppendBytes(bytes, entry.key);
        AppendBytes(bytes, entry.name);
    }
    return bytes;
}

std::string EntryText(const SenderEntry& entry) { return "\"" + entry.name + "\" <" + entry.key + ">"; }

SendersList::SendersList(std::string fileName) : fileName_(std::move(fileName)) {}

HRESULT SendersList::Load(const DirStorage& root) {
    root_ = root;
    attached_ = true;
    current_.reset();
    Refresh();
    if (!current_) return STG_E_READFAULT;
    return current_->damaged ? E_FAIL : S_OK;
}

bool SendersList::Loaded() const { return current_ && !current_->damaged; }

bool SendersList::Refresh() {
    if (!attached_) return false;
    FileIdentity identity;
    if (Failed(IdentifyListFile(root_, fileName_, identity))) return Loaded();
    if (current_ && current_->identity == identity) return Loaded();
    const std::string path = root_.ElementPath(fileName_);
    std::lock_guard guard(cacheLock);
    if (const auto cached = cache.find(path); cached != cache.end() && cached->second->identity == identity) {
        current_ = cached->second;
        return Loaded();
    }
    std::string bytes;
    const HRESULT hr = ReadListFile(root_, fileName_, kMaxListFileBytes, bytes, identity);
    if (Failed(hr) && hr != STG_E_INSUFFICIENTMEMORY) {
        core::Log(core::LogLevelWarning, "The list " + path + " can not be read (" + HresultText(hr) + "); kept as it was");
        return Loaded();
    }
    auto entries = Succeeded(hr) ? ParseSendersFile(bytes) : std::nullopt;
    if (!entries) {
        core::Log(core::LogLevelCritical, "The list " + path + " is damaged; it is not used until it is replaced");
    }
    current_ = MakeSnapshot(entries ? std::move(*entries) : std::vector<SenderEntry>{}, identity, !entries);
    cache[path] = current_;
    return Loaded();
}

std::size_t SendersList::Count() const { return Loaded() ? current_->entries.size() : 0; }

bool SendersList::IsInList(std::string_view address) const {
    if (!Loaded()) return false;
    const std::string key = NormaliseSender(address).key;
    if (key.empty()) return false;
    const Snapshot& list = *current_;
    if (list.keys.contains(key)) return true;
    if (const std::size_t at = key.find('@'); at != std::string::npos && !list.anyAtDomain.empty()) {
        if (list.anyAtDomain.contains(key.substr(at + 1))) return true;
    }
    return std::any_of(list.patterns.begin(), list.patterns.end(),
                       [&](const std::string& pattern) { return WildcardMatch(pattern, key); });
}

HRESULT SendersList::Add(std::string_view text) { return AddAll({text}); }

HRESULT SendersList::AddAll(const std::vector<std::string_view>& texts) {
    std::vector<SenderEntry> additions;
    for (const auto text : texts) {
        SenderEntry entry = NormaliseSender(text);
        if (entry.key.empty()) continue;
        if (entry.key.size() > kMaxListText || entry.name.size() > kMaxListText) return E_INVALIDARG;
        if (HasControl(entry.key) || HasControl(entry.name)) return E_INVALIDARG;
        additions.push_back(std::move(entry));
    }
    if (additions.empty()) return S_FALSE;
    return Change(additions, nullptr);
}

HRESULT SendersList::Remove(std::string_view text) {
    const SenderEntry entry = NormaliseSender(text);
    if (entry.key.empty()) return S_FALSE;
    return Change({}, &entry);
}

HRESULT SendersList::Change(const std::vector<SenderEntry>& additions, const SenderEntry* removal) {
    if (!attached_) return E_FAIL;
    const HRESULT hr = ChangeListFile(root_, fileName_, kMaxListFileBytes, [&](std::string& bytes) {
        auto entries = ParseSendersFile(bytes);
        if (!entries) return E_FAIL;
        if (removal) {
            const auto found = std::find_if(entries->begin(), entries->end(),
                                            [&](const SenderEntry& entry) { return entry.key == removal->key; });
            if (found == entries->end()) return S_FALSE;
            entries->erase(found);
        }
        std::unordered_map<std::string, std::size_t> index;
        for (std::size_t i = 0; i < entries->size(); ++i) index.emplace((*entries)[i].key, i);
        for (const auto& entry : additions) {
            if (!Put(*entries, index, entry)) return E_FAIL;
        }
        bytes = SerialiseSendersFile(*entries);
        return S_OK;
    });
    Refresh();
    return hr;
}

void SendersList::Reset() {
    enumerated_ = current_;
    cursor_ = 0;
}

std::vector<std::string> SendersList::Next(std::size_t count) {
    std::vector<std::string> texts;
    if (!enumerated_ || enumerated_->damaged) return texts;
    const auto& entries = enumerated_->entries;
    while (texts.size() < count && cursor_ < entries.size()) texts.push_back(EntryText(entries[cursor_++]));
    return texts;
}

HRESULT NoRespondToList::AddDefaults() { return AddAll({std::begin(kNoRespondDefaults), std::end(kNoRespondDefaults)}); }

}  // namespace pw::antispam
