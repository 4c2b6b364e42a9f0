// Registration: what "-RegServer", "-Service" and "-UnregServer" write and remove.
//
// In the registry file: the AppID key (its `LocalService` value marks service mode), one record per
// automation class (CLSID with its server path and ProgIDs, and the ProgID keys), and for a service
// the event-log source. On the system: the systemd unit "pellworth.service" in the unit directory
// (PELLWORTH_SYSTEMD_DIR, default /etc/systemd/system), which stands for the installed service. When
// that directory is the system's own and systemd runs, the unit is also enabled (the service starts
// at boot) and, on removal, stopped and disabled through systemctl.
// Failures throw ComError with a text for the person who ran the command.
#pragma once

#include "platform/Guid.h"
#include "platform/Registry.h"

#include <string>
#include <string_view>

namespace pw::service {

// {A82F9C7A-3537-4491-A799-287D84D5DF33}
extern const Guid kAppId;
std::string AppIdKey();

struct RegistrationContext {
    Registry registry;
    std::string serviceName;     // text 100, "Pellworth"
    std::string description;     // text 215
    std::string executablePath;  // the server's own path
    std::string unitDirectory;   // where the systemd unit goes
    bool useSystemctl = false;   // the unit directory is live: enable, stop and reload through systemctl

    // The context of this process: the system registry, PELLWORTH_SYSTEMD_DIR, the running executable.
    static RegistrationContext ForThisProcess();
    std::string UnitPath() const;
};

void RegisterServer(const RegistrationContext& context);
void RegisterService(const RegistrationContext& context);
void UnregisterServer(const RegistrationContext& context);

// The text of the unit file that runs this server under systemd.
std::string SystemdUnitText(const RegistrationContext& context);

}  // namespace pw::service
