// ScheduleEvent: one entry of the connection schedule -- when the server connects, and what for
// (outgoing delivery, POP3 pickup, SMTP pickup).
//
// An event is either at-time (once on each enabled weekday, at AtTime) or a range (every Interval
// minutes while the time of day lies between FromTime and ToTime, both bounds included). Only the hour
// and minute of the three times count. A range whose FromTime lies after its ToTime runs over
// midnight (22:00-06:00 covers the night); the weekday switch that counts is always that of the
// moment evaluated, so the morning hours of such a range belong to the next day's switch.
//
// IsTime(now) answers S_OK when the event is due and then records now as its last firing, S_FALSE
// otherwise. At-time: due when the time of day of now has reached AtTime and the last firing lies
// before today's AtTime moment -- so the first evaluation at or after AtTime fires, also one that
// comes hours late (a server started after AtTime), and no later one that day. Range: due inside the
// range when at least Interval whole minutes have passed since the last firing (Interval 0: at every
// evaluation). A last firing after now (the clock was set back) does not hold a range event back.
//
// Stored form (PersistStream, the 60 bytes after the class identifier, little-endian):
//   version u32 (1) | OutgoingDelivery, POP3Pickup, SMTPPickup, Enabled i16 each | ScheduleEventTime
//   u32 | AtTime, FromTime, ToTime f64 each (automation dates) | Interval u16 | Sunday .. Saturday
//   i16 each | reserved u32
// Switches are written as 0 or -1 and, like every switch of the configuration, are on only at -1;
// the bits read are kept, so an event is written back as it was read. The last firing and the
// changed flag (set by every property write) live in memory only.
//
// An automation class ("Pellworth.ScheduleEvent"), registered with ScheduleEvents by
// RegisterScheduleClasses (ScheduleEvents.h).
// Thread safety: none inside; one thread uses an object at a time (the schedule thread works on its
// own copies).
#pragma once

#include "platform/AutomationDate.h"
#include "platform/ClassRegistry.h"
#include "platform/Guid.h"
#include "platform/Variant.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace pw::core {

enum ScheduleEventTimeEnum : std::uint32_t { ScheduleEventTimeAtTime = 0, ScheduleEventTimeRange = 1 };

extern const Guid kScheduleEventClassId;

// The length of an event's own data in its stored form, and its version.
inline constexpr std::size_t kScheduleEventStoredSize = 60;
inline constexpr std::uint32_t kScheduleEventVersion = 1;
inline constexpr int kDaysPerWeek = 7;

class ScheduleEvent final : public Unknown, public PersistStream {
public:
    // Enabled on every day, at-time at midnight, asking for nothing until a switch is set.
    ScheduleEvent();

    bool OutgoingDelivery() const { return IsOn(outgoing_); }
    bool POP3Pickup() const { return IsOn(pop3_); }
    bool SMTPPickup() const { return IsOn(smtp_); }
    bool Enabled() const { return IsOn(enabled_); }
    ScheduleEventTimeEnum ScheduleEventTime() const { return static_cast<ScheduleEventTimeEnum>(mode_); }
    Date AtTime() const { return atTime_; }
    Date FromTime() const { return fromTime_; }
    Date ToTime() const { return toTime_; }
    std::uint16_t Interval() const { return interval_; }
    // weekday 0 is Sunday, 6 Saturday (as DateFields counts them); others are off.
    bool Day(int weekday) const;

    void SetOutgoingDelivery(bool on) { Put(outgoing_, on); }
    void SetPOP3Pickup(bool on) { Put(pop3_, on); }
    void SetSMTPPickup(bool on) { Put(smtp_, on); }
    void SetEnabled(bool on) { Put(enabled_, on); }
    void SetScheduleEventTime(ScheduleEventTimeEnum mode);
    void SetAtTime(Date time);
    void SetFromTime(Date time);
    void SetToTime(Date time);
    void SetInterval(std::uint16_t minutes);
    void SetDay(int weekday, bool on);

    // S_OK when due at `now` (local time), which then becomes the last firing; S_FALSE otherwise.
    HRESULT IsTime(Date now);

    Date LastFiring() const { return lastFiring_; }
    void SetLastFiring(Date time) { lastFiring_ = time; }
    bool Changed() const { return changed_; }
    void ClearChanged() { changed_ = false; }

    // A copy of the stored fields, with no last firing and not changed.
    std::shared_ptr<ScheduleEvent> Clone() const;

    Guid ClassId() const override { return kScheduleEventClassId; }
    [[nodiscard]] HRESULT Load(Stream& stream) override;
    [[nodiscard]] HRESULT Save(Stream& stream) override;

    std::array<std::byte, kScheduleEventStoredSize> ToBytes() const;
    [[nodiscard]] HRESULT FromBytes(std::span<const std::byte, kScheduleEventStoredSize> bytes);

private:
    static bool IsOn(std::int16_t bits) { return bits == kVariantTrue; }
    void Put(std::int16_t& field, bool on);
    bool RangeIsDue(Date now, int minuteOfDay);
    bool AtTimeIsDue(Date now, int minuteOfDay);

    std::int16_t outgoing_ = 0;
    std::int16_t pop3_ = 0;
    std::int16_t smtp_ = 0;
    std::int16_t enabled_ = kVariantTrue;
    std::uint32_t mode_ = ScheduleEventTimeAtTime;
    Date atTime_ = 0;
    Date fromTime_ = 0;
    Date toTime_ = 0;
    std::uint16_t interval_ = 0;
    std::array<std::int16_t, kDaysPerWeek> days_{};
    std::uint32_t reserved_ = 0;

    Date lastFiring_ = 0;
    bool changed_ = false;
};

}  // namespace pw::core
