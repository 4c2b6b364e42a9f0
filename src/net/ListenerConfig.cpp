// ListenerConfig: the per-instance settings of the SMTP, POP3 and IMAP4 listeners, as stored in the
// configuration ("sys:smtp:%d:..." and the same for "pop3" and "imap4").
//
// Addresses may be IPv4 or IPv6 text or a 32-bit IPv4 number in network byte order ("::" listens on
// both families; the ranges of the access and relay lists may also be "address/prefix" text); ports
// decimal text or a 16-bit number in network byte order. The instance time-out is read from "timout"
// -- the key every stored configuration has -- while the defaults of a missing instance 0 write
// "timeout"; an instance without "timout" keeps 360 seconds. "maxsessions" (default 500, fewer when the descriptor limit can
// not hold that many) and "maxperip" (default 20; 0 for no limit per address) bound the sessions.
#include <arpa/inet.h>

#include "core/Configuration.h"
#include "core/Logging.h"
#include "net/Listener.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace pw::net {

namespace {

struct Protocol {
    const char* name;  // the key component: "smtp", "pop3", "imap4"
    core::ServerTypeEnum type;
    std::uint16_t port;
};

constexpr Protocol kProtocols[] = {
    {"smtp", core::SMTPServerType, 25}, {"pop3", core::POP3ServerType, 110}, {"imap4", core::IMAPServerType, 143}};

std::string Key(const std::string& prefix, std::string_view rest) { return prefix + std::string(rest); }

bool Switch(const core::ConfigTree& config, const std::string& key) { return config.GetCopy(key).IsTrue(); }

bool Exists(const core::ConfigTree& config, const std::string& key) {
    Variant ignored;
    return config.Get(key, ignored);
}

void WriteDefaults(core::ConfigTree& config, const Protocol& protocol) {
    const std::string prefix = Format("sys:%s:0:", {std::string_view(protocol.name)});
    config.Set(prefix + "enabled", Variant::Switch(true));
    config.Set(prefix + "ip", Variant::I4(0));
    config.Set(prefix + "port", core::PortValue(protocol.port));
    config.Set(prefix + "timeout", Variant::I4(kDefaultInstanceTimeout));
    if (protocol.type == core::SMTPServerType) config.Set(prefix + "pop3auth", Variant::Switch(true));
    if (protocol.type != core::IMAPServerType) config.Set(prefix + "ssl", Variant::Switch(false));
}

// Reads "PREFIX%d:ipstart/ipend/comment" entries until the first missing index.
void ReadRanges(const core::ConfigTree& config, const std::string& prefix, IpRangeList& list) {
    for (int i = 0;; ++i) {
        const std::string entry = prefix + std::to_string(i) + ":";
        if (!Exists(config, entry.substr(0, entry.size() - 1))) break;
        if (!list.AddSetting(config.GetCopy(entry + "ipstart"), config.GetCopy(entry + "ipend"), config.GetCopy(entry + "comment").AsText())) {
            core::Log(core::LogLevelWarning, Format("%sipstart and ipend are not one range (an address/prefix with a bad prefix, or "
                                                    "addresses of two families); the entry is left out",
                                                    {std::string_view(entry)}));
        }
    }
}

void ReadSmtpSettings(const core::ConfigTree& config, const std::string& prefix, SMTPListener& smtp) {
    smtp.welcome = config.GetCopy(Key(prefix, "welcome")).AsText();
    smtp.maxSizeKb = config.GetCopy(Key(prefix, "maxsize")).AsI4();
    smtp.maxRecipients = config.GetCopy(Key(prefix, "maxrecipients")).AsI4();
    smtp.openRelay = Switch(config, Key(prefix, "openrelay"));
    smtp.pop3Auth = Switch(config, Key(prefix, "pop3auth"));
    smtp.smtpAuth = Switch(config, Key(prefix, "smtpauth"));
    smtp.authRequired = Switch(config, Key(prefix, "smtpauthrequired"));
    smtp.verifySenderDomain = Switch(config, Key(prefix, "vrfysenderdomain"));
    for (int i = 0;; ++i) {
        const std::string entry = Key(prefix, "authaccount:" + std::to_string(i));
        if (!Exists(config, entry)) break;
        smtp.authAccounts.emplace_back(config.GetCopy(entry + ":account").AsText(), config.GetCopy(entry + ":password").AsText());
    }
    ReadRanges(config, Key(prefix, "iprelay:"), smtp.relayList);
    for (int i = 0;; ++i) {
        const std::string entry = Key(prefix, "rbl:" + std::to_string(i));
        if (!Exists(config, entry)) break;
        BlockListEntry list;
        const Variant server = config.GetCopy(entry + ":server");
        list.zone = server.IsText() ? server.AsText() : IPv4Text(AddressFromValue(server));
        list.name = config.GetCopy(entry + ":name").AsText();
        list.url = config.GetCopy(entry + ":url").AsText();
        for (int c = 0;; ++c) {
            const std::string code = entry + ":retcode:" + std::to_string(c);
            if (!Exists(config, code)) break;
            list.returnCodes[AddressFromValue(config.GetCopy(code + ":code"))] = config.GetCopy(code + ":desc").AsText();
        }
        smtp.blockLists.push_back(std::move(list));
    }
}

std::shared_ptr<ServerListener> ReadInstance(const core::ConfigTree& config, const Protocol& protocol, int index,
                                             const std::string& primaryDomain) {
    const std::string prefix = Format("sys:%s:%d:", {std::string_view(protocol.name), std::int64_t{index}});
    std::shared_ptr<ServerListener> listener;
    if (protocol.type == core::SMTPServerType) {
        auto smtp = std::make_shared<SMTPListener>();
        ReadSmtpSettings(config, prefix, *smtp);
        listener = smtp;
    } else {
        listener = std::make_shared<ServerListener>(protocol.type, protocol.port);
    }
    listener->instance = index;
    Variant value;
    if (config.Get(Key(prefix, "ip"), value)) {
        listener->address_ = IpAddressFromValue(value);
        if (value.IsText() && !IpAddress::Parse(TrimAscii(value.AsText()))) {
            core::Log(core::LogLevelWarning, Format("%sip \"%s\" is no address (IPv6 without brackets: \"::1\"); the instance "
                                                    "listens on every IPv4 address",
                                                    {std::string_view(prefix), std::string_view(value.AsText())}));
        }
    }
    if (config.Get(Key(prefix, "port"), value)) listener->port_ = PortFromSetting(value);
    if (config.Get(Key(prefix, "timout"), value) && value.AsI4() > 0) listener->timeout = value.AsI4();
    if (config.Get(Key(prefix, "maxsessions"), value) && value.AsI4() > 0) {
        listener->maxSessions = static_cast<std::size_t>(value.AsI4());
        listener->maxSessionsConfigured = true;
    }
    if (config.Get(Key(prefix, "maxperip"), value) && value.AsI4() >= 0) listener->maxPerAddress = static_cast<std::size_t>(value.AsI4());
    listener->tls = Switch(config, Key(prefix, "ssl"));
    listener->domain = config.GetCopy(Key(prefix, "domain")).AsText();
    if (listener->domain.empty()) listener->domain = primaryDomain;
    ReadRanges(config, Key(prefix, "ipaccess:"), listener->access);
    return listener;
}

// An instance without a "maxsessions" of its own runs no more sessions than the descriptors allow; one
// with more than that keeps its setting, and past the limit its clients hear "too busy".
void FitSessionsToDescriptors(const std::vector<std::shared_ptr<ServerListener>>& listeners, std::uint64_t descriptorLimit) {
    const std::size_t allowed = SessionsTheLimitAllows(descriptorLimit, listeners.size());
    for (const auto& listener : listeners) {
        if (!listener->maxSessionsConfigured) {
            listener->maxSessions = std::min(listener->maxSessions, allowed);
        } else if (listener->maxSessions > allowed) {
            core::Log(core::LogLevelWarning,
                      Format("%s: maxsessions %u is more than the descriptor limit %u leaves room for (%u); connections past "
                             "that are answered as too busy",
                             {std::string_view(listener->DisplayName()), std::uint64_t{listener->maxSessions}, descriptorLimit,
                              std::uint64_t{allowed}}));
        }
    }
}

}  // namespace

std::uint16_t PortFromSetting(const Variant& value) {
    if (value.IsText()) return static_cast<std::uint16_t>(std::strtoul(value.AsText().c_str(), nullptr, 10));
    return core::PortFromValue(value);
}

std::vector<std::shared_ptr<ServerListener>> ReadListenerConfiguration(core::ConfigTree& config,
                                                                         const std::string& primaryDomain) {
    const auto guard = config.Lock();
    std::vector<std::shared_ptr<ServerListener>> listeners;
    for (const Protocol& protocol : kProtocols) {
        if (!Exists(config, Format("sys:%s:0", {std::string_view(protocol.name)}))) WriteDefaults(config, protocol);
        for (int index = 0;; ++index) {
            if (!Exists(config, Format("sys:%s:%d", {std::string_view(protocol.name), std::int64_t{index}}))) break;
            const std::string enabled = Format("sys:%s:%d:enabled", {std::string_view(protocol.name), std::int64_t{index}});
            if (!Switch(config, enabled)) continue;
            listeners.push_back(ReadInstance(config, protocol, index, primaryDomain));
        }
    }
    FitSessionsToDescriptors(listeners, DescriptorSoftLimit());
    return listeners;
}

}  // namespace pw::net
