// MtaStsFetch: discovery, fetch and cache of a domain's MTA-STS policy.
#include "smtp/MtaStsFetch.h"

#include "core/Configuration.h"
#include "core/Logging.h"
#include "dns/DnsResolver.h"
#include "mailauth/AuthDns.h"
#include "net/SocketConnection.h"
#include "net/SocketError.h"
#include "platform/Text.h"

namespace pw::smtp {

namespace {

// The length an answer's header announces, when it is complete and announces one.
std::optional<std::size_t> AnnouncedLength(const std::string& answer, std::size_t headerEnd) {
    for (const std::string& line : SplitAtAny(std::string_view(answer).substr(0, headerEnd), "\r\n")) {
        if (!StartsWithNoCase(line, "Content-Length:")) continue;
        const std::string value(TrimAscii(std::string_view(line).substr(15)));
        if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        return std::stoul(value);
    }
    return std::nullopt;
}

// The whole answer: up to the length its header announces, else up to the end of the connection
// (a TLS close alert, which the connection reports as a failure, is that end). Bounded: the
// header's room on top of the largest policy.
std::string ReadAnswer(net::SocketConnection& connection) {
    std::string answer;
    char buffer[4096];
    for (;;) {
        const std::size_t headerEnd = answer.find("\r\n\r\n");
        const auto length = headerEnd == std::string::npos ? std::nullopt : AnnouncedLength(answer, headerEnd);
        if (length && answer.size() >= headerEnd + 4 + *length) return answer.substr(0, headerEnd + 4 + *length);
        if (answer.size() > mailauth::kMaxMtaStsPolicy + 16 * 1024) throw net::CnwSocketErr::Socket(connection.Socket(), "recv", 10040);
        std::size_t got = 0;
        try {
            got = connection.Receive(buffer, sizeof buffer, false);
        } catch (const net::CnwSocketErr& error) {
            if (length || headerEnd == std::string::npos || std::string_view(error.what()).find("ERROR_ZERO_RETURN") == std::string_view::npos) throw;
            return answer;
        }
        if (got == 0) {
            if (length) throw net::CnwSocketErr::Socket(connection.Socket(), "recv", 10053);  // cut short
            return answer;
        }
        answer.append(buffer, got);
    }
}

// The policy file's text, or nullopt (logged) when it could not be had as RFC 8461 3.3 asks: HTTPS
// with a certificate valid for the host, status 200, no redirect.
std::optional<std::string> FetchPolicyText(const std::string& domain) {
    const std::string host = "mta-sts." + domain;
    dns::DnsResolver resolver;
    resolver.AddConfiguredServers(core::ServerConfig());
    const auto entry = resolver.LookupHost(host);
    if (!entry || entry->addresses.empty()) {
        core::Log(core::LogLevelWarning, "MTA-STS: " + host + " does not resolve; no policy fetched");
        return std::nullopt;
    }
    try {
        net::SocketConnection connection;
        connection.SetTimeout(kMtaStsFetchTimeout);
        connection.Connect(entry->addresses.front().Text(), 443);
        connection.TlsClientStart(host);
        if (const std::string failure = connection.TlsVerifyFailure(); !failure.empty()) {
            core::Log(core::LogLevelWarning, "MTA-STS: the certificate of " + host + " can not be trusted (" + failure + ")");
            return std::nullopt;
        }
        connection.SendString("GET /.well-known/mta-sts.txt HTTP/1.0\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
        const std::string answer = ReadAnswer(connection);
        const std::size_t end = answer.find("\r\n\r\n");
        const std::size_t lineEnd = answer.find("\r\n");
        const std::vector<std::string> status = SplitWords(answer.substr(0, lineEnd));
        if (end == std::string::npos || status.size() < 2 || !StartsWithNoCase(status[0], "HTTP/1.") || status[1] != "200") {
            core::Log(core::LogLevelWarning, "MTA-STS: " + host + " did not answer the policy with 200");
            return std::nullopt;
        }
        return answer.substr(end + 4);
    } catch (const net::CnwSocketErr& error) {
        core::Log(core::LogLevelWarning, "MTA-STS: fetching the policy of " + domain + " failed: " + error.what());
        return std::nullopt;
    }
}

}  // namespace

std::optional<mailauth::MtaStsPolicy> MtaStsPolicyFor(const std::string& name) {
    const std::string domain = ToLowerAscii(name);
    auto& cache = mailauth::MtaStsCache::Instance();
    const auto cached = cache.Find(domain);
    mailauth::AuthDns dns(core::ServerConfig());
    std::vector<std::string> records;
    std::optional<std::string> id;
    if (dns.Txt("_mta-sts." + domain, records) == mailauth::DnsResult::Answered) {
        for (const std::string& record : records) {
            if (const auto parsed = mailauth::ParseMtaStsRecord(record)) id = parsed;
        }
    }
    if (!id || (cached && cached->id == *id)) return cached;
    const auto text = FetchPolicyText(domain);
    auto policy = text ? mailauth::ParseMtaStsPolicy(*text) : std::nullopt;
    if (!policy) {
        if (text) core::Log(core::LogLevelWarning, "MTA-STS: the policy of " + domain + " can not be read");
        return cached;
    }
    policy->id = *id;
    cache.Store(domain, *policy);
    core::Log(core::LogLevelVerbose, Format("MTA-STS: %s publishes a policy of %u exchanger patterns for %u s",
                                            {std::string_view(domain), std::uint64_t{policy->mx.size()}, std::uint64_t{policy->maxAge}}));
    return policy;
}

}  // namespace pw::smtp
