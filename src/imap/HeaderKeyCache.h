// HeaderKeyCache: what SORT and THREAD read of a message's header (its sort keys, sent date and
// message ids), kept per process by folder and UID, so that a client sorting a big folder again --
// webmail does so at every page -- costs a lookup per message instead of a file read.
//
// A UID names one message for the life of its folder's UID validity, and published content is not
// rewritten, so an entry stays true; the content size it was read from is kept with it and checked,
// so content replaced under the same UID (which the store allows its administration tools) is read
// again. Entries of expunged messages stay until their folder is evicted: UIDs are never reused.
// The cache holds at most kHeaderKeyCacheBytes (estimated); past that, the folders used least
// recently go first, and a single folder larger than the whole cache keeps what it has and adds no
// more.
// Thread safety: any thread; one lock, taken once per lookup or store of a whole command's messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace pw::imap {

// 32 MiB: the keys of about 100,000 messages.
inline constexpr std::size_t kHeaderKeyCacheBytes = 32u << 20;

struct HeaderKeys {
    enum Text { Cc, From, Subject, To, DisplayFrom, DisplayTo, kTexts };

    std::uint64_t contentSize = 0;          // of the content they were read from
    std::optional<std::int64_t> sent;       // the Date field in seconds since 1970, when usable
    std::array<std::string, kTexts> texts;  // folded for comparison, at most kMaxSortKeyBytes each
    bool replyOrForward = false;            // the subject had a reply or forward marker
    std::string messageId;                  // "" when missing or not valid
    std::string inReplyTo;
    std::vector<std::string> references;    // oldest first

    // What holding it costs, roughly: the object and its heap.
    std::size_t Bytes() const;
};

class HeaderKeyCache {
public:
    explicit HeaderKeyCache(std::size_t maxBytes = kHeaderKeyCacheBytes) : maxBytes_(maxBytes) {}
    HeaderKeyCache(const HeaderKeyCache&) = delete;
    HeaderKeyCache& operator=(const HeaderKeyCache&) = delete;

    // The process's cache.
    static HeaderKeyCache& Shared();

    struct Wanted {
        std::uint32_t uid = 0;
        std::uint64_t contentSize = 0;
    };
    // The known keys of `wanted` messages of `folder` (a folder's path and UID validity), in the same
    // order; null where not known, or known for other content.
    std::vector<std::shared_ptr<const HeaderKeys>> Find(const std::string& folder, const std::vector<Wanted>& wanted);
    void Store(const std::string& folder, const std::vector<std::pair<std::uint32_t, std::shared_ptr<const HeaderKeys>>>& keys);

    std::size_t Bytes() const;

private:
    struct Folder {
        std::unordered_map<std::uint32_t, std::shared_ptr<const HeaderKeys>> keys;
        std::size_t bytes = 0;
        std::uint64_t used = 0;
    };
    // Under the lock: the folders used least recently removed until `needed` more bytes fit, never
    // `keep`.
    void Evict(const std::string& keep, std::size_t needed);

    mutable std::mutex mutex_;
    std::unordered_map<std::string, Folder> folders_;
    std::size_t bytes_ = 0;
    std::size_t maxBytes_;
    std::uint64_t clock_ = 0;
};

}  // namespace pw::imap
