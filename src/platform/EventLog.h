// EventLog: the service's own notable events -- start, stop, listener changes, failures -- in syslog.
//
// Kinds as the service writes them: 0 success, 1 error, 2 warning, anything else (4 is used)
// information. They map to LOG_NOTICE, LOG_ERR, LOG_WARNING and LOG_INFO of facility LOG_DAEMON, with
// the service name as ident. When the process runs in a terminal the entries are echoed to stderr too,
// so a person starting the server by hand sees them -- unless the caller shows its whole log there
// already (echoToTerminal false). Tests may install a writer to capture entries.
// Thread safety: any thread.
#pragma once

#include <functional>
#include <string_view>

namespace pw::platform {

namespace event_kind {
inline constexpr int kSuccess = 0;
inline constexpr int kError = 1;
inline constexpr int kWarning = 2;
inline constexpr int kInformation = 4;
}  // namespace event_kind

// Opens the log under the service name; entries written before go out under the program name.
void OpenEventLog(std::string_view serviceName, bool echoToTerminal = true);
void ReportEvent(int kind, std::string_view text);

// Replaces the syslog writer (nullptr restores it). The writer receives the kind and the text.
using EventWriter = std::function<void(int kind, std::string_view text)>;
void SetEventWriter(EventWriter writer);

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
