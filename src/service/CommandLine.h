// CommandLine: the switches of the server executable.
//
// A switch begins with "-" or "/" and is compared without regard to case: "RegServer", "UnregServer",
// "Service", "Version". The first argument that is one of them decides; anything else is skipped.
#pragma once

#include <span>
#include <string_view>

namespace pw::service {

enum class CommandSwitch { None, RegServer, UnregServer, Service, Version };

CommandSwitch ParseCommandLine(std::span<const std::string_view> arguments);

}  // namespace pw::service
