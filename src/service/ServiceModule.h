// ServiceModule: the server process -- its mode, its start-up and shutdown order, and its lifetime.
//
// One object per process. Run performs the start-up in its fixed order (version text, class
// registration, the start message to the event log, the message store's root -- created when missing
// and locked against a second server --, the configuration, the workers, the queue) and then keeps
// the process alive until a stop: SIGTERM or SIGINT, an administration client's Shutdown, or, for a
// local server, the idle monitor. A stop runs the worker shutdown and the process shutdown routine
// (settings saved), so the process always ends with its files in order.
//
// Service mode (the AppID key has `LocalService`) and local-server mode run the same start-up; the
// service mode writes "Service started" / "Service stopped" to the event log, and only a local
// server started with "-Embedding" (on a client's behalf) ends by itself when administration clients
// have released it for the idle time-out: one started by hand or by a script stays, or any
// pellworth-admin command would stop it.
//
// Workers (routers, listeners, transports, maintenance, schedule) start and stop in the order of
// StartWorkers and StopWorkers, guarded by the running flag so neither happens twice. The connection
// schedule starts last and stops first, and only with the transports, whose cycles it asks for; a
// "connect now" (SIGUSR2, see StopSignalWatcher) is acted on only while it runs.
// Thread safety: StartWorkers, StopWorkers and ProcessShutdown serialise on the module's lock and may
// be called from the main thread or from administration calls.
#pragma once

#include "admin/AdminEndpoint.h"
#include "admin/Maintenance.h"
#include "core/Logging.h"
#include "core/ServerLock.h"
#include "platform/DirStorage.h"
#include "platform/Registry.h"
#include "service/ConnectionSchedule.h"
#include "service/IdleMonitor.h"
#include "service/MessageLoop.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace pw::service {

// More router threads than this are a typing error, not a wish; the count is capped.
inline constexpr unsigned kMaxRouters = 64;
inline constexpr unsigned kDefaultRouters = 4;

struct ServiceTimings {
    std::chrono::milliseconds idleTimeout{5000};  // a released local server waits this long before it quits
    std::chrono::milliseconds exitPause{1000};    // a local server pauses after its loop, for clients to let go
};

class ServiceModule {
public:
    explicit ServiceModule(Registry registry, ServiceTimings timings = {});
    ~ServiceModule();
    ServiceModule(const ServiceModule&) = delete;
    ServiceModule& operator=(const ServiceModule&) = delete;

    // Runs the server until it is stopped. S_OK after an orderly stop; the start-up's error otherwise
    // (FailureText then says what went wrong).
    // `embedded`: started on a client's behalf ("-Embedding"), so it ends after its last
    // administration client let go; every other run stays until it is stopped.
    HRESULT Run(bool serviceMode, bool embedded = false);
    const std::string& FailureText() const { return failure_; }

    HRESULT StartWorkers();
    void StartVirusScan();
    void StopWorkers();
    bool Running() const;
    // Only the listeners, while the workers run: false when they could not be started (or the
    // workers are stopped); starting running listeners again does nothing.
    bool StartServers();
    void StopServers();
    // The routers, the SMTP transports (with the POP3 pickups of their cycles) and the connection
    // schedule on their own, while the workers run: a start is false when the workers are stopped or
    // the part is switched off (Debug `NoRouters`, `NoTransports`); starting a running part again does
    // nothing. Started routers take what waits in "_In" first. The schedule drives the transports'
    // cycles, so it starts only with them and stops when they stop.
    bool StartRouters();
    void StopRouters();
    bool StartTransports();
    void StopTransports();
    bool StartScheduler();
    void StopScheduler();
    // Worker shutdown, then the settings saved and the store released.
    void ProcessShutdown();
    void PostQuit() { loop_.PostQuit(); }

    // Administration clients hold the server while they use its objects.
    void Lock() { idle_.Lock(); }
    void Unlock() { idle_.Unlock(); }

    // Router threads to start: none with the Debug switch `NoRouters`, else `Routers` when set, else
    // "sys:routers" from the configuration, else 4.
    unsigned RouterCount() const;
    bool TransportsEnabled() const;
    // The schedule's evaluations: a minute, or the Debug value `SchedulePeriod` in seconds (tests).
    ScheduleTimings ScheduleTimingsFromRegistry() const;

    const DirStorage& StoreRoot() const { return storeRoot_; }
    // Raised when the process stops, so that a backup an administration client asked for ends within
    // a file instead of holding the stop.
    const std::atomic<bool>* AdminStop() const { return &adminStop_; }
    // "Connect now" from an administration client (process `sender`): false, and logged, when the
    // transports are not running.
    bool ConnectNow(long sender);
    static std::string VersionText();

    // Shows every log line on this descriptor too (a terminal), from the log's creation on.
    void EchoLogTo(int fd) { echoFd_ = fd; }

private:
    // Hands every envelope in "_In" to the routers; whenever they start.
    void ResubmitQueue();
    HRESULT PreLoopStartup();
    HRESULT OpenStore();
    void StartSchedule();
    void StartTransportsLocked();
    void StopTransportsLocked();
    void StopScheduleLocked();
    void StartMaintenance();
    void StartEndpoint();
    bool StartListenersLocked();
    std::vector<std::string> UpdateCommand() const;
    void ConnectNowRequested(long sender);

    Registry registry_;
    ServiceTimings timings_;
    bool serviceMode_ = false;
    bool embedded_ = false;
    MessageLoop loop_;
    IdleMonitor idle_;
    mutable std::mutex workersLock_;
    bool running_ = false;
    bool serversRunning_ = false;
    bool routersRunning_ = false;
    bool transportsRunning_ = false;
    std::unique_ptr<admin::AdminEndpoint> endpoint_;
    std::atomic<bool> adminStop_{false};
    std::unique_ptr<ConnectionSchedule> schedule_;
    std::unique_ptr<admin::Maintenance> maintenance_;
    std::atomic<bool> cyclesAccepted_{false};  // the signal watcher reads it without the workers' lock
    DirStorage storeRoot_;
    core::ServerLock serverLock_;
    std::shared_ptr<core::Logging> logging_;
    int echoFd_ = -1;
    std::string failure_;
};

// Puts every automation class of the server into the class registry (before registration writes
// their records, and before the server runs).
void RegisterServerClasses();

// The process entry: language, command line, mode, run. Returns the process exit code.
int ProcessEntry(int argc, char** argv);

}  // namespace pw::service
