// ScheduleMembers: the connection schedule for administration clients -- Settings.ScheduleEvents and
// the members of its events.
//
// The list a client gets holds copies of the running configuration's events (core::ScheduleEvents);
// its Update writes them back to "sys:schedule:N" and saves the configuration before it answers, so
// the schedule thread reads the new list at its next pass and a client that dies loses nothing it
// updated.
#include "admin/ObjectModel.h"
#include "admin/Settings.h"
#include "core/ScheduleEvent.h"
#include "core/ScheduleEvents.h"

namespace pw::admin {

namespace {

using K = MemberKind;
using A = std::span<Variant>;

// The list of one client, tied to the settings it was taken from.
class SettingsSchedule : public Unknown {
public:
    explicit SettingsSchedule(std::shared_ptr<Settings> settings) : settings_(std::move(settings)) { Reset(); }

    void Reset() {
        const auto lock = settings_->Tree().Lock();
        events_.Load(settings_->Tree());
        next_ = 0;
    }
    // The walk of Next: one event per call, nullptr after the last.
    std::shared_ptr<core::ScheduleEvent> Next() { return next_ < events_.Count() ? events_.Item(next_++) : nullptr; }
    void Update() {
        {
            const auto lock = settings_->Tree().Lock();
            events_.Update(settings_->Tree());
        }
        settings_->Save();
        Reset();  // the list written goes on as copies of it
    }
    core::ScheduleEvents& Events() { return events_; }

private:
    std::shared_ptr<Settings> settings_;
    core::ScheduleEvents events_;
    std::size_t next_ = 0;
};

void RegisterScheduleList() {
    using L = SettingsSchedule;
    RegisterMembers<L>("ScheduleEvents", {
        Member<L>("Count", K::Get, {}, [](L& self, A, const Caller&, CallResult& call) {
            call.result = Variant::I4(static_cast<std::int32_t>(self.Events().Count()));
        }),
        Member<L>("Item", K::Get, {VT_I4}, [](L& self, A args, const Caller&, CallResult& call) {
            auto event = args[0].AsI4() < 0 ? nullptr : self.Events().Item(static_cast<std::size_t>(args[0].AsI4()));
            if (!event) throw ComError(E_INVALIDARG, "no event has that index");
            call.result = Variant::Object(std::move(event));
        }),
        Member<L>("Add", K::Method, {}, [](L& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.Events().Add()); }),
        Member<L>("Remove", K::Method, {VT_I4}, [](L& self, A args, const Caller&, CallResult&) {
            if (args[0].AsI4() < 0 || !self.Events().Remove(static_cast<std::size_t>(args[0].AsI4()))) {
                throw ComError(E_INVALIDARG, "no event has that index");
            }
        }),
        Member<L>("Reset", K::Method, {}, [](L& self, A, const Caller&, CallResult&) { self.Reset(); }),
        // One event per call: the outs are the event (none after the last) and how many came.
        Member<L>("Next", K::Method, {VT_UI4}, [](L& self, A args, const Caller&, CallResult& call) {
            if (args[0].AsInt64() != 1) throw ComError(E_INVALIDARG, "Next fetches one event at a time");
            auto next = self.Next();
            const bool fetched = next != nullptr;
            call.out = {Variant::Object(std::move(next)), Variant::UI4(fetched ? 1 : 0)};
            if (!fetched) call.hr = S_FALSE;
        }),
        Member<L>("Update", K::Method, {}, [](L& self, A, const Caller&, CallResult&) { self.Update(); }),
    });
}

// A switch of an event: its get and its put.
void AddSwitch(std::vector<MemberInfo>& members, const char* name, bool (core::ScheduleEvent::*get)() const,
               void (core::ScheduleEvent::*put)(bool)) {
    using E = core::ScheduleEvent;
    members.push_back(Member<E>(name, K::Get, {}, [get](E& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool((self.*get)()); }));
    members.push_back(Member<E>(name, K::Put, {VT_BOOL}, [put](E& self, A args, const Caller&, CallResult&) { (self.*put)(args[0].IsTrue()); }));
}

void AddTime(std::vector<MemberInfo>& members, const char* name, Date (core::ScheduleEvent::*get)() const,
             void (core::ScheduleEvent::*put)(Date)) {
    using E = core::ScheduleEvent;
    members.push_back(Member<E>(name, K::Get, {}, [get](E& self, A, const Caller&, CallResult& call) { call.result = Variant::DateValue((self.*get)()); }));
    members.push_back(Member<E>(name, K::Put, {VT_DATE}, [put](E& self, A args, const Caller&, CallResult&) { (self.*put)(args[0].AsDouble()); }));
}

void RegisterScheduleEvent() {
    using E = core::ScheduleEvent;
    std::vector<MemberInfo> members;
    AddSwitch(members, "OutgoingDelivery", &E::OutgoingDelivery, &E::SetOutgoingDelivery);
    AddSwitch(members, "POP3Pickup", &E::POP3Pickup, &E::SetPOP3Pickup);
    AddSwitch(members, "SMTPPickup", &E::SMTPPickup, &E::SetSMTPPickup);
    AddSwitch(members, "Enabled", &E::Enabled, &E::SetEnabled);
    members.push_back(Member<E>("ScheduleEventTime", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) {
        call.result = Variant::I4(static_cast<std::int32_t>(self.ScheduleEventTime()));
    }));
    members.push_back(Member<E>("ScheduleEventTime", K::Put, {VT_I4}, [](E& self, A args, const Caller&, CallResult&) {
        if (args[0].AsI4() != core::ScheduleEventTimeAtTime && args[0].AsI4() != core::ScheduleEventTimeRange) {
            throw ComError(E_INVALIDARG, "ScheduleEventTime is 0 (at a time) or 1 (a range)");
        }
        self.SetScheduleEventTime(static_cast<core::ScheduleEventTimeEnum>(args[0].AsI4()));
    }));
    AddTime(members, "AtTime", &E::AtTime, &E::SetAtTime);
    AddTime(members, "FromTime", &E::FromTime, &E::SetFromTime);
    AddTime(members, "ToTime", &E::ToTime, &E::SetToTime);
    members.push_back(Member<E>("Interval", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::UI2(self.Interval()); }));
    members.push_back(Member<E>("Interval", K::Put, {VT_UI2}, [](E& self, A args, const Caller&, CallResult&) { self.SetInterval(args[0].AsUI2()); }));
    static constexpr const char* kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    for (int day = 0; day < core::kDaysPerWeek; ++day) {
        members.push_back(Member<E>(kDays[day], K::Get, {}, [day](E& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool(self.Day(day)); }));
        members.push_back(Member<E>(kDays[day], K::Put, {VT_BOOL}, [day](E& self, A args, const Caller&, CallResult&) { self.SetDay(day, args[0].IsTrue()); }));
    }
    members.push_back(Member<E>("IsTime", K::Method, {VT_DATE}, [](E& self, A args, const Caller&, CallResult& call) {
        call.hr = self.IsTime(args[0].AsDouble());
    }));
    RegisterMembers<E>("ScheduleEvent", std::move(members));
}

}  // namespace

// Settings.ScheduleEvents: a new list of copies for each get.
MemberInfo ScheduleEventsMember() {
    return Member<Settings>("ScheduleEvents", K::Get, {}, [](Settings& self, A, const Caller&, CallResult& call) {
        call.result = Variant::Object(std::make_shared<SettingsSchedule>(self.shared_from_this()));
    });
}

void RegisterScheduleMembers() {
    RegisterScheduleList();
    RegisterScheduleEvent();
}

}  // namespace pw::admin
