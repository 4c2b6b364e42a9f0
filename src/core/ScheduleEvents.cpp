// ScheduleEvents: the events of "sys:schedule:N", read and written as a contiguous list.
#include "core/ScheduleEvents.h"

#include "platform/Text.h"

namespace pw::core {

const Guid kScheduleEventsClassId = *Guid::Parse("{8E499C70-0DF5-4FAA-BE7F-522B9A41E6B8}");

std::string ScheduleEventKey(std::size_t index) { return Format("sys:schedule:%u", {std::uint64_t{index}}); }

void ScheduleEvents::Load(const ConfigTree& config) {
    events_.clear();
    for (std::size_t index = 0;; ++index) {
        const auto stored = std::dynamic_pointer_cast<ScheduleEvent>(config.GetCopy(ScheduleEventKey(index)).AsObject());
        if (!stored) return;
        events_.push_back(stored->Clone());
    }
}

void ScheduleEvents::Update(ConfigTree& config) {
    const auto guard = config.Lock();
    for (std::size_t index = 0; index < events_.size(); ++index) {
        // The configuration keeps a copy of its own, so later changes to this list stay here.
        config.Set(ScheduleEventKey(index), Variant::Object(events_[index]->Clone(), VT_UNKNOWN));
        events_[index]->ClearChanged();
    }
    for (std::size_t index = events_.size(); config.Remove(ScheduleEventKey(index)); ++index) {
    }
}

std::shared_ptr<ScheduleEvent> ScheduleEvents::Item(std::size_t index) const {
    return index < events_.size() ? events_[index] : nullptr;
}

std::shared_ptr<ScheduleEvent> ScheduleEvents::Add() {
    events_.push_back(std::make_shared<ScheduleEvent>());
    return events_.back();
}

bool ScheduleEvents::Remove(std::size_t index) {
    if (index >= events_.size()) return false;
    events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void RegisterScheduleClasses(ClassRegistry& registry) {
    registry.Register({kScheduleEventClassId, "Pellworth.ScheduleEvent", "ScheduleEvent",
                       [] { return std::make_shared<ScheduleEvent>(); }});
    registry.Register({kScheduleEventsClassId, "Pellworth.ScheduleEvents", "ScheduleEvents",
                       [] { return std::make_shared<ScheduleEvents>(); }});
}

}  // namespace pw::core
