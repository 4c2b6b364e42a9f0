// SendReceiveCycle: the cycle thread, its requests and the wait for what a cycle started.
#include "smtp/SendReceiveCycle.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "smtp/Dialer.h"
#include "smtp/PickupReturnList.h"
#include "smtp/SmtpPickup.h"
#include "smtp/Transport.h"

namespace pw::smtp {

namespace {

constexpr int kTextCycleStarted = 108;
constexpr int kTextCycleFinished = 109;
// How often the wait looks at the returned sessions, which announce nothing.
constexpr std::chrono::seconds kReturnPoll{1};

struct Request {
    bool outgoing = false;
    bool pop3 = false;
    bool smtp = false;
    bool Any() const { return outgoing || pop3 || smtp; }
};

// The jobs one cycle queued: each counts until it ends, run or dropped by a stopping pool. Shared
// with the jobs, so a cycle that stops before they end leaves them something to count on.
class CycleJobs : public std::enable_shared_from_this<CycleJobs> {
public:
    std::function<void()> Wrap(std::function<void()> job) {
        auto token = std::make_shared<Token>(shared_from_this());
        return [job = std::move(job), token = std::move(token)] { job(); };
    }
    // Until every job ended or `stop`; the time the last one ended.
    std::chrono::steady_clock::time_point Wait(const std::atomic<bool>& stop) {
        std::unique_lock guard(lock_);
        while (running_ != 0 && !stop) ended_.wait_for(guard, kReturnPoll);
        return lastEnded_;
    }

private:
    // Lives exactly as long as the job it stands for.
    struct Token {
        explicit Token(std::shared_ptr<CycleJobs> jobs) : jobs_(std::move(jobs)) {
            std::lock_guard guard(jobs_->lock_);
            ++jobs_->running_;
        }
        ~Token() {
            std::lock_guard guard(jobs_->lock_);
            --jobs_->running_;
            jobs_->lastEnded_ = std::chrono::steady_clock::now();
            jobs_->ended_.notify_all();
        }
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        std::shared_ptr<CycleJobs> jobs_;
    };

    std::mutex lock_;
    std::condition_variable ended_;
    int running_ = 0;
    std::chrono::steady_clock::time_point lastEnded_ = std::chrono::steady_clock::now();
};

struct Cycles {
    std::mutex lock;
    std::condition_variable wake;
    Request pending;
    std::atomic<bool> stop{false};
    std::thread thread;
    Pop3PickupSource pop3Source;
};

Cycles& TheCycles() {
    static Cycles cycles;
    return cycles;
}

bool Switched(std::string_view name) { return core::ReadDebugSwitch(Registry::System(), name) != 0; }

void RunCycle(const Request& request) {
    Cycles& cycles = TheCycles();
    core::Log(core::LogLevelNormal, core::FormatText(kTextCycleStarted, {}, "Send and receive cycle started"));
    Dialer dialer(core::ServerConfig(), Registry::System());
    const bool dial = dialer.Wanted();
    if (dial && !dialer.Dial()) return;
    const auto jobs = std::make_shared<CycleJobs>();
    if (request.outgoing && !Switched("NoOutSMTP")) RunOutgoingPass([&](std::function<void()> job) { return jobs->Wrap(std::move(job)); });
    if (request.pop3 && !Switched("NoInPOP3")) {
        Pop3PickupSource source;
        {
            std::lock_guard guard(cycles.lock);
            source = cycles.pop3Source;
        }
        if (source) {
            for (auto& job : source()) QueueTransportJob(jobs->Wrap(std::move(job)));
        }
    }
    if (request.smtp && !Switched("NoInSMTP")) {
        const int replyTimeLimit = TransportReplyTimeLimit();
        for (const SmtpPickupJob& pickup : ReadSmtpPickups(core::ServerConfig())) {
            QueueTransportJob(jobs->Wrap([pickup, replyTimeLimit] { pickup.Run(TheCycles().stop, replyTimeLimit); }));
        }
    }
    const auto lastEnded = jobs->Wait(cycles.stop);
    // The servers asked to deliver may still be sending: the connection stays up until they are done.
    while (!cycles.stop && PickupReturnList::Instance().ReturnedSessions() > 0) {
        if (std::chrono::steady_clock::now() - lastEnded > kCycleReturnWait) {
            core::Log(core::LogLevelWarning, "Send and receive cycle: returned sessions still run after the cycle's wait; it ends anyway");
            break;
        }
        std::unique_lock guard(cycles.lock);
        cycles.wake.wait_for(guard, kReturnPoll, [&] { return cycles.stop.load(); });
    }
    if (dial) dialer.HangUp();
    core::Log(core::LogLevelNormal, core::FormatText(kTextCycleFinished, {}, "Send and receive cycle finished"));
}

void CycleThread() {
    Cycles& cycles = TheCycles();
    for (;;) {
        Request request;
        {
            std::unique_lock guard(cycles.lock);
            cycles.wake.wait(guard, [&] { return cycles.pending.Any() || cycles.stop.load(); });
            if (cycles.stop) return;
            request = std::exchange(cycles.pending, Request{});
        }
        try {
            RunCycle(request);
        } catch (const std::exception& error) {
            core::Log(core::LogLevelCritical, std::string("Send and receive cycle failed: ") + error.what());
        }
    }
}

}  // namespace

void StartCycle(bool outgoing, bool pop3Pickup, bool smtpPickup) {
    Cycles& cycles = TheCycles();
    {
        std::lock_guard guard(cycles.lock);
        cycles.pending.outgoing = cycles.pending.outgoing || outgoing;
        cycles.pending.pop3 = cycles.pending.pop3 || pop3Pickup;
        cycles.pending.smtp = cycles.pending.smtp || smtpPickup;
    }
    cycles.wake.notify_all();
}

void SetPop3PickupSource(Pop3PickupSource source) {
    Cycles& cycles = TheCycles();
    std::lock_guard guard(cycles.lock);
    cycles.pop3Source = std::move(source);
}

void StartCycles() {
    Cycles& cycles = TheCycles();
    if (cycles.thread.joinable()) return;
    cycles.stop = false;
    cycles.thread = std::thread(CycleThread);
}

void StopCycles() {
    Cycles& cycles = TheCycles();
    {
        std::lock_guard guard(cycles.lock);
        cycles.stop = true;
    }
    cycles.wake.notify_all();
    if (cycles.thread.joinable()) cycles.thread.join();
    // A request made while stopped waits for the next start, as mail in "_Out" does.
}

}  // namespace pw::smtp
