// DnsResolver: the server's own DNS client -- address lookups (hosts file first), MX resolution with a
// process-wide cache, and the queries of the block-list checks; every answer kept for its time to
// live (AnswerCache).
//
// Queries go over UDP to the configured servers in order ("sys:dns:%d:server", else the nameservers of
// /etc/resolv.conf). Each server gets up to 5 attempts, waiting 0.4, 0.8, 1.6, 2 and 2 s. An answer
// counts only when its random identifier, its sender (the socket is connected to the server asked)
// and its question match the query; anything else is ignored and the wait goes on. A truncated answer
// is asked again over TCP.
// NOERROR and NXDOMAIN end the search (an answer without records too); any other response code, or
// silence, lets the next server be asked. LastStatus tells "no such domain" from "DNS failed", so a
// temporary failure is never taken for a bad address. The owner's stop flag is looked at between
// waits of at most 100 ms.
// Thread safety: one resolver per owner thread; the MX cache is shared and locked.
#pragma once

#include "dns/DnsLimits.h"
#include "dns/DnsMessage.h"
#include "platform/IpAddress.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::core {
class ConfigTree;
}

namespace pw::dns {

enum class DnsStatus { Answered, NoSuchDomain, Failed };

struct HostEntry {
    std::string name;
    std::vector<std::string> aliases;
    std::vector<IpAddress> addresses;  // the IPv4 ones first, then the IPv6 ones
};

struct MxEntry {
    std::string exchange;
    std::uint16_t preference = 0;
    std::uint32_t ttl = 0;
    std::vector<IpAddress> addresses;  // the IPv4 ones first, then the IPv6 ones
};

class DnsResolver {
public:
    // The port and files are fixed in the server; tests give their own.
    explicit DnsResolver(std::uint16_t port = kDnsPort, std::string hostsPath = "/etc/hosts");

    // An address of either family, or a name resolved by the system; false when it does not resolve.
    bool AddServer(std::string_view text);
    void AddServerAddress(std::uint32_t networkOrder) { servers_.push_back(IpAddress::FromNetworkOrder(networkOrder)); }
    void AddServerAddress(const IpAddress& address) { servers_.push_back(address); }
    // "sys:dns:%d:server" values, else the system's servers.
    void AddConfiguredServers(const core::ConfigTree& config);
    const std::vector<IpAddress>& Servers() const { return servers_; }
    // The owner's stop flag, looked at between waits.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
    // No wait goes past this point (a caller's budget for several queries); a query cut short fails.
    void SetDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }

    // Asks the servers in order until one answers; true for an answer (NXDOMAIN included: see
    // LastStatus). An address is asked in its IN-ADDR.ARPA or IP6.ARPA form.
    bool Query(std::string_view name, std::uint16_t type);
    DnsStatus LastStatus() const { return status_; }
    const std::optional<DnsAnswer>& LastAnswer() const { return answer_; }
    // A record of the last answer; false past the section's end.
    bool AnswerRecord(DnsSection section, std::size_t index, DnsRecord& record) const;

    // The addresses of a name: those of the hosts file when it names it, else the A records and then
    // the AAAA records (asked when the A query was answered, with records or without).
    std::optional<HostEntry> LookupHost(std::string_view name);
    // The exchanges of a domain, lowest preference first, each with its IPv4 addresses before its
    // IPv6 ones; empty when nothing resolves (LastStatus tells why).
    std::vector<MxEntry> ResolveMx(std::string_view domain);

    // The nameserver addresses of /etc/resolv.conf (or the given file), of either family, without
    // repeats; a link-local one with a zone ("fe80::1%eth0") is left out.
    static std::vector<std::string> SystemDnsServers(const std::string& resolvConf = "/etc/resolv.conf");
    // Empties the process's MX and answer caches (tests, and an administrator's flush).
    static void ClearCaches();

private:
    DnsStatus QueryServer(const IpAddress& server, const std::vector<std::uint8_t>& query, std::uint16_t id,
                          const std::string& name, std::uint16_t type);
    std::optional<DnsAnswer> QueryTcp(const IpAddress& server, const std::vector<std::uint8_t>& query);
    bool Matches(const DnsAnswer& answer, std::uint16_t id, const std::string& name, std::uint16_t type) const;
    bool Stopped() const { return (stop_ && stop_->load()) || std::chrono::steady_clock::now() >= deadline_; }
    std::optional<HostEntry> LookupHostsFile(std::string_view name) const;
    // Asks for `type` records of `domain`, following a CNAME at the head of each answer for at most
    // kMaxCnameHops queries; true with the last answer in hand when one came back that is not an
    // alias, `domain` then being the name it belongs to.
    bool QueryFollowingAliases(std::string& domain, std::uint16_t type);
    void ResolveExchanges(std::string domain, std::vector<MxEntry>& entries, std::uint32_t& ttl);
    // Appends the addresses of `type` (A or AAAA) in the last answer's answer section; returns the
    // least TTL among them, UINT32_MAX for none.
    std::uint32_t TakeAddresses(std::uint16_t type, std::vector<IpAddress>& addresses) const;

    std::uint16_t port_;
    std::string hostsPath_;
    std::vector<IpAddress> servers_;
    const std::atomic<bool>* stop_ = nullptr;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    std::optional<DnsAnswer> answer_;
    DnsStatus status_ = DnsStatus::Failed;
};

}  // namespace pw::dns
