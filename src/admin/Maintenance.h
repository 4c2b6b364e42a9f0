// Maintenance: the server's periodic work, one pass a minute on a thread of its own: the clean-up of
// old mail in mailboxes with an age limit, the daily backup, the expiry of POP-before-SMTP
// authorisations, the daily training of SpamAssassin and the daily update of clamd's signatures.
//
// Every pass reads its settings afresh from the configuration, so a change takes effect in the next
// minute. Times are local, as the settings are:
// - Backup: due when "sys:backup:enabled" and today's weekday switch ("sys:backup:sun" ... "sat") are
//   on, no backup was taken today, and the time of day has reached "sys:backup:time" (a missing time
//   is midnight). Comparing date-times rather than minutes of the day means a server started after
//   the backup time still takes today's backup in its first pass, and a backup time of 00:00 fires.
//   The last backup's time comes from the newest manifest at start-up, so a restart (or a crash loop)
//   never takes a second backup on the same day and never rotates a day's generations away.
// - Clean-up: hourly, the first pass after start-up counting as one, once per date. A message whose
//   creation date can not be read is kept; an inbox a POP3 session holds waits for the next hour.
// - Learning (when "sys:spam:sa:bayes", kept in SpamAssassin's local.cf, is on) and the engine
//   update: when the hour of "sys:spam:sa:bayestime" (or "sys:av:update")
//   is the current one and its minute has come, once, the flag clearing in any other hour. Both keep
//   the routers running: sa-learn and clamd keep their own databases consistent. The update runs
//   the registry's "UpdateCommand" (an argv, no shell, at most kUpdateTimeout), then clamd "RELOAD".
//   The computer is never restarted: with "sys:av:reboot" on, a Warning says so.
// Nothing is ever terminated: Stop wakes the thread, and the backup, the clean-up and learning check
// the stop flag per file, so a stop mid-backup ends in seconds without a partial generation.
// Errors inside a pass are logged and never end the thread.
// Thread safety: Start and Stop from one controlling thread; Pass is the thread's, or a test's.
#pragma once

#include "antispam/SpamAssassinConfig.h"
#include "core/ConfigTree.h"
#include "platform/AutomationDate.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pw::admin {

inline constexpr std::chrono::seconds kMaintenancePeriod{60};
// The first pass comes this long after the start, so that it never races the start-up.
inline constexpr std::chrono::seconds kFirstPassDelay{5};
inline constexpr std::chrono::minutes kUpdateTimeout{10};

struct MaintenanceSettings {
    std::string storeRoot;
    std::chrono::milliseconds period = kMaintenancePeriod;
    std::chrono::milliseconds firstDelay = kFirstPassDelay;
    // Where SpamAssassin's site configuration ("use_bayes" lives in its local.cf) and sa-learn are,
    // and how clamd is reached: the service reads them from the registry.
    antispam::SpamAssassinPaths spamAssassin;
    std::vector<std::string> updateCommand;  // empty: no update
    std::string clamdAddress;
    // The POP-before-SMTP expiry, given by the service (it owns the table).
    std::function<void()> expireAuthorisations;
};

// Is the backup due at `now`, the last one taken at `lastBackup` (0: never)?
bool BackupIsDue(const core::ConfigTree& config, Date now, Date lastBackup);

class Maintenance {
public:
    Maintenance(core::ConfigTree& config, MaintenanceSettings settings);
    ~Maintenance();
    Maintenance(const Maintenance&) = delete;
    Maintenance& operator=(const Maintenance&) = delete;

    void Start();
    void Stop();

    // One pass at `now`.
    void Pass(Date now);

private:
    void Run();
    void CleanUpIfDue(Date now);
    void BackupIfDue(Date now);
    void LearnIfDue(Date now);
    void UpdateIfDue(Date now);

    core::ConfigTree& config_;
    const MaintenanceSettings settings_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::condition_variable wake_;
    std::thread thread_;
    // Pass state; only the thread (or a test's Pass) touches it.
    Date lastBackup_ = 0;
    int lastCleanUpDay_ = -1;  // days since the epoch of dates
    int lastCleanUpHour_ = -1;
    bool learned_ = false;
    bool updated_ = false;
};

}  // namespace pw::admin
