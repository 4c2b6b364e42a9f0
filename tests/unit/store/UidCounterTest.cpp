// UidCounter: draws from threads and from processes never collide, and a damaged or missing "_uid"
// starts again after the envelopes already in the folder.
#include "store/UidCounter.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <csignal>
#include <latch>
#include <limits>
#include <poll.h>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "TestSupport.h"

namespace pw::store {
namespace {

constexpr int kDraws = 200;

std::vector<std::byte> CounterImage(double value) { return test::Bytes().U64(std::bit_cast<std::uint64_t>(value)).Get(); }
// A counter with the last published id after it.
std::vector<std::byte> CounterImage(double value, double last) {
    return test::Bytes().U64(std::bit_cast<std::uint64_t>(value)).U64(std::bit_cast<std::uint64_t>(last)).Get();
}

class store_UidCounterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(folder_.CreateSelf(), S_OK);
        test::WriteFileBytes(folder_.ElementPath("_uid"), {});
    }
    double Draw(double floor = 0) {
        double uid = -1;
        EXPECT_EQ(DrawUid(folder_, uid, floor), S_OK);
        return uid;
    }
    // The counter as a restart would read it.
    double Stored() const {
        const auto bytes = test::ReadFileBytes(folder_.ElementPath("_uid"));
        if (bytes.size() != 8 && bytes.size() != 16) return -1;
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < 8; ++i) bits |= std::to_integer<std::uint64_t>(bytes[i]) << (8 * i);
        return std::bit_cast<double>(bits);
    }
    // Both drawers together handed out distinct ids from 1, and the counter stands at or above the
    // last (a drawer's reservation may be left unused); one process draws 1..2*kDraws without a gap.
    void ExpectDistinctRun(const std::vector<double>& drawn, bool oneProcess) {
        const std::set<double> distinct(drawn.begin(), drawn.end());
        EXPECT_EQ(drawn.size(), 2u * kDraws);
        EXPECT_EQ(distinct.size(), drawn.size());
        EXPECT_EQ(*distinct.begin(), 1);
        if (oneProcess) {
            EXPECT_EQ(*distinct.rbegin(), 2 * kDraws);
        }
        EXPECT_GE(Stored(), *distinct.rbegin());
    }

    test::ScratchDirectory scratch_;
    DirStorage folder_{scratch_ / "folder"};
};

TEST_F(store_UidCounterTest, TwoThreadsNeverDrawTheSameId) {
    std::latch start(2);
    std::vector<double> drawn[2];
    std::vector<std::thread> drawers;
    for (int t = 0; t < 2; ++t) {
        drawers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kDraws; ++i) drawn[t].push_back(Draw());
        });
    }
    for (auto& drawer : drawers) drawer.join();
    drawn[0].insert(drawn[0].end(), drawn[1].begin(), drawn[1].end());
    ExpectDistinctRun(drawn[0], true);
}

TEST_F(store_UidCounterTest, TwoProcessesNeverDrawTheSameId) {
    int start[2];
    int results[2];
    ASSERT_EQ(::pipe(start), 0);
    ASSERT_EQ(::pipe(results), 0);
    pid_t children[2];
    for (pid_t& child : children) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(start[1]);
            ::close(results[0]);
            char go = 0;
            if (::read(start[0], &go, 1) != 1) ::_exit(2);
            for (int i = 0; i < kDraws; ++i) {
                double uid = -1;
                if (Failed(DrawUid(folder_, uid))) uid = -1;
                if (::write(results[1], &uid, sizeof uid) != sizeof uid) ::_exit(3);
            }
            ::_exit(0);
        }
    }
    ::close(start[0]);
    ::close(results[1]);
    // Both children wait on the pipe, so their draws overlap.
    EXPECT_EQ(::write(start[1], "gg", 2), 2);
    ::close(start[1]);

    // Read until both children closed their end, or give up at the deadline.
    std::vector<double> drawn;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    for (double uid = 0;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{results[0], POLLIN, 0};
        // Writes of one double to a pipe are atomic, so reads never split one.
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        if (::read(results[0], &uid, sizeof uid) != sizeof uid) break;
        drawn.push_back(uid);
    }
    ::close(results[0]);
    for (const pid_t child : children) {
        if (drawn.size() != 2u * kDraws) ::kill(child, SIGKILL);  // stuck: do not leave it behind
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ExpectDistinctRun(drawn, false);
}

TEST_F(store_UidCounterTest, DamagedCounterStartsAfterTheHighestStoredStem) {
    for (const char* name : {"0000003.env", "000000A.eml", "notes.eml", "~000000F.eml.1.2.tmp"}) {
        test::WriteFileBytes(folder_.ElementPath(name), {});
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // An empty counter is also what a draw that died between making a missing "_uid" and writing it leaves.
    const std::vector<std::vector<std::byte>> damaged = {
        {}, test::Bytes().U8(1).U8(2).U8(3).Get(), CounterImage(nan), CounterImage(-1), CounterImage(2.5), CounterImage(inf),
        CounterImage(9007199254740992.0), test::Bytes().U64(0).U8(0).Get()};
    for (const auto& image : damaged) {
        test::WriteFileBytes(folder_.ElementPath("_uid"), image);
        double peeked = 0;
        EXPECT_EQ(PeekUid(folder_, peeked), S_OK);
        EXPECT_EQ(peeked, 11);
        EXPECT_EQ(Draw(), 11);
        EXPECT_EQ(test::ReadFileBytes(folder_.ElementPath("_uid")), CounterImage(10 + kUidReserveBlock, 11));
    }
    // A last published id beyond its counter, or not a whole number, damages it too.
    for (const auto& image : {CounterImage(20, 21), CounterImage(20, 2.5)}) {
        test::WriteFileBytes(folder_.ElementPath("_uid"), image);
        EXPECT_EQ(Draw(), 11);
    }
    // A sound counter is trusted as it stands; a floor lifts it.
    test::WriteFileBytes(folder_.ElementPath("_uid"), CounterImage(41));
    EXPECT_EQ(Draw(), 42);
    EXPECT_EQ(Draw(100), 101);
    EXPECT_EQ(Draw(), 102);

    // A missing counter is made again, from the stems.
    ASSERT_EQ(::unlink(folder_.ElementPath("_uid").c_str()), 0);
    EXPECT_EQ(Draw(), 11);
    EXPECT_EQ(test::ReadFileBytes(folder_.ElementPath("_uid")), CounterImage(10 + kUidReserveBlock, 11));
}

// The counter on the disk always stands at or above every id handed out, so a process that reads it
// after a restart (or a power loss) never hands out a used id again; within a block draws only read it.
TEST_F(store_UidCounterTest, ReservedBlocksKeepTheStoredCounterAheadOfEveryIdHandedOut) {
    const auto block = static_cast<int>(kUidReserveBlock);
    EXPECT_EQ(Draw(), 1);
    EXPECT_EQ(Stored(), kUidReserveBlock);
    for (int id = 2; id <= block; ++id) {
        EXPECT_EQ(Draw(), id);
        // Within the block only the last published id moves.
        EXPECT_EQ(test::ReadFileBytes(folder_.ElementPath("_uid")), CounterImage(kUidReserveBlock, id)) << id;
    }
    double peeked = 0;
    ASSERT_EQ(PeekUid(folder_, peeked), S_OK);
    EXPECT_EQ(peeked, block + 1);
    EXPECT_EQ(Draw(), block + 1);
    EXPECT_EQ(Stored(), 2 * kUidReserveBlock);

    // Another process (a restart, or the administration tool) starts above the stored counter, not
    // in this process's block; and this process then gives up its block too, so that no id is ever
    // handed out below one another process published.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        double uid = 0;
        ::_exit(Succeeded(DrawUid(folder_, uid)) && uid == 2 * kUidReserveBlock + 1 && Stored() == 3 * kUidReserveBlock ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The next folder's id is the one after the other process's, reported as such before it is drawn.
    ASSERT_EQ(PeekUid(folder_, peeked), S_OK);
    EXPECT_EQ(peeked, 2 * block + 2);
    EXPECT_EQ(Draw(), 3 * block + 1);
    EXPECT_EQ(Draw(3 * block + 10), 3 * block + 11);  // a floor inside the block moves within it
    EXPECT_EQ(Draw(4 * block), 4 * block + 1);        // one past it reserves after the stored counter
    EXPECT_EQ(Stored(), 5 * kUidReserveBlock);

    // A counter set back by hand drops the reservation: draws follow the counter again.
    test::WriteFileBytes(folder_.ElementPath("_uid"), CounterImage(100));
    double last = -1;
    bool recorded = true;
    ASSERT_EQ(LastPublishedUid(folder_, last, recorded), S_OK);
    EXPECT_FALSE(recorded);
    EXPECT_EQ(last, 100);
    EXPECT_EQ(Draw(), 101);
    EXPECT_EQ(Stored(), 100 + kUidReserveBlock);
    ASSERT_EQ(LastPublishedUid(folder_, last, recorded), S_OK);
    EXPECT_TRUE(recorded);
    EXPECT_EQ(last, 101);
}

}  // namespace
}  // namespace pw::store
