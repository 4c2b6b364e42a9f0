// pellworth-admin: manages the server's store and settings from the command line.
//
// It finds the store through the registry file (by the rule of Registry::Locate, as the server does),
// does one thing, and on any error prints one line on stderr, naming the registry file it used, and
// exits with status 1 (2 for a command it does not understand, after the usage of its group).
// "--help" (also after a group) prints the usage on stdout; "--version" the version.
// Settings live in memory in a running server: while one holds the store, "config get|set|remove"
// and "backup now" go through its administration socket (EndpointClient.h), which changes the running
// settings and saves them; without a server they work on the files (ConfigAccess.cpp). So do the
// changes of the schedule, the domains and mailboxes, the lists' members, the sender lists and the
// filters: a running server is the store's one writer. "server" and "call" need a server. What only
// reads, reads the files.
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "AdminSupport.h"
#include "EndpointClient.h"
#include "TypedValue.h"
#include "antispam/SpamAssassinConfig.h"
#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "core/RegistryKeys.h"
#include "core/ScheduleEvents.h"
#include "core/Version.h"
#include "platform/Registry.h"
#include "platform/Text.h"

#include <pugixml.hpp>

namespace pw::admin {

namespace {

// The commands of each group, as "--help" and a usage error list them.
struct CommandGroup {
    std::string_view name;
    std::string_view lines;
};

constexpr CommandGroup kGroups[] = {
    {"domain",
     "  domain add NAME                  create a domain (the store is made on first use)\n"
     "  domain remove NAME               remove a domain and its mailboxes\n"
     "  domain list                      one domain per line\n"
     "  domain get NAME KEY              print a property as TYPE:TEXT\n"
     "  domain set NAME KEY VALUE        set a property\n"
     "  domain dkim NAME [--selector S] [--bits 2048] [--ed25519]\n"
     "                                   make the domain's DKIM key (0600, beside the domain)\n"
     "                                   and print the DNS TXT record to publish; --ed25519 adds\n"
     "                                   an Ed25519 key for a second signature\n"},
    {"mailbox",
     "  mailbox add ADDRESS [--kind KIND] [--password PW]\n"
     "                                   create a mailbox in an existing domain\n"
     "  mailbox remove ADDRESS           remove a mailbox and its mail\n"
     "  mailbox show ADDRESS             kind, message count and properties\n"
     "  mailbox list DOMAIN              one address per line\n"
     "  mailbox get ADDRESS KEY          print a property as TYPE:TEXT\n"
     "  mailbox set ADDRESS KEY VALUE    set a property (not the password)\n"
     "  mailbox password ADDRESS PW      set the password\n"
     "KIND is postmaster, user (the default), forward, group, list, autoresponder, robot, relay or alias.\n"},
    {"member",
     "  member add LIST ADDRESS          add a member to a mailing list's database\n"
     "  member remove LIST ADDRESS       remove a member\n"
     "  member list LIST                 one address per line, in the database's order\n"},
    {"senders",
     "  senders LIST add TEXT            add an address (\"Name\" <a@b.test>) or a pattern (*@b.test)\n"
     "  senders LIST remove TEXT         remove the entry with exactly that key\n"
     "  senders LIST list                one \"NAME\" <KEY> line per entry\n"
     "  senders LIST check ADDRESS       \"yes\" when the address matches an entry, else \"no\"\n"
     "  senders norespond defaults       add the daemon and role addresses that get no auto-reply\n"
     "LIST is friendly, enemy or norespond. Patterns match case-sensitively: write them in lower case.\n"},
    {"charset",
     "  charset add NAME                 mail declaring this character set is spam\n"
     "  charset remove NAME              remove it (and its aliases)\n"
     "  charset list                     one name per line\n"
     "  charset clear                    remove every name\n"},
    {"phrases",
     "  phrases add PHRASE SCORE [--whole-word]\n"
     "                                   add a phrase; prints its index\n"
     "  phrases remove INDEX             remove the phrase at INDEX (as listed)\n"
     "  phrases clear                    remove every phrase\n"
     "  phrases list                     the settings, then INDEX, SCORE, match and phrase per line\n"
     "  phrases set ignore-html|ignore-obfuscation true|false\n"
     "  phrases set obfuscation-chars TEXT\n"
     "  phrases score FILE               the score of a message file, then \"phrase=score, ...\"\n"},
    {"config",
     "  config get KEY                   print a setting as TYPE:TEXT\n"
     "  config set KEY VALUE             change a setting (in the running server when one runs)\n"
     "  config remove KEY                remove a setting (likewise)\n"
     "  config list [PREFIX]             every setting, KEY=TYPE:TEXT\n"
     "The SpamAssassin settings sys:spam:sa:required_score, bayes, autolearn, autolearn_spam,\n"
     "autolearn_nospam, bayes_min_spam, bayes_min_nospam and config (the whole file) are kept in its\n"
     "local.cf and may be read and changed while the server runs.\n"},
    {"spam",
     "  spam learn                       train SpamAssassin (sa-learn) on the store's \"Bayesian Learn/Spam\"\n"
     "                                   and \"Bayesian Learn/Good\" folders; learned messages leave them\n"},
    {"schedule",
     "  schedule add [--outgoing] [--pop3] [--smtp] (--at HH:MM | --from HH:MM --to HH:MM --every MIN)\n"
     "               [--days sun,mon,...] [--disabled]\n"
     "                                   add an event to the connection schedule (every day by default;\n"
     "                                   a range with --from after --to runs over midnight)\n"
     "  schedule list                    one event per line, its number first\n"
     "  schedule remove N                remove event N; the later ones move down\n"
     "While a server runs, adding and removing go through it.\n"},
    {"backup",
     "  backup list                      the generations in \"sys:backup:path\", with their times\n"
     "  backup verify N|DIR              check every file of a copy against its manifest\n"
     "  backup now                       take a backup now (by the running server when one runs)\n"
     "  backup restore N|DIR [--to DIR]  verify, then restore in place of the store (refused while the\n"
     "                                   server runs; the replaced store is moved aside, never deleted),\n"
     "                                   or into a new directory DIR\n"},
    {"server",
     "  server status                    whether a server runs on the store, its version and listeners\n"
     "                                   (exit status 3 when none runs)\n"
     "  server start|stop                start or stop the running server's workers\n"
     "  server shutdown                  end the running server (settings saved)\n"},
    {"call",
     "  call OBJECT get|put|call MEMBER [TYPE:VALUE...]\n"
     "                                   call a member of the running server's object OBJECT (a ProgID,\n"
     "                                   such as Pellworth.Settings); prints the result and the outputs\n"},
    {"connect-now",
     "  connect-now                      ask the running server for a send/receive cycle now\n"},
};

constexpr std::string_view kValueTypes =
    "VALUE is typed as TYPE:TEXT -- i2:N, i4:N, ui2:N, r8:X, bool:true|false, date:YYYY-MM-DD[THH:MM[:SS]],\n"
    "str:TEXT, port:N (a TCP port) -- or is a text.\n";

constexpr std::string_view kRegistryRule =
    "The registry file names the store: PELLWORTH_REGISTRY, else /etc/pellworth/pellworth.reg, else the\n"
    "run/pellworth.reg of the checkout this program was built in (made by scripts/run).\n";

bool AsksForHelp(std::string_view argument) { return argument == "--help" || argument == "-h" || argument == "help"; }

// The usage of one group (or of all when `group` is empty) on `out`.
void PrintUsage(std::FILE* out, std::string_view group) {
    std::fputs("usage: pellworth-admin [--version | --help] GROUP COMMAND [ARGUMENTS]\n", out);
    for (const auto& entry : kGroups) {
        if (group.empty() || group == entry.name) std::fwrite(entry.lines.data(), 1, entry.lines.size(), out);
    }
    if (group.empty() || group == "config" || group == "mailbox" || group == "call") std::fwrite(kValueTypes.data(), 1, kValueTypes.size(), out);
    if (group.empty()) std::fwrite(kRegistryRule.data(), 1, kRegistryRule.size(), out);
}

bool IsGroup(std::string_view name) {
    for (const auto& entry : kGroups) {
        if (entry.name == name) return true;
    }
    return false;
}

// A failure names the registry file the tool used, and why that one, when the text does not already.
std::string WithRegistry(const std::string& text) {
    const RegistryLocation location = Registry::Locate();
    if (text.find(location.path) != std::string::npos) return text + " (" + location.reason + ")";
    return text + " (registry file " + location.path + ", " + location.reason + ")";
}

// The SpamAssassin settings kept in its local.cf, in the directory the registry names.
antispam::SpamAssassinConfig SpamAssassinSettings() {
    return antispam::SpamAssassinConfig(antispam::ReadSpamAssassinPaths(Registry::System()).directory);
}

int SpamAssassinGet(const std::string& key, const std::string& name) {
    Variant value;
    if (SpamAssassinSettings().Read(name, value) == E_INVALIDARG) throw Failure{"no such key: " + key};
    std::printf("%s\n", FormatTypedValue(key, value).c_str());
    return 0;
}

// Not in pellworth.cfg, so a running server loses nothing: no refusal here.
int SpamAssassinSet(const std::string& key, const std::string& name, const Variant& value) {
    const antispam::SpamAssassinConfig settings = SpamAssassinSettings();
    const HRESULT hr = settings.Write(name, value);
    if (hr == E_INVALIDARG) {
        throw Failure{"not a valid value for " + key + " (a line break, or not of the setting's form); " +
                      settings.FilePath() + " is unchanged"};
    }
    if (Failed(hr)) throw Failure{"can not change " + settings.FilePath() + ": " + HresultText(hr)};
    return 0;
}

int ConfigGet(const std::string& key) {
    if (auto server = EndpointClient::IfServerRuns(StoreRoot(false))) {
        const EndpointReply reply = server->Checked("call", "Pellworth.Settings", "Get", {Variant::Text(key)});
        if (reply.hr == S_FALSE) throw Failure{"no such key: " + key};
        std::printf("%s\n", FormatTypedValue(key, reply.result).c_str());
        return 0;
    }
    if (std::string name; antispam::SpamAssassinConfig::IsMappedKey(key, &name)) return SpamAssassinGet(key, name);
    core::ConfigTree tree;
    ReadOnly(tree, StoreRoot(false));
    Variant value;
    if (!tree.Get(key, value)) throw Failure{"no such key: " + key};
    std::printf("%s\n", FormatTypedValue(key, value).c_str());
    return 0;
}

int ConfigSet(const std::string& key, std::string_view typed) {
    Variant value;
    if (const HRESULT hr = ParseTypedValue(typed, value); Failed(hr)) {
        throw Failure{"not a valid value: " + std::string(typed) + " (" + HresultText(hr) + ")"};
    }
    if (core::SplitKey(key).empty()) throw Failure{"not a valid key: " + key};
    const DirStorage root = StoreRoot(true);
    if (auto server = EndpointClient::IfServerRuns(root)) {
        server->Checked("call", "Pellworth.Settings", "Set", {Variant::Text(key), value});
        return 0;
    }
    if (std::string name; antispam::SpamAssassinConfig::IsMappedKey(key, &name)) return SpamAssassinSet(key, name, value);
    core::ConfigTree tree;
    core::LoadConfiguration(tree, root);
    tree.Set(key, value);
    Save(tree, root);
    return 0;
}

int ConfigRemove(const std::string& key) {
    if (antispam::SpamAssassinConfig::IsMappedKey(key)) {
        throw Failure{key + " is kept in " + SpamAssassinSettings().FilePath() + " and can not be removed; set it instead"};
    }
    const DirStorage root = StoreRoot(false);
    if (auto server = EndpointClient::IfServerRuns(root)) {
        if (server->Checked("call", "Pellworth.Settings", "Remove", {Variant::Text(key)}).hr == S_FALSE) throw Failure{"no such key: " + key};
        return 0;
    }
    core::ConfigTree tree;
    LoadInto(tree, root);
    if (!tree.Remove(key)) throw Failure{"no such key: " + key};
    Save(tree, root);
    return 0;
}

int ConfigList(std::string_view prefix) {
    core::ConfigTree tree;
    if (auto server = EndpointClient::IfServerRuns(StoreRoot(false))) {
        // The running settings, as the server's XML carries them (VARTYPEs kept).
        const std::string xml = server->Checked("call", "Pellworth.Settings", "GetXML", {Variant::Text(""), Variant::I4(-1)}).result.AsText();
        pugi::xml_document document;
        if (!document.load_buffer(xml.data(), xml.size())) throw Failure{"the server's settings did not parse"};
        for (const pugi::xml_node item : document.child("settings").children("item")) {
            Variant value;
            const auto type = static_cast<VarType>(item.attribute("vt").as_uint());
            if (item.attribute("null").as_bool()) {
                value = Variant::NullText();
            } else if (type == VT_BOOL) {
                value = Variant::BoolBits(static_cast<std::int16_t>(item.text().as_int()));
            } else if (type == VT_DISPATCH || type == VT_UNKNOWN) {
                value = Variant::Object(nullptr, type);
            } else if (Failed(Variant::FromText(type, item.text().get(), value))) {
                continue;
            }
            tree.Set(item.attribute("key").value(), std::move(value));
        }
    } else {
        ReadOnly(tree, StoreRoot(false));
    }
    for (const auto& record : tree.Records()) {
        if (record.value.IsEmpty() || !StartsWithNoCase(record.key, prefix)) continue;
        std::printf("%s=%s\n", record.key.c_str(), FormatTypedValue(record.key, record.value).c_str());
    }
    return 0;
}

// -1 for arguments it does not understand.
int Config(Arguments args) {
    if (args.size() == 2 && args[0] == "get") return ConfigGet(std::string(args[1]));
    if (args.size() == 3 && args[0] == "set") return ConfigSet(std::string(args[1]), args[2]);
    if (args.size() == 2 && args[0] == "remove") return ConfigRemove(std::string(args[1]));
    if ((args.size() == 1 || args.size() == 2) && args[0] == "list") return ConfigList(args.size() == 2 ? args[1] : "");
    return -1;
}

// A value of a reply as the tool prints it: TYPE:TEXT, an object by its handle.
std::string ReplyValueText(const Json& json, const Variant& value) {
    if (json.is_object() && json.contains("handle")) {
        return "dispatch:" + json["handle"].dump() + " (" + json.value("class", std::string()) + ")";
    }
    return FormatTypedValue("", value);
}

EndpointClient RunningServer() {
    auto server = EndpointClient::IfServerRuns(StoreRoot(false));
    if (!server) throw Failure{"no server runs on this store"};
    return std::move(*server);
}

int ServerStatus() {
    auto server = EndpointClient::IfServerRuns(StoreRoot(false));
    if (!server) {
        std::printf("not running\n");
        return 3;
    }
    const std::string version = server->Checked("get", "Pellworth.ServerSession", "Version", {}).result.AsText();
    std::printf("running (process %ld), version %s\n", server->ServerProcess(), version.c_str());
    static constexpr const char* kTypes[] = {"unknown", "SMTP", "POP3", "IMAP4", "LDAP"};
    for (std::int32_t index = 0;; ++index) {
        const EndpointReply active = server->Checked("call", "Pellworth.Logging", "ServerActive", {Variant::I4(index)});
        if (active.hr == S_FALSE || active.out.size() < 4) break;
        const auto type = static_cast<std::size_t>(active.out[0].AsI4());
        const auto address = static_cast<std::uint32_t>(active.out[1].AsI4());
        const auto port = static_cast<std::uint16_t>(active.out[2].AsI2());
        const auto status = static_cast<HRESULT>(active.out[3].AsI4());
        std::printf("%s %u.%u.%u.%u:%u %s\n", type < std::size(kTypes) ? kTypes[type] : "unknown", address & 0xFF, (address >> 8) & 0xFF,
                    (address >> 16) & 0xFF, address >> 24, unsigned{port}, Succeeded(status) ? "listening" : HresultText(status).c_str());
    }
    return 0;
}

int Server(Arguments args) {
    if (args.size() != 1) return -1;
    if (args[0] == "status") return ServerStatus();
    const std::string_view member = args[0] == "start" ? "Start" : args[0] == "stop" ? "Stop" : args[0] == "shutdown" ? "Shutdown" : "";
    if (member.empty()) return -1;
    const EndpointReply reply = RunningServer().Checked("call", "Pellworth.ServerSession", member, {});
    if (reply.hr == S_FALSE) throw Failure{"the server could not " + std::string(args[0]) + " its workers; its log says why"};
    return 0;
}

int Call(Arguments args) {
    if (args.size() < 3 || (args[1] != "get" && args[1] != "put" && args[1] != "call")) return -1;
    std::vector<Variant> values;
    for (const std::string_view typed : args.subspan(3)) {
        Variant value;
        if (const HRESULT hr = ParseTypedValue(typed, value); Failed(hr)) {
            throw Failure{"not a valid value: " + std::string(typed) + " (" + HresultText(hr) + ")"};
        }
        values.push_back(std::move(value));
    }
    const EndpointReply reply = RunningServer().Checked(args[1], Json(std::string(args[0])), args[2], values);
    if (reply.hr != S_OK) std::printf("hr:%s\n", HresultText(reply.hr).c_str());
    if (!reply.resultJson.is_null()) std::printf("%s\n", ReplyValueText(reply.resultJson, reply.result).c_str());
    for (std::size_t i = 0; i < reply.out.size(); ++i) {
        std::printf("out %zu: %s\n", i, ReplyValueText(i < reply.outJson.size() ? reply.outJson[i] : Json(), reply.out[i]).c_str());
    }
    return 0;
}

}  // namespace

int Main(Arguments args) {
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("pellworth-admin %s\n", core::VersionText().c_str());
        return 0;
    }
    if (args.empty() || AsksForHelp(args[0])) {
        PrintUsage(args.empty() ? stderr : stdout, {});
        return args.empty() ? kExitUsage : 0;
    }
    const std::string_view group = args[0];
    if (args.size() >= 2 && IsGroup(group) && AsksForHelp(args[1])) {
        PrintUsage(stdout, group);
        return 0;
    }
    try {
        core::LanguageTexts::Instance().LoadLanguage(core::ReadLanguage(Registry::System()));
        // The configuration holds objects of these classes; unregistered, one would hide every record
        // after it.
        core::RegisterScheduleClasses(ClassRegistry::Instance());
        int status = -1;
        if (group == "config") status = Config(args.subspan(1));
        if (group == "domain") status = DomainCommand(args.subspan(1));
        if (group == "mailbox") status = MailBoxCommand(args.subspan(1));
        if (group == "schedule") status = ScheduleCommand(args.subspan(1));
        if (group == "connect-now") status = ConnectNowCommand(args.subspan(1));
        if (group == "senders") status = SendersCommand(args.subspan(1));
        if (group == "charset") status = CharsetCommand(args.subspan(1));
        if (group == "phrases") status = PhrasesCommand(args.subspan(1));
        if (group == "spam") status = SpamCommand(args.subspan(1));
        if (group == "backup") status = BackupCommand(args.subspan(1));
        if (group == "member") status = MemberCommand(args.subspan(1));
        if (group == "server") status = Server(args.subspan(1));
        if (group == "call") status = Call(args.subspan(1));
        if (status >= 0) return status;
        PrintUsage(stderr, IsGroup(group) ? group : std::string_view());
        return kExitUsage;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "pellworth-admin: %s\n", WithRegistry(failure.text).c_str());
        return kExitFailure;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pellworth-admin: %s\n", WithRegistry(error.what()).c_str());
        return kExitFailure;
    }
}

}  // namespace pw::admin

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    return pw::admin::Main(args);
}
