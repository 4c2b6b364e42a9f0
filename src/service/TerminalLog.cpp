// TerminalLog: log lines written to a terminal.
#include "service/TerminalLog.h"

#include <cerrno>
#include <unistd.h>

namespace pw::service {

bool TerminalLog::WantedFor(int fd) { return ::isatty(fd) == 1; }

void TerminalLog::NewEvent(core::LoggingEventEnum, core::LoggingLevelEnum level, const Variant& value) {
    // Session counts arrive as numbers at the event levels; only the log's text lines are shown.
    if (!value.IsText() || level < core::LogLevelDebug || level > core::LogLevelCritical) return;
    const std::string line = value.AsText() + "\n";
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t put = ::write(fd_, rest.data(), rest.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;  // a closed terminal must not stop the server
        rest.remove_prefix(static_cast<std::size_t>(put));
    }
}

}  // namespace pw::service
