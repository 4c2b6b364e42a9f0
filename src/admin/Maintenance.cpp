// Maintenance: see Maintenance.h.
#include "admin/Maintenance.h"

#include "admin/Backup.h"
#include "admin/QuotaCleanup.h"
#include "antispam/SpamAssassinLearn.h"
#include "antivirus/Clamd.h"
#include "core/Logging.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "store/MessageStore.h"

#include <cmath>

namespace pw::admin {

namespace {

constexpr std::string_view kWeekdayKeys[] = {"sys:backup:sun", "sys:backup:mon", "sys:backup:tue", "sys:backup:wed",
                                             "sys:backup:thu", "sys:backup:fri", "sys:backup:sat"};
constexpr std::chrono::seconds kClamdReloadTimeout{30};

int DayOf(Date date) { return static_cast<int>(std::floor(date)); }

// Minutes of the day of a date value's time part (a missing value reads as midnight).
int MinuteOfDay(Date date) {
    const DateFields fields = FieldsFromDate(date);
    return fields.hour * 60 + fields.minute;
}

// The once-a-day rule of learning and the update: in the configured hour, from its minute on, once;
// the flag clears in every other hour.
bool DueInHour(Date now, Date configured, bool& done) {
    const DateFields current = FieldsFromDate(now);
    const DateFields at = FieldsFromDate(configured);
    if (current.hour != at.hour) {
        done = false;
        return false;
    }
    if (done || current.minute < at.minute) return false;
    done = true;
    return true;
}

}  // namespace

bool BackupIsDue(const core::ConfigTree& config, Date now, Date lastBackup) {
    if (!config.GetCopy("sys:backup:enabled").IsTrue()) return false;
    if (lastBackup > 0 && DayOf(lastBackup) == DayOf(now)) return false;
    const DateFields today = FieldsFromDate(now);
    if (!config.GetCopy(kWeekdayKeys[today.weekday]).IsTrue()) return false;
    return today.hour * 60 + today.minute >= MinuteOfDay(config.GetCopy("sys:backup:time").AsDouble());
}

Maintenance::Maintenance(core::ConfigTree& config, MaintenanceSettings settings)
    : config_(config), settings_(std::move(settings)) {}

Maintenance::~Maintenance() { Stop(); }

void Maintenance::Start() {
    if (thread_.joinable()) return;
    stop_ = false;
    RemoveSnapshotLeftover(settings_.storeRoot);
    lastBackup_ = LastBackupTaken(BackupDirectory(config_));
    thread_ = std::thread([this] { Run(); });
}

void Maintenance::Stop() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Maintenance::Run() {
    auto next = std::chrono::steady_clock::now() + settings_.firstDelay;
    for (;;) {
        {
            std::unique_lock guard(lock_);
            if (wake_.wait_until(guard, next, [this] { return stop_.load(); })) return;
        }
        try {
            Pass(Now());
        } catch (const std::exception& error) {
            core::Log(core::LogLevelWarning, std::string("A maintenance pass failed: ") + error.what());
        }
        next += settings_.period;
        if (const auto now = std::chrono::steady_clock::now(); next < now) next = now + settings_.period;
    }
}

void Maintenance::Pass(Date now) {
    CleanUpIfDue(now);
    if (stop_) return;
    BackupIfDue(now);
    if (stop_) return;
    if (settings_.expireAuthorisations) settings_.expireAuthorisations();
    LearnIfDue(now);
    if (stop_) return;
    UpdateIfDue(now);
    core::Log(core::LogLevelDebug, "Maintenance pass finished");
}

void Maintenance::CleanUpIfDue(Date now) {
    const int day = DayOf(now);
    const int hour = FieldsFromDate(now).hour;
    // Hourly, the first pass counting as one; once a date, unless a mailbox had to wait.
    if (hour == lastCleanUpHour_ || day == lastCleanUpDay_) return;
    lastCleanUpHour_ = hour;
    core::Log(core::LogLevelNormal, "Clean-up of old mail started");
    const auto messageStore = store::MessageStore::Open(settings_.storeRoot);
    const CleanUpCounts counts = RemoveExpiredMail(*messageStore, now, stop_);
    if (stop_) return;
    if (counts.mailboxesPassedOver == 0) lastCleanUpDay_ = day;
    core::Log(core::LogLevelNormal, Format("Clean-up of old mail finished: %u messages removed%s",
                                           {std::uint64_t{counts.removed},
                                            std::string_view(counts.mailboxesPassedOver > 0 ? "; a mailbox in use waits for the next hour" : "")}));
}

void Maintenance::BackupIfDue(Date now) {
    if (!BackupIsDue(config_, now, lastBackup_)) return;
    // Taken or failed, today's attempt is made: a failing copy is not retried every minute.
    lastBackup_ = now;
    const BackupOutcome outcome = BackupNow(settings_.storeRoot, config_, &stop_);
    if (outcome.succeeded) lastBackup_ = outcome.taken;
}

void Maintenance::LearnIfDue(Date now) {
    if (!DueInHour(now, config_.GetCopy("sys:spam:sa:bayestime").AsDouble(), learned_)) return;
    Variant bayes;
    if (antispam::SpamAssassinConfig(settings_.spamAssassin.directory).Read("bayes", bayes) != S_OK || !bayes.IsTrue()) return;
    core::Log(core::LogLevelNormal, "SpamAssassin learning started");
    const auto messageStore = store::MessageStore::Open(settings_.storeRoot);
    const antispam::LearnCounts counts = antispam::Learn(*messageStore, settings_.spamAssassin);
    core::Log(core::LogLevelNormal, Format("SpamAssassin learned %u spam and %u good messages; %u failed",
                                           {std::uint64_t{counts.spamLearned}, std::uint64_t{counts.goodLearned},
                                            std::uint64_t{counts.failed}}));
}

void Maintenance::UpdateIfDue(Date now) {
    if (!config_.GetCopy("sys:av:enabled").IsTrue() || config_.GetCopy("sys:av:avtype").AsInt64() != 2) return;
    if (!DueInHour(now, config_.GetCopy("sys:av:update").AsDouble(), updated_)) return;
    if (settings_.updateCommand.empty()) {
        core::Log(core::LogLevelNormal, "The virus signature update is skipped: no \"UpdateCommand\" is set in the registry");
        return;
    }
    core::Log(core::LogLevelNormal, "Virus signature update started: " + settings_.updateCommand.front());
    ProgramOptions options;
    options.timeout = kUpdateTimeout;
    options.stdinFromNull = true;
    options.closeOtherDescriptors = true;
    const ProgramResult result = RunProgram(settings_.updateCommand, options);
    if (result.status != 0) {
        core::Log(core::LogLevelWarning, result.timedOut ? std::string("Virus signature update failed: the command outlived its time and was ended")
                                                         : Format("Virus signature update failed: the command ended with %d", {std::int64_t{result.status}}));
        return;
    }
    std::string problem;
    if (!antivirus::ClamdReload(settings_.clamdAddress, kClamdReloadTimeout, problem)) {
        core::Log(core::LogLevelWarning, "Virus signatures updated, but clamd did not reload them: " + problem);
        return;
    }
    core::Log(core::LogLevelNormal, "Virus signature update finished; clamd reloads its signatures");
    if (config_.GetCopy("sys:av:reboot").IsTrue()) {
        core::Log(core::LogLevelWarning, "\"sys:av:reboot\" is on, but this server never restarts the computer; clamd reloads without one");
    }
}

}  // namespace pw::admin
