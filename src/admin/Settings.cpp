// Settings: configuration access for administration clients, and the tables of Settings and Logging.
#include "admin/Settings.h"

#include "admin/AdminProtocol.h"
#include "admin/ObjectModel.h"
#include "antispam/SpamAssassinConfig.h"
#include "core/Configuration.h"
#include "core/Logging.h"
#include "store/MessageStore.h"
#include "platform/ClassRegistry.h"
#include "platform/Stream.h"
#include "platform/Text.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sstream>

namespace pw::admin {

namespace {

bool KeyIsBelow(std::string_view key, std::string_view base) {
    const auto keyParts = core::SplitKey(key);
    const auto baseParts = core::SplitKey(base);
    if (keyParts.size() < baseParts.size()) return false;
    for (std::size_t i = 0; i < baseParts.size(); ++i) {
        if (!EqualsNoCase(keyParts[i], baseParts[i])) return false;
    }
    return true;
}

// Numbers in full precision, so that a value read back from the XML is the value that was written.
std::string ValueText(const Variant& value) {
    char buffer[40];
    switch (value.Type()) {
    case VT_R4:
    case VT_R8:
    case VT_DATE:
        std::snprintf(buffer, sizeof buffer, "%.17g", value.AsDouble());
        return buffer;
    case VT_BOOL: return value.IsTrue() ? "-1" : std::to_string(value.AsI2());
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        MemoryStream stream;
        ThrowIfFailed(SaveObject(value.AsObject(), stream), "an object in the settings can not be written");
        const auto& bytes = stream.Bytes();
        return LowerHex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    default: break;
    }
    std::string text;
    ThrowIfFailed(value.ToText(text));
    return text;
}

HRESULT ValueFromText(VarType type, std::string_view text, Variant& value) {
    if (type == VT_BOOL) {
        Variant number;
        if (const HRESULT hr = Variant::FromText(VT_I2, text, number); Failed(hr)) return Variant::FromText(VT_BOOL, text, value);
        value = Variant::BoolBits(number.AsI2());
        return S_OK;
    }
    if (type == VT_DISPATCH || type == VT_UNKNOWN) {
        if (text.size() % 2 != 0) return DISP_E_TYPEMISMATCH;
        std::vector<std::byte> bytes;
        for (std::size_t i = 0; i < text.size(); i += 2) {
            const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
            if (high < 0 || low < 0) return DISP_E_TYPEMISMATCH;
            bytes.push_back(static_cast<std::byte>(high * 16 + low));
        }
        MemoryStream stream(std::move(bytes));
        std::shared_ptr<Unknown> object;
        if (const HRESULT hr = LoadObject(stream, object); Failed(hr)) return hr;
        value = Variant::Object(std::move(object), type);
        return S_OK;
    }
    return Variant::FromText(type, text, value);
}

// A value the configuration file can keep: an object only when it can persist itself.
bool Storable(const Variant& value) {
    if (value.Type() != VT_DISPATCH && value.Type() != VT_UNKNOWN) return true;
    const auto object = value.AsObject();
    return !object || dynamic_cast<PersistStream*>(object.get()) != nullptr;
}

constexpr std::string_view kFileSuffixes[] = {"path", "file", "folder", "dir", "directory", "command", "commandline", "program", "socket"};

void CheckMayChange(std::string_view key, bool mayNameFiles) {
    if (!mayNameFiles && NamesAFile(key)) {
        throw ComError(E_ACCESSDENIED, "only root or the server's user may change " + std::string(key) + ", which names a file or a program");
    }
}

}  // namespace

bool NamesAFile(std::string_view key) {
    if (std::string name; antispam::SpamAssassinConfig::IsMappedKey(key, &name)) {
        // The whole file may name any path (bayes_path, a plug-in's file) by itself.
        if (EqualsNoCase(name, "config")) return true;
    }
    const auto components = core::SplitKey(key);
    if (components.empty()) return false;
    const std::string last = ToLowerAscii(components.back());
    for (const std::string_view suffix : kFileSuffixes) {
        if (last.size() >= suffix.size() && std::string_view(last).substr(last.size() - suffix.size()) == suffix) return true;
    }
    return false;
}

Settings::Settings(core::ConfigTree& tree, DirStorage root, std::string spamAssassinDirectory)
    : tree_(tree), root_(std::move(root)), spamAssassinDirectory_(std::move(spamAssassinDirectory)) {}

HRESULT Settings::Get(std::string_view key, Variant& value) const {
    if (std::string name; antispam::SpamAssassinConfig::IsMappedKey(key, &name)) {
        const HRESULT hr = antispam::SpamAssassinConfig(spamAssassinDirectory_).Read(name, value);
        return hr == S_FALSE ? S_OK : hr;  // a default is still the setting's value
    }
    if (!tree_.Get(key, value)) {
        value = Variant();
        return S_FALSE;
    }
    return S_OK;
}

void Settings::Set(std::string_view key, const Variant& value) {
    if (std::string name; antispam::SpamAssassinConfig::IsMappedKey(key, &name)) {
        const antispam::SpamAssassinConfig config(spamAssassinDirectory_);
        const HRESULT hr = config.Write(name, value);
        if (hr == E_INVALIDARG) throw ComError(hr, "not a valid value for " + std::string(key) + "; " + config.FilePath() + " is unchanged");
        ThrowIfFailed(hr, "can not change " + config.FilePath());
        return;
    }
    if (!Storable(value)) throw ComError(E_INVALIDARG, "an object of this class can not be kept in the settings");
    if (!tree_.Set(key, value)) throw ComError(E_INVALIDARG, "\"" + std::string(key) + "\" names no setting");
    Save();
}

HRESULT Settings::Remove(std::string_view key) {
    if (antispam::SpamAssassinConfig::IsMappedKey(key)) {
        throw ComError(E_INVALIDARG, std::string(key) + " is kept in SpamAssassin's local.cf and can not be removed; set it instead");
    }
    if (!tree_.Remove(key)) return S_FALSE;
    Save();
    return S_OK;
}

long Settings::ChildCount(std::string_view key) const { return static_cast<long>(tree_.ChildCount(key)); }

void Settings::Save() {
    if (!core::SaveConfiguration(tree_, root_)) {
        throw ComError(STG_E_WRITEFAULT, "the change is made in the running server but could not be saved to " + root_.Path() +
                                             std::string(core::kConfigFileName) + "; the next save retries");
    }
}

std::string Settings::GetXML(std::string_view key, long levels) const {
    const std::size_t baseDepth = core::SplitKey(key).size();
    pugi::xml_document document;
    pugi::xml_node settings = document.append_child("settings");
    for (const auto& record : tree_.Records()) {
        if (record.value.IsEmpty() || !KeyIsBelow(record.key, key)) continue;
        if (levels >= 0 && core::SplitKey(record.key).size() - baseDepth > static_cast<std::size_t>(levels)) continue;
        pugi::xml_node item = settings.append_child("item");
        item.append_attribute("key") = record.key.c_str();
        item.append_attribute("vt") = static_cast<unsigned>(record.value.Type());
        if (record.value.IsNullText()) {
            item.append_attribute("null") = "1";
        } else {
            item.text() = ValueText(record.value).c_str();
        }
    }
    std::ostringstream out;
    document.save(out, "", pugi::format_raw | pugi::format_no_declaration);
    return out.str();
}

void Settings::SetXML(std::string_view xml, bool mayNameFiles) {
    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        document.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_doctype, pugi::encoding_utf8);
    if (!parsed) throw ComError(E_INVALIDARG, std::string("the XML does not parse: ") + parsed.description());
    for (const pugi::xml_node node : document.children()) {
        if (node.type() == pugi::node_doctype) throw ComError(E_INVALIDARG, "a document type declaration is not accepted");
    }
    const pugi::xml_node settings = document.child("settings");
    if (!settings) throw ComError(E_INVALIDARG, "the document element must be <settings>");
    std::vector<std::pair<std::string, Variant>> changes;
    for (const pugi::xml_node item : settings.children()) {
        if (item.type() != pugi::node_element || std::string_view(item.name()) != "item") {
            throw ComError(E_INVALIDARG, "<settings> holds only <item> elements");
        }
        const std::string key = item.attribute("key").value();
        const pugi::xml_attribute vt = item.attribute("vt");
        if (core::SplitKey(key).empty()) throw ComError(E_INVALIDARG, "an <item> without a key");
        if (antispam::SpamAssassinConfig::IsMappedKey(key)) throw ComError(E_INVALIDARG, key + " is kept in SpamAssassin's local.cf; set it by itself");
        CheckMayChange(key, mayNameFiles);
        Variant type;
        if (!vt || Failed(Variant::FromText(VT_UI2, vt.value(), type))) throw ComError(E_INVALIDARG, key + ": vt must be a VARTYPE number");
        Variant value;
        if (item.attribute("null").as_bool()) {
            if (type.AsUI2() != VT_BSTR) throw ComError(E_INVALIDARG, key + ": only a text can be null");
            value = Variant::NullText();
        } else if (Failed(ValueFromText(static_cast<VarType>(type.AsUI2()), item.text().get(), value))) {
            throw ComError(E_INVALIDARG, key + ": \"" + item.text().get() + "\" is not a value of VARTYPE " + vt.value());
        }
        if (!Storable(value)) throw ComError(E_INVALIDARG, key + ": this object can not be kept in the settings");
        changes.emplace_back(key, std::move(value));
    }
    {
        const auto lock = tree_.Lock();
        for (auto& [key, value] : changes) tree_.Set(key, std::move(value));
    }
    Save();
}

MemberInfo ScheduleEventsMember();  // ScheduleMembers.cpp
void RegisterScheduleMembers();
void RegisterListMembers();  // ListMembers.cpp
void RegisterMimeMembers();  // MimeMembers.cpp

namespace {

std::string Text(const Variant& value) { return value.AsText(); }

constexpr const char* kDialPeersDirectory = "/etc/ppp/peers";

std::vector<std::string> LocalAddresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) throw ComError(E_FAIL, std::string("the interfaces can not be listed: ") + std::strerror(errno));
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || (entry->ifa_addr->sa_family != AF_INET && entry->ifa_addr->sa_family != AF_INET6)) continue;
        char text[INET6_ADDRSTRLEN] = {};
        const void* bytes = entry->ifa_addr->sa_family == AF_INET
                                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr)
                                : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr);
        if (::inet_ntop(entry->ifa_addr->sa_family, bytes, text, sizeof text) &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.emplace_back(text);
        }
    }
    ::freeifaddrs(list);
    return addresses;
}

std::vector<std::string> DialPeers() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(kDialPeersDirectory, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && name.front() != '.' && entry.is_regular_file(error)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void RegisterSettingsMembers() {
    using K = MemberKind;
    using A = std::span<Variant>;
    using S = Settings;
    const auto get = [](S& self, A args, const Caller&, CallResult& call) { call.hr = self.Get(Text(args[0]), call.result); };
    const auto set = [](S& self, A args, const Caller& caller, CallResult&) {
        CheckMayChange(Text(args[0]), caller.mayUseFiles);
        self.Set(Text(args[0]), args[1]);
    };
    RegisterMembers<Settings>("Settings", {
        Member<S>("Get", K::Method, {VT_BSTR}, get),
        Member<S>("Item", K::Get, {VT_BSTR}, get),
        Member<S>("Set", K::Method, {VT_BSTR, VT_VARIANT}, set),
        Member<S>("Item", K::Put, {VT_BSTR, VT_VARIANT}, set),
        Member<S>("Remove", K::Method, {VT_BSTR},
                  [](S& self, A args, const Caller&, CallResult& call) { call.hr = self.Remove(Text(args[0])); }),
        Member<S>("ChildCount", K::Get, {VT_BSTR},
                  [](S& self, A args, const Caller&, CallResult& call) { call.result = Variant::I4(self.ChildCount(Text(args[0]))); }),
        // Every address of the machine's interfaces, as text ("127.0.0.1", "::1"), for the listeners'
        // "ip" settings.
        Member<S>("LocalIPAddresses", K::Get, {}, [](S&, A, const Caller&, CallResult& call) {
            std::vector<Variant> items;
            for (const std::string& address : LocalAddresses()) items.push_back(Variant::Text(address));
            call.result = Variant::Object(std::make_shared<ArrayValue>(VT_VARIANT, std::move(items)), VT_UNKNOWN);
        }),
        // The dial-up connections the machine knows: the peers of pppd, which the dial command
        // ("pon %ENTRY%") takes as "sys:connection:rasentry".
        Member<S>("AvailableRASConnections", K::Get, {}, [](S&, A, const Caller&, CallResult& call) {
            std::vector<Variant> items;
            for (const std::string& name : DialPeers()) items.push_back(Variant::Text(name));
            call.result = Variant::Object(std::make_shared<ArrayValue>(VT_BSTR, std::move(items)), VT_UNKNOWN);
        }),
        Member<S>("GetFirstChildPosition", K::Method, {VT_BSTR}, [](S& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::I4(self.Positions().Add(self.Tree().FirstChild(Text(args[0]))));
            if (call.result.AsI4() == 0) call.hr = S_FALSE;
        }),
        // Outs: the position moved on (0 after the last child) and the child's full key.
        Member<S>("GetNextChild", K::Method, {VT_I4}, [](S& self, A args, const Caller&, CallResult& call) {
            const std::int32_t number = args[0].AsI4();
            auto position = self.Positions().Find(number);
            std::string key;
            if (!position || !self.Tree().NextChild(*position, key, call.result)) {
                call.hr = S_FALSE;
                call.out = {Variant::I4(0), Variant::NullText()};
                return;
            }
            call.out = {Variant::I4(self.Positions().Move(number, std::move(*position))), Variant::Text(key)};
        }),
        Member<S>("GetXML", K::Method, {VT_BSTR, VT_I4},
                  [](S& self, A args, const Caller&, CallResult& call) {
                      call.result = Variant::Text(self.GetXML(Text(args[0]), args[1].AsI4()));
                  }),
        Member<S>("SetXML", K::Method, {VT_BSTR}, [](S& self, A args, const Caller& caller, CallResult&) {
            self.SetXML(Text(args[0]), caller.mayUseFiles);
        }),
        ScheduleEventsMember(),
        Member<S>("PrimaryDomain", K::Get, {}, [](S& self, A, const Caller&, CallResult& call) {
            call.result = Variant::Text(store::OpenServerStore()->PrimaryDomain(self.Tree()));
        }),
        Member<S>("PrimaryDomain", K::Put, {VT_BSTR}, [](S& self, A args, const Caller&, CallResult&) {
            self.Set(store::kPrimaryDomainKey, Variant::Text(Text(args[0])));
        }),
        // The administrator's password is the store root's (ServerSession.IsAdministrator checks it).
        Member<S>("AdminPassword", K::Put, {VT_BSTR}, [](S&, A args, const Caller&, CallResult&) {
            const auto root = store::OpenServerStore();
            root->SetPassword(Text(args[0]));
            root->Update();
        }),
    });
}

// A folder for log files: absolute, with no "." or ".." component.
bool PlainAbsolutePath(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, end - start);
        if (part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

void RegisterLoggingMembers() {
    using K = MemberKind;
    using A = std::span<Variant>;
    using L = core::Logging;
    const auto counter = [](long (L::*read)() const) {
        return [read](L& self, A, const Caller&, CallResult& call) { call.result = Variant::I4((self.*read)()); };
    };
    RegisterMembers<core::Logging>("Logging", {
        Member<L>("LogMessage", K::Method, {VT_I4, VT_BSTR}, [](L& self, A args, const Caller&, CallResult& call) {
            call.hr = self.LogMessage(static_cast<core::LoggingLevelEnum>(args[0].AsI4()), Text(args[1]));
        }),
        Member<L>("LogMessageEx", K::Method, {VT_I4, VT_I4, VT_BSTR}, [](L& self, A args, const Caller&, CallResult& call) {
            call.hr = self.LogMessageEx(static_cast<core::LoggingEventEnum>(args[0].AsI4()),
                                        static_cast<core::LoggingLevelEnum>(args[1].AsI4()), Text(args[2]));
        }),
        Member<L>("LogEvent", K::Method, {VT_I4, VT_I4, VT_VARIANT}, [](L& self, A args, const Caller&, CallResult& call) {
            call.hr = self.LogEvent(static_cast<core::LoggingEventEnum>(args[0].AsI4()),
                                    static_cast<core::LoggingLevelEnum>(args[1].AsI4()), args[2]);
        }),
        Member<L>("LogFolder", K::Get, {}, [](L& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.LogFolder()); }),
        Member<L>("LogFolder", K::Put, {VT_BSTR}, [](L& self, A args, const Caller& caller, CallResult& call) {
            // The folder decides where the server writes files: only its own user or root may move it.
            if (!caller.mayUseFiles) throw ComError(E_ACCESSDENIED, "only root or the server's user may move the log folder");
            if (!PlainAbsolutePath(Text(args[0]))) throw ComError(E_INVALIDARG, "the log folder must be an absolute path without \".\" or \"..\"");
            call.hr = self.SetLogFolder(Text(args[0]));
        }),
        Member<L>("LogFileType", K::Get, {}, [](L& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.LogFileType()); }),
        Member<L>("LogFileType", K::Put, {VT_I4}, [](L& self, A args, const Caller&, CallResult& call) {
            call.hr = self.SetLogFileType(static_cast<core::LogFileTypeEnum>(args[0].AsI4()));
        }),
        Member<L>("LogMessageLevel", K::Get, {}, [](L& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.LogMessageLevel()); }),
        Member<L>("LogMessageLevel", K::Put, {VT_I4}, [](L& self, A args, const Caller&, CallResult& call) {
            call.hr = self.SetLogMessageLevel(static_cast<core::LoggingLevelEnum>(args[0].AsI4()));
        }),
        Member<L>("POP3PickupSessions", K::Get, {}, counter(&L::POP3PickupSessions)),
        Member<L>("SMTPTransportSessions", K::Get, {}, counter(&L::SMTPTransportSessions)),
        Member<L>("POP3ServerSessions", K::Get, {}, counter(&L::POP3ServerSessions)),
        Member<L>("SMTPServerSessions", K::Get, {}, counter(&L::SMTPServerSessions)),
        Member<L>("IMAPServerSessions", K::Get, {}, counter(&L::IMAPServerSessions)),
        Member<L>("NumberServers", K::Get, {}, counter(&L::NumberServers)),
        Member<L>("ServerActive", K::Method, {VT_I4}, [](L& self, A args, const Caller&, CallResult& call) {
            core::ServerActivity info;
            call.hr = self.ServerActive(args[0].AsI4(), info);
            call.out = {Variant::I4(info.type), Variant::I4(static_cast<std::int32_t>(info.address)),
                        Variant::I2(static_cast<std::int16_t>(info.port)), Variant::I4(info.status)};
        }),
    });
}

}  // namespace

void RegisterModelMembers() {
    RegisterSettingsMembers();
    RegisterLoggingMembers();
    RegisterStoreMembers();
    RegisterScheduleMembers();
    RegisterListMembers();
    RegisterMimeMembers();
}

}  // namespace pw::admin
