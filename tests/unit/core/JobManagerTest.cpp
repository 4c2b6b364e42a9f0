// JobManager: order, busy workers, draining, termination, forced stops and thrown jobs, under
// concurrency. Every wait is bounded; "does not happen" is a short wait that must time out.
#include "core/JobManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace pw::core {
namespace {

using namespace std::chrono_literals;
constexpr auto kBound = test::kWaitBound;
constexpr auto kNotYet = 150ms;

// A gate jobs wait at until the test opens it; counts who arrived.
class Gate {
public:
    void Wait() {
        std::unique_lock guard(lock_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait_for(guard, kBound, [this] { return open_; });
    }
    void Open() {
        std::lock_guard guard(lock_);
        open_ = true;
        changed_.notify_all();
    }
    bool WaitArrived(int count, std::chrono::milliseconds bound = kBound) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, bound, [&] { return arrived_ >= count; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int arrived_ = 0;
    bool open_ = false;
};

using test::Counter;  // finished jobs, waited for

TEST(JobManagerTest, OneWorkerRunsJobsInTheOrderAdded) {
    JobManager pool(1);
    std::mutex lock;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pool.AddJob([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            {
                std::lock_guard guard(lock);
                order.push_back(i);
            }
            running.fetch_sub(1);
        }),
                  1);
    }
    pool.WaitIdle();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_FALSE(overlapped);
}

TEST(JobManagerTest, JobWaitsWhileEveryWorkerIsBusy) {
    JobManager pool(2);
    Gate gate;
    Counter done;
    pool.AddJob([&] { gate.Wait(); });
    pool.AddJob([&] { gate.Wait(); });
    ASSERT_TRUE(gate.WaitArrived(2));
    pool.AddJob([&] { done.Add(); });
    EXPECT_FALSE(done.WaitFor(1, kNotYet)) << "no worker was free";
    EXPECT_EQ(pool.QueuedJobs(), 1u);
    gate.Open();
    EXPECT_TRUE(done.WaitFor(1));
    pool.WaitIdle();
}

TEST(JobManagerTest, ShrinkingWithoutForceWaitsForTheCurrentJob) {
    JobManager pool(1);
    Gate gate;
    Counter finished;
    pool.AddJob([&] {
        gate.Wait();
        finished.Add();
    });
    ASSERT_TRUE(gate.WaitArrived(1));
    auto shrink = std::async(std::launch::async, [&] { pool.SetThreadCount(0); });
    EXPECT_EQ(shrink.wait_for(kNotYet), std::future_status::timeout) << "it must wait for the busy worker";
    gate.Open();
    ASSERT_EQ(shrink.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(finished.Value(), 1);
    EXPECT_EQ(pool.ThreadCount(), 0u);
}

TEST(JobManagerTest, ForcedStopLetsABusyWorkerGoWithoutWaiting) {
    auto gate = std::make_shared<Gate>();
    auto finished = std::make_shared<Counter>();
    auto second = std::make_shared<std::atomic<bool>>(false);
    {
        JobManager pool(1);
        pool.SetForce(true);
        pool.AddJob([gate, finished] {
            gate->Wait();
            finished->Add();
        });
        ASSERT_TRUE(gate->WaitArrived(1));
        pool.AddJob([second] { *second = true; });
        auto stop = std::async(std::launch::async, [&] { pool.Terminate(); });
        ASSERT_EQ(stop.wait_for(kBound), std::future_status::ready) << "a forced stop does not wait";
        EXPECT_EQ(pool.ThreadCount(), 0u);
        EXPECT_THROW(pool.AddJob([] {}), JobManagerTerminated);
    }  // the pool is gone while its let-go worker still runs
    gate->Open();
    EXPECT_TRUE(finished->WaitFor(1));
    EXPECT_FALSE(*second) << "a worker that was let go takes no further job";
}

TEST(JobManagerTest, ForceSetWhileAStopWaitsLetsTheWorkerGo) {
    auto gate = std::make_shared<Gate>();
    JobManager pool(1);
    pool.AddJob([gate] { gate->Wait(); });
    ASSERT_TRUE(gate->WaitArrived(1));
    auto shrink = std::async(std::launch::async, [&] { pool.SetThreadCount(0); });
    EXPECT_EQ(shrink.wait_for(kNotYet), std::future_status::timeout) << "not forced yet: it waits";
    pool.SetForce(true);
    EXPECT_EQ(shrink.wait_for(kBound), std::future_status::ready) << "forcing ends a waiting stop";
    gate->Open();
}

TEST(JobManagerTest, DrainingIgnoresAWorkerThatWasLetGo) {
    auto gate = std::make_shared<Gate>();
    JobManager pool(1);
    pool.SetForce(true);
    pool.AddJob([gate] { gate->Wait(); });
    ASSERT_TRUE(gate->WaitArrived(1));
    pool.SetThreadCount(0);  // lets the busy worker go
    pool.SetForce(false);
    pool.SetThreadCount(1);
    Counter done;
    pool.AddJob([&] { done.Add(); });
    auto drain = std::async(std::launch::async, [&] { pool.WaitIdle(); });
    EXPECT_EQ(drain.wait_for(kBound), std::future_status::ready) << "the let-go job is no longer the pool's";
    EXPECT_EQ(done.Value(), 1);
    EXPECT_EQ(pool.AddJob([] {}), 1);
    gate->Open();
}

TEST(JobManagerTest, ThrownJobNeverEndsItsWorker) {
    JobManager pool(1);
    Counter done;
    pool.AddJob([] { throw std::runtime_error("broken job"); });
    pool.AddJob([] { throw 42; });
    pool.AddJob([&] { done.Add(); });
    EXPECT_TRUE(done.WaitFor(1));
    EXPECT_EQ(pool.ThreadCount(), 1u);
}

TEST(JobManagerTest, AddingWhileDrainingIsRefused) {
    JobManager pool(1);
    Gate gate;
    pool.AddJob([&] { gate.Wait(); });
    ASSERT_TRUE(gate.WaitArrived(1));
    auto drain = std::async(std::launch::async, [&] { pool.WaitIdle(); });
    // Draining starts on the other thread; AddJob answers 0 as soon as it has.
    int answer = 1;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while ((answer = pool.AddJob([] {})) == 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(answer, 0);
    gate.Open();
    ASSERT_EQ(drain.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(pool.AddJob([] {}), 1) << "accepted again once drained";
    pool.WaitIdle();
}

// A stop runs no backlog: the jobs not started are dropped, the running one may finish, and a job
// that does not finish is let go after a bounded wait.
TEST(JobManagerTest, TerminateRunsNoQueuedJobAndWaitsBoundedForTheRunningOne) {
    auto pool = JobManager::CreateJobManager(2);
    Gate gate;
    Counter finished;
    std::atomic<int> queuedRan{0};
    for (int i = 0; i < 2; ++i) {
        pool->AddJob([&] {
            gate.Wait();
            finished.Add();
        });
    }
    ASSERT_TRUE(gate.WaitArrived(2));
    for (int i = 0; i < 50; ++i) pool->AddJob([&] { ++queuedRan; });
    auto stop = std::async(std::launch::async, [&] { pool->Terminate(); });
    EXPECT_EQ(stop.wait_for(kNotYet), std::future_status::timeout) << "it waits for the running jobs";
    EXPECT_EQ(pool->QueuedJobs(), 0u) << "the backlog is dropped at once";
    gate.Open();
    ASSERT_EQ(stop.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(finished.Value(), 2);
    EXPECT_EQ(queuedRan, 0);
    EXPECT_EQ(pool->ThreadCount(), 0u);
    try {
        pool->AddJob([] {});
        ADD_FAILURE() << "AddJob after Terminate must throw";
    } catch (const JobManagerTerminated& error) {
        EXPECT_STREQ(error.what(), "JobManager was already terminated. Can't add new job.");
    }
    pool->Terminate();  // harmless

    // A job that never ends does not hold the stop: it is let go.
    auto stuck = std::make_shared<Gate>();
    {
        JobManager other(1);
        other.AddJob([stuck] { stuck->Wait(); });
        ASSERT_TRUE(stuck->WaitArrived(1));
        auto bounded = std::async(std::launch::async, [&] { other.Terminate(); });
        EXPECT_EQ(bounded.wait_for(kBound), std::future_status::ready) << "the wait for a busy worker is bounded";
        EXPECT_EQ(other.ThreadCount(), 0u);
    }
    stuck->Open();
}

TEST(JobManagerTest, PoolWithoutWorkersKeepsItsQueueUntilItGrows) {
    JobManager pool(0);
    Counter done;
    pool.AddJob([&] { done.Add(); });
    pool.AddJob([&] { done.Add(); });
    pool.WaitIdle();  // returns: nobody could drain it
    EXPECT_EQ(pool.QueuedJobs(), 2u);
    pool.SetThreadCount(1);
    EXPECT_TRUE(done.WaitFor(2));
}

TEST(JobManagerTest, EveryJobRunsExactlyOnceWhileThePoolResizes) {
    for (int round = 0; round < 10; ++round) {
        JobManager pool(3);
        constexpr int kProducers = 4;
        constexpr int kJobs = 300;
        std::vector<std::atomic<int>> runs(kProducers * kJobs);
        std::atomic<bool> producing{true};
        std::thread resizer([&] {
            for (std::size_t n = 1; producing; n = n % 4 + 1) pool.SetThreadCount(n);
        });
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&, p] {
                for (int j = 0; j < kJobs; ++j) {
                    const int id = p * kJobs + j;
                    while (pool.AddJob([&runs, id] { ++runs[id]; }) == 0) std::this_thread::yield();
                }
            });
        }
        for (auto& producer : producers) producer.join();
        producing = false;
        resizer.join();
        pool.SetThreadCount(2);
        pool.WaitIdle();  // a stop runs no queued job: drain first
        pool.Terminate();
        for (int id = 0; id < kProducers * kJobs; ++id) ASSERT_EQ(runs[id], 1) << "job " << id << " round " << round;
    }
}

}  // namespace
}  // namespace pw::core
