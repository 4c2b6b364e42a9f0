// ServerSession: its member table and the registration of the running server's objects.
#include "service/ServerSession.h"

#include "admin/Backup.h"
#include "admin/ObjectModel.h"
#include "admin/PasswordCheck.h"
#include "admin/Settings.h"
#include "core/Configuration.h"
#include "core/Logging.h"
#include "platform/ClassRegistry.h"
#include "platform/Text.h"
#include "service/ServiceModule.h"
#include "router/RouterQueue.h"
#include "store/Envelopes.h"
#include "store/Folder.h"
#include "store/Domain.h"
#include "store/MailBox.h"
#include "store/MessageStore.h"

#include <mutex>
#include <set>

namespace pw::service {

namespace {

const Guid kServerSessionClassId = *Guid::Parse("{5B0E2C41-8D7A-4F3B-9E21-6A4C0D9F1E37}");
const Guid kSettingsClassId = *Guid::Parse("{9D3F6A12-2C4B-4E8D-A1F7-3B5E8C0D2A64}");

// The envelopes clients have handed to the routers: each is taken once, or a client could have one
// message delivered again and again.
std::mutex gAdvisedLock;
std::set<std::uint64_t> gAdvised;

// Submits a published envelope of the queue folder "_In" to the routers.
HRESULT AdviseNewEnvelope(std::uint64_t id, std::string_view folderUri, std::string& error) {
    if (!folderUri.empty()) {
        error = "only envelopes of the queue (an empty folder) are taken";
        return E_NOTIMPL;
    }
    const auto store = store::OpenServerStore();
    if (!store->InFolder()->GetEnvelopes()->FindEnvelope(static_cast<double>(id))) {
        error = Format("the queue holds no published envelope %u", {id});
        return E_INVALIDARG;
    }
    {
        std::lock_guard guard(gAdvisedLock);
        if (!gAdvised.insert(id).second) {
            error = Format("envelope %u was handed to the routers already", {id});
            return S_FALSE;
        }
    }
    router::SubmitEnvelope(static_cast<double>(id));
    return S_OK;
}

// The object, when the password is its own. A missing name fails as a wrong password does, slowing
// the next check alike, so a client learns nothing about which names exist.
template <typename T>
std::shared_ptr<T> Authorized(std::shared_ptr<T> object, const std::string& password, const char* what) {
    const bool granted = object ? admin::CheckPassword(*object, password) : admin::CheckPassword(*store::OpenServerStore(), {});
    if (!granted || !object) throw ComError(E_ACCESSDENIED, std::string("no such ") + what + ", or not its password");
    return object;
}

void RegisterServerSessionMembers() {
    using admin::CallResult;
    using admin::Caller;
    using admin::Member;
    using K = admin::MemberKind;
    using A = std::span<Variant>;
    using S = ServerSession;
    admin::RegisterMembers<ServerSession>("ServerSession", {
        Member<S>("Version", K::Get, {}, [](S&, A, const Caller&, CallResult& call) {
            call.result = Variant::Text(ServiceModule::VersionText());
        }),
        Member<S>("Settings", K::Get, {}, [](S&, A, const Caller&, CallResult& call) {
            const auto clsid = ClassRegistry::Instance().ClsidFromProgId("Pellworth.Settings");
            call.result = Variant::Object(clsid ? ClassRegistry::Instance().Create(*clsid) : nullptr);
        }),
        Member<S>("MessageStore", K::Get, {}, [](S&, A, const Caller&, CallResult& call) {
            call.result = Variant::Object(store::OpenServerStore());
        }),
        Member<S>("IsAdministrator", K::Method, {VT_BSTR}, [](S&, A args, const Caller&, CallResult& call) {
            call.result = Variant::Bool(admin::CheckPassword(*store::OpenServerStore(), args[0].AsText()));
        }),
        Member<S>("GetAuthorizedDomain", K::Method, {VT_BSTR, VT_BSTR}, [](S&, A args, const Caller&, CallResult& call) {
            call.result = Variant::Object(Authorized(store::OpenServerStore()->FindDomain(args[0].AsText()), args[1].AsText(), "domain"));
        }),
        Member<S>("GetAuthorizedMailBox", K::Method, {VT_BSTR, VT_BSTR}, [](S&, A args, const Caller&, CallResult& call) {
            call.result = Variant::Object(Authorized(store::OpenServerStore()->FindMailBox(args[0].AsText()), args[1].AsText(), "mailbox"));
        }),
        // Whether this server serves a class by that ProgID (S_FALSE when not).
        Member<S>("IsInstalled", K::Method, {VT_BSTR}, [](S&, A args, const Caller&, CallResult& call) {
            if (!ClassRegistry::Instance().ClsidFromProgId(args[0].AsText())) call.hr = S_FALSE;
        }),
        Member<S>("AdviseNewEnvelope", K::Method, {VT_UI8, VT_BSTR}, [](S&, A args, const Caller&, CallResult& call) {
            std::uint64_t id = 0;
            std::string text;
            (void)args[0].ToText(text);
            id = std::stoull(text);
            call.hr = AdviseNewEnvelope(id, args[1].AsText(), call.error);
        }),
        Member<S>("Start", K::Method, {}, [](S& self, A, const Caller&, CallResult& call) {
            call.hr = Succeeded(self.Module().StartWorkers()) ? S_OK : S_FALSE;
        }),
        Member<S>("Stop", K::Method, {}, [](S& self, A, const Caller&, CallResult&) { self.Module().StopWorkers(); }),
        Member<S>("StartServers", K::Method, {}, [](S& self, A, const Caller&, CallResult& call) {
            call.hr = self.Module().StartServers() ? S_OK : S_FALSE;
        }),
        Member<S>("StopServers", K::Method, {}, [](S& self, A, const Caller&, CallResult&) { self.Module().StopServers(); }),
        Member<S>("StartRouters", K::Method, {}, [](S& self, A, const Caller&, CallResult& call) {
            if (!self.Module().StartRouters()) {
                call.hr = E_FAIL;
                call.error = "the routers can not be started: the server's workers are stopped, or no routers are configured";
            }
        }),
        Member<S>("StopRouters", K::Method, {}, [](S& self, A, const Caller&, CallResult&) { self.Module().StopRouters(); }),
        Member<S>("StartTransports", K::Method, {}, [](S& self, A, const Caller&, CallResult& call) {
            call.hr = self.Module().StartTransports() ? S_OK : S_FALSE;
        }),
        Member<S>("StopTransports", K::Method, {}, [](S& self, A, const Caller&, CallResult&) { self.Module().StopTransports(); }),
        Member<S>("StartScheduler", K::Method, {}, [](S& self, A, const Caller&, CallResult& call) {
            call.hr = self.Module().StartScheduler() ? S_OK : S_FALSE;
        }),
        Member<S>("StopScheduler", K::Method, {}, [](S& self, A, const Caller&, CallResult&) { self.Module().StopScheduler(); }),
        Member<S>("ConnectNow", K::Method, {}, [](S& self, A, const Caller& caller, CallResult& call) {
            call.hr = self.Module().ConnectNow(static_cast<long>(caller.pid)) ? S_OK : S_FALSE;
        }),
        Member<S>("Shutdown", K::Method, {}, [](S& self, A, const Caller&, CallResult&) {
            core::Log(core::LogLevelNormal, "Shutdown requested by an administration client");
            self.Module().PostQuit();
        }),
        Member<S>("BackupNow", K::Method, {}, [](S& self, A, const Caller&, CallResult& call) {
            const admin::BackupOutcome outcome = admin::BackupNow(self.Module().StoreRoot().Path(), core::ServerConfig(), self.Module().AdminStop());
            if (!outcome.succeeded) throw ComError(E_FAIL, "the backup failed: " + outcome.failure);
            call.result = Variant::Text(outcome.target);
            call.out = {Variant::I8(static_cast<std::int64_t>(outcome.files)), Variant::I8(static_cast<std::int64_t>(outcome.bytes))};
        }),
    });
}

}  // namespace

std::vector<ClassInfo> RunningObjectClasses() {
    std::vector<ClassInfo> classes = {{kServerSessionClassId, "Pellworth.ServerSession", "ServerSession", {}},
                                      {kSettingsClassId, "Pellworth.Settings", "Settings", {}}};
    for (ClassInfo& info : admin::FilterClassInfos()) classes.push_back(std::move(info));
    classes.push_back(admin::AddressMapClassInfo());
    return classes;
}

void RegisterRunningObjects(ServiceModule& module, const std::string& spamAssassinDirectory) {
    admin::RegisterModelMembers();
    admin::RegisterFilterClasses(module.StoreRoot());
    RegisterServerSessionMembers();
    auto session = std::make_shared<ServerSession>(module);
    auto settings = std::make_shared<admin::Settings>(core::ServerConfig(), module.StoreRoot(), spamAssassinDirectory);
    ClassRegistry& registry = ClassRegistry::Instance();
    registry.Register({kServerSessionClassId, "Pellworth.ServerSession", "ServerSession",
                       [session]() -> std::shared_ptr<Unknown> { return session; }});
    registry.Register({kSettingsClassId, "Pellworth.Settings", "Settings", [settings]() -> std::shared_ptr<Unknown> { return settings; }});
    registry.Register({core::kLoggingClassId, "Pellworth.Logging", "Logging",
                       []() -> std::shared_ptr<Unknown> { return core::ProcessLogging(); }});
}

}  // namespace pw::service
