// SessionThreads: a job handed to a waiting thread, or to a new one.
#include "net/SessionThreads.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <openssl/err.h>
#include <thread>

namespace pw::net {

namespace {

// More threads than this waiting would only be memory held for a burst that is over.
constexpr std::size_t kMaxWaiting = 64;
constexpr auto kWaitForNext = std::chrono::seconds(30);

struct Pool {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    std::size_t waiting = 0;
};

// Never destroyed: waiting threads may outlive the statics at the process's end.
Pool& ThePool() {
    static Pool* pool = new Pool;
    return *pool;
}

void Work(std::function<void()> job) {
    Pool& pool = ThePool();
    for (;;) {
        ::ERR_clear_error();
        job();
        job = nullptr;  // what the session held goes now, not when the next one comes
        std::unique_lock guard(pool.lock);
        if (pool.waiting >= kMaxWaiting) return;
        ++pool.waiting;
        const bool got = pool.wake.wait_for(guard, kWaitForNext, [&] { return !pool.jobs.empty(); });
        --pool.waiting;
        if (!got) return;
        job = std::move(pool.jobs.front());
        pool.jobs.pop_front();
    }
}

}  // namespace

void RunSessionThread(std::function<void()> job) {
    Pool& pool = ThePool();
    {
        std::lock_guard guard(pool.lock);
        // Each job queued is one waiting thread's: a job is queued only while a waiting thread is free for it.
        if (pool.jobs.size() < pool.waiting) {
            pool.jobs.push_back(std::move(job));
            pool.wake.notify_one();
            return;
        }
    }
    std::thread(Work, std::move(job)).detach();
}

}  // namespace pw::net
