// IdleMonitor: a local server quits only after its clients let go, and never before anyone came.
#include "service/IdleMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pw::service {
namespace {

using namespace std::chrono_literals;

// Counts idle notifications and lets a test wait for one with a bound.
class IdleProbe {
public:
    void Notify() {
        {
            std::lock_guard guard(lock_);
            ++count_;
        }
        changed_.notify_all();
    }
    bool WaitFor(int count, std::chrono::milliseconds bound) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, bound, [&] { return count_ >= count; });
    }
    int Count() {
        std::lock_guard guard(lock_);
        return count_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int count_ = 0;
};

TEST(IdleMonitorTest, NeverIdleWhenNobodyEverLocked) {
    IdleProbe probe;
    IdleMonitor monitor(10ms, [&] { probe.Notify(); });
    monitor.Start();
    EXPECT_FALSE(probe.WaitFor(1, 200ms));
    monitor.Stop();
    EXPECT_EQ(probe.Count(), 0);
}

TEST(IdleMonitorTest, QuitsAfterTheLastClientReleases) {
    IdleProbe probe;
    IdleMonitor monitor(20ms, [&] { probe.Notify(); });
    monitor.Start();
    monitor.Lock();
    monitor.Lock();
    monitor.Unlock();
    EXPECT_EQ(monitor.LockCount(), 1);
    EXPECT_FALSE(probe.WaitFor(1, 100ms));  // one client still holds it
    monitor.Unlock();
    EXPECT_TRUE(probe.WaitFor(1, 10s));
    monitor.Stop();
    EXPECT_EQ(probe.Count(), 1);
}

TEST(IdleMonitorTest, ClientHoldingAtTheTimeoutKeepsTheServerAlive) {
    IdleProbe probe;
    IdleMonitor monitor(30ms, [&] { probe.Notify(); });
    monitor.Start();
    monitor.Lock();
    monitor.Unlock();  // idle event
    monitor.Lock();    // a new client arrives within the time-out and stays
    EXPECT_FALSE(probe.WaitFor(1, 200ms));
    monitor.Unlock();
    EXPECT_TRUE(probe.WaitFor(1, 10s));
    monitor.Stop();
}

TEST(IdleMonitorTest, StopEndsTheWaitPromptly) {
    IdleProbe probe;
    IdleMonitor monitor(std::chrono::hours(1), [&] { probe.Notify(); });
    monitor.Start();
    monitor.Lock();
    monitor.Unlock();
    const auto before = std::chrono::steady_clock::now();
    monitor.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_EQ(probe.Count(), 0);
}

TEST(IdleMonitorTest, UnbalancedUnlockNeverGoesNegative) {
    IdleMonitor monitor(std::chrono::hours(1), [] {});
    monitor.Unlock();
    EXPECT_EQ(monitor.LockCount(), 0);
}

}  // namespace
}  // namespace pw::service
