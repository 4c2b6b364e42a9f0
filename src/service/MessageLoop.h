// MessageLoop: what keeps the main thread alive while the server runs, and the stop signals.
//
// The main thread waits in Run until somebody posts the quit: SIGTERM, SIGINT or SIGHUP (the service
// manager's stop, Ctrl-C, or the closed terminal of a foreground run), the idle monitor of a local
// server, or an administration client's Shutdown.
// StopSignalWatcher blocks SIGTERM, SIGINT, SIGHUP and SIGUSR2 in the calling thread -- and so in every
// thread created after it, which is why the service creates it before any other thread -- and turns
// the first three into a posted quit from a thread of its own. SIGUSR2 is the administration's
// "connect now" (pellworth-admin connect-now): the watcher passes it, with the sender's process id, to
// the handler it was given; blocked from the start, an early one is never the default's end of the
// process. The stop signals are restored when it ends; SIGUSR2 stays blocked, as a request that comes
// while the process ends must not end it.
// Thread safety: PostQuit from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

namespace pw::service {

class MessageLoop {
public:
    void Run();
    void PostQuit();
    bool QuitPosted() const;

private:
    mutable std::mutex lock_;
    std::condition_variable posted_;
    bool quit_ = false;
};

class StopSignalWatcher {
public:
    // Called on the watcher's thread with the sender's process id.
    using ConnectNowHandler = std::function<void(long sender)>;

    explicit StopSignalWatcher(MessageLoop& loop, ConnectNowHandler connectNow = {});
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

private:
    void Watch();

    MessageLoop& loop_;
    const ConnectNowHandler connectNow_;
    sigset_t previousMask_{};
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

}  // namespace pw::service
