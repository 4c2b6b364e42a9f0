// Dialer with scripts as the dial and hang-up commands: how many tries, what a command is given (the
// entry in its arguments, the credentials only in its environment), and a command that outlives its
// time, which must end with everything it started -- also when this process blocks SIGTERM, as the
// service's signal watcher does.
#include "smtp/Dialer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <sys/stat.h>

#include "core/RegistryKeys.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "TestSupport.h"

namespace pw::smtp {
namespace {

class DialerTest : public ::testing::Test {
protected:
    DialerTest() : registry_(scratch_ / "pellworth.reg") {
        config_.Set("sys:connection:type", Variant::Int(ConnectionTypeRAS));
        config_.Set("sys:connection:rasentry", Variant::Text("Provider One"));
    }

    // A shell script that logs each run (its arguments and the two credential variables) and exits
    // with `status`.
    std::string Script(std::string_view name, int status, std::string_view extra = {}) {
        const std::string path = scratch_ / name;
        test::WriteFileText(path, Format("#!/bin/sh\necho \"run:$*:${PELLWORTH_DIAL_ACCOUNT-none}:${PELLWORTH_DIAL_PASSWORD-none}\" >> %s\n%s\nexit %d\n",
                                         {std::string_view(scratch_ / "runs"), extra, std::int64_t{status}}));
        ::chmod(path.c_str(), 0755);
        return path;
    }
    void SetCommands(const std::string& dial, const std::string& hangUp, std::uint32_t timeout = 0) {
        const std::string key = core::ProductKey(core::kServerProduct, "Dialer");
        ASSERT_TRUE(Succeeded(registry_.SetString(key, "DialCommand", dial)));
        if (!hangUp.empty()) {
            ASSERT_TRUE(Succeeded(registry_.SetString(key, "HangUpCommand", hangUp)));
        }
        if (timeout != 0) {
            ASSERT_TRUE(Succeeded(registry_.SetDword(key, "Timeout", timeout)));
        }
    }
    std::vector<std::string> Runs() const {
        std::vector<std::string> runs;
        if (!test::FileExists(scratch_ / "runs")) return runs;
        for (std::string& line : SplitAtAny(test::ReadFileText(scratch_ / "runs"), "\n")) {
            if (!line.empty()) runs.push_back(line);
        }
        return runs;
    }

    test::ScratchDirectory scratch_;
    Registry registry_;
    core::ConfigTree config_;
};

TEST_F(DialerTest, TriesRetriesPlusOneTimesAndHandsCredentialsOnlyThroughTheEnvironment) {
    config_.Set("sys:connection:retries", Variant::Int(2));
    config_.Set("sys:connection:account", Variant::Text("dialuser"));
    SetCommands(Script("dial", 1) + " --entry %ENTRY%", Script("hangup", 0));
    // No password: neither credential goes.
    EXPECT_FALSE(Dialer(config_, registry_).Dial());
    EXPECT_EQ(Runs(), std::vector<std::string>(3, "run:--entry Provider One:none:none"));

    ::unlink((scratch_ / "runs").c_str());
    config_.Set("sys:connection:password", Variant::Text("s3cret"));
    SetCommands(Script("dial", 0) + " %ENTRY%", Script("hangup", 0) + " %ENTRY%");
    Dialer dialer(config_, registry_);
    ASSERT_TRUE(dialer.Wanted());
    EXPECT_TRUE(dialer.Dial());
    dialer.HangUp();
    EXPECT_EQ(Runs(), (std::vector<std::string>{"run:Provider One:dialuser:s3cret", "run:Provider One:none:none"}));
}

TEST_F(DialerTest, NoCommandOrNoEntryNeverConnects) {
    EXPECT_FALSE(Dialer(config_, registry_).Dial());
    config_.Set("sys:connection:rasentry", Variant::Text(""));
    SetCommands(Script("dial", 0), "");
    EXPECT_FALSE(Dialer(config_, registry_).Wanted());
    config_.Set("sys:connection:type", Variant::Int(ConnectionTypeNetwork));
    config_.Set("sys:connection:rasentry", Variant::Text("Provider One"));
    EXPECT_FALSE(Dialer(config_, registry_).Wanted());
}

TEST_F(DialerTest, ADialThatOutlivesItsTimeFailsAndTakesItsChildrenAlong) {
    // The service blocks SIGTERM for its watcher; the dial command must not inherit that.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigset_t previous;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    const std::string pidFile = scratch_ / "child.pid";
    SetCommands(Script("dial", 0, Format("sleep 300 & echo $! > %s\nwait", {std::string_view(pidFile)})), "", 1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Dialer(config_, registry_).Dial());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // Ended by SIGTERM, long before SIGKILL's grace would run out, and reaped.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1) + kProgramKillGrace);
    ASSERT_TRUE(test::FileExists(pidFile));
    const std::string child(TrimAscii(test::ReadFileText(pidFile)));
    // The grandchild went with its process group: gone, or a zombie its new parent has yet to reap --
    // never still sleeping. Its SIGTERM is delivered, not awaited, so give it a moment to act on it.
    const auto ended = [&] {
        const std::string stat = test::FileExists("/proc/" + child + "/stat") ? test::ReadFileText("/proc/" + child + "/stat") : "";
        return stat.empty() || stat.find(") Z") != std::string::npos;
    };
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ended() && std::chrono::steady_clock::now() < bound) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ended());
}

}  // namespace
}  // namespace pw::smtp
