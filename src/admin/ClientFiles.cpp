// ClientFiles: the checks and the writing of files for administration clients.
#include "admin/ClientFiles.h"

#include "platform/HResult.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace pw::admin {

void CheckClientPath(const Caller& caller, const std::string& path) {
    if (!caller.mayUseFiles) throw ComError(E_ACCESSDENIED, "only root or the server's user may have the server reach files");
    bool plain = !path.empty() && path.front() == '/';
    for (std::size_t start = 1; plain && start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = std::string_view(path).substr(start, end - start);
        plain = part != "." && part != ".." && !(part.empty() && end != path.size());
        start = end + 1;
    }
    if (!plain || path.back() == '/') throw ComError(E_INVALIDARG, "the path must be absolute, name a file and hold no \".\" or \"..\"");
}

UniqueFd CreateClientFile(const Caller& caller, const std::string& path) {
    CheckClientPath(caller, path);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) throw ComError(HresultFromWin32(Win32ErrorFromErrno(errno)), "can not create " + path + ": " + std::strerror(errno));
    return fd;
}

void WriteClientFile(UniqueFd fd, const std::string& path, std::string_view bytes) {
    const auto fail = [&path](int error) {
        ::unlink(path.c_str());
        throw ComError(HresultFromWin32(Win32ErrorFromErrno(error)), "can not write " + path + ": " + std::strerror(error));
    };
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd.Get(), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail(written < 0 ? errno : ENOSPC);
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fsync(fd.Get()) != 0) fail(errno);
}

}  // namespace pw::admin
