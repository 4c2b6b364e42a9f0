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

// Every wait re-checks its condition at least this often.
constexpr auto kWaitStep = std::chrono::milliseconds(500);

}  // namespace

// One worker's flags, shared with its thread so a worker that was let go can still read them.
struct Worker {
    std::thread thread;
    long threadId = 0;
    bool busy = false;  // running a job; only workers still in the pool count for draining
    bool retire = false;
    bool exited = false;
};

// Everything the workers touch lives here, owned jointly by the pool and by every worker, so that a
// worker the pool let go (forced stop) never reaches into a destroyed pool.
struct JobManager::Shared {
    mutable std::mutex lock;
    std::condition_variable work;     // a job was queued or a worker must retire
    std::condition_variable changed;  // a job finished, a worker exited or the force flag changed
    std::deque<Job> queue;
    std::vector<std::shared_ptr<Worker>> workers;
    std::size_t draining = 0;  // callers inside WaitIdle; AddJob is refused while any is
    bool terminated = false;
    bool force = false;

    bool Idle() const {
        if (workers.empty()) return true;  // nobody could drain it
        if (!queue.empty()) return false;
        for (const auto& worker : workers) {
            if (worker->busy) return false;
        }
        return true;
    }
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
        self->busy = true;
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
        self->busy = false;
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
    {
        std::lock_guard guard(shared_->lock);
        shared_->force = force;
    }
    // A stop already waiting for a busy worker lets it go now.
    shared_->changed.notify_all();
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

// Ends the workers beyond the first `keep`, last first. Without the force flag it waits for each to
// finish its job, up to kJobStopBound in all; once the flag is set (before or during the wait) or the
// bound has passed, a busy worker is let go instead: it ends after its current job and takes no other.
void JobManager::RetireWorkers(std::size_t keep) {
    std::vector<std::shared_ptr<Worker>> leaving;
    {
        std::lock_guard guard(shared_->lock);
        while (shared_->workers.size() > keep) {
            shared_->workers.back()->retire = true;
            leaving.push_back(std::move(shared_->workers.back()));
            shared_->workers.pop_back();
        }
    }
    shared_->work.notify_all();
    shared_->changed.notify_all();  // a drain no longer counts the workers that left
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + kJobStopBound;
    for (const auto& worker : leaving) {
        std::unique_lock guard(shared_->lock);
        shared_->changed.wait_until(guard, deadline, [&] { return worker->exited || shared_->force; });
        const bool exited = worker->exited;
        const bool forced = shared_->force;
        guard.unlock();
        if (exited) {
            worker->thread.join();
            continue;
        }
        if (!forced) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
            Log(LogLevelWarning, Format("Thread %08x did not terminate for %i second%c; it is let go",
                                        {std::int64_t{worker->threadId}, std::int64_t{seconds}, std::int64_t{seconds < 2 ? ' ' : 's'}}));
        }
        worker->thread.detach();
    }
}

void JobManager::WaitIdle() {
    std::unique_lock guard(shared_->lock);
    ++shared_->draining;
    shared_->changed.wait(guard, [&] { return shared_->Idle(); });
    --shared_->draining;
}

void JobManager::Terminate() {
    std::deque<Job> dropped;
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->terminated) return;
        shared_->terminated = true;
        // Jobs not started are not run: what they stand for stays in the store for the next start.
        dropped.swap(shared_->queue);
    }
    RetireWorkers(0);
    // The jobs' captures are destroyed outside the lock: they may log or release store objects.
    if (!dropped.empty()) {
        Log(LogLevelNormal, Format("JobManager: %u queued jobs dropped at termination", {std::uint64_t{dropped.size()}}));
    }
}

}  // namespace pw::core
