// SpamdClient: the SPAMC/1.5 conversation with spamd (see the header).
#include "spamd/SpamdClient.h"

#include "core/Logging.h"
#include "net/SocketConnection.h"
#include "platform/Text.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pw::spamd {

namespace {

using Clock = std::chrono::steady_clock;

// When the last Warning about spamd was written (steady clock ticks; 0: never).
std::atomic<Clock::rep> lastWarning{0};

std::unique_ptr<net::SocketConnection> Connect(const std::string& address, int timeout) {
    if (address.find('/') != std::string::npos) {
        auto connection = std::make_unique<net::SocketConnection>();
        connection->SetTimeout(timeout);
        connection->ConnectUnix(address);
        return connection;
    }
    const std::size_t colon = address.rfind(':');
    const std::string host = colon == std::string::npos ? address : address.substr(0, colon);
    const std::string portText = colon == std::string::npos ? "783" : address.substr(colon + 1);
    char* end = nullptr;
    const unsigned long port = std::strtoul(portText.c_str(), &end, 10);
    if (portText.empty() || *end != '\0' || port == 0 || port > 65535) {
        throw net::CnwSocketErr(-1, "Connect: not HOST:PORT nor a socket path: " + address, 10022);
    }
    auto connection = std::make_unique<net::SocketConnection>();
    connection->SetTimeout(timeout);
    connection->Connect(host, static_cast<std::uint16_t>(port));
    return connection;
}

bool ParseScore(std::string_view text, double& value) {
    const std::string copy(TrimAscii(text));
    char* end = nullptr;
    value = std::strtod(copy.c_str(), &end);
    return !copy.empty() && end == copy.c_str() + copy.size();
}

}  // namespace

std::string CleanReport(std::string_view report) {
    std::string out;
    std::size_t start = 0;
    while (start < report.size() && out.size() < kMaxSpamdReport) {
        std::size_t end = report.find('\n', start);
        if (end == std::string_view::npos) end = report.size();
        std::string line;
        for (const char c : report.substr(start, end - start)) {
            const auto byte = static_cast<unsigned char>(c);
            line += c == '\t' ? ' ' : (byte >= 0x20 && byte < 0x7F) ? c : byte == '\r' ? ' ' : '?';
        }
        if (line.size() > kMaxSpamdReportLine) line.resize(kMaxSpamdReportLine);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (!TrimAscii(line).empty()) {
            if (!out.empty()) out += '\n';
            out += line;
        }
        start = end + 1;
    }
    if (out.size() > kMaxSpamdReport) out.resize(kMaxSpamdReport);
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n')) out.pop_back();
    return out;
}

bool ParseSpamdResponse(std::string_view response, antispam::SpamAssassinVerdict& verdict, std::string& failure) {
    std::size_t headerEnd = response.find("\r\n\r\n");
    std::size_t bodyStart = headerEnd == std::string_view::npos ? std::string_view::npos : headerEnd + 4;
    if (headerEnd == std::string_view::npos) {
        headerEnd = response.find("\n\n");
        bodyStart = headerEnd == std::string_view::npos ? response.size() : headerEnd + 2;
        if (headerEnd == std::string_view::npos) headerEnd = response.size();
    }
    const std::string_view head = response.substr(0, headerEnd);
    std::size_t lineEnd = head.find('\n');
    const std::string_view status = TrimAscii(head.substr(0, lineEnd));
    // "SPAMD/1.1 0 EX_OK": the protocol, the sysexits code, its name.
    const auto words = SplitAtAny(status, " ");
    if (words.size() < 2 || !words[0].starts_with("SPAMD/")) {
        failure = "not a spamd answer: " + CleanReport(status.substr(0, 80));
        return false;
    }
    if (words[1] != "0") {
        failure = "spamd answered " + CleanReport(status.substr(0, 80));
        return false;
    }
    bool sawSpam = false;
    while (lineEnd != std::string_view::npos) {
        const std::size_t next = head.find('\n', lineEnd + 1);
        const std::string_view line = TrimAscii(head.substr(lineEnd + 1, next == std::string_view::npos ? std::string_view::npos : next - lineEnd - 1));
        lineEnd = next;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !EqualsNoCase(TrimAscii(line.substr(0, colon)), "Spam")) continue;
        // "True ; 1005.2 / 5.0"
        const std::string_view value = line.substr(colon + 1);
        const std::size_t semicolon = value.find(';');
        const std::size_t slash = value.find('/');
        if (semicolon == std::string_view::npos || slash == std::string_view::npos || slash < semicolon) break;
        const std::string_view flag = TrimAscii(value.substr(0, semicolon));
        const bool yes = EqualsNoCase(flag, "True") || EqualsNoCase(flag, "Yes");
        if (!yes && !EqualsNoCase(flag, "False") && !EqualsNoCase(flag, "No")) break;
        if (!ParseScore(value.substr(semicolon + 1, slash - semicolon - 1), verdict.score) ||
            !ParseScore(value.substr(slash + 1), verdict.required)) {
            break;
        }
        verdict.spam = yes;
        sawSpam = true;
        break;
    }
    if (!sawSpam) {
        failure = "spamd's answer has no readable Spam header";
        return false;
    }
    verdict.report = bodyStart < response.size() ? CleanReport(response.substr(bodyStart)) : std::string();
    return true;
}

std::optional<antispam::SpamAssassinVerdict> SpamdClient::Check(std::string_view message, bool withReport,
                                                                 std::string& failure) const {
    try {
        const auto connection = Connect(address_, timeout_);
        const std::string request = std::string(withReport ? "REPORT" : "CHECK") + " SPAMC/1.5\r\nContent-length: " +
                                    std::to_string(message.size()) + "\r\n\r\n";
        connection->SendString(request);
        connection->Send(message.data(), message.size());
        // Nothing more comes from us; spamd may see the end of the request as well as its length.
        ::shutdown(connection->Socket(), SHUT_WR);
        std::string response;
        char chunk[8192];
        for (;;) {
            const std::size_t got = connection->Receive(chunk, sizeof chunk, false);
            if (got == 0) break;
            response.append(chunk, got);
            if (response.size() > kMaxSpamdResponse) {
                failure = "spamd's answer is longer than " + std::to_string(kMaxSpamdResponse) + " bytes";
                return std::nullopt;
            }
        }
        if (response.empty()) {
            failure = "spamd closed the connection without answering";
            return std::nullopt;
        }
        antispam::SpamAssassinVerdict verdict;
        if (!ParseSpamdResponse(response, verdict, failure)) return std::nullopt;
        return verdict;
    } catch (const net::CnwSocketErr& error) {
        failure = error.Code() == net::wsa::kTimedOut ? "silent for " + std::to_string(timeout_) + " s (" + error.what() + ")"
                                                      : std::string(error.what());
        return std::nullopt;
    }
}

std::optional<antispam::SpamAssassinVerdict> SpamdClient::CheckAndLog(std::string_view message, bool withReport) const {
    std::string failure;
    auto verdict = Check(message, withReport, failure);
    if (verdict) return verdict;
    const std::string text = "SpamAssassin (spamd at " + address_ + ") gave no verdict; the message goes on unjudged by it: " + failure;
    const Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep last = lastWarning.load();
    const Clock::rep interval = std::chrono::duration_cast<Clock::duration>(kSpamdWarningInterval).count();
    if ((last == 0 || now - last >= interval) && lastWarning.compare_exchange_strong(last, now)) {
        core::Log(core::LogLevelWarning, text);
    } else {
        core::Log(core::LogLevelDebug, text);
    }
    return std::nullopt;
}

}  // namespace pw::spamd
