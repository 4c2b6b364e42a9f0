// LoginFailures with a clock the test moves: the pause that grows with an address's failures across
// user names, forgiving by address and user, ageing, the cap on entries, and concurrent use.
#include "net/LoginFailures.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace pw::net {
namespace {

using namespace std::chrono_literals;
using Clock = LoginFailures::Clock;

const IpAddress kGuesser = *IpAddress::Parse("127.0.0.1");
// Of the other family: the table keeps the families apart as it keeps addresses apart.
const IpAddress kNeighbour = *IpAddress::Parse("::1");

struct TestClock {
    Clock::time_point now = Clock::time_point{} + 24h;
    std::function<Clock::time_point()> Reader() {
        return [this] { return now; };
    }
};

TEST(LoginFailuresTest, PauseDoublesWithTheFailuresOfTheAddressWhateverTheUser) {
    TestClock clock;
    LoginFailures table(kMaxLoginFailureEntries, clock.Reader());
    const std::vector<std::chrono::milliseconds> expected{250ms, 500ms, 1000ms, 2000ms, 4000ms, 8000ms, 8000ms};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        // A new user name each time spares the guesser nothing.
        EXPECT_EQ(table.Failed(kGuesser, "user" + std::to_string(i) + "@example.com"), expected[i]) << i;
    }
    EXPECT_EQ(table.FailuresFrom(kGuesser), expected.size());
    EXPECT_EQ(table.Failed(kNeighbour, "user0@example.com"), kFirstFailurePause);  // another address starts afresh
    EXPECT_EQ(LoginFailures::PauseAfter(1000000), kMaxFailurePause);
}

TEST(LoginFailuresTest, GoodLoginForgivesOnlyItsOwnUserFromItsOwnAddress) {
    TestClock clock;
    LoginFailures table(kMaxLoginFailureEntries, clock.Reader());
    for (int i = 0; i < 3; ++i) table.Failed(kGuesser, "victim@example.com");
    table.Failed(kGuesser, "me@example.com");
    table.Failed(kNeighbour, "me@example.com");

    // The guesser's own password wipes out its own failure, never those it built up against the victim.
    table.Succeeded(kGuesser, "Me@Example.com");
    EXPECT_EQ(table.FailuresFrom(kGuesser), 3u);
    EXPECT_EQ(table.FailuresFrom(kNeighbour), 1u);
    EXPECT_EQ(table.Failed(kGuesser, "victim@example.com"), 2000ms);

    table.Succeeded(kGuesser, "VICTIM@example.com");  // user names compare without case
    EXPECT_EQ(table.FailuresFrom(kGuesser), 0u);
    EXPECT_EQ(table.Failed(kGuesser, "victim@example.com"), kFirstFailurePause);
}

TEST(LoginFailuresTest, EntriesAgeOutAfterAQuietSpell) {
    TestClock clock;
    LoginFailures table(kMaxLoginFailureEntries, clock.Reader());
    table.Failed(kGuesser, "a@example.com");
    table.Failed(kNeighbour, "a@example.com");
    clock.now += kLoginFailureMemory - 1s;
    EXPECT_EQ(table.Failed(kGuesser, "a@example.com"), 500ms);  // still remembered, and kept longer now
    const auto refreshed = clock.now;
    clock.now += 1s;
    EXPECT_EQ(table.FailuresFrom(kNeighbour), 0u);
    EXPECT_EQ(table.Size(), 1u);
    clock.now = refreshed + kLoginFailureMemory - 1s;
    EXPECT_EQ(table.FailuresFrom(kGuesser), 2u);
    clock.now += 1s;
    EXPECT_EQ(table.FailuresFrom(kGuesser), 0u);
    EXPECT_EQ(table.Size(), 0u);
    EXPECT_EQ(table.Failed(kGuesser, "a@example.com"), kFirstFailurePause);
}

TEST(LoginFailuresTest, HoldsAtMostItsCapacityAndPushesOutTheOldestFailure) {
    TestClock clock;
    LoginFailures table(kMaxLoginFailureEntries, clock.Reader());
    table.Failed(kGuesser, "first@example.com");
    clock.now += 1s;
    table.Failed(kNeighbour, "kept@example.com");
    for (std::size_t i = 0; i < kMaxLoginFailureEntries + 100; ++i) {
        clock.now += 1ms;
        if (i == kMaxLoginFailureEntries / 2) table.Failed(kNeighbour, "kept@example.com");  // its failure is recent again
        table.Failed(IpAddress::FromHostOrder(0x0A000000 + static_cast<std::uint32_t>(i)), "flood@example.com");
    }
    EXPECT_EQ(table.Size(), kMaxLoginFailureEntries);
    EXPECT_EQ(table.FailuresFrom(kGuesser), 0u);
    EXPECT_EQ(table.FailuresFrom(kNeighbour), 2u);
    EXPECT_EQ(table.FailuresFrom(IpAddress::FromHostOrder(0x0A000000 + kMaxLoginFailureEntries + 99)), 1u);
}

TEST(LoginFailuresTest, CountsEveryFailureOfConcurrentSessions) {
    LoginFailures table;
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&table, t] {
            for (int i = 0; i < kEach; ++i) table.Failed(kGuesser, "user" + std::to_string(t * kEach + i % 50));
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(table.FailuresFrom(kGuesser), std::uint64_t{kThreads} * kEach);
    EXPECT_EQ(table.Size(), std::size_t{kThreads} * 50);
}

}  // namespace
}  // namespace pw::net
