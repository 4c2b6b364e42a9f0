// ConnectionSchedule: passes read the events afresh but remember their firings, only events that ask
// for something request a cycle, and the thread evaluates on its own and stops at once. (The dial-up
// warning of ScheduleSendsOutgoing is seen end to end in test_schedule.py.)
#include "service/ConnectionSchedule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "core/ScheduleEvents.h"

namespace pw::service {
namespace {

using namespace std::chrono_literals;
using Request = std::tuple<bool, bool, bool>;

Date At(int hour, int minute) { return DateFromFields(2026, 12, 7, hour, minute); }  // a Monday
constexpr double kMinute = 1.0 / (24 * 60);

class ConnectionScheduleTest : public ::testing::Test {
protected:
    void SetUp() override { core::RegisterScheduleClasses(ClassRegistry::Instance()); }

    // Appends an event made by `make` to the configuration's schedule.
    template <typename Make>
    void AddEvent(Make make) {
        core::ScheduleEvents events;
        events.Load(config);
        make(*events.Add());
        events.Update(config);
    }

    CycleRequest Recorder() {
        return [this](bool outgoing, bool pop3, bool smtp) { requests.emplace_back(outgoing, pop3, smtp); };
    }

    core::ConfigTree config;
    std::vector<Request> requests;
};

TEST_F(ConnectionScheduleTest, PassesRememberFiringsByIndexAndSeeChangesToTheSchedule) {
    AddEvent([](core::ScheduleEvent& event) {  // 0: every 15 minutes, all day
        event.SetOutgoingDelivery(true);
        event.SetSMTPPickup(true);
        event.SetScheduleEventTime(core::ScheduleEventTimeRange);
        event.SetToTime(DateFromFields(1899, 12, 30, 23, 59));
        event.SetInterval(15);
    });
    AddEvent([](core::ScheduleEvent& event) { event.SetPOP3Pickup(true); event.SetEnabled(false); });  // 1: off
    AddEvent([](core::ScheduleEvent&) {});  // 2: due at once, but asks for nothing
    ConnectionSchedule schedule(config, Recorder());

    EXPECT_EQ(schedule.Evaluate(At(10, 0)), 1u);
    EXPECT_EQ(requests, (std::vector<Request>{{true, false, true}}));
    EXPECT_EQ(schedule.Evaluate(At(10, 1)), 0u);   // a new read of the events, but not a new firing
    EXPECT_EQ(schedule.Evaluate(At(10, 14)), 0u);
    EXPECT_EQ(schedule.Evaluate(At(10, 15)), 1u);

    // A change between passes counts at the next one: the disabled event is switched on.
    core::ScheduleEvents events;
    events.Load(config);
    events.Item(1)->SetEnabled(true);
    events.Update(config);
    requests.clear();
    EXPECT_EQ(schedule.Evaluate(At(10, 16)), 1u);
    EXPECT_EQ(requests, (std::vector<Request>{{false, true, false}}));
    EXPECT_EQ(schedule.Evaluate(At(10, 17)), 0u);  // an at-time event: once that day

    // A schedule emptied and filled again starts its events afresh.
    events.Load(config);
    while (events.Count() != 0) events.Remove(0);
    events.Update(config);
    EXPECT_EQ(schedule.Evaluate(At(10, 18)), 0u);
    AddEvent([](core::ScheduleEvent& event) { event.SetOutgoingDelivery(true); });
    EXPECT_EQ(schedule.Evaluate(At(10, 19)), 1u);
}

TEST_F(ConnectionScheduleTest, TheThreadEvaluatesByItselfAndStopsWithoutWaitingForItsPeriod) {
    AddEvent([](core::ScheduleEvent& event) {
        event.SetOutgoingDelivery(true);
        event.SetScheduleEventTime(core::ScheduleEventTimeRange);
        event.SetToTime(DateFromFields(1899, 12, 30, 23, 59));
        event.SetInterval(1);
    });
    // Each pass sees a clock a minute on, so each one fires.
    std::atomic<int> passes{0};
    test::Counter fired;
    ConnectionSchedule schedule(
        config, [&](bool, bool, bool) { fired.Add(); }, ScheduleTimings{1ms, 10ms},
        [&] { return At(10, 0) + kMinute * passes++; });
    schedule.Start();
    EXPECT_TRUE(fired.WaitFor(3));
    schedule.Stop();
    const int after = fired.Value();
    EXPECT_FALSE(fired.WaitFor(after + 1, 50ms));

    // A long period is no long stop: the wait ends at once.
    ConnectionSchedule idle(config, [&](bool, bool, bool) { fired.Add(); }, ScheduleTimings{1h, 1h});
    idle.Start();
    const auto started = std::chrono::steady_clock::now();
    idle.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(fired.Value(), after);
}

}  // namespace
}  // namespace pw::service
