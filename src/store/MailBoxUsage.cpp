// MailBoxUsage: the process's mailbox figures and the changes that adjust them.
#include "store/MailBoxUsage.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "store/StoreObject.h"

namespace pw::store {

namespace {

using Clock = std::chrono::steady_clock;

struct Kept {
    MailBoxUsage usage;
    bool valid = false;
    Clock::time_point counted;
    // Moves with every change that starts or ends: a count that saw it move is not kept.
    std::uint64_t generation = 0;
    // Changes registered with this entry and not yet finished.
    std::uint32_t pending = 0;
};

std::mutex keptLock;
std::unordered_map<std::string, Kept>& KeptUsages() {
    static std::unordered_map<std::string, Kept> kept;
    return kept;
}

// Makes room for one more entry: the oldest figures without a change in progress go first.
void MakeRoom(std::unordered_map<std::string, Kept>& kept) {
    if (kept.size() < kMaxKeptUsages) return;
    std::vector<std::pair<Clock::time_point, std::string>> idle;
    for (const auto& [path, entry] : kept) {
        if (entry.pending == 0) idle.emplace_back(entry.counted, path);
    }
    std::sort(idle.begin(), idle.end());
    const std::size_t drop = std::min(idle.size(), kept.size() - kMaxKeptUsages / 2);
    for (std::size_t i = 0; i < drop; ++i) kept.erase(idle[i].second);
}

std::uint64_t Adjusted(std::uint64_t value, std::int64_t delta) {
    if (delta < 0 && static_cast<std::uint64_t>(-delta) > value) return 0;
    return value + static_cast<std::uint64_t>(delta);
}

}  // namespace

MailBoxUsage KeptUsage(const std::string& mailbox, std::chrono::seconds maxAge, const std::function<MailBoxUsage()>& count) {
    std::uint64_t generation = 0;
    bool quiet = false;
    {
        const std::lock_guard guard(keptLock);
        auto& kept = KeptUsages();
        if (!kept.contains(mailbox)) MakeRoom(kept);
        Kept& entry = kept[mailbox];
        if (entry.valid && Clock::now() - entry.counted < maxAge) return entry.usage;
        generation = entry.generation;
        quiet = entry.pending == 0;
    }
    const MailBoxUsage counted = count();
    const std::lock_guard guard(keptLock);
    const auto found = KeptUsages().find(mailbox);
    if (quiet && found != KeptUsages().end() && found->second.generation == generation) {
        found->second.usage = counted;
        found->second.valid = true;
        found->second.counted = Clock::now();
    }
    return counted;
}

std::optional<std::string> MailBoxPathOf(const DirStorage& folder, const std::string& rootPath) {
    const std::string root = DirStorage(rootPath).Path();
    const std::string relative = RelativeStorePath(folder, root);
    const std::size_t domainEnd = relative.find('/');
    if (domainEnd == std::string::npos) return std::nullopt;
    const std::size_t mailboxEnd = relative.find('/', domainEnd + 1);
    if (mailboxEnd == std::string::npos) return std::nullopt;
    return root + relative.substr(0, mailboxEnd + 1);
}

UsageChange::UsageChange(const DirStorage& folder, const std::string& rootPath) : mailbox_(MailBoxPathOf(folder, rootPath)) {
    if (!mailbox_) return;
    const std::lock_guard guard(keptLock);
    const auto found = KeptUsages().find(*mailbox_);
    if (found == KeptUsages().end()) return;
    ++found->second.generation;
    ++found->second.pending;
    registered_ = true;
}

UsageChange::~UsageChange() { Finish(std::nullopt); }

void UsageChange::Commit(std::int64_t bytes, std::int64_t messages) { Finish(Delta{bytes, messages}); }

void UsageChange::Finish(std::optional<Delta> delta) {
    if (finished_ || !mailbox_) return;
    finished_ = true;
    const std::lock_guard guard(keptLock);
    const auto found = KeptUsages().find(*mailbox_);
    if (found == KeptUsages().end()) return;
    Kept& entry = found->second;
    ++entry.generation;
    if (registered_) --entry.pending;
    // An entry made after this change began may already have counted it: only a registered change
    // with its size adjusts the figure; anything else makes it count again.
    if (!registered_ || !delta) {
        entry.valid = false;
        return;
    }
    entry.usage.bytes = Adjusted(entry.usage.bytes, delta->bytes);
    entry.usage.messages = Adjusted(entry.usage.messages, delta->messages);
}

void ForgetUsage(const DirStorage& folder, const std::string& rootPath) {
    const auto mailbox = MailBoxPathOf(folder, rootPath);
    if (!mailbox) return;
    const std::lock_guard guard(keptLock);
    const auto found = KeptUsages().find(*mailbox);
    if (found == KeptUsages().end()) return;
    found->second.valid = false;
    ++found->second.generation;
}

void ForgetAllUsages() {
    const std::lock_guard guard(keptLock);
    for (auto& [path, entry] : KeptUsages()) {
        entry.valid = false;
        ++entry.generation;
    }
}

}  // namespace pw::store
