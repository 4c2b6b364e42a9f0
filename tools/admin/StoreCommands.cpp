// StoreCommands: pellworth-admin's domain and mailbox commands, on the store objects the server uses.
//
// The first command that needs the store makes it, with its well-known folders, exactly as the
// server's first start would. Names are checked by the store itself: a hostile name ("..", "a/b", a
// control character) is refused there and nothing is created.
// While a server holds the store it is the store's one writer: the commands that change domains and
// mailboxes ask it through its endpoint (the store's own classes of the object model), so no change
// races one of its own; what only reads, reads the files.
#include <cstdio>
#include <optional>

#include "AdminSupport.h"
#include "EndpointClient.h"
#include "TypedValue.h"
#include "core/RegistryKeys.h"
#include "lists/ListTypes.h"
#include "mailauth/DkimKey.h"
#include "mailauth/MailAuthLimits.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "store/MessageStore.h"

namespace pw::admin {

namespace {

struct KindName {
    std::string_view name;
    store::MailBoxTypeEnum kind;
};

constexpr KindName kKinds[] = {
    {"postmaster", store::PostmasterMailBoxType}, {"user", store::UserMailBoxType},
    {"forward", store::ForwardMailBoxType},       {"group", store::GroupMailBoxType},
    {"list", store::MailingListMailBoxType},      {"autoresponder", store::AutoResponderMailBoxType},
    {"robot", store::RobotMailBoxType},           {"relay", store::RelayMailBoxType},
    {"alias", store::AliasMailBoxType},
};

std::optional<store::MailBoxTypeEnum> KindFromName(std::string_view name) {
    for (const auto& entry : kKinds) {
        if (EqualsNoCase(entry.name, name)) return entry.kind;
    }
    return std::nullopt;
}

std::string KindText(std::int32_t kind) {
    for (const auto& entry : kKinds) {
        if (entry.kind == kind) return std::string(entry.name);
    }
    return std::to_string(kind);
}

// The error already names its HRESULT.
std::string ErrorText(const ComError& error) { return error.what(); }

std::shared_ptr<store::MessageStore> OpenStore() {
    try {
        return store::MessageStore::OpenOrCreate(StoreRoot(true).Path());
    } catch (const ComError& error) {
        throw Failure{"can not open the message store: " + ErrorText(error)};
    }
}

std::shared_ptr<store::Domain> RequireDomain(const store::MessageStore& messageStore, std::string_view name) {
    auto domain = messageStore.FindDomain(name);
    if (!domain) throw Failure{"no such domain: " + std::string(name)};
    return domain;
}

std::shared_ptr<store::MailBox> RequireMailBox(const store::MessageStore& messageStore, std::string_view address) {
    auto mailbox = messageStore.FindMailBox(address);
    if (!mailbox) throw Failure{"no such mailbox: " + std::string(address)};
    return mailbox;
}

Variant ParseValue(std::string_view typed) {
    Variant value;
    if (const HRESULT hr = ParseTypedValue(typed, value); Failed(hr)) {
        throw Failure{"not a valid value: " + std::string(typed) + " (" + HresultText(hr) + ")"};
    }
    return value;
}

// The password is only ever set through its own command, which enciphers it.
void SetProperty(store::StoreObject& object, std::string_view key, std::string_view typed) {
    if (EqualsNoCase(key, store::kPasswordKey)) throw Failure{"set a password with \"mailbox password\""};
    if (!object.GetProperties().SetItem(key, ParseValue(typed))) throw Failure{"not a valid key: " + std::string(key)};
    object.Update();
}

void PrintProperty(const store::StoreObject& object, std::string_view key) {
    Variant value;
    if (!object.GetProperties().Get(key, value) || value.IsEmpty()) throw Failure{"no such key: " + std::string(key)};
    std::printf("%s\n", FormatTypedValue(key, value).c_str());
}

// The running server's store, for a change (the store root made when missing, as offline).
std::optional<EndpointClient> Writer() { return EndpointClient::IfServerRuns(StoreRoot(true)); }

const Json kStore("Pellworth.MessageStore");

Json ServerDomain(EndpointClient& server, std::string_view name) {
    auto domain = server.ObjectOf("call", kStore, "FindDomain", {Variant::Text(std::string(name))});
    if (!domain) throw Failure{"no such domain: " + std::string(name)};
    return *domain;
}

Json ServerMailBox(EndpointClient& server, std::string_view address) {
    auto mailbox = server.ObjectOf("call", kStore, "FindMailBox", {Variant::Text(std::string(address))});
    if (!mailbox) throw Failure{"no such mailbox: " + std::string(address)};
    return *mailbox;
}

void ServerSetProperty(EndpointClient& server, const Json& object, std::string_view key, std::string_view typed) {
    if (EqualsNoCase(key, store::kPasswordKey)) throw Failure{"set a password with \"mailbox password\""};
    const Variant value = ParseValue(typed);
    const Json properties = *server.ObjectOf("get", object, "Properties", {});
    server.Checked("put", properties, "Item", {Variant::Text(std::string(key)), value});
    server.Checked("call", properties, "Update", {});
}

void ServerSetPassword(EndpointClient& server, const Json& mailbox, std::string_view password) {
    server.Checked("put", mailbox, "Password", {Variant::Text(std::string(password))});
    server.Checked("call", mailbox, "Update", {});
}

int DomainAdd(std::string_view name) {
    if (auto server = Writer()) {
        const Json domains = *server->ObjectOf("get", kStore, "Domains", {});
        const Json domain = *server->ObjectOf("call", domains, "Add", {Variant::Text(std::string(name))});
        std::printf("%s\n", server->Checked("get", domain, "Name", {}).result.AsText().c_str());
        return 0;
    }
    const auto messageStore = OpenStore();
    const auto domain = messageStore->GetDomains()->Add(name);
    std::printf("%s\n", domain->Name().c_str());
    return 0;
}

int MailBoxAdd(Arguments args) {
    const std::string_view address = args[0];
    store::MailBoxTypeEnum kind = store::UserMailBoxType;
    std::optional<std::string_view> password;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) throw Failure{"missing value after " + std::string(args[i])};
        if (args[i] == "--kind") {
            const auto named = KindFromName(args[i + 1]);
            if (!named) throw Failure{"unknown mailbox kind: " + std::string(args[i + 1])};
            kind = *named;
        } else if (args[i] == "--password") {
            password = args[i + 1];
        } else {
            throw Failure{"unknown option: " + std::string(args[i])};
        }
    }
    std::string local;
    std::string domainName;
    if (!store::SplitAddress(address, local, domainName)) throw Failure{"not an address: " + std::string(address)};
    if (auto server = Writer()) {
        const Json mailboxes = *server->ObjectOf("get", ServerDomain(*server, domainName), "MailBoxes", {});
        const Json mailbox = *server->ObjectOf("call", mailboxes, "Add", {Variant::Text(local), Variant::I4(kind)});
        if (password) ServerSetPassword(*server, mailbox, *password);
        std::printf("%s\n", server->Checked("get", mailbox, "Address", {}).result.AsText().c_str());
        return 0;
    }
    const auto messageStore = OpenStore();
    const auto mailbox = RequireDomain(*messageStore, domainName)->GetMailBoxes()->Add(local, kind);
    if (password) {
        mailbox->SetPassword(*password);
        mailbox->Update();
    }
    std::printf("%s\n", mailbox->Address().c_str());
    return 0;
}

int MailBoxShow(std::string_view address) {
    const auto mailbox = RequireMailBox(*OpenStore(), address);
    std::printf("address=%s\nkind=%s\n", mailbox->Address().c_str(), KindText(mailbox->MailBoxType()).c_str());
    if (const auto inbox = mailbox->InFolder()) std::printf("messages=%zu\n", inbox->GetEnvelopes()->Count());
    for (const auto& record : mailbox->GetProperties().Tree().Records()) {
        if (record.value.IsEmpty()) continue;
        // A list's token secret is as much a password as the password: whoever reads it can make tokens.
        const bool secret = EqualsNoCase(record.key, store::kPasswordKey) || EqualsNoCase(record.key, lists::kSecretKey);
        std::printf("%s=%s\n", record.key.c_str(), secret ? "(set)" : FormatTypedValue(record.key, record.value).c_str());
    }
    return 0;
}

// domain dkim NAME [--selector S] [--bits N] [--ed25519]: a new key (RSA, or Ed25519 for a second signature), and the zone-file line that publishes it. A
// TXT string holds at most 255 bytes, so the record is written as several strings, which DNS joins.
int DomainDkim(Arguments args) {
    std::optional<std::string> selector;
    int bits = mailauth::kDefaultKeyBits;
    auto kind = mailauth::KeyKind::Rsa;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--ed25519") {
            kind = mailauth::KeyKind::Ed25519;
            continue;
        }
        if (i + 1 >= args.size()) throw Failure{"missing value after " + std::string(args[i])};
        const std::string_view value = args[++i];
        if (args[i - 1] == "--selector") {
            selector = value;
        } else if (args[i - 1] == "--bits") {
            const std::string text(value);
            if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
                throw Failure{"not a number of bits: " + text};
            }
            bits = std::stoi(text);
        } else {
            throw Failure{"unknown option: " + std::string(args[i - 1])};
        }
    }
    const auto domain = RequireDomain(*OpenStore(), args[0]);
    mailauth::MadeKey made;
    try {
        const bool rsa = kind == mailauth::KeyKind::Rsa;
        made = mailauth::MakeDkimKey(*domain, selector.value_or(std::string(rsa ? mailauth::kDefaultSelector : mailauth::kDefaultEd25519Selector)),
                                     bits, kind);
    } catch (const ComError& error) {
        throw Failure{"no key made: " + ErrorText(error)};
    }
    std::string line = made.name + ". IN TXT";
    for (std::size_t at = 0; at < made.record.size(); at += 250) line += " \"" + made.record.substr(at, 250) + "\"";
    std::printf("%s\n", line.c_str());
    return 0;
}

int DomainDispatch(Arguments args) {
    if (args.size() >= 2 && args[0] == "dkim") return DomainDkim(args.subspan(1));
    if (args.size() == 2 && args[0] == "add") return DomainAdd(args[1]);
    if (args.size() == 2 && args[0] == "remove") {
        if (auto server = Writer()) {
            const Json domain = ServerDomain(*server, args[1]);
            const Variant name = server->Checked("get", domain, "Name", {}).result;
            server->Checked("call", *server->ObjectOf("get", kStore, "Domains", {}), "Remove", {name});
            return 0;
        }
        const auto messageStore = OpenStore();
        RequireDomain(*messageStore, args[1]);
        messageStore->GetDomains()->Remove(args[1]);
        return 0;
    }
    if (args.size() == 1 && args[0] == "list") {
        for (const auto& name : OpenStore()->GetDomains()->Names()) std::printf("%s\n", name.c_str());
        return 0;
    }
    if (args.size() == 3 && args[0] == "get") {
        PrintProperty(*RequireDomain(*OpenStore(), args[1]), args[2]);
        return 0;
    }
    if (args.size() == 4 && args[0] == "set") {
        if (auto server = Writer()) {
            ServerSetProperty(*server, ServerDomain(*server, args[1]), args[2], args[3]);
            return 0;
        }
        SetProperty(*RequireDomain(*OpenStore(), args[1]), args[2], args[3]);
        return 0;
    }
    return -1;
}

int MailBoxDispatch(Arguments args) {
    if (args.size() >= 2 && args[0] == "add") return MailBoxAdd(args.subspan(1));
    if (args.size() == 2 && args[0] == "remove") {
        if (auto server = Writer()) {
            const Json mailbox = ServerMailBox(*server, args[1]);
            const Variant name = server->Checked("get", mailbox, "Name", {}).result;
            const Json domain = ServerDomain(*server, server->Checked("get", mailbox, "Domain", {}).result.AsText());
            server->Checked("call", *server->ObjectOf("get", domain, "MailBoxes", {}), "Remove", {name});
            return 0;
        }
        const auto messageStore = OpenStore();
        const auto mailbox = RequireMailBox(*messageStore, args[1]);
        mailbox->GetDomain()->GetMailBoxes()->Remove(mailbox->Name());
        return 0;
    }
    if (args.size() == 2 && args[0] == "show") return MailBoxShow(args[1]);
    if (args.size() == 2 && args[0] == "list") {
        const auto messageStore = OpenStore();
        for (const auto& name : RequireDomain(*messageStore, args[1])->GetMailBoxes()->Names()) {
            std::printf("%s@%s\n", name.c_str(), ToLowerAscii(args[1]).c_str());
        }
        return 0;
    }
    if (args.size() == 3 && args[0] == "get") {
        PrintProperty(*RequireMailBox(*OpenStore(), args[1]), args[2]);
        return 0;
    }
    if (args.size() == 4 && args[0] == "set") {
        if (auto server = Writer()) {
            ServerSetProperty(*server, ServerMailBox(*server, args[1]), args[2], args[3]);
            return 0;
        }
        SetProperty(*RequireMailBox(*OpenStore(), args[1]), args[2], args[3]);
        return 0;
    }
    if (args.size() == 3 && args[0] == "password") {
        if (auto server = Writer()) {
            ServerSetPassword(*server, ServerMailBox(*server, args[1]), args[2]);
            return 0;
        }
        const auto mailbox = RequireMailBox(*OpenStore(), args[1]);
        mailbox->SetPassword(args[2]);
        mailbox->Update();
        return 0;
    }
    return -1;
}

// Store errors become the tool's one line.
template <typename Dispatch>
int Guarded(Dispatch dispatch, Arguments args) {
    try {
        return dispatch(args);
    } catch (const ComError& error) {
        throw Failure{ErrorText(error)};
    }
}

}  // namespace

DirStorage StoreRoot(bool createWhenMissing) {
    const Registry registry = Registry::System();
    const auto path = core::ReadMessageStorePath(registry);
    if (!path) throw Failure{"no MessageStore value in the registry file " + registry.Path()};
    DirStorage root(*path);
    if (root.Exists()) return root;
    if (!createWhenMissing) throw Failure{"there is no message store at " + root.Path()};
    if (const HRESULT hr = root.CreateSelf(); Failed(hr)) {
        throw Failure{"can not create the message store " + root.Path() + ": " + HresultText(hr)};
    }
    return root;
}

int DomainCommand(Arguments args) { return Guarded(DomainDispatch, args); }
int MailBoxCommand(Arguments args) { return Guarded(MailBoxDispatch, args); }

}  // namespace pw::admin
