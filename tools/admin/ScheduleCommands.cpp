// ScheduleCommands: pellworth-admin's connection schedule ("schedule add|list|remove") and
// "connect-now".
//
// The schedule is part of the configuration ("sys:schedule:N", core/ScheduleEvents.h); while a server
// holds the store, adding and removing go through its Settings.ScheduleEvents (saved before it
// answers), otherwise they change the file; listing reads the file, which the server saves at every
// change. Everything a person typed is checked before the store is touched: a
// time that is not HH:MM of a day, an event without a mode or asking for nothing is refused with one
// line. "connect-now" asks the running server for a send/receive cycle through its administration
// socket (ServerSession.ConnectNow); the server still takes SIGUSR2 as the same request.
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "AdminSupport.h"
#include "EndpointClient.h"
#include "core/ScheduleEvents.h"
#include "core/ServerLock.h"
#include "platform/AutomationDate.h"
#include "platform/Text.h"

namespace pw::admin {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr std::string_view kDayNames[core::kDaysPerWeek] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

// "HH:MM" of a day, 00:00 to 23:59, as the time-of-day part of a DATE.
std::optional<Date> ParseTimeOfDay(std::string_view text) {
    if (text.size() != 5 || text[2] != ':') return std::nullopt;
    int fields[2] = {};
    for (int part = 0; part < 2; ++part) {
        const std::string_view digits = text.substr(static_cast<std::size_t>(part) * 3, 2);
        if (!IsDigit(digits[0]) || !IsDigit(digits[1])) return std::nullopt;
        fields[part] = (digits[0] - '0') * 10 + (digits[1] - '0');
    }
    if (fields[0] > 23 || fields[1] > 59) return std::nullopt;
    return DateFromFields(1899, 12, 30, fields[0], fields[1]);
}

Date RequireTime(std::string_view option, std::string_view text) {
    if (const auto time = ParseTimeOfDay(text)) return *time;
    throw Failure{"not a time of day (HH:MM, 00:00 to 23:59) for " + std::string(option) + ": " + std::string(text)};
}

std::uint16_t RequireMinutes(std::string_view text) {
    std::uint64_t minutes = 0;
    if (text.empty() || text.size() > 5) throw Failure{"not a number of minutes (0 to 65535) for --every: " + std::string(text)};
    for (const char c : text) {
        if (!IsDigit(c)) throw Failure{"not a number of minutes (0 to 65535) for --every: " + std::string(text)};
        minutes = minutes * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (minutes > 0xFFFF) throw Failure{"not a number of minutes (0 to 65535) for --every: " + std::string(text)};
    return static_cast<std::uint16_t>(minutes);
}

// The members of the weekday switches, Sunday first as the event keeps them.
constexpr std::string_view kDayMembers[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// "sun,mon,..." as seven switches; at least one day.
std::array<bool, core::kDaysPerWeek> RequireDays(std::string_view text) {
    std::array<bool, core::kDaysPerWeek> days{};
    bool any = false;
    for (const auto& name : SplitAtAny(text, ",")) {
        bool known = false;
        for (int day = 0; day < core::kDaysPerWeek; ++day) {
            if (!EqualsNoCase(TrimAscii(name), kDayNames[day])) continue;
            days[static_cast<std::size_t>(day)] = known = any = true;
        }
        if (!known) throw Failure{"not a day (sun, mon, tue, wed, thu, fri, sat) in --days: " + std::string(name)};
    }
    if (!any) throw Failure{"--days names no day"};
    return days;
}

std::string Clock(Date time) {
    const DateFields fields = FieldsFromDate(time);
    return Format("%02d:%02d", {std::int64_t{fields.hour}, std::int64_t{fields.minute}});
}

// "0 outgoing,smtp range 22:00-06:00 every 30 min days sun,mon enabled"
std::string EventLine(std::size_t index, const core::ScheduleEvent& event) {
    std::string switches;
    const auto add = [](std::string& list, std::string_view name) {
        if (!list.empty()) list += ',';
        list += name;
    };
    if (event.OutgoingDelivery()) add(switches, "outgoing");
    if (event.POP3Pickup()) add(switches, "pop3");
    if (event.SMTPPickup()) add(switches, "smtp");
    std::string days;
    for (int day = 0; day < core::kDaysPerWeek; ++day) {
        if (event.Day(day)) add(days, kDayNames[day]);
    }
    const std::string when =
        event.ScheduleEventTime() == core::ScheduleEventTimeRange
            ? Format("range %s-%s every %u min", {std::string_view(Clock(event.FromTime())), std::string_view(Clock(event.ToTime())),
                                                  std::uint64_t{event.Interval()}})
            : "at " + Clock(event.AtTime());
    return Format("%u %s %s days %s %s", {std::uint64_t{index}, std::string_view(switches.empty() ? "none" : switches),
                                          std::string_view(when), std::string_view(days.empty() ? "none" : days),
                                          std::string_view(event.Enabled() ? "enabled" : "disabled")});
}

// What "schedule add" was told, before anything is checked against anything else.
struct AddOptions {
    bool outgoing = false;
    bool pop3 = false;
    bool smtp = false;
    bool disabled = false;
    std::optional<std::string_view> at, from, to, every, days;
};

// False for an option it does not know or one missing its value (a usage error).
bool ParseAddOptions(Arguments args, AddOptions& options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view option = args[i];
        if (option == "--outgoing") options.outgoing = true;
        else if (option == "--pop3") options.pop3 = true;
        else if (option == "--smtp") options.smtp = true;
        else if (option == "--disabled") options.disabled = true;
        else {
            std::optional<std::string_view>* slot = option == "--at"      ? &options.at
                                                    : option == "--from"  ? &options.from
                                                    : option == "--to"    ? &options.to
                                                    : option == "--every" ? &options.every
                                                    : option == "--days"  ? &options.days
                                                                          : nullptr;
            if (!slot || i + 1 == args.size()) return false;
            *slot = args[++i];
        }
    }
    return true;
}

// The event the options describe; throws Failure for one that is not whole.
void Describe(const AddOptions& options, core::ScheduleEvent& event) {
    if (!options.outgoing && !options.pop3 && !options.smtp) {
        throw Failure{"the event asks for nothing: give --outgoing, --pop3 and/or --smtp"};
    }
    const bool range = options.from || options.to || options.every;
    if (options.at && range) throw Failure{"give either --at or --from, --to and --every, not both"};
    if (!options.at && !(options.from && options.to && options.every)) {
        throw Failure{"the event has no time: give --at HH:MM, or --from HH:MM --to HH:MM --every MIN"};
    }
    event.SetOutgoingDelivery(options.outgoing);
    event.SetPOP3Pickup(options.pop3);
    event.SetSMTPPickup(options.smtp);
    event.SetEnabled(!options.disabled);
    if (options.at) {
        event.SetScheduleEventTime(core::ScheduleEventTimeAtTime);
        event.SetAtTime(RequireTime("--at", *options.at));
    } else {
        event.SetScheduleEventTime(core::ScheduleEventTimeRange);
        event.SetFromTime(RequireTime("--from", *options.from));
        event.SetToTime(RequireTime("--to", *options.to));
        event.SetInterval(RequireMinutes(*options.every));
    }
    if (options.days) {
        const auto days = RequireDays(*options.days);
        for (int day = 0; day < core::kDaysPerWeek; ++day) event.SetDay(day, days[static_cast<std::size_t>(day)]);
    }
}

// The running server's schedule list, through its Settings object.
Json ServerSchedule(EndpointClient& server) {
    return EndpointClient::HandleOf(server.Checked("get", "Pellworth.Settings", "ScheduleEvents", {}));
}

// Adds the event to a running server's schedule, every property written, so it is stored exactly as
// the offline path stores it; returns its index.
std::size_t AddThroughServer(EndpointClient& server, const core::ScheduleEvent& event) {
    const Json list = ServerSchedule(server);
    const Json added = EndpointClient::HandleOf(server.Checked("call", list, "Add", {}));
    const auto put = [&](std::string_view member, Variant value) { server.Checked("put", added, member, {std::move(value)}); };
    put("OutgoingDelivery", Variant::Bool(event.OutgoingDelivery()));
    put("POP3Pickup", Variant::Bool(event.POP3Pickup()));
    put("SMTPPickup", Variant::Bool(event.SMTPPickup()));
    put("Enabled", Variant::Bool(event.Enabled()));
    put("ScheduleEventTime", Variant::I4(static_cast<std::int32_t>(event.ScheduleEventTime())));
    put("AtTime", Variant::DateValue(event.AtTime()));
    put("FromTime", Variant::DateValue(event.FromTime()));
    put("ToTime", Variant::DateValue(event.ToTime()));
    put("Interval", Variant::UI2(event.Interval()));
    for (int day = 0; day < core::kDaysPerWeek; ++day) put(kDayMembers[day], Variant::Bool(event.Day(day)));
    const std::int32_t count = server.Checked("get", list, "Count", {}).result.AsI4();
    server.Checked("call", list, "Update", {});
    return static_cast<std::size_t>(count - 1);
}

int ScheduleAdd(Arguments args) {
    AddOptions options;
    if (!ParseAddOptions(args, options)) return -1;
    core::ScheduleEvent described;
    Describe(options, described);
    const DirStorage root = StoreRoot(true);
    if (auto server = EndpointClient::IfServerRuns(root)) {
        std::printf("%s\n", EventLine(AddThroughServer(*server, described), described).c_str());
        return 0;
    }
    core::ConfigTree tree;
    LoadInto(tree, root);
    core::ScheduleEvents events;
    events.Load(tree);
    const auto event = events.Add();
    *event = described;
    events.Update(tree);
    Save(tree, root);
    std::printf("%s\n", EventLine(events.Count() - 1, *event).c_str());
    return 0;
}

int ScheduleList() {
    core::ConfigTree tree;
    ReadOnly(tree, StoreRoot(false));
    core::ScheduleEvents events;
    events.Load(tree);
    for (std::size_t index = 0; index < events.Count(); ++index) std::printf("%s\n", EventLine(index, *events.Item(index)).c_str());
    return 0;
}

int ScheduleRemove(std::string_view number) {
    std::size_t index = 0;
    if (number.empty() || number.size() > 9) throw Failure{"not an event number: " + std::string(number)};
    for (const char c : number) {
        if (!IsDigit(c)) throw Failure{"not an event number: " + std::string(number)};
        index = index * 10 + static_cast<std::size_t>(c - '0');
    }
    const DirStorage root = StoreRoot(false);
    if (auto server = EndpointClient::IfServerRuns(root)) {
        const Json list = ServerSchedule(*server);
        const EndpointReply removed = server->Request("call", list, "Remove", {Variant::I4(static_cast<std::int32_t>(index))});
        if (removed.hr == E_INVALIDARG) throw Failure{"no such schedule event: " + std::string(number)};
        if (Failed(removed.hr)) throw Failure{"the server refused the removal: " + removed.error};
        server->Checked("call", list, "Update", {});
        return 0;
    }
    core::ConfigTree tree;
    LoadInto(tree, root);
    core::ScheduleEvents events;
    events.Load(tree);
    if (!events.Remove(index)) throw Failure{"no such schedule event: " + std::string(number)};
    events.Update(tree);
    Save(tree, root);
    return 0;
}

}  // namespace

int ScheduleCommand(Arguments args) {
    if (!args.empty() && args[0] == "add") return ScheduleAdd(args.subspan(1));
    if (args.size() == 1 && args[0] == "list") return ScheduleList();
    if (args.size() == 2 && args[0] == "remove") return ScheduleRemove(args[1]);
    return -1;
}

int ConnectNowCommand(Arguments args) {
    if (!args.empty()) return -1;
    const DirStorage root = StoreRoot(false);
    auto server = EndpointClient::IfServerRuns(root);
    if (!server) throw Failure{"no server runs on the store " + root.Path() + "; connect-now asks a running server"};
    if (server->Checked("call", "Pellworth.ServerSession", "ConnectNow", {}).hr == S_FALSE) {
        throw Failure{Format("the server (process %d) does not run its SMTP transports; connect-now is ignored", {std::int64_t{server->ServerProcess()}})};
    }
    std::printf("connect-now sent to the server (process %ld)\n", server->ServerProcess());
    return 0;
}

}  // namespace pw::admin
