// ScheduleEvent: the stored form byte for byte, and when IsTime says an event is due -- ranges over
// midnight, intervals, at-time once a day, weekdays off and disabled events.
#include "core/ScheduleEvent.h"

#include <gtest/gtest.h>

#include <vector>

namespace pw::core {
namespace {

// Outgoing and SMTP pickup, a range 18:00-06:00 every 15 minutes, Monday to Friday; at-time 12:00.
constexpr unsigned char kStored[kScheduleEventStoredSize] = {
    0x01, 0x00, 0x00, 0x00,                          // version 1
    0xFF, 0xFF,                                      // OutgoingDelivery on
    0x00, 0x00,                                      // POP3Pickup off
    0xFF, 0xFF,                                      // SMTPPickup on
    0xFF, 0xFF,                                      // Enabled
    0x01, 0x00, 0x00, 0x00,                          // range
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x3F,  // AtTime 0.5 (12:00)
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE8, 0x3F,  // FromTime 0.75 (18:00)
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD0, 0x3F,  // ToTime 0.25 (06:00)
    0x0F, 0x00,                                      // Interval 15
    0x00, 0x00,                                      // Sunday off
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // Monday .. Friday on
    0x00, 0x00,                                      // Saturday off
    0x00, 0x00, 0x00, 0x00,                          // reserved
};

std::vector<std::byte> StoredBytes() {
    std::vector<std::byte> bytes;
    for (const unsigned char c : kStored) bytes.push_back(static_cast<std::byte>(c));
    return bytes;
}

std::vector<std::byte> Saved(ScheduleEvent& event) {
    MemoryStream stream;
    EXPECT_EQ(event.Save(stream), S_OK);
    return stream.Bytes();
}

Date Time(int day, int hour, int minute, int second = 0) { return DateFromFields(2026, 12, day, hour, minute, second); }
Date Clock(int hour, int minute) { return DateFromFields(1899, 12, 30, hour, minute); }

// 2026-12-06 is a Sunday, so the 7th is a Monday.
constexpr int kSunday = 6;
constexpr int kMonday = 7;
constexpr int kTuesday = 8;

std::shared_ptr<ScheduleEvent> Range(int fromHour, int fromMinute, int toHour, int toMinute, std::uint16_t interval) {
    auto event = std::make_shared<ScheduleEvent>();
    event->SetOutgoingDelivery(true);
    event->SetScheduleEventTime(ScheduleEventTimeRange);
    event->SetFromTime(Clock(fromHour, fromMinute));
    event->SetToTime(Clock(toHour, toMinute));
    event->SetInterval(interval);
    return event;
}

TEST(ScheduleEventTest, StoredFormIsTheSixtyBytesOfItsLayout) {
    auto written = Range(18, 0, 6, 0, 15);
    written->SetSMTPPickup(true);
    written->SetAtTime(Clock(12, 0));
    written->SetDay(0, false);
    written->SetDay(6, false);
    EXPECT_TRUE(written->Changed());
    EXPECT_EQ(Saved(*written), StoredBytes());

    ScheduleEvent read;
    MemoryStream stream(StoredBytes());
    ASSERT_EQ(read.Load(stream), S_OK);
    EXPECT_FALSE(read.Changed());
    EXPECT_TRUE(read.OutgoingDelivery() && !read.POP3Pickup() && read.SMTPPickup() && read.Enabled());
    EXPECT_EQ(read.ScheduleEventTime(), ScheduleEventTimeRange);
    EXPECT_EQ((std::vector<double>{read.AtTime(), read.FromTime(), read.ToTime()}), (std::vector<double>{0.5, 0.75, 0.25}));
    EXPECT_EQ(read.Interval(), 15);
    EXPECT_TRUE(!read.Day(0) && read.Day(1) && read.Day(5) && !read.Day(6));
    EXPECT_EQ(Saved(read), StoredBytes());

    // Bits that are not -1 are not on, and are written back as they were read, reserved bits too.
    std::vector<std::byte> odd = StoredBytes();
    odd[4] = std::byte{0x01};
    odd[5] = std::byte{0x00};
    odd[56] = std::byte{0x2A};
    MemoryStream oddStream(odd);
    ASSERT_EQ(read.Load(oddStream), S_OK);
    EXPECT_FALSE(read.OutgoingDelivery());
    EXPECT_EQ(Saved(read), odd);

    // Another version, or a record cut short, is refused rather than read as this layout.
    std::vector<std::byte> newer = StoredBytes();
    newer[0] = std::byte{0x02};
    MemoryStream newerStream(newer);
    EXPECT_TRUE(Failed(read.Load(newerStream)));
    std::vector<std::byte> cut = StoredBytes();
    cut.pop_back();
    MemoryStream cutStream(cut);
    EXPECT_TRUE(Failed(read.Load(cutStream)));
}

TEST(ScheduleEventTest, RangeHoldsBothBoundsAndRunsOverMidnightWhenFromIsAfterTo) {
    auto night = Range(22, 0, 6, 0, 0);
    for (const auto& [hour, minute] : {std::pair{22, 0}, {23, 59}, {0, 0}, {3, 0}, {6, 0}}) {
        EXPECT_EQ(night->IsTime(Time(kMonday, hour, minute)), S_OK) << hour << ":" << minute;
    }
    for (const auto& [hour, minute] : {std::pair{6, 1}, {12, 0}, {21, 59}}) {
        EXPECT_EQ(night->IsTime(Time(kMonday, hour, minute)), S_FALSE) << hour << ":" << minute;
    }

    auto office = Range(8, 0, 17, 0, 0);
    EXPECT_EQ(office->IsTime(Time(kMonday, 7, 59)), S_FALSE);
    EXPECT_EQ(office->IsTime(Time(kMonday, 8, 0)), S_OK);
    EXPECT_EQ(office->IsTime(Time(kMonday, 17, 0, 59)), S_OK);  // still minute 17:00
    EXPECT_EQ(office->IsTime(Time(kMonday, 17, 1)), S_FALSE);
}

TEST(ScheduleEventTest, RangeFiresAgainOnlyAfterItsIntervalInWholeMinutes) {
    auto event = Range(0, 0, 23, 59, 15);
    EXPECT_EQ(event->IsTime(Time(kMonday, 10, 0)), S_OK);  // never fired: due at once
    EXPECT_EQ(event->LastFiring(), Time(kMonday, 10, 0));
    EXPECT_EQ(event->IsTime(Time(kMonday, 10, 1)), S_FALSE);
    EXPECT_EQ(event->IsTime(Time(kMonday, 10, 14, 30)), S_FALSE);
    EXPECT_EQ(event->LastFiring(), Time(kMonday, 10, 0));
    EXPECT_EQ(event->IsTime(Time(kMonday, 10, 15)), S_OK);
    EXPECT_EQ(event->IsTime(Time(kMonday, 10, 29)), S_FALSE);
    EXPECT_EQ(event->IsTime(Time(kMonday, 10, 31)), S_OK);

    // A clock set back does not keep the event waiting until it catches up with the last firing.
    EXPECT_EQ(event->IsTime(Time(kMonday, 9, 0)), S_OK);

    // Interval 0: every evaluation inside the range.
    auto always = Range(0, 0, 23, 59, 0);
    EXPECT_EQ(always->IsTime(Time(kMonday, 10, 0)), S_OK);
    EXPECT_EQ(always->IsTime(Time(kMonday, 10, 0)), S_OK);
}

TEST(ScheduleEventTest, AtTimeFiresOncePerDayAtTheFirstEvaluationAtOrAfterIt) {
    ScheduleEvent event;
    event.SetPOP3Pickup(true);
    event.SetAtTime(Clock(8, 0));
    EXPECT_EQ(event.IsTime(Time(kMonday, 7, 59)), S_FALSE);
    EXPECT_EQ(event.IsTime(Time(kMonday, 8, 0)), S_OK);
    EXPECT_EQ(event.IsTime(Time(kMonday, 8, 1)), S_FALSE);
    EXPECT_EQ(event.IsTime(Time(kMonday, 23, 59)), S_FALSE);
    EXPECT_EQ(event.IsTime(Time(kTuesday, 7, 59)), S_FALSE);
    EXPECT_EQ(event.IsTime(Time(kTuesday, 9, 30)), S_OK);  // late, but the first look that day
    EXPECT_EQ(event.IsTime(Time(kTuesday, 9, 31)), S_FALSE);
    // Set back to before today's moment after firing: still once that day.
    EXPECT_EQ(event.IsTime(Time(kTuesday, 8, 0)), S_FALSE);

    // A server started in the afternoon fires an 08:00 event at its first evaluation.
    ScheduleEvent fresh;
    fresh.SetAtTime(Clock(8, 0));
    EXPECT_EQ(fresh.IsTime(Time(kMonday, 15, 0)), S_OK);
    EXPECT_EQ(fresh.IsTime(Time(kMonday, 15, 1)), S_FALSE);

    // An event at midnight fires right after midnight each day.
    ScheduleEvent midnight;
    EXPECT_EQ(midnight.IsTime(Time(kMonday, 0, 0)), S_OK);
    EXPECT_EQ(midnight.IsTime(Time(kMonday, 23, 59)), S_FALSE);
    EXPECT_EQ(midnight.IsTime(Time(kTuesday, 0, 0)), S_OK);
}

TEST(ScheduleEventTest, DisabledEventsAndDaysOffNeverFireNorCountAsFired) {
    auto event = Range(0, 0, 23, 59, 60);
    event->SetDay(0, false);  // Sunday
    EXPECT_EQ(event->IsTime(Time(kSunday, 12, 0)), S_FALSE);
    EXPECT_EQ(event->LastFiring(), 0.0);
    EXPECT_EQ(event->IsTime(Time(kMonday, 0, 0)), S_OK);

    // The night of a range over midnight belongs to the day it is on: Sunday's morning stays off.
    auto night = Range(22, 0, 6, 0, 0);
    night->SetDay(0, false);
    EXPECT_EQ(night->IsTime(Time(kSunday, 3, 0)), S_FALSE);
    EXPECT_EQ(night->IsTime(Time(kMonday, 3, 0)), S_OK);

    ScheduleEvent atTime;
    atTime.SetAtTime(Clock(8, 0));
    atTime.SetEnabled(false);
    EXPECT_EQ(atTime.IsTime(Time(kMonday, 8, 0)), S_FALSE);
    atTime.SetEnabled(true);
    EXPECT_EQ(atTime.IsTime(Time(kMonday, 8, 5)), S_OK);  // the disabled look did not use up the day

    // Out-of-range weekdays are refused, not written past the week.
    atTime.SetDay(7, true);
    atTime.SetDay(-1, true);
    EXPECT_FALSE(atTime.Day(7));
}

}  // namespace
}  // namespace pw::core
