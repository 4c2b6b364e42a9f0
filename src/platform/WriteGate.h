// WriteGate: the one pause of every change the storage layer makes to files, for a consistent copy.
//
// Each changing call of the storage layer (write, truncate, rename, link, unlink, mkdir, a creating
// open) passes the gate for the length of that one call (`WriteStep`, taken in FileSystem's calls).
// A backup closes the gate (`WritePause`) while it brings its snapshot of the store up to date: every call
// already inside finishes first, new ones wait until the pause ends. The store is built so that a
// crash between any two of its calls leaves it sound, so a snapshot taken between two calls is as
// good as the store after a crash, and nothing stops: sessions and routers only wait out the pause.
//
// The thread holding the pause passes its own steps (it may write through the storage layer), and a
// step taken inside another step of the same thread never waits, so nesting can not deadlock.
// Thread safety: any thread; one pause at a time (a second waits for the first to end).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace pw::platform {

class WriteGate {
public:
    static WriteGate& Instance();

    void EnterStep();
    void LeaveStep();
    // Closes the gate and waits for the steps inside to leave; Resume opens it again, on the thread
    // that paused.
    void Pause();
    void Resume();

private:
    std::atomic<int> inside_{0};
    std::atomic<bool> closed_{false};
    std::atomic<std::thread::id> pausing_{};
    std::mutex pauseLock_;  // one pause at a time
    std::mutex lock_;
    std::condition_variable changed_;
};

class WriteStep {
public:
    WriteStep();
    ~WriteStep();
    WriteStep(const WriteStep&) = delete;
    WriteStep& operator=(const WriteStep&) = delete;

private:
    bool entered_ = false;
};

class WritePause {
public:
    WritePause() { WriteGate::Instance().Pause(); }
    ~WritePause() { WriteGate::Instance().Resume(); }
    WritePause(const WritePause&) = delete;
    WritePause& operator=(const WritePause&) = delete;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}
