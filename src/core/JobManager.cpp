// JobManager: workers, queue, draining and termination.
#include "core/JobManager.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/Logging.h"
#include "platform/Text.h"

namespace pw::core {

namespace {

// How often a stop that waits for a busy worker says so.
constexpr auto kStuckReport = std::chrono::seconds(50);
// Every wait re-checks its condition at least this often.
constexpr auto kWaitStep = std::chrono::milliseconds(500);

}  // namespace

// One worker's flags, shared with its thread so a worker that was let go can still read them.
struct Worker {
    std::thread thread;
    long threadId = 0;
    bool retire = false;
    bool exited = false;
};

// Everything the workers touch lives here, owned jointly by the pool and by every worker, so that a
// worker the pool let go (forced stop) never reaches into a destroyed pool.
struct JobManager::Shared {
    mutable std::mutex lock;
    std::condition_variable work;     // a job was queued or a worker must retire
    std::condition_variable changed;  // a job finished or a worker exited
    std::deque<Job> queue;
    std::vector<std::shared_ptr<Worker>> workers;
    std::size_t busy = 0;
    bool draining = false;
    bool terminated = false;
    bool force = false;
};

namespace {

void RunWorker(std::shared_ptr<JobManager::Shared> shared, std::shared_ptr<Worker> self) {
    std::unique_lock guard(shared->lock);
    self->threadId = static_cast<long>(::gettid());
    for (;;) {
        shared->work.wait_for(guard, kWaitStep, [&] { return self->retire || !shared->queue.empty(); });
        if (self->retire) break;
        if (shared->queue.empty()) continue;
        JobManager::Job job = std::move(shared->queue.front());
        shared->queue.pop_front();
        ++shared->busy;
        guard.unlock();
        try {
            job();
        } catch (const std::exception& error) {
            Log(LogLevelCritical, std::string("** Job has thrown ** ") + error.what());
        } catch (...) {
            Log(LogLevelCritical, "** Job has thrown **");
        }
        job = nullptr;  // the job's captures go before the worker takes the lock again
        guard.lock();
        --shared->busy;
        shared->changed.notify_all();
    }
    self->exited = true;
    shared->changed.notify_all();
}

}  // namespace

std::unique_ptr<JobManager> JobManager::CreateJobManager(std::size_t threads) {
    return std::make_unique<JobManager>(threads);
}

JobManager::JobManager(std::size_t threads) : shared_(std::make_shared<Shared>()) { SetThreadCount(threads); }

JobManager::~JobManager() { Terminate(); }

int JobManager::AddJob(Job job) {
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->draining) return 0;
        if (shared_->terminated) throw JobManagerTerminated();
        shared_->queue.push_back(std::move(job));
    }
    shared_->work.notify_one();
    return 1;
}

void JobManager::SetForce(bool force) {
    std::lock_guard guard(shared_->lock);
    shared_->force = force;
}

std::size_t JobManager::ThreadCount() const {
    std::lock_guard guard(shared_->lock);
    return shared_->workers.size();
}

std::size_t JobManager::QueuedJobs() const {
    std::lock_guard guard(shared_->lock);
    return shared_->queue.size();
}

void JobManager::SetThreadCount(std::size_t threads) {
    RetireWorkers(threads);
    std::lock_guard guard(shared_->lock);
    while (shared_->workers.size() < threads && !shared_->terminated) {
        auto worker = std::make_shared<Worker>();
        try {
            worker->thread = std::thread(RunWorker, shared_, worker);
        } catch (const std::system_error& error) {
            // A thread that can not be made is skipped; the pool is smaller than asked.
            Log(LogLevelCritical, std::string("JobManager: can not start a worker: ") + error.what());
            break;
        }
        shared_->workers.push_back(std::move(worker));
    }
}

// Ends the workers beyond the first `keep`, last first.
void JobManager::RetireWorkers(std::size_t keep) {
    std::vector<std::shared_ptr<Worker>> leaving;
    bool force = false;
    {
        std::lock_guard guard(shared_->lock);
        while (shared_->workers.size() > keep) {
            shared_->workers.back()->retire = true;
            leaving.push_back(std::move(shared_->workers.back()));
            shared_->workers.pop_back();
        }
        force = shared_->force;
    }
    shared_->work.notify_all();
    for (const auto& worker : leaving) {
        if (force) {
            // A busy worker is let go: it ends after its current job and takes no other.
            worker->thread.detach();
            continue;
        }
        std::unique_lock guard(shared_->lock);
        auto waited = std::chrono::steady_clock::duration::zero();
        auto reported = waited;
        while (!worker->exited) {
            const auto before = std::chrono::steady_clock::now();
            shared_->changed.wait_for(guard, kWaitStep, [&] { return worker->exited; });
            waited += std::chrono::steady_clock::now() - before;
            if (waited - reported >= kStuckReport) {
                reported = waited;
                const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(waited).count();
                Log(LogLevelWarning, Format("Thread %08x did not terminate for %i second%c",
                                            {std::int64_t{worker->threadId}, std::int64_t{seconds},
                                             std::int64_t{seconds < 2 ? ' ' : 's'}}));
            }
        }
        guard.unlock();
        worker->thread.join();
    }
}

void JobManager::WaitIdle() {
    std::unique_lock guard(shared_->lock);
    shared_->draining = true;
    while (!shared_->workers.empty() && (!shared_->queue.empty() || shared_->busy != 0)) {
        shared_->changed.wait_for(guard, kWaitStep);
    }
    shared_->draining = false;
}

void JobManager::Terminate() {
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->terminated) return;
        shared_->terminated = true;
    }
    bool force = false;
    {
        std::lock_guard guard(shared_->lock);
        force = shared_->force;
    }
    if (!force) WaitIdle();
    RetireWorkers(0);
    std::lock_guard guard(shared_->lock);
    if (!shared_->queue.empty()) {
        Log(LogLevelWarning, Format("JobManager: %u queued jobs dropped at termination",
                                    {std::uint64_t{shared_->queue.size()}}));
        shared_->queue.clear();
    }
}

}  // namespace pw::core
