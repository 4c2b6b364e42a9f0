// The maintenance's own rules: when a backup is due, which old mail the clean-up removes, and the
// write gate a backup's snapshot relies on.
#include "admin/Maintenance.h"
#include "admin/QuotaCleanup.h"
#include "platform/WriteGate.h"
#include "store/StoreTestSupport.h"
#include "store/Domain.h"
#include "store/Envelope.h"
#include "store/Envelopes.h"
#include "store/Folder.h"
#include "store/MailBox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace pw::admin {
namespace {

using namespace std::chrono_literals;

void BackupSettings(core::ConfigTree& config, int hour, int minute) {
    config.Set("sys:backup:enabled", Variant::Switch(true));
    for (const char* day : {"sun", "mon", "tue", "wed", "thu", "fri", "sat"}) config.Set(std::string("sys:backup:") + day, Variant::Switch(true));
    config.Set("sys:backup:time", Variant::DateValue(DateFromFields(1899, 12, 30, hour, minute)));
}

TEST(admin_Maintenance, BackupIsDueOnceADayFromItsTimeOnIncludingMidnight) {
    const Date monday = DateFromFields(2026, 12, 7);  // a Monday
    const auto at = [&](int hour, int minute) { return monday + (hour * 60 + minute) / 1440.0; };
    core::ConfigTree config;
    BackupSettings(config, 2, 0);
    EXPECT_FALSE(BackupIsDue(config, at(1, 59), 0));
    EXPECT_TRUE(BackupIsDue(config, at(2, 0), 0));
    // Started late in the day without today's backup: due at once; with it: not again.
    EXPECT_TRUE(BackupIsDue(config, at(23, 30), monday - 1 + 0.1));
    EXPECT_FALSE(BackupIsDue(config, at(23, 30), at(2, 1)));
    // The next day at its time again.
    EXPECT_TRUE(BackupIsDue(config, at(2, 0) + 1, at(2, 1)));
    // 00:00, and a missing time, fire after midnight.
    core::ConfigTree midnight;
    BackupSettings(midnight, 0, 0);
    EXPECT_TRUE(BackupIsDue(midnight, at(0, 0), 0));
    config.Remove("sys:backup:time");
    EXPECT_TRUE(BackupIsDue(config, at(0, 1), 0));
    // Off, or today's weekday off: never.
    config.Set("sys:backup:mon", Variant::Switch(false));
    EXPECT_FALSE(BackupIsDue(config, at(12, 0), 0));
    EXPECT_TRUE(BackupIsDue(config, at(12, 0) + 1, 0));
    config.Set("sys:backup:enabled", Variant::Switch(false));
    EXPECT_FALSE(BackupIsDue(config, at(12, 0) + 1, 0));
}

class admin_QuotaCleanup : public store::support::StoreFixture {};

TEST_F(admin_QuotaCleanup, RemovesOnlyWholeDaysBeyondTheLimitAndKeepsUnreadableDates) {
    const auto mailboxes = store_->GetDomains()->Add("example.com")->GetMailBoxes();
    const Date now = Now();
    const auto fill = [&](std::string_view name, int days) {
        const auto mailbox = mailboxes->Add(name, store::UserMailBoxType);
        if (days >= 0) {
            mailbox->GetProperties().SetItem(kDeleteDaysKey, Variant::I4(days));
            mailbox->Update();
        }
        const auto inbox = mailbox->InFolder();
        const auto archive = mailbox->GetFolders()->Add("Archive", store::NormalFolderType);
        for (const auto& folder : {inbox, archive}) {
            for (const double age : {5.0, 1.5, 0.2, -1.0}) {
                const auto envelope = folder->GetEnvelopes()->Add();
                ASSERT_EQ(envelope->StreamOnContent(false, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write("Subject: x\r\n\r\nx\r\n"), S_OK);
                // -1: a record whose date can not be read.
                envelope->GetProperties().SetItem(store::kCreateDateKey, age < 0 ? Variant::Text("yesterday") : Variant::DateValue(now - age));
                envelope->Update();
            }
        }
    };
    fill("two", 2);
    fill("one", 1);
    fill("none", 0);
    fill("unset", -1);
    const std::atomic<bool> stop{false};
    const CleanUpCounts counts = RemoveExpiredMail(*store_, now, stop);
    EXPECT_EQ(counts.removed, 2u + 2u);  // "two": 5 days, both folders; "one": 5 days, both folders
    const auto left = [&](std::string_view name) {
        const auto mailbox = mailboxes->Item(name);
        return mailbox->InFolder()->GetEnvelopes()->Count() + mailbox->GetFolders()->Item("Archive")->GetEnvelopes()->Count();
    };
    EXPECT_EQ(left("two"), 6u);   // 1.5 and 0.2 days old, and the unreadable one
    EXPECT_EQ(left("one"), 6u);   // 1.5 days is one whole day: kept
    EXPECT_EQ(left("none"), 8u);
    EXPECT_EQ(left("unset"), 8u);
}

TEST(admin_WriteGate, APauseWaitsForStepsInsideAndHoldsNewOnesUntilItEnds) {
    std::promise<void> entered, release, resume;
    std::thread inside([&] {
        const WriteStep step;
        entered.set_value();
        release.get_future().wait();
    });
    entered.get_future().wait();
    std::atomic<bool> paused{false}, ownStepPassed{false};
    std::thread pauser([&] {
        WriteGate::Instance().Pause();
        paused = true;
        { const WriteStep own; }  // the pausing thread writes through the gate
        ownStepPassed = true;
        resume.get_future().wait();
        WriteGate::Instance().Resume();
    });
    // The pause can not begin while a step is inside ...
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(paused.load());
    release.set_value();
    inside.join();
    while (!ownStepPassed.load()) std::this_thread::yield();
    // ... and a new step waits for its end.
    std::atomic<bool> stepped{false};
    std::thread later([&] {
        const WriteStep step;
        stepped = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(stepped.load());
    resume.set_value();
    pauser.join();
    later.join();
    EXPECT_TRUE(stepped.load());
}

}  // namespace
}  // namespace pw::admin
