// Registration: what "-RegServer", "-Service" and "-UnregServer" write and remove.
//
// In the registry file: the AppID key (its `LocalService` value marks service mode), one record per
// automation class (CLSID with its server path and ProgIDs, and the ProgID keys), and for a service
// the event-log source. On the system: the systemd unit "pellworth.service" in the unit directory
// (PELLWORTH_SYSTEMD_DIR, default /etc/systemd/system), which stands for the installed service. When
// that directory is the system's own and systemd runs, the unit is also enabled (the service starts
// at boot) and, on removal, stopped and disabled through systemctl. The unit runs the server as the
// system user "pellworth" in a read-only view of the system (see HardeningText); root installing into
// the system's unit directory also creates that user and gives it the store, logs and registry file.
// Failures throw ComError with a text for the person who ran the command.
#pragma once

#include "platform/Guid.h"
#include "platform/Registry.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace pw::service {

// The system user the service runs as; the package and "-Service" create it.
inline constexpr std::string_view kServiceUser = "pellworth";
// How long the manager lets the orderly stop run before it kills: the listeners' goodbye and session
// waits, the jobs' stop bound, and the routers, transports and the settings' save after them.
inline constexpr std::chrono::seconds kUnitStopTimeout{120};
// How long the manager waits for readiness: the start-up checks every folder of the store once.
inline constexpr std::chrono::seconds kUnitStartTimeout{300};
// Open descriptors the service may hold: every instance's sessions (two descriptors each, at the
// default maximum of 500 sessions) for dozens of instances, and the store's files besides.
inline constexpr std::uint64_t kUnitDescriptorLimit = 65536;

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
    bool prepareSystem = false;  // root installing into the system's unit directory: create the service's
                                 // user and give it the store, the logs and the registry file

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
