// SeenUids: the table's file.
#include "pop3pickup/SeenUids.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "platform/FileStream.h"
#include "platform/Text.h"

namespace pw::pop3pickup {

namespace {

constexpr std::string_view kFirstLine = "pellworth-pop3pickup-seen 1";

// FNV-1a, 64 bits: a stable name, not a secret; the identity lines inside decide.
std::uint64_t Digest(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// Server and account lines must stay one line each.
std::string OneLine(std::string_view text) {
    std::string line;
    for (const char c : text) line += (c == '\r' || c == '\n') ? ' ' : c;
    return line;
}

}  // namespace

SeenUids::SeenUids(const std::string& storeRoot, std::string server, std::uint16_t port, std::string account)
    : directory_(DirStorage(storeRoot).ElementPath(kSeenDirectoryName)), server_(std::move(server)), port_(port), account_(std::move(account)) {}

std::string SeenUids::FileName() const {
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.seen",
                  static_cast<unsigned long long>(Digest(ToLowerAscii(server_) + "\n" + std::to_string(port_) + "\n" + account_)));
    return name;
}

std::string SeenUids::Serialize() const {
    std::string text = std::string(kFirstLine) + "\nserver " + OneLine(ToLowerAscii(server_)) + "\nport " + std::to_string(port_) +
                       "\naccount " + OneLine(account_) + "\n";
    for (const auto& [uid, entry] : entries_) {
        text += uid + " " + std::to_string(entry.firstSeen) + (entry.state == State::Kept ? " kept\n" : " delivered\n");
    }
    return text;
}

bool SeenUids::Parse(std::string_view text) {
    entries_.clear();
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    if (lines.size() < 4 || lines[0] != kFirstLine || lines[1] != "server " + OneLine(ToLowerAscii(server_)) ||
        lines[2] != "port " + std::to_string(port_) || lines[3] != "account " + OneLine(account_)) {
        return false;
    }
    for (std::size_t i = 4; i < lines.size(); ++i) {
        const std::vector<std::string> fields = SplitAtAny(lines[i], " ");
        if (fields.size() != 3 || fields[0].empty()) continue;
        Entry entry;
        const auto [end, error] = std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), entry.firstSeen);
        if (error != std::errc() || end != fields[1].data() + fields[1].size()) continue;
        if (fields[2] == "kept") {
            entry.state = State::Kept;
        } else if (fields[2] == "delivered") {
            entry.state = State::Delivered;
        } else {
            continue;
        }
        entries_[fields[0]] = entry;
    }
    return true;
}

bool SeenUids::Load() {
    entries_.clear();
    std::unique_ptr<FileStream> stream;
    const HRESULT hr = directory_.OpenStream(FileName(), STGM_READ | STGM_SHARE_DENY_NONE, stream);
    if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return true;
    if (Failed(hr)) return false;
    std::vector<std::byte> bytes;
    if (Failed(ReadToEnd(*stream, bytes))) return false;
    return Parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool SeenUids::Save() const {
    if (Failed(directory_.CreateSelf())) return false;
    const std::string text = Serialize();
    return Succeeded(directory_.ReplaceStream(FileName(), std::as_bytes(std::span(text.data(), text.size()))));
}

const SeenUids::Entry* SeenUids::Find(std::string_view uid) const {
    const auto found = entries_.find(uid);
    return found == entries_.end() ? nullptr : &found->second;
}

}  // namespace pw::pop3pickup
