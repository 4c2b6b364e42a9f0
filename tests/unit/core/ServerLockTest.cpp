// ServerLock: one holder per store, the holder's id readable by others, and the lock released by
// the holder's end -- within this process and against another one.
#include "core/ServerLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"

namespace pw::core {
namespace {

TEST(ServerLockTest, OnlyOneHolderAtATimeAndItsIdIsReadable) {
    test::ScratchDirectory scratch;
    const DirStorage root(scratch.Path());
    EXPECT_EQ(ServerLock::HolderOf(root), std::nullopt);  // no lock file at all

    ServerLock first;
    ASSERT_EQ(first.Acquire(root), S_OK);
    EXPECT_TRUE(first.Held());
    const std::string idLine = std::to_string(::getpid()) + "\n";
    EXPECT_EQ(test::ReadFileText(scratch / "pellworth.lock"), idLine);
    EXPECT_EQ(ServerLock::HolderOf(root), static_cast<long>(::getpid()));

    // A second server is refused, and its attempt leaves the holder's id in place.
    ServerLock second;
    EXPECT_EQ(second.Acquire(root), STG_E_SHAREVIOLATION);
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(test::ReadFileText(scratch / "pellworth.lock"), idLine);
    EXPECT_EQ(ServerLock::HolderOf(root), static_cast<long>(::getpid()));

    first.Release();
    EXPECT_FALSE(first.Held());
    EXPECT_EQ(ServerLock::HolderOf(root), std::nullopt);  // the file remains, unlocked

    ASSERT_EQ(second.Acquire(root), S_OK);
    EXPECT_EQ(ServerLock::HolderOf(root), static_cast<long>(::getpid()));
    EXPECT_EQ(first.Acquire(root), STG_E_SHAREVIOLATION);
    second.Release();
    ASSERT_EQ(first.Acquire(root), S_OK);
    first.Release();

    // A store that does not exist can not be locked, and has no holder.
    const DirStorage missing(scratch / "missing");
    ServerLock none;
    EXPECT_TRUE(Failed(none.Acquire(missing)));
    EXPECT_FALSE(none.Held());
    EXPECT_EQ(ServerLock::HolderOf(missing), std::nullopt);
}

// Tools look at the lock at any moment: a look never makes a starting server fail, and never sees a
// holder without its id.
TEST(ServerLockTest, LooksAtTheLockNeverMakeAStartingServerFail) {
    test::ScratchDirectory scratch;
    const DirStorage root(scratch.Path());
    std::atomic<bool> done{false};
    std::atomic<int> looks{0};
    std::atomic<int> anonymous{0};
    std::thread looker([&] {
        while (!done) {
            const auto holder = ServerLock::HolderOf(root);
            if (holder && *holder != static_cast<long>(::getpid())) ++anonymous;
            ++looks;
        }
    });
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        ServerLock lock;
        if (Failed(lock.Acquire(root))) ++refused;
        lock.Release();
    }
    // Keep starting until the looker has certainly been at work meanwhile.
    while (looks < 1000) {
        ServerLock lock;
        if (Failed(lock.Acquire(root))) ++refused;
    }
    done = true;
    looker.join();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(anonymous, 0);
}

// Kills and reaps the child however the test ends.
struct ChildProcess {
    pid_t pid = -1;
    ~ChildProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

TEST(ServerLockTest, LockOfAnotherProcessIsSeenAndDiesWithIt) {
    test::ScratchDirectory scratch;
    const DirStorage root(scratch.Path());
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);

    ChildProcess child;
    child.pid = ::fork();
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        ServerLock lock;
        const char status = Succeeded(lock.Acquire(root)) ? 'y' : 'n';
        (void)!::write(ready[1], &status, 1);
        char ignored;
        (void)!::read(release[0], &ignored, 1);  // returns when the parent closes its end or dies
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);

    char status = 0;
    ASSERT_EQ(::read(ready[0], &status, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(status, 'y');

    EXPECT_EQ(ServerLock::HolderOf(root), static_cast<long>(child.pid));
    ServerLock mine;
    EXPECT_EQ(mine.Acquire(root), STG_E_SHAREVIOLATION);
    EXPECT_EQ(ServerLock::HolderOf(root), static_cast<long>(child.pid));

    // The holder is killed without any chance to clean up: its lock goes with it.
    ASSERT_EQ(::kill(child.pid, SIGKILL), 0);
    ASSERT_EQ(::waitpid(child.pid, nullptr, 0), child.pid);
    child.pid = -1;
    ::close(release[1]);

    EXPECT_EQ(ServerLock::HolderOf(root), std::nullopt);
    ASSERT_EQ(mine.Acquire(root), S_OK);
    EXPECT_EQ(ServerLock::HolderOf(root), static_cast<long>(::getpid()));
}

}  // namespace
}  // namespace pw::core
