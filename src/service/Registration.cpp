// Registration: registry records and the systemd unit.
#include "service/Registration.h"

#include "service/ServerSession.h"

#include <algorithm>
#include <cerrno>
#include <pwd.h>
#include <filesystem>
#include <functional>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "admin/Backup.h"
#include "antispam/SpamAssassinConfig.h"
#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "core/RegistryKeys.h"
#include "core/JobManager.h"
#include "net/Listener.h"
#include "platform/ClassRegistry.h"
#include "platform/DirStorage.h"
#include "platform/HResult.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace pw::service {

const Guid kAppId = *Guid::Parse("{A82F9C7A-3537-4491-A799-287D84D5DF33}");

namespace {

constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";
constexpr std::string_view kDefaultUnitDirectory = "/etc/systemd/system";
constexpr std::string_view kSystemRegistryDirectory = "/etc/pellworth";
// Each of the three protocols' listeners stops its sessions in turn, then the jobs stop.
static_assert(kUnitStopTimeout > 3 * (net::kSessionGoodbyeWait + net::kSessionStopWait) + core::kJobStopBound,
              "the service manager must not kill an orderly stop");
static_assert(kUnitDescriptorLimit >= 24 * net::kDefaultMaxSessions * net::kDescriptorsPerSession + net::kDescriptorsKeptAside,
              "room for every instance's sessions");

// Resource numbers of the service-control messages; the literal follows when the catalogue has none.
constexpr int kTextCouldNotOpenManager = 230;
constexpr int kTextCouldNotStart = 231;
constexpr int kTextCouldNotStop = 232;
constexpr int kTextCouldNotDelete = 233;

std::string ServiceText(int number, std::string_view fallback) {
    std::string text = core::LoadText(number);
    return text.empty() ? std::string(fallback) : text;
}

std::string EventSourceKey(const RegistrationContext& context) {
    return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + context.serviceName;
}

std::string ExecutableName(const RegistrationContext& context) {
    const std::size_t slash = context.executablePath.find_last_of('/');
    return slash == std::string::npos ? context.executablePath : context.executablePath.substr(slash + 1);
}

// The AppID entries: the application's name and the executable's pointer to it.
void WriteAppIdEntries(RegistryFile& file, const RegistrationContext& context) {
    file.SetString(AppIdKey(), "", context.serviceName);
    file.SetString(std::string(kClassesRoot) + "\\AppID\\" + ExecutableName(context), "AppID", kAppId.ToString());
}

void RemoveAppIdEntries(RegistryFile& file, const RegistrationContext& context) {
    file.DeleteKeyTree(AppIdKey());
    file.DeleteKeyTree(std::string(kClassesRoot) + "\\AppID\\" + ExecutableName(context));
}

// Every class the server serves: those every run registers, and those of a running server.
std::vector<ClassInfo> RecordedClasses() {
    std::vector<ClassInfo> classes = ClassRegistry::Instance().Classes();
    for (ClassInfo& info : RunningObjectClasses()) {
        const bool known = std::any_of(classes.begin(), classes.end(), [&](const ClassInfo& other) { return other.clsid == info.clsid; });
        if (!known) classes.push_back(std::move(info));
    }
    return classes;
}

void WriteClassRecords(RegistryFile& file, const RegistrationContext& context) {
    for (const ClassInfo& info : RecordedClasses()) {
        const std::string clsidKey = std::string(kClassesRoot) + "\\CLSID\\" + info.clsid.ToString();
        const std::string description = info.name + " Class";
        file.SetString(clsidKey, "", description);
        file.SetString(clsidKey, "AppID", kAppId.ToString());
        file.SetString(clsidKey + "\\LocalServer32", "", "\"" + context.executablePath + "\"");
        if (info.progId.empty()) continue;
        const std::string versioned = info.progId + ".1";
        file.SetString(clsidKey + "\\ProgID", "", versioned);
        file.SetString(clsidKey + "\\VersionIndependentProgID", "", info.progId);
        for (const std::string& progId : {info.progId, versioned}) {
            const std::string progIdKey = std::string(kClassesRoot) + "\\" + progId;
            file.SetString(progIdKey, "", description);
            file.SetString(progIdKey + "\\CLSID", "", info.clsid.ToString());
        }
        file.SetString(std::string(kClassesRoot) + "\\" + info.progId + "\\CurVer", "", versioned);
    }
}

void RemoveClassRecords(RegistryFile& file) {
    for (const ClassInfo& info : RecordedClasses()) {
        file.DeleteKeyTree(std::string(kClassesRoot) + "\\CLSID\\" + info.clsid.ToString());
        if (info.progId.empty()) continue;
        file.DeleteKeyTree(std::string(kClassesRoot) + "\\" + info.progId);
        file.DeleteKeyTree(std::string(kClassesRoot) + "\\" + info.progId + ".1");
    }
}

void UpdateRegistry(const RegistrationContext& context, const std::function<void(RegistryFile&)>& change) {
    const HRESULT hr = context.registry.Update(change);
    if (Failed(hr)) throw ComError(hr, "can not write the registry file " + context.registry.Path());
}

bool ServiceInstalled(const RegistrationContext& context) {
    struct stat st {};
    return ::stat(context.UnitPath().c_str(), &st) == 0;
}

std::string UnitName(const RegistrationContext& context) { return ToLowerAscii(context.serviceName) + ".service"; }

void Systemctl(const RegistrationContext& context, std::initializer_list<std::string> arguments) {
    if (!context.useSystemctl) return;
    std::vector<std::string> argv{"systemctl"};
    argv.insert(argv.end(), arguments);
    if (RunProgram(argv) != 0) throw ComError(E_FAIL, ServiceText(kTextCouldNotStart, "Could not start service"));
}

// Stops and deletes an installed service.
void RemoveService(const RegistrationContext& context) {
    if (!ServiceInstalled(context)) return;
    if (context.useSystemctl) {
        // "systemctl stop" succeeds on a unit that is not running, as stopping a stopped service should.
        if (RunProgram({"systemctl", "stop", UnitName(context)}) != 0) {
            throw ComError(E_FAIL, ServiceText(kTextCouldNotStop, "Could not stop service"));
        }
        RunProgram({"systemctl", "disable", UnitName(context)});
    }
    if (::unlink(context.UnitPath().c_str()) != 0 && errno != ENOENT) {
        throw ComError(E_FAIL, ServiceText(kTextCouldNotDelete, "Could not delete service") + ": " + context.UnitPath());
    }
    if (context.useSystemctl) RunProgram({"systemctl", "daemon-reload"});
}

// systemd reads "%" as the start of a specifier and needs quotes around paths with spaces.
std::string SystemdQuoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '%') out += "%%";
        else if (c == '"' || c == '\\') out += std::string("\\") + c;
        else out += c;
    }
    return out + "\"";
}

// The directories the service writes, without a trailing "/" (empty when not configured).
struct ServicePaths {
    std::string store;
    std::string logs;
    std::string registryDirectory;
    std::string virusScratch;  // "sys:av:temppath": the virus scanner's files
    std::string backups;       // "sys:backup:path", or its default
};

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The directory a file lies in: "" for a bare name, "/" for a file at the root.
std::string DirectoryOf(const std::string& file) {
    const std::size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : WithoutTrailingSlash(file.substr(0, slash));
}

ServicePaths ServicePathsOf(const RegistrationContext& context) {
    const std::string store = WithoutTrailingSlash(core::ReadMessageStorePath(context.registry).value_or(""));
    ServicePaths paths{store, WithoutTrailingSlash(context.registry.GetString(core::LoggingKey(), "FilePath").value_or("")),
                       DirectoryOf(context.registry.Path()), {}, {}};
    // The store's settings: the virus scanner's scratch directory ("" when unset) and the backups'.
    core::ConfigTree settings;
    if (!store.empty() && core::LoadConfiguration(settings, DirStorage(store))) {
        paths.virusScratch = WithoutTrailingSlash(settings.GetCopy("sys:av:temppath").AsText());
    }
    paths.backups = WithoutTrailingSlash(admin::BackupDirectory(settings));
    return paths;
}

// Creates the service's system user when it is missing, and gives it the store and log directories
// (0750) and the registry file (0640) -- and the registry's directory when it is the system's own
// /etc/pellworth, where the server replaces the file. The package's postinst does the same.
void PrepareServiceUser(const RegistrationContext& context) {
    const std::string user(kServiceUser);
    if (::getpwnam(user.c_str()) == nullptr) {
        RunProgram({"adduser", "--system", "--group", "--quiet", "--no-create-home", "--home", "/var/lib/pellworth", user});
    }
    const passwd* account = ::getpwnam(user.c_str());
    if (account == nullptr) throw ComError(E_FAIL, "can not create the system user " + user + " (adduser failed)");
    const ServicePaths service = ServicePathsOf(context);
    const auto give = [account](const std::string& path, mode_t mode) {
        if (::chown(path.c_str(), account->pw_uid, account->pw_gid) != 0 || ::chmod(path.c_str(), mode) != 0) {
            throw ComError(HresultFromWin32(Win32ErrorFromErrno(errno)), "can not give " + path + " to the service's user");
        }
    };
    for (const std::string& path : {service.store, service.logs}) {
        if (path.empty()) continue;
        if (const HRESULT hr = DirStorage(path).CreateSelf(); Failed(hr)) throw ComError(hr, "can not create " + path);
        give(path, 0750);
    }
    give(context.registry.Path(), 0640);
    if (service.registryDirectory == kSystemRegistryDirectory) give(service.registryDirectory, 0750);
    // The backups hold every message: the service's user alone may read them.
    if (std::error_code ignored; std::filesystem::create_directories(service.backups, ignored) || std::filesystem::is_directory(service.backups)) {
        give(service.backups, 0700);
    }
}

// The service's own user, with only the right to bind the mail ports, and a view of the system in
// which everything is read-only but the store, the logs and the registry file's directory (the server
// writes its logging settings back there). Mail is network and files: no devices, kernel settings,
// namespaces, real-time scheduling or set-user-id files, and only the system calls of a service.
std::string HardeningText(const RegistrationContext& context) {
    const ServicePaths service = ServicePathsOf(context);
    std::vector<std::string> paths{context.executablePath, context.registry.Path()};
    std::string writable;
    for (const std::string& path : {service.store, service.logs, service.registryDirectory}) {
        if (path.empty()) continue;
        writable += " " + SystemdQuoted(path);
        paths.push_back(path + "/");
    }
    std::string text;
    text += "User=" + std::string(kServiceUser) + "\nGroup=" + std::string(kServiceUser) + "\n";
    text += "UMask=0027\n";
    text += "AmbientCapabilities=CAP_NET_BIND_SERVICE\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\n";
    text += "NoNewPrivileges=yes\n";
    text += "ProtectSystem=strict\n";
    // The virus scanner's scratch directory is the administrator's; "-": a missing one does not stop
    // the service, whose scans then fail and keep the mail queued.
    if (!service.virusScratch.empty()) {
        writable += " " + SystemdQuoted("-" + service.virusScratch);
        paths.push_back(service.virusScratch + "/");
    }
    // The backups' directory; "-": one not made yet does not stop the service (the backup says why it failed).
    writable += " " + SystemdQuoted("-" + service.backups);
    // SpamAssassin's site directory: sa-learn, run by the server, writes its Bayes database there
    // (bayes_path). "-": a machine without SpamAssassin must not fail the start over a missing path.
    if (const std::string site = antispam::ReadSpamAssassinPaths(context.registry).directory; !site.empty()) {
        writable += " " + SystemdQuoted("-" + site);
    }
    if (!writable.empty()) text += "ReadWritePaths=" + writable.substr(1) + "\n";
    // A server run from a checkout in a home directory still needs to see it.
    const bool usesHome = std::any_of(paths.begin(), paths.end(), [](const std::string& path) {
        return path.starts_with("/home/") || path.starts_with("/root/") || path.starts_with("/run/user/");
    });
    text += "PrivateTmp=yes\nPrivateDevices=yes\n";
    text += usesHome ? "ProtectHome=read-only\n" : "ProtectHome=yes\n";
    text += "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\n";
    text += "ProtectControlGroups=yes\nProtectClock=yes\nProtectHostname=yes\nProtectProc=invisible\n";
    text += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n";
    text += "RestrictNamespaces=yes\nRestrictRealtime=yes\nRestrictSUIDSGID=yes\nLockPersonality=yes\n";
    text += "MemoryDenyWriteExecute=yes\nRemoveIPC=yes\n";
    text += "SystemCallArchitectures=native\nSystemCallFilter=@system-service\nSystemCallFilter=~@privileged\n";
    // A refused call fails with EPERM rather than killing the server in the middle of a write.
    text += "SystemCallErrorNumber=EPERM\n";
    return text;
}

void InstallService(const RegistrationContext& context) {
    if (ServiceInstalled(context)) return;
    const std::string text = SystemdUnitText(context);
    const DirStorage directory(context.unitDirectory);
    HRESULT hr = directory.CreateSelf();
    if (Succeeded(hr)) hr = directory.ReplaceStream(UnitName(context), std::as_bytes(std::span(text.data(), text.size())));
    if (Failed(hr)) {
        throw ComError(hr, ServiceText(kTextCouldNotOpenManager, "Could not open Service Manager") + ": " +
                               context.UnitPath());
    }
    ::chmod(context.UnitPath().c_str(), 0644);
    if (context.prepareSystem) PrepareServiceUser(context);
    Systemctl(context, {"daemon-reload"});
    Systemctl(context, {"enable", UnitName(context)});
}

}  // namespace

std::string AppIdKey() { return std::string(kClassesRoot) + "\\AppID\\" + kAppId.ToString(); }

RegistrationContext RegistrationContext::ForThisProcess() {
    RegistrationContext context{Registry::System(), core::LoadText(100), core::LoadText(215), ExecutablePath(), {}, false};
    const char* configured = std::getenv("PELLWORTH_SYSTEMD_DIR");
    context.unitDirectory = configured && *configured ? configured : std::string(kDefaultUnitDirectory);
    struct stat st {};
    context.useSystemctl = context.unitDirectory == kDefaultUnitDirectory && ::stat("/run/systemd/system", &st) == 0;
    context.prepareSystem = context.unitDirectory == kDefaultUnitDirectory && ::geteuid() == 0;
    return context;
}

std::string RegistrationContext::UnitPath() const { return unitDirectory + "/" + UnitName(*this); }

std::string SystemdUnitText(const RegistrationContext& context) {
    std::string text;
    text += "# Written by \"" + ExecutableName(context) + " -Service\"; \"-UnregServer\" removes it.\n";
    text += "[Unit]\n";
    text += "Description=" + context.description + "\n";
    text += "After=network-online.target\nWants=network-online.target\n\n";
    text += "[Service]\n";
    text += "Type=notify\nNotifyAccess=main\n";
    text += "ExecStart=" + SystemdQuoted(context.executablePath) + "\n";
    text += "Environment=" + SystemdQuoted("PELLWORTH_REGISTRY=" + context.registry.Path()) + "\n";
    // The stop signal runs the orderly shutdown, which waits for sessions and saves the settings.
    text += "KillSignal=SIGTERM\nTimeoutStopSec=" + std::to_string(kUnitStopTimeout.count()) + "\n";
    // Start-up checks every folder of the store once (linear in its files: about half a second for a
    // folder of 200,000 messages with a warm cache). The bound leaves room for a cold cache on slow
    // disks and big stores; a start killed by the manager would only be restarted to begin again.
    text += "TimeoutStartSec=" + std::to_string(kUnitStartTimeout.count()) + "\n";
    text += "LimitNOFILE=" + std::to_string(kUnitDescriptorLimit) + "\n";
    text += "Restart=on-failure\nRestartSec=5\n";
    text += HardeningText(context);
    text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

void RegisterServer(const RegistrationContext& context) {
    RemoveService(context);
    UpdateRegistry(context, [&](RegistryFile& file) {
        WriteAppIdEntries(file, context);
        file.DeleteValue(AppIdKey(), "LocalService");
        WriteClassRecords(file, context);
    });
}

void RegisterService(const RegistrationContext& context) {
    RemoveService(context);
    UpdateRegistry(context, [&](RegistryFile& file) {
        WriteAppIdEntries(file, context);
        file.SetString(AppIdKey(), "LocalService", context.serviceName);
    });
    InstallService(context);
    UpdateRegistry(context, [&](RegistryFile& file) {
        WriteClassRecords(file, context);
        file.SetExpandString(EventSourceKey(context), "EventMessageFile", context.executablePath);
        file.SetDword(EventSourceKey(context), "TypesSupported", 7);
    });
}

void UnregisterServer(const RegistrationContext& context) {
    UpdateRegistry(context, [&](RegistryFile& file) { RemoveClassRecords(file); });
    RemoveService(context);
    UpdateRegistry(context, [&](RegistryFile& file) {
        file.DeleteValue(AppIdKey(), "LocalService");
        RemoveAppIdEntries(file, context);
        file.DeleteKeyTree(EventSourceKey(context));
    });
}

}  // namespace pw::service
