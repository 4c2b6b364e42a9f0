// MessageLoop: the quit flag and the signal thread.
#include "service/MessageLoop.h"

#include <pthread.h>

namespace pw::service {

namespace {

// SIGUSR1 only wakes the watcher when it is to end; from outside it is ignored.
sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    // A closed terminal of a foreground run: without the orderly stop its default would end the
    // process mid-write and lose the settings.
    sigaddset(&set, SIGHUP);
    // Its default would end the process: a "connect now" sent the moment the store's lock shows the
    // server must never kill it.
    sigaddset(&set, SIGUSR2);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

void MessageLoop::Run() {
    std::unique_lock guard(lock_);
    posted_.wait(guard, [this] { return quit_; });
}

void MessageLoop::PostQuit() {
    {
        std::lock_guard guard(lock_);
        quit_ = true;
    }
    posted_.notify_all();
}

bool MessageLoop::QuitPosted() const {
    std::lock_guard guard(lock_);
    return quit_;
}

StopSignalWatcher::StopSignalWatcher(MessageLoop& loop, ConnectNowHandler connectNow)
    : loop_(loop), connectNow_(std::move(connectNow)) {
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, &previousMask_);
    thread_ = std::thread([this] { Watch(); });
}

StopSignalWatcher::~StopSignalWatcher() {
    ending_ = true;
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
    // A connect-now sent just before the server let go of its store may still arrive while the process
    // ends; SIGUSR2 stays blocked so that it can not end it with the signal instead of its exit status.
    sigset_t restored = previousMask_;
    sigaddset(&restored, SIGUSR2);
    pthread_sigmask(SIG_SETMASK, &restored, nullptr);
}

void StopSignalWatcher::Watch() {
    const sigset_t set = WatchedSignals();
    for (;;) {
        siginfo_t info{};
        const int signal = sigwaitinfo(&set, &info);
        if (signal < 0) continue;
        if (signal == SIGUSR1) {
            if (ending_) return;
            continue;
        }
        if (signal == SIGUSR2) {
            if (connectNow_) connectNow_(static_cast<long>(info.si_pid));
            continue;
        }
        loop_.PostQuit();
    }
}

}  // namespace pw::service
