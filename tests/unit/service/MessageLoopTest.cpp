// StopSignalWatcher: the signals it takes stay away from the threads of the process, and a late
// connect-now never gets its deadly default once the watcher has ended.
#include "service/MessageLoop.h"

#include <gtest/gtest.h>

#include <pthread.h>

namespace pw::service {
namespace {

bool Blocked(int signal) {
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, signal) == 1;
}

TEST(MessageLoopTest, ConnectNowStaysBlockedAfterTheWatcherEnds) {
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, nullptr, &before);
    sigset_t unblocked = before;
    sigdelset(&unblocked, SIGUSR2);
    sigdelset(&unblocked, SIGTERM);
    pthread_sigmask(SIG_SETMASK, &unblocked, nullptr);
    {
        MessageLoop loop;
        StopSignalWatcher watcher(loop, [](long) {});
        EXPECT_TRUE(Blocked(SIGUSR2));
        EXPECT_TRUE(Blocked(SIGTERM));
        EXPECT_FALSE(loop.QuitPosted());
    }
    // The server has let go of its store by now, but a connect-now sent a moment earlier may still
    // come; its default would end the process with a signal instead of its exit status.
    EXPECT_TRUE(Blocked(SIGUSR2));
    EXPECT_FALSE(Blocked(SIGTERM));  // the stop signals are given back
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
}  // namespace pw::service
