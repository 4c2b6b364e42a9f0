// IdleMonitor: ends a local server that administration clients have stopped using.
//
// Clients lock the server while they hold its objects. When the last lock goes, the monitor waits the
// idle time-out (5000 ms); activity in that time (a lock taken and released again) restarts the wait,
// and when the time passes with no lock held the monitor calls onIdle, which posts the quit. A server
// that nobody has ever locked is never idle: the monitor starts counting only after a release.
// Thread safety: Lock and Unlock from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace pw::service {

class IdleMonitor {
public:
    IdleMonitor(std::chrono::milliseconds timeout, std::function<void()> onIdle);
    ~IdleMonitor();
    IdleMonitor(const IdleMonitor&) = delete;
    IdleMonitor& operator=(const IdleMonitor&) = delete;

    void Start();
    void Stop();

    void Lock();
    void Unlock();
    long LockCount() const;

private:
    void Watch();

    const std::chrono::milliseconds timeout_;
    const std::function<void()> onIdle_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    long locks_ = 0;
    bool signalled_ = false;  // the idle event: the count dropped to zero
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace pw::service
