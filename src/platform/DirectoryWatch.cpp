// DirectoryWatch: one inotify instance and its reading thread, shared by every watcher of the process.
#include "platform/DirectoryWatch.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace pw::platform {

namespace {

// What the store does to a folder's entries: renames into and out of it, and deletions.
constexpr std::uint32_t kWatchedEvents = IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Room for many events at once (each is a header and a name of at most NAME_MAX + 1 bytes).
constexpr std::size_t kEventBufferSize = 64 * 1024;

// The process's one inotify instance; lives as long as the process, its thread with it.
class Hub {
public:
    static Hub& Instance() {
        static Hub* hub = new Hub;  // never destroyed: its thread reads until the process ends
        return *hub;
    }

    int Add(const std::string& directory, int event, std::string& error, std::uint32_t extra = 0) {
        std::lock_guard lock(mutex_);
        if (!inotify_) {
            error = "inotify is not available: " + failure_;
            return -1;
        }
        // Added to what other subscribers of the directory asked for, never in place of it.
        const int watch = ::inotify_add_watch(inotify_.Get(), directory.c_str(), kWatchedEvents | extra | (extra ? IN_MASK_ADD : 0));
        if (watch < 0) {
            error = "inotify_add_watch(" + directory + "): " + std::strerror(errno);
            return -1;
        }
        subscribers_[watch].push_back(event);
        return watch;
    }

    void Remove(int watch, int event) {
        std::lock_guard lock(mutex_);
        const auto found = subscribers_.find(watch);
        if (found == subscribers_.end()) return;
        std::erase(found->second, event);
        if (!found->second.empty()) return;
        subscribers_.erase(found);
        (void)::inotify_rm_watch(inotify_.Get(), watch);
    }

private:
    Hub() {
        inotify_.Reset(::inotify_init1(IN_CLOEXEC));
        if (!inotify_) {
            failure_ = std::strerror(errno);
            return;
        }
        std::thread([this] { Read(); }).detach();
    }

    void Read() {
        std::vector<char> buffer(kEventBufferSize);
        for (;;) {
            const ssize_t got = ::read(inotify_.Get(), buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;
            std::lock_guard lock(mutex_);
            for (ssize_t at = 0; at < got;) {
                inotify_event event{};
                std::memcpy(&event, buffer.data() + at, sizeof event);
                at += static_cast<ssize_t>(sizeof event + event.len);
                Wake(event.wd);
                // The kernel dropped the watch (the directory is gone): nothing more will come for it.
                if (event.mask & IN_IGNORED) subscribers_.erase(event.wd);
                // Events were lost: every subscriber looks again.
                if (event.mask & IN_Q_OVERFLOW) {
                    for (const auto& [watch, events] : subscribers_) Wake(watch);
                }
            }
        }
    }

    void Wake(int watch) {
        const auto found = subscribers_.find(watch);
        if (found == subscribers_.end()) return;
        for (const int event : found->second) (void)::eventfd_write(event, 1);
    }

    std::mutex mutex_;
    UniqueFd inotify_;
    std::string failure_;
    std::map<int, std::vector<int>> subscribers_;  // watch -> the eventfds of its subscribers
};

}  // namespace

std::unique_ptr<DirectoryWatch> DirectoryWatch::Watch(const std::string& directory, std::string& error) {
    UniqueFd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!event) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    const int watch = Hub::Instance().Add(directory, event.Get(), error);
    if (watch < 0) return nullptr;
    return std::unique_ptr<DirectoryWatch>(new DirectoryWatch(std::move(event), watch));
}

bool DirectoryWatch::AddWritten(const std::string& directory, std::string& error) {
    const int watch = Hub::Instance().Add(directory, event_.Get(), error, IN_MODIFY);
    if (watch < 0) return false;
    if (std::find(watches_.begin(), watches_.end(), watch) == watches_.end()) watches_.push_back(watch);
    return true;
}

DirectoryWatch::~DirectoryWatch() {
    for (const int watch : watches_) Hub::Instance().Remove(watch, event_.Get());
}

void DirectoryWatch::Drain() const {
    eventfd_t count = 0;
    (void)::eventfd_read(event_.Get(), &count);
}

}  // namespace pw::platform
