// EventLog: syslog behind a replaceable writer.
#include "platform/EventLog.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <syslog.h>
#include <unistd.h>

namespace pw::platform {

namespace {

std::mutex gLock;
EventWriter gWriter;
std::string gIdent;  // openlog keeps the pointer, so the text must live as long as the log

int Priority(int kind) {
    switch (kind) {
    case event_kind::kSuccess: return LOG_NOTICE;
    case event_kind::kError: return LOG_ERR;
    case event_kind::kWarning: return LOG_WARNING;
    default: return LOG_INFO;
    }
}

}  // namespace

void OpenEventLog(std::string_view serviceName, bool echoToTerminal) {
    std::lock_guard lock(gLock);
    gIdent = serviceName;
    const int echo = echoToTerminal && ::isatty(STDERR_FILENO) ? LOG_PERROR : 0;
    ::openlog(gIdent.c_str(), LOG_PID | LOG_NDELAY | echo, LOG_DAEMON);
}

void ReportEvent(int kind, std::string_view text) {
    std::lock_guard lock(gLock);
    if (gWriter) {
        gWriter(kind, text);
        return;
    }
    // "%s" and a bounded length: the text may carry a peer's words and must never act as a format.
    ::syslog(Priority(kind), "%.*s", static_cast<int>(std::min<std::size_t>(text.size(), 4096)), text.data());
}

void SetEventWriter(EventWriter writer) {
    std::lock_guard lock(gLock);
    gWriter = std::move(writer);
}

}  // namespace pw::platform
