// RouterQueue: a locked FIFO with a waiting take, and the submission every receiver uses.
#include "router/RouterQueue.h"

namespace pw::router {

RouterQueue& RouterQueue::Instance() {
    static RouterQueue queue;
    return queue;
}

void RouterQueue::Submit(double uid) {
    {
        std::lock_guard guard(lock_);
        if (!held_.insert(uid).second) return;
        uids_.push_back(uid);
    }
    arrived_.notify_one();
}

void RouterQueue::Done(double uid) {
    std::lock_guard guard(lock_);
    held_.erase(uid);
}

std::optional<double> RouterQueue::Take(std::chrono::milliseconds wait) {
    std::unique_lock guard(lock_);
    if (!arrived_.wait_for(guard, wait, [&] { return !uids_.empty(); })) return std::nullopt;
    const double uid = uids_.front();
    uids_.pop_front();
    return uid;
}

std::size_t RouterQueue::Size() const {
    std::lock_guard guard(lock_);
    return uids_.size();
}

void SubmitEnvelope(double uid) { RouterQueue::Instance().Submit(uid); }

}  // namespace pw::router
