// DnsResolver: queries over UDP (TCP after truncation), the hosts file, MX resolution and its cache.
#include "dns/DnsResolver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

#include "core/ConfigTree.h"
#include "dns/AnswerCache.h"
#include "platform/IpAddress.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace pw::dns {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStopCheckMilliseconds = static_cast<int>(kStopCheckInterval.count());

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}


std::uint16_t RandomId() { return static_cast<std::uint16_t>(::arc4random_uniform(65536)); }

std::uint16_t ReadU16(std::span<const std::uint8_t> data) { return static_cast<std::uint16_t>(data[0] << 8 | data[1]); }

// The address an A or AAAA record holds; nothing for another type or a record of the wrong length.
std::optional<IpAddress> RecordAddress(const DnsAnswer& answer, const DnsRecord& record) {
    const auto data = answer.Data(record);  // the bytes are already in network order
    if (record.type == kTypeA && record.dataLength == 4) {
        std::uint32_t address = 0;
        std::memcpy(&address, data.data(), 4);
        return IpAddress::FromNetworkOrder(address);
    }
    if (record.type == kTypeAAAA && record.dataLength == 16) {
        IpAddress::Bytes bytes{};
        std::memcpy(bytes.data(), data.data(), bytes.size());
        return IpAddress::FromIPv6Bytes(bytes);
    }
    return std::nullopt;
}

struct CachedMx {
    std::vector<MxEntry> entries;
    Clock::time_point resolved;
    std::uint32_t ttl = 0;
    bool Fresh(Clock::time_point now) const { return now < resolved + std::chrono::seconds(ttl); }
};

struct MxCache {
    std::mutex lock;
    std::unordered_map<std::string, CachedMx> entries;

    std::optional<std::vector<MxEntry>> Find(const std::string& key) {
        std::lock_guard guard(lock);
        const auto found = entries.find(key);
        if (found == entries.end()) return std::nullopt;
        if (found->second.Fresh(Clock::now())) return found->second.entries;
        entries.erase(found);
        return std::nullopt;
    }

    void Insert(const std::string& key, std::vector<MxEntry> list, std::uint32_t ttl) {
        std::lock_guard guard(lock);
        const auto now = Clock::now();
        if (entries.size() >= kMxCacheCapacity) {
            std::erase_if(entries, [&](const auto& entry) { return !entry.second.Fresh(now); });
        }
        if (entries.size() >= kMxCacheCapacity) {
            const auto oldest = std::min_element(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
                return a.second.resolved < b.second.resolved;
            });
            entries.erase(oldest);
        }
        entries[key] = CachedMx{std::move(list), now, ttl};
    }
};

MxCache& TheMxCache() {
    static MxCache cache;
    return cache;
}

}  // namespace

DnsResolver::DnsResolver(std::uint16_t port, std::string hostsPath) : port_(port), hostsPath_(std::move(hostsPath)) {}

bool DnsResolver::AddServer(std::string_view text) {
    if (const auto address = IpAddress::Parse(TrimAscii(text))) {
        servers_.push_back(*address);
        return true;
    }
    const std::string name(TrimAscii(text));
    // An IPv6 address with a zone ("fe80::1%eth0") is no name, and the zone could not be kept.
    if (name.empty() || name.find(':') != std::string::npos) return false;
    for (const int family : {AF_INET, AF_INET6}) {
        addrinfo hints{};
        hints.ai_family = family;
        addrinfo* found = nullptr;
        if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) continue;
        const auto address = IpAddress::FromSocketAddress(found->ai_addr, found->ai_addrlen);
        ::freeaddrinfo(found);
        if (!address) continue;
        servers_.push_back(*address);
        return true;
    }
    return false;
}

void DnsResolver::AddConfiguredServers(const core::ConfigTree& config) {
    for (int n = 0;; ++n) {
        Variant value;
        if (!config.Get(Format("sys:dns:%d:server", {std::int64_t{n}}), value)) break;
        if (value.IsText()) {
            AddServer(value.AsText());
        } else if (value.IsNumeric()) {
            AddServerAddress(static_cast<std::uint32_t>(value.AsInt64()));
        }
    }
    if (!servers_.empty()) return;
    for (const auto& server : SystemDnsServers()) AddServer(server);
}

std::vector<std::string> DnsResolver::SystemDnsServers(const std::string& resolvConf) {
    std::vector<std::string> servers;
    std::ifstream file(resolvConf);
    std::string line;
    while (std::getline(file, line)) {
        std::string_view text = TrimAscii(line);
        if (!StartsWithNoCase(text, "nameserver")) continue;
        text = TrimAscii(text.substr(10));
        const std::string_view address = text.substr(0, text.find_first_of(" \t#;"));
        const auto parsed = IpAddress::Parse(address);
        if (!parsed) continue;  // a zone ("%eth0") can not be given to a socket address here
        const bool seen = std::any_of(servers.begin(), servers.end(), [&](const std::string& s) { return IpAddress::Parse(s) == parsed; });
        if (!seen) servers.emplace_back(address);
    }
    return servers;
}

bool DnsResolver::Matches(const DnsAnswer& answer, std::uint16_t id, const std::string& name, std::uint16_t type) const {
    if (!answer.response || answer.id != id || answer.questions.size() != 1) return false;
    const DnsQuestion& question = answer.questions.front();
    std::string_view asked = name;
    if (!asked.empty() && asked.back() == '.') asked.remove_suffix(1);
    return question.type == type && question.cls == kClassIN && EqualsNoCase(question.name, asked);
}

std::optional<DnsAnswer> DnsResolver::QueryTcp(const IpAddress& server, const std::vector<std::uint8_t>& query) {
    const UniqueFd socket(::socket(server.SocketFamily(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) return std::nullopt;
    sockaddr_storage address{};
    const socklen_t addressSize = server.ToSocketAddress(port_, address);
    const auto deadline = Clock::now() + kTcpWait;
    const auto wait = [&](short events) {
        while (!Stopped()) {
            pollfd entry{socket.Get(), events, 0};
            const int left = MillisecondsLeft(deadline);
            if (left == 0) return false;
            const int ready = ::poll(&entry, 1, std::min(left, kStopCheckMilliseconds));
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) return false;
        }
        return false;
    };
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), addressSize) != 0) {
        if (errno != EINPROGRESS || !wait(POLLOUT)) return std::nullopt;
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return std::nullopt;
    }
    std::vector<std::uint8_t> framed{static_cast<std::uint8_t>(query.size() >> 8), static_cast<std::uint8_t>(query.size())};
    framed.insert(framed.end(), query.begin(), query.end());
    for (std::size_t sent = 0; sent < framed.size();) {
        if (!wait(POLLOUT)) return std::nullopt;
        const ssize_t n = ::send(socket.Get(), framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return std::nullopt;
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    std::vector<std::uint8_t> received;
    std::size_t wanted = 2;
    while (received.size() < wanted) {
        if (!wait(POLLIN)) return std::nullopt;
        std::uint8_t chunk[kTcpReadChunk];
        const ssize_t n = ::recv(socket.Get(), chunk, std::min(sizeof chunk, wanted - received.size()), 0);
        if (n == 0) return std::nullopt;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return std::nullopt;
        }
        received.insert(received.end(), chunk, chunk + n);
        if (wanted == 2 && received.size() == 2) wanted = 2 + (static_cast<std::size_t>(received[0]) << 8 | received[1]);
    }
    return ParseAnswer(std::vector<std::uint8_t>(received.begin() + 2, received.end()));
}

DnsStatus DnsResolver::QueryServer(const IpAddress& server, const std::vector<std::uint8_t>& query, std::uint16_t id,
                                   const std::string& name, std::uint16_t type) {
    const UniqueFd socket(::socket(server.SocketFamily(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) return DnsStatus::Failed;
    // Connected: the system drops datagrams from anybody but the server asked.
    sockaddr_storage address{};
    const socklen_t addressSize = server.ToSocketAddress(port_, address);
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), addressSize) != 0) return DnsStatus::Failed;
    auto wait = kFirstAttemptWait;
    for (int attempt = 0; attempt < kQueryAttempts && !Stopped(); ++attempt, wait = std::min(wait * 2, kAttemptWait)) {
        if (::send(socket.Get(), query.data(), query.size(), 0) < 0 && errno != EAGAIN) return DnsStatus::Failed;
        const auto deadline = Clock::now() + wait;
        while (!Stopped()) {
            const int left = MillisecondsLeft(deadline);
            if (left == 0) break;
            pollfd entry{socket.Get(), POLLIN, 0};
            if (::poll(&entry, 1, std::min(left, kStopCheckMilliseconds)) <= 0) continue;
            std::vector<std::uint8_t> buffer(kMaxUdpAnswer);
            const ssize_t n = ::recv(socket.Get(), buffer.data(), buffer.size(), 0);
            if (n < 0) {
                // Nobody listens there (an ICMP port unreachable came back): the next server.
                if (errno == ECONNREFUSED) return DnsStatus::Failed;
                continue;
            }
            buffer.resize(static_cast<std::size_t>(n));
            auto answer = ParseAnswer(std::move(buffer));
            if (!answer || !Matches(*answer, id, name, type)) continue;  // forged or stray: keep waiting
            if (answer->truncated) {
                answer = QueryTcp(server, query);
                if (!answer || !Matches(*answer, id, name, type)) return DnsStatus::Failed;
            }
            if (answer->rcode != kRcodeNoError && answer->rcode != kRcodeNameError) return DnsStatus::Failed;
            const DnsStatus status = answer->rcode == kRcodeNameError ? DnsStatus::NoSuchDomain : DnsStatus::Answered;
            answer_ = std::move(answer);
            return status;
        }
    }
    return DnsStatus::Failed;
}

bool DnsResolver::Query(std::string_view name, std::uint16_t type) {
    answer_.reset();
    status_ = DnsStatus::Failed;
    const std::string asked = QueryName(name);
    std::string key = Format("%u %u", {std::uint64_t{type}, std::uint64_t{port_}});
    for (const IpAddress& server : servers_) key += " " + server.Text();
    key += " " + ToLowerAscii(asked);
    if (auto cached = FindCachedAnswer(key)) {
        answer_ = std::move(cached->answer);
        status_ = cached->noSuchDomain ? DnsStatus::NoSuchDomain : DnsStatus::Answered;
        return true;
    }
    const std::uint16_t id = RandomId();
    const auto query = BuildQuery(id, asked, type);
    if (!query) return false;
    for (const IpAddress& server : servers_) {
        if (Stopped()) break;
        const DnsStatus status = QueryServer(server, *query, id, asked, type);
        if (status != DnsStatus::Failed) {
            status_ = status;
            if (answer_) CacheAnswer(key, *answer_, status == DnsStatus::NoSuchDomain);
            return true;
        }
    }
    return false;
}

bool DnsResolver::AnswerRecord(DnsSection section, std::size_t index, DnsRecord& record) const {
    if (!answer_) return false;
    const auto& records = answer_->Section(section);
    if (index >= records.size()) return false;
    record = records[index];
    return true;
}

std::optional<HostEntry> DnsResolver::LookupHostsFile(std::string_view name) const {
    std::ifstream file(hostsPath_);
    std::string line;
    // The first line of each family that names it: "127.0.0.1 localhost" and "::1 localhost" both count.
    std::optional<IpAddress> found[2];
    while (std::getline(file, line)) {
        if (line.size() > kMaxHostsLine || line.find('#') != std::string::npos) continue;
        const std::string_view text = TrimAscii(line);
        const std::size_t blank = text.find_first_of(" \t");
        if (text.empty() || blank == std::string_view::npos) continue;
        const auto address = IpAddress::Parse(text.substr(0, blank));
        if (!address || found[address->IsIPv6()]) continue;
        // Every name on the line counts: canonical name and aliases alike.
        std::string_view names = TrimAscii(text.substr(blank));
        while (!names.empty()) {
            const std::size_t end = std::min(names.find_first_of(" \t"), names.size());
            if (EqualsNoCase(names.substr(0, end), name)) {
                found[address->IsIPv6()] = address;
                break;
            }
            names = TrimAscii(names.substr(end));
        }
    }
    if (!found[0] && !found[1]) return std::nullopt;
    HostEntry entry{std::string(name), {}, {}};
    for (const auto& address : found) {
        if (address) entry.addresses.push_back(*address);
    }
    return entry;
}

std::uint32_t DnsResolver::TakeAddresses(std::uint16_t type, std::vector<IpAddress>& addresses) const {
    std::uint32_t ttl = UINT32_MAX;
    if (!answer_) return ttl;
    for (const auto& record : answer_->answers) {
        if (record.type != type) continue;
        if (const auto address = RecordAddress(*answer_, record)) {
            addresses.push_back(*address);
            ttl = std::min(ttl, record.ttl);
        }
    }
    return ttl;
}

std::optional<HostEntry> DnsResolver::LookupHost(std::string_view name) {
    if (auto entry = LookupHostsFile(name)) return entry;
    if (!Query(name, kTypeA) || status_ != DnsStatus::Answered) return std::nullopt;
    HostEntry entry;
    for (const auto& record : answer_->answers) {
        if (record.type == kTypeCNAME) entry.aliases.push_back(record.name);
        if (record.type == kTypeA && RecordAddress(*answer_, record) && entry.name.empty()) entry.name = record.name;
    }
    TakeAddresses(kTypeA, entry.addresses);
    // The IPv6 addresses follow, for a host that has no IPv4 address or can not be reached over it.
    if (Query(name, kTypeAAAA) && status_ == DnsStatus::Answered) {
        for (const auto& record : answer_->answers) {
            if (record.type == kTypeAAAA && RecordAddress(*answer_, record) && entry.name.empty()) entry.name = record.name;
        }
        TakeAddresses(kTypeAAAA, entry.addresses);
    }
    if (entry.addresses.empty()) return std::nullopt;
    status_ = DnsStatus::Answered;
    return entry;
}

bool DnsResolver::QueryFollowingAliases(std::string& domain, std::uint16_t type) {
    for (int hop = 0; hop < kMaxCnameHops; ++hop) {
        if (!Query(domain, type) || status_ != DnsStatus::Answered) return false;
        const DnsAnswer& answer = *answer_;
        if (answer.answers.empty() || answer.answers.front().type != kTypeCNAME) return true;
        const auto target = answer.NameAt(answer.answers.front().dataOffset);
        if (!target) return false;
        domain = *target;
    }
    return false;
}

void DnsResolver::ResolveExchanges(std::string domain, std::vector<MxEntry>& entries, std::uint32_t& ttl) {
    if (!QueryFollowingAliases(domain, kTypeMX)) return;
    {
        // Scoped: the next query replaces the answer this refers to.
        const DnsAnswer& answer = *answer_;
        for (const auto& record : answer.answers) {
            if (record.type != kTypeMX || record.dataLength < 3) continue;
            const auto exchange = answer.NameAt(record.dataOffset + 2);
            if (!exchange) continue;
            entries.push_back({*exchange, ReadU16(answer.Data(record)), record.ttl, {}});
            ttl = std::min(ttl, record.ttl);
        }
        // Addresses given along (A and AAAA alike) are taken as the exchange's whole set, IPv4 first.
        for (const std::uint16_t type : {kTypeA, kTypeAAAA}) {
            for (const auto& record : answer.additional) {
                const auto address = record.type == type ? RecordAddress(answer, record) : std::nullopt;
                if (!address) continue;
                for (auto& entry : entries) {
                    if (EqualsNoCase(entry.exchange, record.name)) entry.addresses.push_back(*address);
                }
            }
        }
    }
    if (!entries.empty()) return;
    // No exchange: the domain's own addresses, preference 0, under the name its aliases lead to.
    if (!QueryFollowingAliases(domain, kTypeA)) return;
    std::vector<IpAddress> addresses;
    std::uint32_t least = TakeAddresses(kTypeA, addresses);
    if (std::string name = domain; QueryFollowingAliases(name, kTypeAAAA)) least = std::min(least, TakeAddresses(kTypeAAAA, addresses));
    for (const IpAddress& address : addresses) entries.push_back({domain, 0, least, {address}});
    if (!addresses.empty()) ttl = std::min(ttl, least);
}

std::vector<MxEntry> DnsResolver::ResolveMx(std::string_view domain) {
    std::string key = ToLowerAscii(TrimAscii(domain));
    if (!key.empty() && key.back() == '.') key.pop_back();
    if (auto cached = TheMxCache().Find(key)) {
        status_ = DnsStatus::Answered;
        return *cached;
    }
    std::vector<MxEntry> entries;
    std::uint32_t ttl = UINT32_MAX;
    ResolveExchanges(key, entries, ttl);
    if (entries.empty()) return entries;
    for (auto& entry : entries) {
        // IPv4 first: an exchange's IPv6 addresses are tried after its IPv4 ones.
        for (const std::uint16_t type : {kTypeA, kTypeAAAA}) {
            if (!entry.addresses.empty() && type == kTypeA) break;  // given along with the exchanges
            if (Stopped() || !Query(entry.exchange, type) || status_ != DnsStatus::Answered) continue;
            ttl = std::min(ttl, TakeAddresses(type, entry.addresses));
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const MxEntry& a, const MxEntry& b) { return a.preference < b.preference; });
    // A list with an exchanger whose address lookup failed is not kept: the next lookup tries again.
    const bool complete = std::all_of(entries.begin(), entries.end(), [](const MxEntry& e) { return !e.addresses.empty(); });
    if (complete) TheMxCache().Insert(key, entries, ttl);
    status_ = DnsStatus::Answered;
    return entries;
}

void DnsResolver::ClearCaches() {
    {
        std::lock_guard guard(TheMxCache().lock);
        TheMxCache().entries.clear();
    }
    ClearAnswerCache();
}

}  // namespace pw::dns
