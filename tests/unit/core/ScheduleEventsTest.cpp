// ScheduleEvents: the schedule as "sys:schedule:N" objects of the configuration file -- their record
// layout, the records after them, contiguous numbering after a removal, and copies that stay apart.
#include "core/ScheduleEvents.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"

namespace pw::core {
namespace {

class ScheduleEventsTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterScheduleClasses(ClassRegistry::Instance()); }
};

Date Clock(int hour, int minute) { return DateFromFields(1899, 12, 30, hour, minute); }

std::vector<std::byte> FileImage(const ConfigTree& tree) {
    MemoryStream stream;
    EXPECT_EQ(tree.WriteTo(stream), S_OK);
    return stream.Bytes();
}

TEST_F(ScheduleEventsTest, EventsAreStoredAsObjectsAndTheRecordsAfterThemStillRead) {
    ConfigTree tree;
    ScheduleEvents schedule;
    auto first = schedule.Add();
    first->SetOutgoingDelivery(true);
    first->SetAtTime(Clock(7, 30));
    auto second = schedule.Add();
    second->SetSMTPPickup(true);
    second->SetScheduleEventTime(ScheduleEventTimeRange);
    second->SetInterval(5);
    schedule.Update(tree);
    EXPECT_FALSE(first->Changed());
    ASSERT_TRUE(tree.Set("sys:zzz:after", Variant::I4(42)));

    // The record of an event: its key, VT_UNKNOWN, the class identifier and the event's 60 bytes.
    const std::vector<std::byte> image = FileImage(tree);
    test::Bytes record;
    record.U32(14).Ascii("sys:schedule:0").U16(VT_UNKNOWN);
    const auto clsid = kScheduleEventClassId.ToBytes();
    std::vector<std::byte> expected = record.Get();
    expected.insert(expected.end(), clsid.begin(), clsid.end());
    const auto body = first->ToBytes();
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_NE(std::search(image.begin(), image.end(), expected.begin(), expected.end()), image.end());

    ConfigTree read;
    MemoryStream stream(image);
    ASSERT_EQ(read.ReadFrom(stream), S_OK);
    EXPECT_FALSE(read.Unread());
    EXPECT_EQ(read.GetCopy("sys:zzz:after").AsI4(), 42);
    ScheduleEvents loaded;
    loaded.Load(read);
    ASSERT_EQ(loaded.Count(), 2u);
    EXPECT_EQ(loaded.Item(0)->ToBytes(), first->ToBytes());
    EXPECT_EQ(loaded.Item(1)->ToBytes(), second->ToBytes());
    EXPECT_EQ(loaded.Item(2), nullptr);
}

TEST_F(ScheduleEventsTest, RemovingMovesTheLaterEventsDownAndLeavesNoKeyBehind) {
    ConfigTree tree;
    ScheduleEvents schedule;
    for (std::uint16_t interval = 1; interval <= 3; ++interval) schedule.Add()->SetInterval(interval);
    schedule.Update(tree);

    ScheduleEvents editing;
    editing.Load(tree);
    ASSERT_TRUE(editing.Remove(0));
    EXPECT_FALSE(editing.Remove(2));
    editing.Update(tree);

    ScheduleEvents after;
    after.Load(tree);
    ASSERT_EQ(after.Count(), 2u);
    EXPECT_EQ(after.Item(0)->Interval(), 2);
    EXPECT_EQ(after.Item(1)->Interval(), 3);
    Variant gone;
    EXPECT_FALSE(tree.Get("sys:schedule:2", gone));

    // The list ends at the first key that holds no event.
    ASSERT_TRUE(tree.Set("sys:schedule:1", Variant::Text("not an event")));
    ASSERT_TRUE(tree.Set("sys:schedule:2", Variant::Object(std::make_shared<ScheduleEvent>(), VT_UNKNOWN)));
    after.Load(tree);
    EXPECT_EQ(after.Count(), 1u);
}

TEST_F(ScheduleEventsTest, ReadersWorkOnCopiesOfTheConfigurationsEvents) {
    ConfigTree tree;
    ScheduleEvents schedule;
    schedule.Add()->SetInterval(10);
    schedule.Update(tree);

    ScheduleEvents reader;
    reader.Load(tree);
    reader.Item(0)->SetInterval(99);
    ASSERT_EQ(reader.Item(0)->IsTime(DateFromFields(2026, 12, 7, 0, 0)), S_OK);

    ScheduleEvents again;
    again.Load(tree);
    EXPECT_EQ(again.Item(0)->Interval(), 10);
    EXPECT_EQ(again.Item(0)->LastFiring(), 0.0);
    // After Update the list keeps editing its own objects, not the stored ones.
    schedule.Update(tree);
    schedule.Item(0)->SetInterval(77);
    again.Load(tree);
    EXPECT_EQ(again.Item(0)->Interval(), 10);
}

}  // namespace
}  // namespace pw::core
