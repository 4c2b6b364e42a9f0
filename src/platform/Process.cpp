// Process: executable path, child programs and the service manager's notification socket.
#include "platform/Process.h"

#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
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

int RunProgram(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
