// DnsResolver against fake DNS servers on loopback: which answers are believed, when the next server
// is asked, TCP after truncation, the hosts file, MX ordering and caching, and the stop flag.
#include "dns/DnsResolver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "TestSupport.h"

namespace pw::dns {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

void Put16(Bytes& out, std::initializer_list<std::size_t> values) {
    for (const std::size_t v : values) out.insert(out.end(), {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Name(std::string_view name) {
    Bytes out;
    for (std::size_t dot; !name.empty(); name.remove_prefix(std::min(dot + 1, name.size()))) {
        dot = std::min(name.find('.'), name.size());
        out.push_back(static_cast<std::uint8_t>(dot));
        out.insert(out.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(dot));
    }
    out.push_back(0);
    return out;
}

std::uint32_t Ip(const char* dotted) { return ::inet_addr(dotted); }  // network order
Bytes A(const char* dotted) {
    const std::uint32_t address = Ip(dotted);
    const auto* b = reinterpret_cast<const std::uint8_t*>(&address);
    return Bytes(b, b + 4);
}
Bytes AAAA(const char* text) {
    const auto address = IpAddress::Parse(text);
    return Bytes(address->NetworkBytes().begin(), address->NetworkBytes().end());
}
Bytes Mx(std::uint16_t preference, std::string_view exchange) { return Bytes{static_cast<std::uint8_t>(preference >> 8), static_cast<std::uint8_t>(preference)} + Name(exchange); }

struct Record {
    std::string name;
    std::uint16_t type;
    Bytes data;
    std::uint32_t ttl = 300;
};

// A query as the fake server read it.
struct Asked {
    std::uint16_t id = 0;
    std::string name;
    std::uint16_t type = 0;
    bool tcp = false;
};

// A response with one question and uncompressed records (TTL 300), forged however a test needs it.
struct Reply {
    explicit Reply(const Asked& q, std::uint8_t code = kRcodeNoError) : id(q.id), question(q.name), type(q.type), rcode(code) {}
    std::uint16_t id;
    std::string question;
    std::uint16_t type;
    std::uint8_t rcode;
    bool truncated = false;
    std::vector<Record> answers, authority, additional;

    Bytes Wire() const {
        Bytes out;
        Put16(out, {id, 0x8180u | (truncated ? 0x0200u : 0u) | rcode, 1, answers.size(), authority.size(), additional.size()});
        out = out + Name(question);
        Put16(out, {type, kClassIN});
        for (const auto* section : {&answers, &authority, &additional}) {
            for (const Record& r : *section) {
                out = out + Name(r.name);
                Put16(out, {r.type, kClassIN, r.ttl >> 16, r.ttl & 0xffff, r.data.size()});
                out = out + r.data;
            }
        }
        return out;
    }
};

// What goes back for a query, in order (UDP datagrams or TCP messages); nothing leaves it unanswered.
using Script = std::function<std::vector<Bytes>(const Asked&)>;

// A DNS server on a loopback UDP port served by its own thread, with an optional TCP listener on the
// same port number; it records every query it reads.
class FakeDns {
public:
    explicit FakeDns(Script script, bool tcp = false, const char* address = "127.0.0.1", std::uint16_t port = 0)
        : script_(std::move(script)) {
        // The TCP port of that number may be taken while the UDP one was free: then another number.
        for (int attempt = 0; attempt < 20 && (udp_ < 0 || (tcp && tcp_ < 0)); ++attempt) {
            Close();
            sockaddr_in at{AF_INET, htons(port), {Ip(address)}, {}};
            socklen_t size = sizeof at;
            udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (::bind(udp_, reinterpret_cast<sockaddr*>(&at), size) != 0 || ::getsockname(udp_, reinterpret_cast<sockaddr*>(&at), &size) != 0) break;
            address_ = at.sin_addr.s_addr;
            port_ = ntohs(at.sin_port);
            if (tcp) tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (tcp && (::bind(tcp_, reinterpret_cast<sockaddr*>(&at), size) != 0 || ::listen(tcp_, 4) != 0)) {
                ::close(tcp_);
                tcp_ = -1;
            }
        }
        if (port_ == 0 || (tcp && tcp_ < 0)) throw std::runtime_error("fake DNS server can not bind");
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeDns() {
        stop_ = true;
        thread_.join();
        Close();
    }

    std::uint16_t Port() const { return port_; }
    std::uint32_t Address() const { return address_; }
    std::vector<Asked> Queries() const {
        std::lock_guard guard(lock_);
        return asked_;
    }
    bool WaitForQueries(std::size_t count) {
        std::unique_lock guard(lock_);
        return seen_.wait_for(guard, 10s, [&] { return asked_.size() >= count; });
    }

private:
    void Close() {
        if (udp_ >= 0) ::close(udp_);
        if (tcp_ >= 0) ::close(tcp_);
        udp_ = tcp_ = -1;
    }

    std::vector<Bytes> Handle(Bytes query, bool tcp) {
        const auto parsed = ParseAnswer(std::move(query));
        if (!parsed || parsed->questions.size() != 1) return {};
        const Asked asked{parsed->id, parsed->questions[0].name, parsed->questions[0].type, tcp};
        {
            std::lock_guard guard(lock_);
            asked_.push_back(asked);
        }
        seen_.notify_all();
        return script_(asked);
    }

    void ServeTcp() {
        const int fd = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::uint8_t length[2];
        Bytes query;
        if (::recv(fd, length, 2, MSG_WAITALL) == 2) query.resize(static_cast<std::size_t>(length[0] << 8 | length[1]));
        if (!query.empty() && ::recv(fd, query.data(), query.size(), MSG_WAITALL) == static_cast<ssize_t>(query.size())) {
            for (const Bytes& reply : Handle(std::move(query), true)) {
                const Bytes framed = Bytes{static_cast<std::uint8_t>(reply.size() >> 8), static_cast<std::uint8_t>(reply.size())} + reply;
                (void)!::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
            }
        }
        ::close(fd);
    }

    void Serve() {
        while (!stop_) {
            pollfd fds[2] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
            if (::poll(fds, tcp_ >= 0 ? 2 : 1, 20) <= 0) continue;  // the timeout only looks at stop_
            if (fds[0].revents & POLLIN) {
                Bytes buffer(4096);
                sockaddr_in from{};
                socklen_t size = sizeof from;
                const ssize_t n = ::recvfrom(udp_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
                buffer.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
                for (const Bytes& reply : Handle(std::move(buffer), false)) {
                    (void)!::sendto(udp_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
                }
            }
            if (fds[1].revents & POLLIN) ServeTcp();
        }
    }

    Script script_;
    int udp_ = -1, tcp_ = -1;
    std::uint32_t address_ = 0;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::condition_variable seen_;
    std::vector<Asked> asked_;
    std::thread thread_;
};

// A resolver asking the given servers in order; all listen on the first one's port number.
DnsResolver ResolverOf(std::initializer_list<const FakeDns*> servers, const std::string& hosts = "/nonexistent/hosts") {
    DnsResolver resolver((*servers.begin())->Port(), hosts);
    for (const FakeDns* server : servers) resolver.AddServerAddress(server->Address());
    return resolver;
}

std::string Addresses(const std::vector<IpAddress>& addresses) {
    std::string out;
    for (const IpAddress& a : addresses) out += std::string(out.empty() ? "" : " ") + a.Text();
    return out;
}
std::string Show(const std::optional<HostEntry>& host) { return host ? Addresses(host->addresses) : "none"; }
// One line per list, so a wrong order or a missing address shows whole.
std::string Show(const std::vector<MxEntry>& entries) {
    std::string out;
    for (const MxEntry& e : entries) out += std::to_string(e.preference) + " " + e.exchange + " " + Addresses(e.addresses) + "; ";
    return out;
}
std::string Show(const std::vector<Asked>& queries) {
    std::string out;
    for (const Asked& q : queries) {
        out += std::string(q.tcp ? "tcp " : "") + (q.type == kTypeA ? "A " : q.type == kTypeAAAA ? "AAAA " : q.type == kTypeMX ? "MX " : q.type == kTypePTR ? "PTR " : q.type == kTypeTXT ? "TXT " : "? ") +
               q.name + "; ";
    }
    return out;
}

TEST(DnsResolverTest, OnlyTheAnswerMatchingIdAndQuestionIsTaken) {
    FakeDns dns([](const Asked& q) -> std::vector<Bytes> {
        Reply wrongId(q), wrongQuestion(q), right(q);
        wrongId.id ^= 0x5A5A;
        wrongQuestion.question = "4.3.2.1.IN-ADDR.ARPA";
        wrongId.answers = {{q.name, kTypePTR, Name("forged-id.example")}};
        wrongQuestion.answers = {{wrongQuestion.question, kTypePTR, Name("forged-question.example")}};
        right.answers = {{q.name, kTypePTR, Name("host.example")}};
        return {wrongId.Wire(), wrongQuestion.Wire(), right.Wire()};
    });
    DnsResolver resolver = ResolverOf({&dns});
    ASSERT_TRUE(resolver.Query("10.1.2.3", kTypePTR));
    EXPECT_EQ(resolver.LastStatus(), DnsStatus::Answered);
    DnsRecord record;
    ASSERT_TRUE(resolver.AnswerRecord(DnsSection::Answer, 0, record));
    EXPECT_EQ(resolver.LastAnswer()->NameAt(record.dataOffset), "host.example");
    EXPECT_EQ(Show(dns.Queries()), "PTR 3.2.1.10.IN-ADDR.ARPA; ");
}

TEST(DnsResolverTest, EmptyAnswerEndsTheSearchWhileServfailAsksTheNextServer) {
    FakeDns first([](const Asked& q) -> std::vector<Bytes> {
        return {Reply(q, q.name == "broken.example" ? 2 : kRcodeNoError).Wire()};  // SERVFAIL, or no records
    });
    // Same port number on another loopback address: the resolver has one port for all its servers.
    FakeDns second(
        [](const Asked& q) -> std::vector<Bytes> {
            Reply reply(q);
            reply.answers = {{q.name, kTypeA, A("192.0.2.80")}};
            return {reply.Wire()};
        },
        false, "127.0.0.2", first.Port());
    DnsResolver resolver = ResolverOf({&first, &second});

    ASSERT_TRUE(resolver.Query("empty.example", kTypeA));
    EXPECT_EQ(resolver.LastStatus(), DnsStatus::Answered);
    EXPECT_TRUE(resolver.LastAnswer()->answers.empty());
    EXPECT_EQ(Show(second.Queries()), "");

    EXPECT_EQ(Show(resolver.LookupHost("broken.example")), "192.0.2.80");
    EXPECT_EQ(resolver.LastStatus(), DnsStatus::Answered);
    EXPECT_EQ(Show(first.Queries()), "A empty.example; A broken.example; AAAA broken.example; ");
    EXPECT_EQ(Show(second.Queries()), "A broken.example; AAAA broken.example; ");
}

TEST(DnsResolverTest, NoSuchDomainIsNotADeadServer) {
    FakeDns dns([](const Asked& q) -> std::vector<Bytes> { return {Reply(q, kRcodeNameError).Wire()}; });
    DnsResolver resolver = ResolverOf({&dns});
    EXPECT_TRUE(resolver.Query("missing.example", kTypeA));
    EXPECT_EQ(resolver.LastStatus(), DnsStatus::NoSuchDomain);
    EXPECT_EQ(Show(resolver.LookupHost("missing.example")), "none");
    EXPECT_EQ(resolver.LastStatus(), DnsStatus::NoSuchDomain);

    // A port that was bound and closed again: nobody listens there.
    std::uint16_t deadPort = 0;
    {
        FakeDns gone([](const Asked&) { return std::vector<Bytes>{}; });
        deadPort = gone.Port();
    }
    DnsResolver dead(deadPort, "/nonexistent/hosts");
    dead.AddServerAddress(Ip("127.0.0.1"));
    EXPECT_FALSE(dead.Query("missing.example", kTypeA));
    EXPECT_EQ(dead.LastStatus(), DnsStatus::Failed);
}

TEST(DnsResolverTest, TruncatedAnswerIsAskedAgainOverTcp) {
    FakeDns dns(
        [](const Asked& q) -> std::vector<Bytes> {
            Reply reply(q);
            reply.truncated = !q.tcp;
            if (q.type == kTypeA) reply.answers = {{q.name, kTypeA, A("192.0.2.1")}};
            if (q.type == kTypeA && q.tcp) reply.answers.push_back({q.name, kTypeA, A("192.0.2.2")});
            if (q.type == kTypeAAAA && q.tcp) reply.answers = {{q.name, kTypeAAAA, AAAA("2001:db8::1")}};
            return {reply.Wire()};
        },
        true);
    DnsResolver resolver = ResolverOf({&dns});
    EXPECT_EQ(Show(resolver.LookupHost("big.example")), "192.0.2.1 192.0.2.2 2001:db8::1");
    const auto queries = dns.Queries();
    EXPECT_EQ(Show(queries), "A big.example; tcp A big.example; AAAA big.example; tcp AAAA big.example; ");
    EXPECT_TRUE(queries.size() == 4 && queries[0].id == queries[1].id && queries[2].id == queries[3].id);
}

TEST(DnsResolverTest, HostsFileComesFirstAndDnsAfterIt) {
    FakeDns dns([](const Asked& q) -> std::vector<Bytes> {
        Reply reply(q);
        reply.answers = {{q.name, kTypeA, A("198.51.100.7")}};
        Bytes wire = reply.Wire();
        if (q.name == "loop.example") {
            const std::size_t at = wire.size() - 14 - Name(q.name).size();  // the record's name
            wire[at] = 0xC0;                                                 // now points at itself
            wire[at + 1] = static_cast<std::uint8_t>(at);
        }
        return {wire};
    });
    test::ScratchDirectory scratch;
    test::WriteFileText(scratch / "hosts",
                        "127.0.0.1 localhost\n"
                        "2001:db8::10 mx\n"
                        "2001:db8::11 mx\n"
                        "192.0.2.10  Mail.Example.ORG\tmx  relay \r\n"
                        "192.0.2.11 noted.example # replaced soon\n"
                        "# 192.0.2.12 hashed.example\n");
    DnsResolver resolver = ResolverOf({&dns}, scratch / "hosts");
    for (const char* name : {"mail.example.org", "MAIL.EXAMPLE.ORG", "Relay"}) {
        EXPECT_EQ(Show(resolver.LookupHost(name)), "192.0.2.10") << name;
    }
    // The first line of each family, IPv4 first wherever its line stands.
    EXPECT_EQ(Show(resolver.LookupHost("mx")), "192.0.2.10 2001:db8::10");
    EXPECT_EQ(Show(dns.Queries()), "");
    EXPECT_EQ(Show(resolver.LookupHost("noted.example")), "198.51.100.7");
    EXPECT_EQ(Show(resolver.LookupHost("hashed.example")), "198.51.100.7");
    // An answer whose record name loops is read, but yields no address.
    EXPECT_EQ(Show(resolver.LookupHost("loop.example")), "none");
    EXPECT_EQ(Show(dns.Queries()), "A noted.example; AAAA noted.example; A hashed.example; AAAA hashed.example; A loop.example; "
                                   "AAAA loop.example; ");
}

TEST(DnsResolverTest, MxSortedByPreferenceWithAddressesAndCachedForTheTtl) {
    DnsResolver::ClearCaches();
    std::atomic<int> flakyQueries{0};
    FakeDns dns([&](const Asked& q) -> std::vector<Bytes> {
        Reply reply(q, kRcodeNameError);
        if (q.name == "flaky.example" || q.name == "mx.flaky.example") {
            reply.rcode = q.type == kTypeA && flakyQueries++ == 0 ? 2 : kRcodeNoError;  // SERVFAIL once
            reply.answers = {q.type == kTypeMX ? Record{q.name, kTypeMX, Mx(10, "mx.flaky.example")} : Record{q.name, kTypeA, A("192.0.2.3")}};
        }
        if (q.type == kTypeMX && q.name == "example.net") {
            reply.rcode = kRcodeNoError;
            reply.answers = {{q.name, kTypeMX, Mx(20, "mx2.example.net")}, {q.name, kTypeMX, Mx(10, "mx1.example.net")}};
            reply.additional = {{"mx1.example.net", kTypeAAAA, AAAA("2001:db8::1")}, {"MX1.example.net", kTypeA, A("192.0.2.1")}};
        } else if (q.type == kTypeA && q.name == "mx2.example.net") {
            reply.rcode = kRcodeNoError;
            reply.answers = {{q.name, kTypeA, A("192.0.2.2")}};
        } else if (q.type == kTypeAAAA && q.name == "mx2.example.net") {
            reply.rcode = kRcodeNoError;
            reply.answers = {{q.name, kTypeAAAA, AAAA("2001:db8::2")}, {q.name, kTypeA, A("192.0.2.99")}};
        }
        return {reply.Wire()};
    });
    // IPv4 first within each exchange, whatever order the records came in.
    const std::string expected = "10 mx1.example.net 192.0.2.1 2001:db8::1; 20 mx2.example.net 192.0.2.2 2001:db8::2; ";
    DnsResolver resolver = ResolverOf({&dns});
    EXPECT_EQ(Show(resolver.ResolveMx("example.net")), expected);
    // Only the exchange without an additional record is asked for, A first.
    EXPECT_EQ(Show(dns.Queries()), "MX example.net; A mx2.example.net; AAAA mx2.example.net; ");

    // Within the TTL the process-wide cache answers, for any resolver and spelling.
    DnsResolver other = ResolverOf({&dns});
    EXPECT_EQ(Show(other.ResolveMx("Example.NET.")), expected);
    EXPECT_EQ(other.LastStatus(), DnsStatus::Answered);
    EXPECT_EQ(dns.Queries().size(), 3u);
    EXPECT_EQ(Show(resolver.ResolveMx("missing.example")), "");
    EXPECT_EQ(resolver.LastStatus(), DnsStatus::NoSuchDomain);

    // An exchange whose address could not be had for now is not remembered without it.
    EXPECT_EQ(Show(resolver.ResolveMx("flaky.example")), "10 mx.flaky.example ; ");
    EXPECT_EQ(Show(resolver.ResolveMx("flaky.example")), "10 mx.flaky.example 192.0.2.3; ");
}

TEST(DnsResolverTest, MxFallsBackToTheDomainAddressAndFollowsCname) {
    DnsResolver::ClearCaches();
    FakeDns dns([](const Asked& q) -> std::vector<Bytes> {
        Reply reply(q);  // unless scripted: NOERROR without records
        if (q.type == kTypeA && q.name == "plain.example") reply.answers = {{q.name, kTypeA, A("192.0.2.5")}};
        if (q.type == kTypeAAAA && q.name == "six.example") reply.answers = {{q.name, kTypeAAAA, AAAA("2001:db8::6")}};
        if (q.type == kTypeMX && q.name == "alias.example") reply.answers = {{q.name, kTypeCNAME, Name("real.example")}};
        if (q.type == kTypeMX && q.name == "real.example") {
            reply.answers = {{q.name, kTypeMX, Mx(5, "mx.real.example")}};
            reply.additional = {{"mx.real.example", kTypeA, A("192.0.2.9")}};
        }
        return {reply.Wire()};
    });
    DnsResolver resolver = ResolverOf({&dns});
    EXPECT_EQ(Show(resolver.ResolveMx("plain.example")), "0 plain.example 192.0.2.5; ");
    EXPECT_EQ(Show(resolver.ResolveMx("alias.example")), "5 mx.real.example 192.0.2.9; ");
    // A domain with an IPv6 address alone is reached there.
    EXPECT_EQ(Show(resolver.ResolveMx("six.example")), "0 six.example 2001:db8::6; ");
    EXPECT_EQ(Show(dns.Queries()), "MX plain.example; A plain.example; AAAA plain.example; MX alias.example; MX real.example; "
                                   "MX six.example; A six.example; AAAA six.example; ");
}

TEST(DnsResolverTest, AliasesAreFollowedForExchangesAndAddressesAlikeUpToTheHopLimit) {
    DnsResolver::ClearCaches();
    FakeDns dns([](const Asked& q) -> std::vector<Bytes> {
        Reply reply(q);  // unless scripted: NOERROR without records
        if (q.type == kTypeA && q.name == "web.example") reply.answers = {{q.name, kTypeCNAME, Name("host.example")}};
        if (q.type == kTypeA && q.name == "host.example") reply.answers = {{q.name, kTypeA, A("192.0.2.7")}};
        // Each name of a loop points at itself: only the hop limit ends it.
        if (q.type == kTypeMX && q.name == "mxloop.example") reply.answers = {{q.name, kTypeCNAME, Name(q.name)}};
        if (q.type == kTypeA && q.name == "aloop.example") reply.answers = {{q.name, kTypeCNAME, Name(q.name)}};
        return {reply.Wire()};
    });
    DnsResolver resolver = ResolverOf({&dns});
    // No exchange: the address of the name the alias leads to, under that name.
    EXPECT_EQ(Show(resolver.ResolveMx("web.example")), "0 host.example 192.0.2.7; ");
    EXPECT_EQ(Show(dns.Queries()), "MX web.example; A web.example; A host.example; AAAA host.example; ");

    // The server is asked once per name: the hops after the first take the kept answer, and only
    // the hop limit ends the walk.
    EXPECT_EQ(Show(resolver.ResolveMx("mxloop.example")), "");
    EXPECT_EQ(Show(dns.Queries()).substr(Show(dns.Queries()).find("MX mxloop")), "MX mxloop.example; ");
    EXPECT_EQ(Show(resolver.ResolveMx("aloop.example")), "");
    EXPECT_EQ(Show(dns.Queries()).substr(Show(dns.Queries()).find("MX aloop")), "MX aloop.example; A aloop.example; ");
}

TEST(DnsResolverTest, AnswersAreKeptForTheirTimeToLiveNegativeOnesByTheirZoneAndFailuresNever) {
    DnsResolver::ClearCaches();
    // An SOA whose MINIMUM (its last number) is 60 s.
    const Bytes soa = Name("ns.example") + Name("admin.example") + Bytes{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 60};
    const auto script = [soa](const Asked& q) -> std::vector<Bytes> {
        Reply reply(q);
        if (q.name == "kept.example") reply.answers = {{q.name, kTypeTXT, Bytes{2, 'o', 'k'}}};
        if (q.name == "zero.example") reply.answers = {{q.name, kTypeTXT, Bytes{2, 'o', 'k'}, 0}};
        if (q.name == "short.example") reply.answers = {{q.name, kTypeTXT, Bytes{2, 'o', 'k'}, 1}};
        if (q.name == "gone.example") {
            reply.rcode = kRcodeNameError;
            reply.authority = {{"example", 6, soa, 600}};
        }
        if (q.name == "nosoa.example") reply.rcode = kRcodeNameError;
        if (q.name == "broken.example") reply.rcode = 2;  // SERVFAIL
        return {reply.Wire()};
    };
    FakeDns dns(script);
    FakeDns other(script);
    const std::vector<std::string> names = {"kept.example", "zero.example", "short.example", "gone.example", "nosoa.example",
                                            "broken.example"};
    for (int round = 0; round < 2; ++round) {
        // A resolver of its own each round: the answers are the process's, not one resolver's.
        DnsResolver resolver = ResolverOf({&dns});
        for (const std::string& name : names) resolver.Query(name, kTypeTXT);
        EXPECT_EQ(resolver.LastStatus(), DnsStatus::Failed);
        ASSERT_TRUE(resolver.Query("gone.example", kTypeTXT));
        EXPECT_EQ(resolver.LastStatus(), DnsStatus::NoSuchDomain);
        ASSERT_TRUE(resolver.Query("kept.example", kTypeTXT));
        ASSERT_EQ(resolver.LastAnswer()->answers.size(), 1u);
        EXPECT_EQ(resolver.LastAnswer()->answers[0].ttl, 300u);
    }
    // Kept: the answer with a TTL and the negative one under an SOA; asked again: TTL 0, no SOA, a failure.
    EXPECT_EQ(Show(dns.Queries()), "TXT kept.example; TXT zero.example; TXT short.example; TXT gone.example; TXT nosoa.example; "
                                   "TXT broken.example; TXT zero.example; TXT nosoa.example; TXT broken.example; ");
    // Another server's answers are its own.
    DnsResolver elsewhere = ResolverOf({&other});
    ASSERT_TRUE(elsewhere.Query("kept.example", kTypeTXT));
    EXPECT_EQ(Show(other.Queries()), "TXT kept.example; ");
    // Past its second, the short one is asked again.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const std::size_t before = dns.Queries().size();
    while (dns.Queries().size() == before && std::chrono::steady_clock::now() < deadline) {
        DnsResolver later = ResolverOf({&dns});
        later.Query("short.example", kTypeTXT);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(Show(dns.Queries()).substr(Show(dns.Queries()).rfind("TXT")), "TXT short.example; ");
}

TEST(DnsResolverTest, SystemServersOfBothFamiliesAreAskedButNotOnesWithAZone) {
    test::ScratchDirectory scratch;
    test::WriteFileText(scratch / "resolv.conf",
                        "nameserver 2001:db8::53\n"
                        "nameserver fe80::1%eth0\n"
                        "nameserver\t192.0.2.53 # office\n"
                        "nameserver 2001:DB8::53\n"
                        "nameserver ::1\n");
    EXPECT_EQ(DnsResolver::SystemDnsServers(scratch / "resolv.conf"),
              (std::vector<std::string>{"2001:db8::53", "192.0.2.53", "::1"}));
    DnsResolver resolver;
    for (const char* server : {"2001:db8::53", "192.0.2.53", "localhost"}) EXPECT_TRUE(resolver.AddServer(server)) << server;
    EXPECT_FALSE(resolver.AddServer("fe80::1%eth0"));
    EXPECT_EQ(Addresses(resolver.Servers()), "2001:db8::53 192.0.2.53 127.0.0.1");
}

TEST(DnsResolverTest, StopFlagEndsAQueryTheServerNeverAnswers) {
    FakeDns silent([](const Asked&) { return std::vector<Bytes>{}; });
    DnsResolver resolver = ResolverOf({&silent});
    std::atomic<bool> stop{false};
    resolver.SetStopFlag(&stop);
    auto result = std::async(std::launch::async, [&] { return resolver.Query("silent.example", kTypeA); });
    ASSERT_TRUE(silent.WaitForQueries(1));
    stop = true;
    // Unstopped, the query would wait out its attempts (10 s); the flag is looked at every 100 ms.
    ASSERT_EQ(result.wait_for(1500ms), std::future_status::ready);
    EXPECT_FALSE(result.get());
    EXPECT_EQ(resolver.LastStatus(), DnsStatus::Failed);
}

}  // namespace
}  // namespace pw::dns
