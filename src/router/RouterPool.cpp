// RouterPool: the router threads, their retries, and the held folder for messages that keep failing
// or keep killing the process.
//
// Each router thread keeps a mark file in the queue folder ("router<n>.mark") that names the envelope
// it is routing and is emptied when that routing ends, however it ends. The mark is written without
// a flush: it has to outlive the death of the process (a crash, an out-of-memory kill), which the
// page cache gives for free, not the loss of the machine. At start-up, before any router runs, a
// mark that still names an envelope is counted on that envelope ("router:interrupted", flushed);
// one interrupted kMaxInterruptedRoutings times is held instead of being routed again forever.
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "platform/EventLog.h"
#include "platform/FileStream.h"
#include "platform/Text.h"
#include "router/Router.h"
#include "router/RouterQueue.h"
#include "store/UidCounter.h"

namespace pw::router {

namespace {

// A router looks at its stop flag at least this often while the queue is empty.
constexpr std::chrono::milliseconds kIdleWait{250};
// The marks of the router threads in the queue folder; longest stem a mark may hold.
constexpr std::string_view kMarkPattern = "router*.mark";
constexpr std::size_t kMaxMarkSize = 64;

struct Pool {
    std::mutex lock;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    // Failed attempts per envelope, and the envelopes waiting for their next attempt.
    std::map<double, int> attempts;
    std::multimap<std::chrono::steady_clock::time_point, double> retries;
    std::chrono::seconds retryPause = kRetryPause;
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
void Hold(const store::MessageStore& messageStore, double uid, const std::string& reason) {
    const std::string stem = store::UidStem(uid);
    try {
        const auto envelope = messageStore.InFolder()->GetEnvelopes()->FindEnvelope(uid);
        if (!envelope) return;
        auto held = messageStore.GetFolders()->Item(kHeldFolderName);
        if (!held) held = messageStore.GetFolders()->Add(kHeldFolderName, store::SystemFolderType);
        envelope->CopyTo(held->Storage());
        envelope->Remove();
        const std::string text = Format("The message %s was moved to %s: %s",
                                        {std::string_view(stem), std::string_view(kHeldFolderName), std::string_view(reason)});
        core::Log(core::LogLevelCritical, text);
        ReportEvent(event_kind::kError, text);
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical,
                  Format("The message %s can not even be held: %s", {std::string_view(stem), std::string_view(error.what())}));
    }
}

void Hold(double uid, const std::string& reason) {
    try {
        Hold(*store::OpenServerStore(), uid, reason);
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical, std::string("The store can not be opened to hold a message: ") + error.what());
    }
}

void RoutingFailed(double uid, const std::string& reason) {
    Pool& pool = ThePool();
    int attempts = 0;
    {
        std::lock_guard guard(pool.lock);
        attempts = ++pool.attempts[uid];
        if (attempts < kMaxRouteAttempts) pool.retries.emplace(std::chrono::steady_clock::now() + pool.retryPause, uid);
        if (attempts >= kMaxRouteAttempts) pool.attempts.erase(uid);
    }
    if (attempts >= kMaxRouteAttempts) {
        Hold(uid, Format("it could not be routed %d times (%s)", {std::int64_t{kMaxRouteAttempts}, std::string_view(reason)}));
        return;
    }
    const std::string stem = store::UidStem(uid);
    core::Log(core::LogLevelWarning, Format("Routing %s failed (%s); it is tried again in %d seconds",
                                            {std::string_view(stem), std::string_view(reason),
                                             std::int64_t{pool.retryPause.count()}}));
}

// The routing waits for something outside it (the virus scanner): tried again after the pause, as
// often as it takes, its attempts untouched -- only a fault of the message itself should hold it.
void RoutingDeferred(double uid) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.retries.emplace(std::chrono::steady_clock::now() + pool.retryPause, uid);
}

// One envelope whose routing the death of the process cut off: counted, or held the last time.
void CountInterruption(const store::MessageStore& messageStore, double uid) {
    const auto envelope = messageStore.InFolder()->GetEnvelopes()->FindEnvelope(uid);
    if (!envelope) return;  // its routing had finished after all
    const std::string stem = store::UidStem(uid);
    const std::int32_t count = envelope->GetProperties().Number(kInterruptedKey) + 1;
    if (count >= kMaxInterruptedRoutings) {
        Hold(messageStore, uid, Format("its routing was cut off by the end of the process %d times", {std::int64_t{count}}));
        return;
    }
    envelope->GetProperties().SetItem(kInterruptedKey, Variant::I4(count));
    envelope->Update();
    core::Log(core::LogLevelWarning, Format("The routing of %s was cut off by the end of the process (%d of %d times); it is routed again",
                                            {std::string_view(stem), std::int64_t{count}, std::int64_t{kMaxInterruptedRoutings}}));
}

// Reads the marks the router threads of the last run left behind, before any router of this run
// writes its own, and removes them.
void RecoverInterruptedRoutings() {
    try {
        const auto messageStore = store::OpenServerStore();
        const DirStorage queue = messageStore->InFolder()->Storage();
        std::vector<ElementInfo> marks;
        if (Failed(queue.Enumerate(kMarkPattern, marks))) return;
        for (const auto& mark : marks) {
            std::unique_ptr<FileStream> stream;
            std::vector<std::byte> bytes;
            if (Succeeded(queue.OpenStream(mark.name, STGM_READ | STGM_SHARE_DENY_NONE, stream)) &&
                Succeeded(ReadToEnd(*stream, bytes)) && !bytes.empty() && bytes.size() <= kMaxMarkSize) {
                stream.reset();
                double uid = 0;
                const std::string stem(TrimAscii(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
                try {
                    if (store::UidFromStem(stem, uid)) CountInterruption(*messageStore, uid);
                } catch (const ComError& error) {
                    core::Log(core::LogLevelCritical, "The interrupted routing of " + stem + " can not be counted: " + error.what());
                }
            }
            stream.reset();
            // A mark that stays is harmless: its thread empties it before it routes anything.
            if (Failed(queue.DestroyElement(mark.name))) core::Log(core::LogLevelWarning, "The routing mark " + mark.name + " can not be removed");
        }
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical, std::string("The routing marks can not be read: ") + error.what());
    }
}

// A router thread's mark: names the envelope in hand while it is routed.
class RoutingMark {
public:
    explicit RoutingMark(unsigned index) : name_(Format("router%u.mark", {std::uint64_t{index}})) {}
    ~RoutingMark() {
        if (!stream_) return;
        stream_.reset();
        // An empty mark left behind names nothing and is passed over at the next start.
        (void)folder_.DestroyElement(name_);
    }
    RoutingMark(const RoutingMark&) = delete;
    RoutingMark& operator=(const RoutingMark&) = delete;

    void Set(const std::string& stem) {
        if (!stream_) Open();
        if (!stream_) return;
        const std::string text = stem + "\n";
        if (Failed(stream_->Seek(0, SeekOrigin::Begin)) || Failed(stream_->Write(std::string_view(text))) ||
            Failed(stream_->SetSize(text.size()))) {
            core::Log(core::LogLevelWarning, "The routing mark " + name_ + " can not be written");
        }
    }
    void Clear() {
        if (stream_ && Failed(stream_->SetSize(0))) core::Log(core::LogLevelWarning, "The routing mark " + name_ + " can not be cleared");
    }

private:
    void Open() {
        try {
            folder_ = store::OpenServerStore()->InFolder()->Storage();
            if (Failed(folder_.CreateStream(name_, STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, stream_))) stream_.reset();
        } catch (const ComError&) {
            stream_.reset();
        }
        if (!stream_) core::Log(core::LogLevelWarning, "The routing mark " + name_ + " can not be made");
    }

    std::string name_;
    DirStorage folder_;
    std::unique_ptr<FileStream> stream_;
};

void RoutingSucceeded(double uid) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.attempts.erase(uid);
}

void RouterThread(unsigned index) {
    Pool& pool = ThePool();
    std::unique_ptr<Router> router;
    RoutingMark mark(index);
    while (!pool.stop) {
        ReleaseDueRetries();
        const auto uid = RouterQueue::Instance().Take(kIdleWait);
        if (!uid) continue;
        mark.Set(store::UidStem(*uid));
        try {
            if (!router) router = std::make_unique<Router>();
            router->RouteEnvelope(*uid);
            mark.Clear();
            RouterQueue::Instance().Done(*uid);
            RoutingSucceeded(*uid);
        } catch (const ScanDeferred&) {
            mark.Clear();
            RouterQueue::Instance().Done(*uid);
            RoutingDeferred(*uid);
        } catch (const std::exception& error) {
            // A context that could not open the store is made again for the next envelope.
            router.reset();
            mark.Clear();
            RouterQueue::Instance().Done(*uid);
            RoutingFailed(*uid, error.what());
        }
    }
}

}  // namespace

void StartRouters(unsigned count) {
    // Before any router writes its mark: what the marks of the last run still name was cut off.
    RecoverInterruptedRoutings();
    // Before any router runs: the no-respond-to list's defaults are then on disk after the first
    // start whatever happens next, and the lists are read once for all routers.
    try {
        PrepareSpamLists(*store::OpenServerStore());
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, std::string("The spam lists can not be prepared: ") + error.what());
    }
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.stop = false;
    if (const std::uint32_t seconds = core::ReadDebugSwitch(Registry::System(), "RouterRetryPause"); seconds != 0) {
        pool.retryPause = std::chrono::seconds(seconds);
    }
    for (unsigned i = 0; i < count; ++i) {
        try {
            pool.threads.emplace_back(RouterThread, i);
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
