// IdleMonitor: a local server quits only after its clients let go, and never before anyone came.
#include "service/IdleMonitor.h"

#include <gtest/gtest.h>

#include <chrono>

#include "TestSupport.h"

namespace pw::service {
namespace {

using namespace std::chrono_literals;

TEST(IdleMonitorTest, NeverIdleWhenNobodyEverLocked) {
    test::Counter probe;
    IdleMonitor monitor(10ms, [&] { probe.Add(); });
    monitor.Start();
    EXPECT_FALSE(probe.WaitFor(1, 200ms));
    monitor.Stop();
    EXPECT_EQ(probe.Value(), 0);
}

TEST(IdleMonitorTest, QuitsAfterTheLastClientReleases) {
    test::Counter probe;
    IdleMonitor monitor(20ms, [&] { probe.Add(); });
    monitor.Start();
    monitor.Lock();
    monitor.Lock();
    monitor.Unlock();
    EXPECT_EQ(monitor.LockCount(), 1);
    EXPECT_FALSE(probe.WaitFor(1, 100ms));  // one client still holds it
    monitor.Unlock();
    EXPECT_TRUE(probe.WaitFor(1, 10s));
    monitor.Stop();
    EXPECT_EQ(probe.Value(), 1);
}

TEST(IdleMonitorTest, ClientHoldingAtTheTimeoutKeepsTheServerAlive) {
    test::Counter probe;
    IdleMonitor monitor(30ms, [&] { probe.Add(); });
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
    test::Counter probe;
    IdleMonitor monitor(std::chrono::hours(1), [&] { probe.Add(); });
    monitor.Start();
    monitor.Lock();
    monitor.Unlock();
    const auto before = std::chrono::steady_clock::now();
    monitor.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_EQ(probe.Value(), 0);
}

TEST(IdleMonitorTest, UnbalancedUnlockNeverGoesNegative) {
    IdleMonitor monitor(std::chrono::hours(1), [] {});
    monitor.Unlock();
    EXPECT_EQ(monitor.LockCount(), 0);
}

}  // namespace
}  // namespace pw::service
