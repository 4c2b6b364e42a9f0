// JobManager: a small pool of worker threads that take jobs from one first-in first-out queue.
//
// The SMTP transports queue their outbound deliveries and pickup sessions here. AddJob queues a job
// and wakes an idle worker (idle workers wait on a condition variable); a busy pool takes the job when
// its first worker finishes. WaitIdle drains: AddJob is refused (0) until the queue is empty and every
// worker idle. Terminate takes no new job (AddJob throws JobManagerTerminated from then on), drops the
// jobs not started -- a stop must not run a backlog whose work stays in the store anyway -- and ends
// every worker. SetThreadCount grows or shrinks the pool.
//
// Threads are never killed. Shrinking and terminating wait for a busy worker to finish its job, at
// most kJobStopBound; with the force flag, or once the bound has passed, they stop waiting and let it
// go (detached), and it ends after its current job without taking another. A job that throws is
// logged and never ends its worker.
// Thread safety: every member may be called from any thread except a job of the same pool calling
// WaitIdle, SetThreadCount or Terminate (it would wait for itself).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>

namespace pw::core {

// The longest a stop or a shrink waits for busy workers before it lets them go.
inline constexpr std::chrono::seconds kJobStopBound{5};

class JobManagerTerminated : public std::runtime_error {
public:
    JobManagerTerminated() : std::runtime_error("JobManager was already terminated. Can't add new job.") {}
};

class JobManager {
public:
    using Job = std::function<void()>;

    static std::unique_ptr<JobManager> CreateJobManager(std::size_t threads);
    explicit JobManager(std::size_t threads);
    // Terminates the pool if that has not happened yet.
    ~JobManager();
    JobManager(const JobManager&) = delete;
    JobManager& operator=(const JobManager&) = delete;

    // 1 when queued, 0 while the pool drains; throws JobManagerTerminated after Terminate.
    int AddJob(Job job);
    void SetThreadCount(std::size_t threads);
    void SetForce(bool force);
    // Waits until the queue is empty and no worker is busy. A pool without workers can not drain:
    // WaitIdle returns at once, leaving the queue as it is.
    void WaitIdle();
    // Ends every worker; jobs not started are dropped (the work they stand for stays in the store).
    // Returns within about kJobStopBound.
    void Terminate();

    std::size_t ThreadCount() const;
    std::size_t QueuedJobs() const;

    struct Shared;

private:
    void RetireWorkers(std::size_t keep);

    std::shared_ptr<Shared> shared_;
};

}  // namespace pw::core
