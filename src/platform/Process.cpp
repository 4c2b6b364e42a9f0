// Process: executable path, child programs and the service manager's notification socket.
#include "platform/Process.h"

#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pw::platform {

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::string ExecutableDirectory() {
    const std::string path = ExecutablePath();
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

// The kernel refuses a descriptor limit above fs.nr_open (1048576 by default), and an infinite hard
// limit can not be the soft one.
constexpr rlim_t kHighestDescriptorLimit = 1048576;

}  // namespace

DescriptorLimit RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {};
    DescriptorLimit result{limit.rlim_cur, limit.rlim_cur, limit.rlim_max};
    const rlim_t wanted = std::min(limit.rlim_max, kHighestDescriptorLimit);
    if (wanted > limit.rlim_cur) {
        limit.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) result.soft = wanted;
    }
    return result;
}

std::uint64_t DescriptorSoftLimit() {
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 0;
}

int RunProgram(const std::vector<std::string>& argv) { return RunProgram(argv, ProgramOptions{}).status; }

namespace {

// The environment of a child: ours, with the options' names replaced or added.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> entries;
    const auto named = [](const std::string& entry, const std::string& other) {
        const std::size_t equals = entry.find('=');
        return equals != std::string::npos && other.compare(0, equals + 1, entry, 0, equals + 1) == 0;
    };
    for (char** variable = environ; variable && *variable; ++variable) {
        std::string entry(*variable);
        if (std::none_of(extra.begin(), extra.end(), [&](const std::string& e) { return named(e, entry); })) entries.push_back(entry);
    }
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

// Waits for the child to end, at most `wait` (negative: without bound); true when it ended.
bool AwaitChild(pid_t child, std::chrono::milliseconds wait, int& status) {
    const auto until = std::chrono::steady_clock::now() + wait;
    const UniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    for (;;) {
        const pid_t done = ::waitpid(child, &status, wait.count() < 0 ? 0 : WNOHANG);
        if (done == child) return true;
        if (done < 0 && errno != EINTR) return true;  // not ours to wait for any more
        if (wait.count() < 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        // A descriptor that becomes readable when the child ends; without one, look again shortly.
        pollfd watch{exited.Get(), POLLIN, 0};
        if (exited.Get() < 0 || ::poll(&watch, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 50))) < 0) {
            ::usleep(static_cast<useconds_t>(std::min<std::int64_t>(left.count(), 10) * 1000));
        }
    }
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
    ProgramResult result;
    if (argv.empty()) return result;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment = ChildEnvironment(options.environment);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    // The service blocks the signals its watcher waits for; a child must not inherit that, or it could
    // never be asked to stop.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (options.stdinFromNull) ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (options.closeInherited) ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, args[0], &actions, &attributes, args.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return result;

    int status = 0;
    const bool bounded = options.timeout.count() > 0;
    if (!AwaitChild(child, bounded ? options.timeout : std::chrono::milliseconds(-1), status)) {
        result.timedOut = true;
        ::kill(-child, SIGTERM);
        if (!AwaitChild(child, kProgramKillGrace, status)) {
            ::kill(-child, SIGKILL);
            AwaitChild(child, std::chrono::milliseconds(-1), status);
        }
        return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

void NotifyServiceManager(std::string_view state) {
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    if (!socketPath || !*socketPath) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(socketPath);
    if (length >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, socketPath, length);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
    const UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    ::sendto(fd.Get(), state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), size);
}

}  // namespace pw::platform
