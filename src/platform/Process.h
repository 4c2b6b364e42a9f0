// Process: facts about the running program and the programs it starts.
//
// ExecutablePath is what GetModuleFileName gave: the files that travel with the server (language
// catalogues, templates) are found beside it. RunProgram starts a helper (systemctl, a scanner) without
// a shell, so no argument is ever interpreted as shell syntax.
// NotifyServiceManager speaks systemd's readiness protocol (a datagram to $NOTIFY_SOCKET); without
// that variable it does nothing, so the same code runs under systemd, by hand and in tests.
// Thread safety: any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pw::platform {

std::string ExecutablePath();
// The directory of the executable, without a trailing "/".
std::string ExecutableDirectory();

// Runs a program (looked up in PATH when the name has no "/") with its arguments and waits for it.
// Returns its exit status, or -1 when it could not be started or ended by a signal.
int RunProgram(const std::vector<std::string>& argv);

// How long a program that outlived its time gets between SIGTERM and SIGKILL.
inline constexpr std::chrono::seconds kProgramKillGrace{5};

struct ProgramOptions {
    // "NAME=value" added to the inherited environment; a name given here replaces the inherited one.
    // The way to hand a child a secret: arguments are visible to every user of the machine.
    std::vector<std::string> environment;
    // 0: wait as long as it runs. Else, when it is up, its whole process group gets SIGTERM, and
    // SIGKILL kProgramKillGrace later; it is always reaped before RunProgram returns.
    std::chrono::milliseconds timeout{0};
    // Standard input from /dev/null instead of this process's.
    bool stdinFromNull = false;
    // Every descriptor above standard error closed in the child, whether or not it is close-on-exec:
    // a program of someone else's gets none of the server's sockets or files.
    bool closeInherited = false;
};

struct ProgramResult {
    int status = -1;        // the exit status; -1 when it could not be started or ended by a signal
    bool timedOut = false;  // it was ended for outliving its time
};

// Runs a program in a process group of its own (so what it starts ends with it), with the signal
// mask and dispositions of a fresh process whatever this process blocks.
ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options);

struct DescriptorLimit {
    std::uint64_t previous = 0;  // the soft limit the process was given
    std::uint64_t soft = 0;      // the soft limit now
    std::uint64_t hard = 0;
};

// Raises the soft limit of open descriptors to the hard one. Every session holds a socket, and the
// soft limit a service is usually given (1024) would stop a busy server at a few hundred sessions.
DescriptorLimit RaiseDescriptorLimit();
// The soft limit of open descriptors now.
std::uint64_t DescriptorSoftLimit();

// Sends a state line such as "READY=1" or "STOPPING=1" to the service manager, when there is one.
void NotifyServiceManager(std::string_view state);

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
