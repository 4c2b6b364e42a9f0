// RouterPool: the router threads, their retries, and the held folder for messages that keep failing.
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "core/Logging.h"
#include "platform/EventLog.h"
#include "platform/Text.h"
#include "router/Router.h"
#include "router/RouterQueue.h"
#include "store/UidCounter.h"

namespace pw::router {

namespace {

// A router looks at its stop flag at least this often while the queue is empty.
constexpr std::chrono::milliseconds kIdleWait{250};

struct Pool {
    std::mutex lock;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    // Failed attempts per envelope, and the envelopes waiting for their next attempt.
    std::map<double, int> attempts;
    std::multimap<std::chrono::steady_clock::time_point, double> retries;
};

Pool& ThePool() {
    static Pool pool;
    return pool;
}

// Moves the retries that are due back into the queue.
void ReleaseDueRetries() {
    Pool& pool = ThePool();
    std::vector<double> due;
    {
        std::lock_guard guard(pool.lock);
        const auto now = std::chrono::steady_clock::now();
        while (!pool.retries.empty() && pool.retries.begin()->first <= now) {
            due.push_back(pool.retries.begin()->second);
            pool.retries.erase(pool.retries.begin());
        }
    }
    for (const double uid : due) RouterQueue::Instance().Submit(uid);
}

// A message that can not be routed is kept, out of the queue, for an administrator to look at.
void Hold(double uid, const std::string& reason) {
    try {
        const auto messageStore = store::OpenServerStore();
        const auto envelope = messageStore->InFolder()->GetEnvelopes()->FindEnvelope(uid);
        if (!envelope) return;
        auto held = messageStore->GetFolders()->Item(kHeldFolderName);
        if (!held) held = messageStore->GetFolders()->Add(kHeldFolderName, store::SystemFolderType);
        envelope->CopyTo(held->Storage());
        envelope->Remove();
        const std::string stem = store::UidStem(uid);
        const std::string text = Format("The message %s could not be routed %d times and was moved to %s: %s",
                                        {std::string_view(stem), std::int64_t{kMaxRouteAttempts},
                                         std::string_view(kHeldFolderName), std::string_view(reason)});
        core::Log(core::LogLevelCritical, text);
        ReportEvent(event_kind::kError, text);
    } catch (const ComError& error) {
        const std::string stem = store::UidStem(uid);
        core::Log(core::LogLevelCritical,
                  Format("The message %s can not even be held: %s", {std::string_view(stem), std::string_view(error.what())}));
    }
}

void Failed(double uid, const std::string& reason) {
    Pool& pool = ThePool();
    int attempts = 0;
    {
        std::lock_guard guard(pool.lock);
        attempts = ++pool.attempts[uid];
        if (attempts < kMaxRouteAttempts) pool.retries.emplace(std::chrono::steady_clock::now() + kRetryPause, uid);
        if (attempts >= kMaxRouteAttempts) pool.attempts.erase(uid);
    }
    if (attempts >= kMaxRouteAttempts) {
        Hold(uid, reason);
        return;
    }
    const std::string stem = store::UidStem(uid);
    core::Log(core::LogLevelWarning, Format("Routing %s failed (%s); it is tried again in %d seconds",
                                            {std::string_view(stem), std::string_view(reason),
                                             std::int64_t{kRetryPause.count()}}));
}

void Succeeded(double uid) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.attempts.erase(uid);
}

void RouterThread() {
    Pool& pool = ThePool();
    std::unique_ptr<Router> router;
    while (!pool.stop) {
        ReleaseDueRetries();
        const auto uid = RouterQueue::Instance().Take(kIdleWait);
        if (!uid) continue;
        try {
            if (!router) router = std::make_unique<Router>();
            router->RouteEnvelope(*uid);
            RouterQueue::Instance().Done(*uid);
            Succeeded(*uid);
        } catch (const std::exception& error) {
            // A context that could not open the store is made again for the next envelope.
            router.reset();
            RouterQueue::Instance().Done(*uid);
            Failed(*uid, error.what());
        }
    }
}

}  // namespace

void SubmitEnvelope(double uid) { RouterQueue::Instance().Submit(uid); }

void StartRouters(unsigned count) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.stop = false;
    for (unsigned i = 0; i < count; ++i) {
        try {
            pool.threads.emplace_back(RouterThread);
        } catch (const std::system_error& error) {
            core::Log(core::LogLevelCritical, std::string("A router thread can not be started: ") + error.what());
        }
    }
    core::Log(core::LogLevelNormal, Format("%u router threads started", {std::uint64_t{pool.threads.size()}}));
}

void StopRouters() {
    Pool& pool = ThePool();
    std::vector<std::thread> threads;
    {
        std::lock_guard guard(pool.lock);
        pool.stop = true;
        threads.swap(pool.threads);
        pool.retries.clear();
        pool.attempts.clear();
    }
    // Each router finishes the envelope in hand; what is still queued stays in "_In" for the next start.
    for (auto it = threads.rbegin(); it != threads.rend(); ++it) it->join();
}

std::size_t ResubmitQueued(const store::MessageStore& messageStore) {
    const auto uids = messageStore.InFolder()->GetEnvelopes()->Uids();
    for (const double uid : uids) SubmitEnvelope(uid);
    return uids.size();
}

}  // namespace pw::router
