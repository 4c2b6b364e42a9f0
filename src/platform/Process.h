// Process: facts about the running program and the programs it starts.
//
// ExecutablePath is what GetModuleFileName gave: the files that travel with the server (language
// catalogues, templates) are found beside it. RunProgram starts a helper (systemctl, a scanner) without
// a shell, so no argument is ever interpreted as shell syntax.
// NotifyServiceManager speaks systemd's readiness protocol (a datagram to $NOTIFY_SOCKET); without
// that variable it does nothing, so the same code runs under systemd, by hand and in tests.
// Thread safety: any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pw {

std::string ExecutablePath();
// The directory of the executable, without a trailing "/".
std::string ExecutableDirectory();

// Runs a program (looked up in PATH when the name has no "/") with its arguments and waits for it.
// Returns its exit status, or -1 when it could not be started or ended by a signal.
int RunProgram(const std::vector<std::string>& argv);

// Sends a state line such as "READY=1" or "STOPPING=1" to the service manager, when there is one.
void NotifyServiceManager(std::string_view state);

}  // namespace pw
