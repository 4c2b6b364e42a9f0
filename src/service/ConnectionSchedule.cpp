// ConnectionSchedule: the schedule thread and its pass.
#include "service/ConnectionSchedule.h"

#include "core/Logging.h"
#include "core/ScheduleEvents.h"
#include "platform/Text.h"

#include <exception>
#include <string>

namespace pw::service {

namespace {

std::string Switches(const core::ScheduleEvent& event) {
    std::string text;
    const auto add = [&](bool on, std::string_view name) {
        if (!on) return;
        if (!text.empty()) text += ", ";
        text += name;
    };
    add(event.OutgoingDelivery(), "outgoing delivery");
    add(event.POP3Pickup(), "POP3 pickup");
    add(event.SMTPPickup(), "SMTP pickup");
    return text;
}

}  // namespace

ConnectionSchedule::ConnectionSchedule(const core::ConfigTree& config, CycleRequest request, ScheduleTimings timings,
                                       std::function<Date()> clock)
    : config_(config), request_(std::move(request)), timings_(timings), clock_(std::move(clock)) {}

ConnectionSchedule::~ConnectionSchedule() { Stop(); }

void ConnectionSchedule::Start() {
    if (thread_.joinable()) return;
    {
        std::lock_guard guard(lock_);
        stop_ = false;
    }
    thread_ = std::thread([this] { Run(); });
}

void ConnectionSchedule::Stop() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ConnectionSchedule::Run() {
    auto deadline = std::chrono::steady_clock::now() + timings_.firstDelay;
    for (;;) {
        {
            std::unique_lock guard(lock_);
            if (wake_.wait_until(guard, deadline, [this] { return stop_; })) return;
        }
        try {
            Evaluate(clock_());
        } catch (const std::exception& error) {
            core::Log(core::LogLevelCritical, std::string("Connection schedule: the pass failed: ") + error.what());
        }
        deadline += timings_.period;
        // A pass that overran its period (a suspended machine) does not make up the passes it missed.
        if (const auto now = std::chrono::steady_clock::now(); deadline < now) deadline = now + timings_.period;
    }
}

std::size_t ConnectionSchedule::Evaluate(Date now) {
    core::ScheduleEvents events;
    events.Load(config_);
    // Events removed since the last pass leave their firings behind.
    lastFirings_.erase(lastFirings_.lower_bound(events.Count()), lastFirings_.end());
    std::size_t requested = 0;
    for (std::size_t index = 0; index < events.Count(); ++index) {
        const auto event = events.Item(index);
        if (const auto last = lastFirings_.find(index); last != lastFirings_.end()) event->SetLastFiring(last->second);
        if (event->IsTime(now) != S_OK) continue;
        lastFirings_[index] = event->LastFiring();
        const std::string switches = Switches(*event);
        if (switches.empty()) continue;
        core::Log(core::LogLevelNormal, Format("Connection schedule: event %u is due; a send/receive cycle is requested (%s)",
                                               {std::uint64_t{index}, std::string_view(switches)}));
        request_(event->OutgoingDelivery(), event->POP3Pickup(), event->SMTPPickup());
        ++requested;
    }
    return requested;
}

bool ScheduleSendsOutgoing(const core::ConfigTree& config) {
    core::ScheduleEvents events;
    events.Load(config);
    for (std::size_t index = 0; index < events.Count(); ++index) {
        const auto event = events.Item(index);
        bool someDay = false;
        for (int day = 0; day < core::kDaysPerWeek; ++day) someDay = someDay || event->Day(day);
        if (event->Enabled() && event->OutgoingDelivery() && someDay) return true;
    }
    return false;
}

}  // namespace pw::service
