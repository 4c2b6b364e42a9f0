// CommandLine: the switches of the server executable.
//
// A switch begins with "-" or "/" and is compared without regard to case: "RegServer", "UnregServer",
// "Service", "Version". The first argument that is one of them decides; anything else is skipped.
// "Embedding" is a mode, taken only when none of them is given: the server runs on a client's behalf
// and ends by itself after the last administration client let go (IdleMonitor), which a server
// started by hand or by systemd never does.
#pragma once

#include <span>
#include <string_view>

namespace pw::service {

enum class CommandSwitch { None, RegServer, UnregServer, Service, Version, Embedding };

CommandSwitch ParseCommandLine(std::span<const std::string_view> arguments);

}  // namespace pw::service
