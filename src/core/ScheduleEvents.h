// ScheduleEvents: the connection schedule in the configuration -- the list of ScheduleEvent.
//
// The events are "sys:schedule:0", "sys:schedule:1", ..., each a VT_UNKNOWN value holding a
// ScheduleEvent; the list ends at the first key that is missing or holds no event. Load takes copies,
// so what a reader does to its events (their last firing, property writes) never reaches the
// configuration's objects until Update writes the list back, contiguously from 0, removing the keys
// after it: removing an event moves the later ones down, and the numbering never has a gap.
//
// Every program that reads pellworth.cfg registers both classes ("Pellworth.ScheduleEvent",
// "Pellworth.ScheduleEvents") with RegisterScheduleClasses: a stored event of a class a program does
// not know hides every record after it from that program.
// Thread safety: none inside; one thread uses a list at a time.
#pragma once

#include "core/ConfigTree.h"
#include "core/ScheduleEvent.h"
#include "platform/ClassRegistry.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace pw::core {

extern const Guid kScheduleEventsClassId;

// "sys:schedule:N"
std::string ScheduleEventKey(std::size_t index);

class ScheduleEvents final : public Unknown {
public:
    // Replaces the list with copies of the configuration's events.
    void Load(const ConfigTree& config);
    // Writes the list to "sys:schedule:0" onward and removes the keys after it (up to the first
    // missing one); the events are no longer changed afterwards.
    void Update(ConfigTree& config);

    std::size_t Count() const { return events_.size(); }
    // Null beyond the end.
    std::shared_ptr<ScheduleEvent> Item(std::size_t index) const;
    // Appends a new event (see ScheduleEvent()) and returns it.
    std::shared_ptr<ScheduleEvent> Add();
    // The events after it move down by one; false when there is no such event.
    bool Remove(std::size_t index);

private:
    std::vector<std::shared_ptr<ScheduleEvent>> events_;
};

void RegisterScheduleClasses(ClassRegistry& registry);

}  // namespace pw::core
