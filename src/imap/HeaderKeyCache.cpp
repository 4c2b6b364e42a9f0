// HeaderKeyCache: the per-process keys of SORT and THREAD, evicted by folder.
#include "imap/HeaderKeyCache.h"

#include <algorithm>

namespace pw::imap {

namespace {

// A hash map node and its bucket, besides the value.
constexpr std::size_t kEntryOverhead = 64;

std::size_t HeapBytes(const std::string& text) { return text.capacity() > 15 ? text.capacity() + 1 : 0; }

}  // namespace

std::size_t HeaderKeys::Bytes() const {
    std::size_t bytes = sizeof(HeaderKeys) + kEntryOverhead + HeapBytes(messageId) + HeapBytes(inReplyTo);
    for (const std::string& text : texts) bytes += HeapBytes(text);
    bytes += references.capacity() * sizeof(std::string);
    for (const std::string& id : references) bytes += HeapBytes(id);
    return bytes;
}

HeaderKeyCache& HeaderKeyCache::Shared() {
    static HeaderKeyCache cache;
    return cache;
}

std::vector<std::shared_ptr<const HeaderKeys>> HeaderKeyCache::Find(const std::string& folder, const std::vector<Wanted>& wanted) {
    std::vector<std::shared_ptr<const HeaderKeys>> found(wanted.size());
    const std::lock_guard lock(mutex_);
    const auto at = folders_.find(folder);
    if (at == folders_.end()) return found;
    at->second.used = ++clock_;
    const auto& keys = at->second.keys;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const auto entry = keys.find(wanted[i].uid);
        if (entry != keys.end() && entry->second->contentSize == wanted[i].contentSize) found[i] = entry->second;
    }
    return found;
}

void HeaderKeyCache::Store(const std::string& folder, const std::vector<std::pair<std::uint32_t, std::shared_ptr<const HeaderKeys>>>& keys) {
    if (keys.empty()) return;
    const std::lock_guard lock(mutex_);
    Folder& entry = folders_[folder];
    entry.used = ++clock_;
    for (const auto& [uid, value] : keys) {
        const std::size_t bytes = value->Bytes();
        auto [at, added] = entry.keys.try_emplace(uid, value);
        if (!added) {
            // Read again for new content: the old entry's bytes go.
            const std::size_t old = at->second->Bytes();
            entry.bytes -= old;
            bytes_ -= old;
            at->second = value;
        } else if (bytes_ + bytes > maxBytes_) {
            Evict(folder, bytes);
            if (bytes_ + bytes > maxBytes_) {
                // This folder alone fills the cache: it keeps what it has.
                entry.keys.erase(at);
                break;
            }
        }
        entry.bytes += bytes;
        bytes_ += bytes;
    }
    if (entry.keys.empty()) folders_.erase(folder);
}

std::size_t HeaderKeyCache::Bytes() const {
    const std::lock_guard lock(mutex_);
    return bytes_;
}

void HeaderKeyCache::Evict(const std::string& keep, std::size_t needed) {
    while (bytes_ + needed > maxBytes_) {
        auto oldest = folders_.end();
        for (auto at = folders_.begin(); at != folders_.end(); ++at) {
            if (at->first != keep && (oldest == folders_.end() || at->second.used < oldest->second.used)) oldest = at;
        }
        if (oldest == folders_.end()) return;
        bytes_ -= oldest->second.bytes;
        folders_.erase(oldest);
    }
}

}  // namespace pw::imap
