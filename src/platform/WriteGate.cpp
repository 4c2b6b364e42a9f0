// WriteGate: see WriteGate.h. The open gate costs a step two atomic operations; only a pause takes
// the lock, so the storage layer's calls do not serialise on it.
#include "platform/WriteGate.h"

namespace pw::platform {

namespace {
thread_local int gStepDepth = 0;
}

WriteGate& WriteGate::Instance() {
    static WriteGate gate;
    return gate;
}

void WriteGate::EnterStep() {
    for (;;) {
        inside_.fetch_add(1);
        if (!closed_.load() || pausing_.load() == std::this_thread::get_id()) return;
        LeaveStep();
        std::unique_lock guard(lock_);
        changed_.wait(guard, [this] { return !closed_.load(); });
    }
}

void WriteGate::LeaveStep() {
    if (inside_.fetch_sub(1) == 1 && closed_.load()) {
        std::lock_guard guard(lock_);
        changed_.notify_all();
    }
}

void WriteGate::Pause() {
    pauseLock_.lock();
    std::unique_lock guard(lock_);
    pausing_.store(std::this_thread::get_id());
    closed_.store(true);
    // The pausing thread's own steps (outside any of its calls) are not inside now.
    changed_.wait(guard, [this] { return inside_.load() == 0; });
}

void WriteGate::Resume() {
    {
        std::lock_guard guard(lock_);
        closed_.store(false);
        pausing_.store(std::thread::id{});
    }
    changed_.notify_all();
    pauseLock_.unlock();
}

WriteStep::WriteStep() {
    if (gStepDepth++ > 0) return;
    WriteGate::Instance().EnterStep();
    entered_ = true;
}

WriteStep::~WriteStep() {
    --gStepDepth;
    if (entered_) WriteGate::Instance().LeaveStep();
}

}  // namespace pw::platform
