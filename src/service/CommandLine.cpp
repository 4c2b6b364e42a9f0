// CommandLine: switch parsing.
#include "service/CommandLine.h"

#include "platform/Text.h"

namespace pw::service {

CommandSwitch ParseCommandLine(std::span<const std::string_view> arguments) {
    for (std::string_view argument : arguments) {
        if (argument.empty() || (argument.front() != '-' && argument.front() != '/')) continue;
        argument.remove_prefix(1);
        if (EqualsNoCase(argument, "UnregServer")) return CommandSwitch::UnregServer;
        if (EqualsNoCase(argument, "RegServer")) return CommandSwitch::RegServer;
        if (EqualsNoCase(argument, "Service")) return CommandSwitch::Service;
        if (EqualsNoCase(argument, "Version")) return CommandSwitch::Version;
    }
    return CommandSwitch::None;
}

}  // namespace pw::service
