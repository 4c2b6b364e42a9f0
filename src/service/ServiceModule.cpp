// ServiceModule: process entry, start-up, run and shutdown.
#include "service/ServiceModule.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "antivirus/Clamd.h"
#include "antivirus/VirusScan.h"
#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "core/ScheduleEvents.h"
#include "core/Version.h"
#include "platform/ClassRegistry.h"
#include "platform/EventLog.h"
#include "platform/Process.h"
#include "service/CommandLine.h"
#include "service/Registration.h"
#include "service/ServerSession.h"
#include "service/TerminalLog.h"
#include "mime/Message.h"
#include "net/Listener.h"
#include "net/TlsContext.h"
#include "router/Router.h"
#include "antispam/SpamAssassinConfig.h"
#include "spamd/SpamdClient.h"
#include "imap/ImapServer.h"
#include "imap/ImapSession.h"
#include "pop3/Pop3Session.h"
#include "pop3pickup/Pop3Pickup.h"
#include "net/PopBeforeSmtp.h"
#include "smtp/Dialer.h"
#include "smtp/SendReceiveCycle.h"
#include "smtp/SmtpServerSession.h"
#include "smtp/Transport.h"
#include "store/FolderIndex.h"
#include "store/MessageStore.h"


namespace pw::service {

namespace {

constexpr int kTextStarting = 101;

// The POP3 pickups' stop: set when the workers stop, so a long collection ends between messages.
std::atomic<bool> gPop3PickupStop{false};

// A private key every local user can read is no longer private: the server will not serve TLS with it,
// nor start without the TLS its configuration asks for. (A missing key only turns TLS off, as before.)
HRESULT CheckPrivateKeyFile(const std::string& path, std::string& failure) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return S_OK;
    if ((st.st_mode & (S_IROTH | S_IWOTH)) == 0) return S_OK;
    failure = Format("The TLS private key %s can be read by every user of this machine (mode %s); "
                     "make it private (chmod o-rwx) and start again",
                     {std::string_view(path), std::string_view(Format("%04o", {std::uint64_t{st.st_mode & 07777}}))});
    return E_ACCESSDENIED;
}

}  // namespace

ServiceModule::ServiceModule(Registry registry, ServiceTimings timings)
    : registry_(std::move(registry)), timings_(timings), idle_(timings.idleTimeout, [this] { loop_.PostQuit(); }) {}

ServiceModule::~ServiceModule() { idle_.Stop(); }

std::string ServiceModule::VersionText() { return core::VersionText(); }

HRESULT ServiceModule::Run(bool serviceMode, bool embedded) {
    serviceMode_ = serviceMode;
    embedded_ = embedded && !serviceMode;
    // Before any other thread exists, so that every thread leaves the stop signals to the watcher.
    StopSignalWatcher signals(loop_, [this](long sender) { ConnectNowRequested(sender); });
    if (embedded_) idle_.Start();

    const HRESULT hr = PreLoopStartup();
    if (Failed(hr)) {
        ReportEvent(event_kind::kError, failure_);
        idle_.Stop();
        ProcessShutdown();
        return hr;
    }
    if (serviceMode_) ReportEvent(event_kind::kInformation, "Service started");
    NotifyServiceManager("READY=1");

    loop_.Run();

    NotifyServiceManager("STOPPING=1");
    idle_.Stop();
    // No administration call may arrive while the workers stop.
    adminStop_ = true;
    if (endpoint_) endpoint_->Stop();
    ProcessShutdown();
    if (serviceMode_) {
        ReportEvent(event_kind::kInformation, "Service stopped");
    } else {
        std::this_thread::sleep_for(timings_.exitPause);
    }
    return S_OK;
}

HRESULT ServiceModule::PreLoopStartup() {
    const std::string version = VersionText();
    logging_ = std::make_shared<core::Logging>(registry_);
    if (echoFd_ >= 0) logging_->Advise(std::make_shared<TerminalLog>(echoFd_));
    core::SetProcessLogging(logging_);
    const std::string starting = core::FormatText(kTextStarting, {version}, "Pellworth %s starting");
    ReportEvent(event_kind::kInformation, starting);
    core::Log(core::LogLevelNormal, starting);
    core::Log(core::LogLevelNormal, "Registry file " + registry_.Path());

    const HRESULT hr = OpenStore();
    if (Failed(hr)) {
        core::Log(core::LogLevelCritical, failure_);
        return hr;
    }
    core::Log(core::LogLevelNormal, "Message store " + storeRoot_.Path());

    // The result is not acted on: without a configuration every reader uses its own defaults.
    if (core::LoadConfiguration(core::ServerConfig(), storeRoot_)) {
        core::Log(core::LogLevelNormal, "Configuration loaded");
        if (const auto unread = core::ServerConfig().Unread()) {
            const std::string warning = Format(
                "pellworth.cfg: \"%s\" holds an object of a class this server does not know; it and the %u "
                "records after it are kept unread and written back as they are",
                {unread->key, static_cast<std::uint64_t>(unread->records - 1)});
            ReportEvent(event_kind::kWarning, warning);
            core::Log(core::LogLevelWarning, warning);
        }
    } else {
        const std::string warning = "No configuration could be read from " + storeRoot_.Path() +
                                    "pellworth.cfg or pellworth.bak; defaults apply";
        ReportEvent(event_kind::kWarning, warning);
        core::Log(core::LogLevelWarning, warning);
    }
    const DescriptorLimit descriptors = RaiseDescriptorLimit();
    core::Log(core::LogLevelNormal, Format("Open descriptor limit %u (was %u; hard limit %u)",
                                           {descriptors.soft, descriptors.previous, descriptors.hard}));
    if (const HRESULT started = StartWorkers(); Failed(started)) return started;
    StartEndpoint();
    return S_OK;
}

HRESULT ServiceModule::OpenStore() {
    const auto path = core::ReadMessageStorePath(registry_);
    if (!path) {
        failure_ = "No message store is configured: the registry file " + registry_.Path() +
                   " has no MessageStore value under " + core::ServerGeneralKey();
        return STG_E_FILENOTFOUND;
    }
    DirStorage root(*path);
    if (!root.Exists()) {
        if (const HRESULT hr = root.CreateSelf(); Failed(hr)) {
            failure_ = "Can not create the message store " + root.Path() + ": " + HresultText(hr);
            return hr;
        }
        const std::string created = "Created a new message store at " + root.Path();
        ReportEvent(event_kind::kInformation, created);
        core::Log(core::LogLevelNormal, created);
    }
    if (const HRESULT hr = serverLock_.Acquire(root); Failed(hr)) {
        const auto holder = core::ServerLock::HolderOf(root);
        failure_ = hr == STG_E_SHAREVIOLATION
                       ? "The message store " + root.Path() + " is in use by another server (process " +
                             std::to_string(holder.value_or(-1)) + ")"
                       : "Can not lock the message store " + root.Path() + ": " + HresultText(hr);
        return hr;
    }
    // A new store gets its root objects and well-known folders; an old one gets back any it lost,
    // and loses what writers that died left half-made.
    try {
        std::vector<std::string> made;
        const auto store = store::MessageStore::OpenOrCreate(root.Path(), &made);
        for (const auto& line : made) core::Log(core::LogLevelNormal, "Created the " + line);
        if (const std::size_t removed = store->RemoveAbandonedFiles(); removed != 0) {
            core::Log(core::LogLevelWarning, Format("Removed %u unfinished files from the store", {std::uint64_t{removed}}));
        }
    } catch (const ComError& error) {
        failure_ = "Can not open the message store " + root.Path() + ": " + error.what();
        serverLock_.Release();
        return error.Code();
    }
    storeRoot_ = root;
    store::SetServerStorePath(root.Path());
    return S_OK;
}

unsigned ServiceModule::RouterCount() const {
    if (core::ReadDebugSwitch(registry_, "NoRouters") != 0) return 0;
    std::int64_t count = core::ReadDebugSwitch(registry_, "Routers");
    if (count == 0) {
        Variant configured;
        if (core::ServerConfig().Get("sys:routers", configured)) count = configured.AsI4();
    }
    if (count <= 0) count = kDefaultRouters;
    return static_cast<unsigned>(std::min<std::int64_t>(count, kMaxRouters));
}

bool ServiceModule::TransportsEnabled() const { return core::ReadDebugSwitch(registry_, "NoTransports") == 0; }

ScheduleTimings ServiceModule::ScheduleTimingsFromRegistry() const {
    ScheduleTimings timings;
    if (const std::uint32_t seconds = core::ReadDebugSwitch(registry_, "SchedulePeriod"); seconds != 0) {
        timings.period = std::chrono::seconds(seconds);
        timings.firstDelay = std::min(timings.firstDelay, timings.period);
    }
    return timings;
}

// The update command is an argv written as words ("freshclam --quiet"); no shell ever reads it.
std::vector<std::string> ServiceModule::UpdateCommand() const {
    const auto value = registry_.GetString(core::ProductKey(core::kServerProduct, "AntiVirus"), "UpdateCommand");
    return value ? SplitWords(*value) : std::vector<std::string>{};
}

void ServiceModule::StartMaintenance() {
    admin::MaintenanceSettings settings;
    settings.storeRoot = storeRoot_.Path();
    // `MaintenancePeriod` (seconds) shortens the pass period and the first delay, for tests.
    if (const std::uint32_t seconds = core::ReadDebugSwitch(registry_, "MaintenancePeriod"); seconds != 0) {
        settings.period = std::chrono::seconds(seconds);
        settings.firstDelay = std::min<std::chrono::milliseconds>(settings.firstDelay, settings.period);
    }
    settings.spamAssassin = antispam::ReadSpamAssassinPaths(registry_);
    settings.updateCommand = UpdateCommand();
    settings.clamdAddress = antivirus::ClamdAddressFromRegistry(registry_);
    settings.expireAuthorisations = [] { net::PopBeforeSmtp::Instance().Purge(); };
    maintenance_ = std::make_unique<admin::Maintenance>(core::ServerConfig(), std::move(settings));
    maintenance_->Start();
}

void ServiceModule::StartSchedule() {
    core::ConfigTree& config = core::ServerConfig();
    if (smtp::ReadConnectionType(config) == smtp::ConnectionTypeRAS && !ScheduleSendsOutgoing(config)) {
        core::Log(core::LogLevelWarning, "The connection is dial-up and no enabled event of the connection schedule asks "
                                         "for outgoing delivery: outgoing mail leaves only in send/receive cycles, and "
                                         "none is scheduled");
    }
    schedule_ = std::make_unique<ConnectionSchedule>(
        config, [](bool outgoing, bool pop3Pickup, bool smtpPickup) { smtp::StartCycle(outgoing, pop3Pickup, smtpPickup); },
        ScheduleTimingsFromRegistry());
    schedule_->Start();
    cyclesAccepted_ = true;
}

void ServiceModule::ConnectNowRequested(long sender) {
    if (!cyclesAccepted_) {
        core::Log(core::LogLevelWarning, Format("Connect now (requested by process %d) is ignored: the SMTP transports are not running",
                                                {std::int64_t{sender}}));
        return;
    }
    core::Log(core::LogLevelNormal, Format("Connect now requested by process %d", {std::int64_t{sender}}));
    smtp::ConnectNow();
}

bool ServiceModule::StartListenersLocked() {
    std::string primaryDomain = std::string(store::kFallbackDomain);
    try {
        primaryDomain = store::MessageStore::Open(storeRoot_.Path())->PrimaryDomain(core::ServerConfig());
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, std::string("The primary domain can not be read: ") + error.what());
    }
    serversRunning_ = net::StartListeners(core::ServerConfig(), primaryDomain);
    if (!serversRunning_) core::Log(core::LogLevelCritical, "The listeners could not be started");
    return serversRunning_;
}

bool ServiceModule::StartServers() {
    std::lock_guard guard(workersLock_);
    if (!running_) return false;
    if (serversRunning_) return true;
    imap::StartImapServer(storeRoot_.Path());
    return StartListenersLocked();
}

void ServiceModule::StopServers() {
    std::lock_guard guard(workersLock_);
    if (!serversRunning_) return;
    imap::StopImapServer();
    net::StopListeners();
    // Flag changes logged ahead of their records: the records hold them all once the sessions are gone.
    store::CatchUpIndexedRecords();
    serversRunning_ = false;
}

// The endpoint serves the running server's objects; without it the server still serves mail, so a
// failure is reported and start-up goes on.
void ServiceModule::StartEndpoint() {
    RegisterRunningObjects(*this, antispam::ReadSpamAssassinPaths(registry_).directory);
    admin::EndpointSettings settings;
    settings.socketPath = admin::AdminSocketPath(registry_, storeRoot_.Path());
    if (embedded_) {
        settings.clientArrived = [this] { Lock(); };
        settings.clientLeft = [this] { Unlock(); };
        core::Log(core::LogLevelNormal, Format("Started for administration clients: the server ends %u ms after the last one lets go",
                                               {std::int64_t{timings_.idleTimeout.count()}}));
    }
    endpoint_ = std::make_unique<admin::AdminEndpoint>(std::move(settings));
    std::string failure;
    if (Failed(endpoint_->Start(failure))) {
        ReportEvent(event_kind::kError, failure);
        core::Log(core::LogLevelCritical, failure);
        endpoint_.reset();
    }
}

bool ServiceModule::ConnectNow(long sender) {
    const bool accepted = cyclesAccepted_;
    ConnectNowRequested(sender);
    return accepted;
}

bool ServiceModule::Running() const {
    std::lock_guard guard(workersLock_);
    return running_;
}

// The router reaches the scanners through its hook: they are network code it may not include. The
// registry's clamd address is read once here; the "sys:av:..." settings at each scan, so a change
// applies to the next message.
void ServiceModule::StartVirusScan() {
    const std::string clamd = antivirus::ClamdAddressFromRegistry(registry_);
    router::SetVirusScan([clamd](const store::Envelope& envelope) {
        const antivirus::ScanResult result = antivirus::Scan(envelope, antivirus::ScanSettings::Read(core::ServerConfig(), clamd));
        using Verdict = router::VirusScanResult::Verdict;
        switch (result.verdict) {
            case antivirus::Verdict::Clean: return router::VirusScanResult{Verdict::Clean, {}};
            case antivirus::Verdict::Infected: return router::VirusScanResult{Verdict::Infected, result.text};
            case antivirus::Verdict::TooLarge: return router::VirusScanResult{Verdict::TooLarge, result.text};
            case antivirus::Verdict::Failed: break;
        }
        return router::VirusScanResult{Verdict::Unscanned, result.text};
    });
    core::ConfigTree& config = core::ServerConfig();
    if (!config.GetCopy("sys:av:enabled").IsTrue() || config.GetCopy("sys:av:avtype").AsI4() != antivirus::kScannerEngine) return;
    // A look at start-up, bounded so that a silent address does not hold the server's start.
    if (std::string problem; !antivirus::ClamdPing(clamd, std::chrono::seconds(10), problem)) {
        core::Log(core::LogLevelCritical, "The virus scanner clamd does not answer (" + problem + "); messages wait in the queue until it does");
    } else {
        core::Log(core::LogLevelNormal, "The virus scanner clamd answers at " + clamd);
    }
}

namespace {

// The router includes no network code: spamd's client reaches it through this hook.
void SetSpamAssassinCheck(const Registry& registry, core::ConfigTree& config) {
    const spamd::SpamdClient client(antispam::ReadSpamAssassinPaths(registry).spamd);
    if (config.GetCopy(antispam::kSpamAssassinEnabledKey).IsTrue()) {
        core::Log(core::LogLevelNormal, "SpamAssassin judges mail through spamd at " + client.Address());
    }
    router::SetSpamAssassinCheck([client](std::string_view message, bool withReport) { return client.CheckAndLog(message, withReport); });
}

}  // namespace

HRESULT ServiceModule::StartWorkers() {
    std::lock_guard guard(workersLock_);
    if (running_) return S_OK;
    // The order is fixed: access tables and the TLS context before anything that accepts
    // connections; routers before listeners, so that the first accepted message finds its router;
    // transports, maintenance and the connection schedule last. Each subsystem joins here as it is
    // built, reading its switches at this point.
    core::Log(core::LogLevelDebug, Format("Worker start-up: %u router threads, SMTP transports %s",
                                          {std::uint64_t{RouterCount()},
                                           std::string_view(TransportsEnabled() ? "enabled" : "disabled")}));
    core::ConfigTree& config = core::ServerConfig();
    if (config.GetCopy("sys:ssl:enabled").IsTrue()) {
        if (const HRESULT hr = CheckPrivateKeyFile(config.GetCopy("sys:ssl:keypath").AsText(), failure_); Failed(hr)) {
            core::Log(core::LogLevelCritical, failure_);
            return hr;
        }
        if (net::TlsInitialise(config.GetCopy("sys:ssl:certpath").AsText(), config.GetCopy("sys:ssl:keypath").AsText())) {
            core::Log(core::LogLevelNormal, "TLS is available");
        }
    }
    StartVirusScan();
    SetSpamAssassinCheck(registry_, config);
    router::StartRouters(RouterCount());
    routersRunning_ = true;
    ResubmitQueue();
    smtp::RegisterSmtpServer();
    pop3::RegisterPop3Server();
    imap::RegisterImapServer();
    imap::StartImapServer(storeRoot_.Path());
    smtp::SetPopBeforeSmtpCheck([](const IpAddress& address) { return net::PopBeforeSmtp::Instance().IsRecorded(address); });
    // `NoListeners` keeps a server off the network (tests of its other parts, maintenance runs).
    if (core::ReadDebugSwitch(registry_, "NoListeners") != 0) {
        core::Log(core::LogLevelWarning, "The listeners are switched off (Debug value NoListeners)");
    } else {
        StartListenersLocked();
    }
    if (TransportsEnabled()) {
        StartTransportsLocked();
        StartSchedule();
    } else {
        core::Log(core::LogLevelWarning, "The SMTP transports are switched off (Debug value NoTransports)");
    }
    StartMaintenance();
    running_ = true;
    core::Log(core::LogLevelNormal, "Server started");
    return S_OK;
}

void ServiceModule::StopWorkers() {
    std::lock_guard guard(workersLock_);
    if (!running_) return;
    // Maintenance and schedule first, so nothing new is queued; then routers, listeners, transports
    // and the TLS context.
    cyclesAccepted_ = false;
    // A POP3 pickup ends after the message in hand, long before the transports' pool stops waiting.
    gPop3PickupStop = true;
    if (maintenance_) {
        maintenance_->Stop();
        maintenance_.reset();
    }
    StopScheduleLocked();
    router::StopRouters();
    routersRunning_ = false;
    imap::StopImapServer();
    net::StopListeners();
    // Flag changes logged ahead of their records: the records hold them all once the sessions are gone.
    store::CatchUpIndexedRecords();
    serversRunning_ = false;
    StopTransportsLocked();
    net::TlsRelease();
    running_ = false;
    core::Log(core::LogLevelNormal, "Server stopped");
}

void ServiceModule::StartTransportsLocked() {
    smtp::SetReleaseForNode(smtp::ReleaseForNode);
    router::SetRelayHandOff(smtp::HandOffToRelay);
    // Read at each cycle, so accounts changed while the server runs count from the next one.
    gPop3PickupStop = false;
    smtp::SetPop3PickupSource([] {
        std::vector<std::function<void()>> jobs;
        for (auto& account : pop3pickup::ReadPop3Pickups(core::ServerConfig())) {
            jobs.emplace_back([account = std::move(account)] { pop3pickup::RunPop3Pickup(account, &gPop3PickupStop); });
        }
        return jobs;
    });
    smtp::StartTransports(core::ReadDebugSwitch(registry_, "NumTransports"));
    transportsRunning_ = true;
    cyclesAccepted_ = true;
}

void ServiceModule::StopTransportsLocked() {
    cyclesAccepted_ = false;
    // A POP3 pickup ends after the message in hand, long before the transports' pool stops waiting.
    gPop3PickupStop = true;
    smtp::StopTransports();
    transportsRunning_ = false;
}

void ServiceModule::StopScheduleLocked() {
    if (schedule_) {
        schedule_->Stop();
        schedule_.reset();
    }
}

void ServiceModule::ResubmitQueue() {
    // What stopped routers let go -- queued ids, retries waiting for their time, mail put in "_In"
    // meanwhile, what the last run left -- is all in "_In", oldest first; the queue takes each id
    // once, so those still queued are not routed twice.
    try {
        const std::size_t queued = router::ResubmitQueued(*store::MessageStore::Open(storeRoot_.Path()));
        if (queued != 0) core::Log(core::LogLevelNormal, Format("%u queued messages submitted to the routers", {std::uint64_t{queued}}));
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical, std::string("The queue can not be read: ") + error.what());
    }
}

bool ServiceModule::StartRouters() {
    std::lock_guard guard(workersLock_);
    if (!running_ || RouterCount() == 0) return false;
    if (routersRunning_) return true;
    router::StartRouters(RouterCount());
    routersRunning_ = true;
    ResubmitQueue();
    core::Log(core::LogLevelNormal, "Routers started by an administration client");
    return true;
}

void ServiceModule::StopRouters() {
    std::lock_guard guard(workersLock_);
    if (!routersRunning_) return;
    router::StopRouters();
    routersRunning_ = false;
    core::Log(core::LogLevelNormal, "Routers stopped by an administration client; received mail waits in the queue");
}

bool ServiceModule::StartTransports() {
    std::lock_guard guard(workersLock_);
    if (!running_ || !TransportsEnabled()) return false;
    if (transportsRunning_) return true;
    StartTransportsLocked();
    core::Log(core::LogLevelNormal, "SMTP transports started by an administration client");
    return true;
}

void ServiceModule::StopTransports() {
    std::lock_guard guard(workersLock_);
    if (!transportsRunning_) return;
    StopScheduleLocked();
    StopTransportsLocked();
    core::Log(core::LogLevelNormal, "SMTP transports and the connection schedule stopped by an administration client");
}

bool ServiceModule::StartScheduler() {
    std::lock_guard guard(workersLock_);
    if (!running_ || !transportsRunning_) return false;
    if (!schedule_) StartSchedule();
    return true;
}

void ServiceModule::StopScheduler() {
    std::lock_guard guard(workersLock_);
    StopScheduleLocked();
}

void ServiceModule::ProcessShutdown() {
    StopWorkers();
    if (!storeRoot_.Path().empty()) {
        if (!core::SaveConfiguration(core::ServerConfig(), storeRoot_)) {
            const std::string error = "The configuration could not be saved to " + storeRoot_.Path() + "pellworth.cfg";
            ReportEvent(event_kind::kError, error);
            core::Log(core::LogLevelCritical, error);
        }
        serverLock_.Release();
    }
    // The log goes last, so everything before can still report.
    core::SetProcessLogging(nullptr);
    logging_.reset();
}

void RegisterServerClasses() {
    core::RegisterLoggingClass(ClassRegistry::Instance());
    core::RegisterScheduleClasses(ClassRegistry::Instance());
    store::RegisterStoreClasses(ClassRegistry::Instance());
    mime::RegisterMimeClasses(ClassRegistry::Instance());
}

namespace {

int ExitCode(HRESULT hr) { return Succeeded(hr) ? 0 : 1; }

int RunRegistration(CommandSwitch command) {
    const RegistrationContext context = RegistrationContext::ForThisProcess();
    try {
        switch (command) {
        case CommandSwitch::RegServer: RegisterServer(context); break;
        case CommandSwitch::Service: RegisterService(context); break;
        case CommandSwitch::UnregServer: UnregisterServer(context); break;
        case CommandSwitch::Version:
        case CommandSwitch::Embedding:
        case CommandSwitch::None: break;
        }
    } catch (const ComError& error) {
        std::fprintf(stderr, "%s: %s\n", context.serviceName.c_str(), error.what());
        return ExitCode(error.Code());
    }
    return 0;
}

}  // namespace

int ProcessEntry(int argc, char** argv) {
    const Registry registry = Registry::System();
    RegisterServerClasses();
    core::LanguageTexts::Instance().LoadLanguage(core::ReadLanguage(registry));
    const std::string serviceName = core::LoadText(100);
    // On a terminal the whole log is shown there (TerminalLog), so the event log does not echo too.
    const bool terminal = TerminalLog::WantedFor(STDERR_FILENO);
    OpenEventLog(serviceName, !terminal);

    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const CommandSwitch command = ParseCommandLine(arguments);
    if (command == CommandSwitch::Version) {
        std::printf("%s %s\n", serviceName.c_str(), ServiceModule::VersionText().c_str());
        return 0;
    }
    if (command != CommandSwitch::None && command != CommandSwitch::Embedding) return RunRegistration(command);

    RegistryFile file;
    if (const HRESULT hr = registry.Read(file); Failed(hr) || !file.KeyExists(AppIdKey())) {
        std::fprintf(stderr, "%s: not registered in %s; run \"%s -RegServer\" or \"%s -Service\" first\n",
                     serviceName.c_str(), registry.Path().c_str(), argv[0], argv[0]);
        return 1;
    }
    const bool serviceMode = file.FindValue(AppIdKey(), "LocalService") != nullptr;
    ServiceModule module(registry);
    if (terminal) module.EchoLogTo(STDERR_FILENO);
    const HRESULT hr = module.Run(serviceMode, command == CommandSwitch::Embedding);
    if (Failed(hr)) {
        std::fprintf(stderr, "%s: start-up failed: %s (%s)\n", serviceName.c_str(), module.FailureText().c_str(),
                     HresultText(hr).c_str());
    }
    return ExitCode(hr);
}

}  // namespace pw::service
