// DirectoryWatch: being told when a directory's entries change -- a file renamed into it or out of it,
// or deleted -- without looking again and again.
//
// One inotify instance serves the whole process (the kernel allows a user only a few instances,
// and an IMAP server has a watch per idling session): its thread reads the events and wakes each
// subscriber of that directory through the subscriber's own eventfd, which the subscriber waits on
// beside its socket. A wake-up says only "look again"; several changes may share one. Renames and
// deletions are what is watched: the store publishes, rewrites and removes records that way, so a
// file being written does not wake anyone. When inotify is not available, Watch fails with the
// reason and the caller does without.
// Thread safety: Watch and the subscriptions' ends may come from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace pw::platform {

class DirectoryWatch {
public:
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;
    ~DirectoryWatch();

    // Readable when the directory changed; Drain makes it quiet again.
    int Descriptor() const { return event_.Get(); }
    void Drain() const;

    // Starts watching a directory; null with the reason when it can not be watched.
    static std::unique_ptr<DirectoryWatch> Watch(const std::string& directory, std::string& error);
    // Watches one more directory through the same descriptor, where files are also written in place
    // (a log appended to, which no rename announces): every write wakes. False with the reason.
    bool AddWritten(const std::string& directory, std::string& error);

private:
    DirectoryWatch(UniqueFd event, int watch) : event_(std::move(event)), watches_{watch} {}

    UniqueFd event_;
    std::vector<int> watches_;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
