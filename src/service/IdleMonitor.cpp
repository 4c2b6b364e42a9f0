// IdleMonitor: the lock count and the idle wait.
#include "service/IdleMonitor.h"

namespace pw::service {

IdleMonitor::IdleMonitor(std::chrono::milliseconds timeout, std::function<void()> onIdle)
    : timeout_(timeout), onIdle_(std::move(onIdle)) {}

IdleMonitor::~IdleMonitor() { Stop(); }

void IdleMonitor::Start() {
    std::lock_guard guard(lock_);
    if (thread_.joinable()) return;
    stop_ = false;
    thread_ = std::thread([this] { Watch(); });
}

void IdleMonitor::Stop() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void IdleMonitor::Lock() {
    std::lock_guard guard(lock_);
    ++locks_;
}

void IdleMonitor::Unlock() {
    {
        std::lock_guard guard(lock_);
        if (locks_ > 0 && --locks_ == 0) signalled_ = true;
    }
    changed_.notify_all();
}

long IdleMonitor::LockCount() const {
    std::lock_guard guard(lock_);
    return locks_;
}

void IdleMonitor::Watch() {
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stop_ || signalled_; });
        if (stop_) return;
        // Wait out the time-out for as long as new activity signals again.
        do {
            signalled_ = false;
            changed_.wait_for(guard, timeout_, [this] { return stop_ || signalled_; });
            if (stop_) return;
        } while (signalled_);
        if (locks_ == 0) break;
    }
    guard.unlock();
    onIdle_();
}

}  // namespace pw::service
