// LoginFailures: the bounded, ageing table of failed logins and the pause they cost.
#include "net/LoginFailures.h"

#include <algorithm>

#include "platform/Text.h"

namespace pw::net {

LoginFailures::LoginFailures(std::size_t capacity, std::function<Clock::time_point()> now)
    : capacity_(std::max<std::size_t>(capacity, 1)), now_(std::move(now)) {}

LoginFailures& LoginFailures::Instance() {
    static LoginFailures table;
    return table;
}

std::chrono::milliseconds LoginFailures::PauseAfter(std::uint64_t failures) {
    auto pause = kFirstFailurePause;
    for (std::uint64_t i = 1; i < failures && pause < kMaxFailurePause; ++i) pause *= 2;
    return std::min(pause, kMaxFailurePause);
}

void LoginFailures::Expire(Clock::time_point now) {
    while (!byAge_.empty() && now - byAge_.front().last >= kLoginFailureMemory) {
        index_.erase(byAge_.front().key);
        byAge_.pop_front();
    }
}

std::uint64_t LoginFailures::CountFrom(const IpAddress& client) const {
    std::uint64_t count = 0;
    for (auto at = index_.lower_bound(Key{client, {}}); at != index_.end() && at->first.client == client; ++at) {
        count += at->second->failures;
    }
    return count;
}

std::chrono::milliseconds LoginFailures::Failed(const IpAddress& client, std::string_view user) {
    Key key{client, ToLowerAscii(user)};
    std::lock_guard guard(lock_);
    // Read under the lock: the list stays in the order of the failures' times.
    const auto now = now_();
    Expire(now);
    if (const auto found = index_.find(key); found != index_.end()) {
        byAge_.splice(byAge_.end(), byAge_, found->second);
    } else {
        if (index_.size() >= capacity_) {
            index_.erase(byAge_.front().key);
            byAge_.pop_front();
        }
        byAge_.push_back(Entry{key, 0, now});
        index_.emplace(std::move(key), std::prev(byAge_.end()));
    }
    Entry& entry = byAge_.back();
    ++entry.failures;
    entry.last = now;
    return PauseAfter(CountFrom(client));
}

void LoginFailures::Succeeded(const IpAddress& client, std::string_view user) {
    std::lock_guard guard(lock_);
    const auto found = index_.find(Key{client, ToLowerAscii(user)});
    if (found == index_.end()) return;
    byAge_.erase(found->second);
    index_.erase(found);
}

std::uint64_t LoginFailures::FailuresFrom(const IpAddress& client) {
    std::lock_guard guard(lock_);
    Expire(now_());
    return CountFrom(client);
}

std::size_t LoginFailures::Size() {
    std::lock_guard guard(lock_);
    Expire(now_());
    return index_.size();
}

}  // namespace pw::net
