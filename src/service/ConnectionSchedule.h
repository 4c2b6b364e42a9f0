// ConnectionSchedule: the schedule thread -- asks for a send/receive cycle whenever an event of the
// connection schedule ("sys:schedule:N", core/ScheduleEvents.h) is due.
//
// The thread evaluates the schedule a few seconds after Start (kFirstEvaluationDelay), then once per
// period (a minute), on deadlines that do not drift with the time a pass takes. Each pass reads the
// events afresh from the configuration, so a change made through the administration takes effect at
// the next pass, but keeps each event's last firing here, by its index, across passes: without it an
// interval or at-time event would fire again at every pass. For each event whose IsTime answers S_OK
// and that asks for anything (outgoing delivery, POP3 pickup, SMTP pickup), it logs the firing and
// calls the cycle request with the three switches; the cycle itself is the transports' business.
// Errors inside a pass are logged and never end the thread. Stop wakes the thread at once (a
// condition variable, never a sleep) and waits for the pass in progress.
// Thread safety: Start and Stop from one controlling thread (the service's worker start and stop);
// Evaluate is the pass itself, for the thread and for tests that drive it with a clock of their own.
#pragma once

#include "core/ConfigTree.h"
#include "platform/AutomationDate.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace pw::service {

// The first evaluation comes this long after the start, so that a cycle never races the start-up.
inline constexpr std::chrono::milliseconds kFirstEvaluationDelay{5000};
inline constexpr std::chrono::milliseconds kScheduleEvaluationPeriod{60000};

using CycleRequest = std::function<void(bool outgoing, bool pop3Pickup, bool smtpPickup)>;

struct ScheduleTimings {
    std::chrono::milliseconds firstDelay = kFirstEvaluationDelay;
    std::chrono::milliseconds period = kScheduleEvaluationPeriod;
};

class ConnectionSchedule {
public:
    ConnectionSchedule(const core::ConfigTree& config, CycleRequest request, ScheduleTimings timings = {},
                       std::function<Date()> clock = Now);
    ~ConnectionSchedule();
    ConnectionSchedule(const ConnectionSchedule&) = delete;
    ConnectionSchedule& operator=(const ConnectionSchedule&) = delete;

    void Start();
    void Stop();

    // One pass at `now`: the number of cycles it asked for.
    std::size_t Evaluate(Date now);

private:
    void Run();

    const core::ConfigTree& config_;
    const CycleRequest request_;
    const ScheduleTimings timings_;
    const std::function<Date()> clock_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
    std::map<std::size_t, Date> lastFirings_;  // by event index; only the pass touches it
};

// True when an enabled event of the schedule with a day on asks for outgoing delivery: on a dial-up connection
// ("sys:connection:type" 2) outgoing mail leaves only in cycles, so without one it never leaves.
bool ScheduleSendsOutgoing(const core::ConfigTree& config);

}  // namespace pw::service
