// SmtpPickupJob: the ETRN or ATRN exchange and the wait for the connect-back.
#include "smtp/SmtpPickup.h"

#include <thread>

#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "core/Logging.h"
#include "dns/DnsResolver.h"
#include "net/SocketError.h"
#include "platform/IpAddress.h"
#include "platform/Text.h"
#include "smtp/PickupReturnList.h"
#include "smtp/SmtpClient.h"

namespace pw::smtp {

namespace {

constexpr int kTextNoConnectBack = 5025;
constexpr std::chrono::seconds kNoopInterval{1};

void PickupLog(core::LoggingLevelEnum level, std::string_view text) { core::Log(level, "SMTP Pickup: " + std::string(text)); }

// The address to connect to: the server as an address of either family, else its first address by
// DNS (or the hosts file), IPv4 before IPv6; nothing when it has none.
std::optional<IpAddress> ServerAddress(const std::string& server) {
    if (const auto address = IpAddress::Parse(server)) return address;
    dns::DnsResolver resolver;
    resolver.AddConfiguredServers(core::ServerConfig());
    const auto host = resolver.LookupHost(server);
    if (!host || host->addresses.empty()) return std::nullopt;
    return host->addresses.front();
}

// The listing of one pickup, taken off at every end but a connect-back (which takes it itself).
class Listing {
public:
    Listing(const IpAddress& address, int pickup) : address_(address), pickup_(pickup) { PickupReturnList::Instance().Add(address, pickup); }
    ~Listing() { PickupReturnList::Instance().Remove(address_, pickup_); }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
    bool Waiting() const { return PickupReturnList::Instance().Contains(address_); }

private:
    IpAddress address_;
    int pickup_;
};

}  // namespace

void SmtpPickupJob::Run(const std::atomic<bool>& stop, int replyTimeLimit) const {
    core::ConfigTree& config = core::ServerConfig();
    const auto found = ServerAddress(server);
    if (!found) {
        PickupLog(core::LogLevelWarning, "the address of " + server + " can not be found");
        return;
    }
    SmtpClient client(config.GetCopy("sys:smtptrans:helloname").AsText().empty() ? "localhost"
                                                                                 : config.GetCopy("sys:smtptrans:helloname").AsText());
    client.SetLocalAddress(config.GetCopy("sys:smtppickup:ip").AsText());
    client.SetReplyTimeLimit(replyTimeLimit);
    client.SetPeerName(server);
    // Only ATRN authenticates: the node's mail is released to whoever proves to be its owner.
    if (type == SMTPPickupATRN && !account.empty()) client.SetAccount(account, password);
    const IpAddress address = *found;
    const std::string peer = Format("%s (%s)", {std::string_view(server), std::string_view(address.Text())});
    try {
        if (const int failed = client.Open(address, port); failed != 0) {
            PickupLog(core::LogLevelWarning, Format("%s refused the session: %s", {std::string_view(peer), std::string_view(client.ReplyText())}));
            client.Quit();
            return;
        }
        const bool atrn = type == SMTPPickupATRN && client.Offers("ATRN");
        const std::string command = (atrn ? "ATRN " : "ETRN ") + node;
        const Listing listing(address, number);
        if (const int reply = client.Ask(command + "\r\n"); !IsPositive(reply)) {
            PickupLog(core::LogLevelWarning, Format("%s refused \"%s\": %s", {std::string_view(peer), std::string_view(command),
                                                                         std::string_view(TrimAscii(client.ReplyText()))}));
            client.Quit();
            return;
        }
        PickupLog(core::LogLevelNormal, Format("%s was asked with \"%s\" and is expected back", {std::string_view(peer), std::string_view(command)}));
        // The session is kept alive while the peer delivers: some servers release the queue only while
        // the asking session lasts.
        for (int left = timeoutSeconds; listing.Waiting() && !stop; --left) {
            if (left <= 0) {
                PickupLog(core::LogLevelWarning, core::FormatText(kTextNoConnectBack, {std::string_view(server)},
                                                            "%s did not connect back in time after the request to release its queue"));
                break;
            }
            client.Ask("NOOP\r\n");
            std::this_thread::sleep_for(kNoopInterval);
        }
        if (!listing.Waiting()) PickupLog(core::LogLevelNormal, peer + " connected back");
        client.Quit();
    } catch (const net::CnwSocketErr& error) {
        PickupLog(core::LogLevelWarning, Format("%s: %s", {std::string_view(peer), std::string_view(error.what())}));
    }
}

std::vector<SmtpPickupJob> ReadSmtpPickups(const core::ConfigTree& config) {
    const auto lock = config.Lock();
    std::vector<SmtpPickupJob> jobs;
    Variant value;
    for (int n = 0; config.Get(Format("sys:smtppickup:%d", {std::int64_t{n}}), value); ++n) {
        const auto key = [n](std::string_view name) { return Format("sys:smtppickup:%d:%s", {std::int64_t{n}, name}); };
        SmtpPickupJob job;
        job.number = n;
        const std::int32_t type = config.GetCopy(key("type")).AsI4();
        if (type != SMTPPickupETRN && type != SMTPPickupATRN) continue;
        job.type = static_cast<SMTPPickupEnum>(type);
        job.server = config.GetCopy(key("server")).AsText();
        if (const Variant port = config.GetCopy(key("port")); !port.IsEmpty()) job.port = core::PortFromValue(port);
        if (job.port == 0) job.port = 25;
        job.node = config.GetCopy(key("send")).AsText();
        job.account = config.GetCopy(key("account")).AsText();
        job.password = config.GetCopy(key("password")).AsText();
        if (const Variant timeout = config.GetCopy(key("timeout")); timeout.IsNumeric() && timeout.AsI4() > 0) {
            job.timeoutSeconds = timeout.AsI4();
        }
        if (job.server.empty() || job.node.empty()) {
            PickupLog(core::LogLevelWarning, Format("pickup %d names no server or no node; it is skipped", {std::int64_t{n}}));
            continue;
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

std::vector<AddressMapping> ReadPickupAddressMap(const core::ConfigTree& config, int pickup) {
    const auto lock = config.Lock();
    std::vector<AddressMapping> map;
    Variant value;
    for (int n = 0;; ++n) {
        const std::string key = Format("sys:smtppickup:%d:addressmap:%d", {std::int64_t{pickup}, std::int64_t{n}});
        if (!config.Get(key, value)) break;
        AddressMapping mapping;
        mapping.from = std::string(TrimAscii(config.GetCopy(key + ":fromemail").AsText()));
        for (const std::string& to : SplitAtAny(config.GetCopy(key + ":toemails").AsText(), ",; \t")) {
            if (!to.empty()) mapping.to.push_back(to);
        }
        if (!mapping.from.empty() && !mapping.to.empty()) map.push_back(std::move(mapping));
    }
    return map;
}

std::vector<std::string> MapRecipient(const std::vector<AddressMapping>& map, const std::string& recipient) {
    for (const AddressMapping& mapping : map) {
        if (EqualsNoCase(mapping.from, recipient)) return mapping.to;
    }
    return {recipient};
}

}  // namespace pw::smtp
