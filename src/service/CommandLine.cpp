// CommandLine: switch parsing.
#include "service/CommandLine.h"

#include "platform/Text.h"

namespace pw::service {

CommandSwitch ParseCommandLine(std::span<const std::string_view> arguments) {
    bool embedding = false;
    for (std::string_view argument : arguments) {
        if (argument.empty() || (argument.front() != '-' && argument.front() != '/')) continue;
        argument.remove_prefix(1);
        if (EqualsNoCase(argument, "UnregServer")) return CommandSwitch::UnregServer;
        if (EqualsNoCase(argument, "RegServer")) return CommandSwitch::RegServer;
        if (EqualsNoCase(argument, "Service")) return CommandSwitch::Service;
        if (EqualsNoCase(argument, "Version")) return CommandSwitch::Version;
        // A mode of running, not a command: a registration switch anywhere still decides.
        if (EqualsNoCase(argument, "Embedding")) embedding = true;
    }
    return embedding ? CommandSwitch::Embedding : CommandSwitch::None;
}

}  // namespace pw::service
