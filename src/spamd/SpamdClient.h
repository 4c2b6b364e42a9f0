// SpamdClient: asks spamd (SpamAssassin's daemon) for its verdict on one message, speaking the
// SPAMC/1.5 protocol over TCP ("HOST:PORT") or a Unix socket (a path).
//
// One connection per message: "CHECK" (verdict only) or "REPORT" (verdict and report), a
// Content-length header and the bytes; spamd answers "SPAMD/1.x 0 EX_OK", a "Spam: True ; 1005.20 /
// 5.00" header and, for REPORT, the report, then closes. Every wait -- connect, send, each read -- is
// bounded by kSpamdTimeout, and the answer by kMaxSpamdResponse, so a silent or babbling spamd costs
// a message at most that and never holds a router. Anything but a well-formed EX_OK answer is no
// verdict: the caller lets the message go on unjudged. Failures are logged as a Warning at most once
// per kSpamdWarningInterval in the process (the router asks for every message; a stopped spamd must
// not flood the log), the rest at debug level.
// The report is made ready for a header: at most kMaxSpamdReport bytes, lines without trailing
// blanks, no empty lines, none longer than kMaxSpamdReportLine, bytes outside printable ASCII
// replaced by "?".
// Thread safety: a SpamdClient holds only its address; any number of threads may use one.
#pragma once

#include "antispam/SpamAssassinVerdict.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace pw::spamd {

inline constexpr int kSpamdTimeoutSeconds = 30;
inline constexpr std::size_t kMaxSpamdResponse = 256 * 1024;
inline constexpr std::size_t kMaxSpamdReport = 16 * 1024;
// A report line longer than this is cut: a folded header line stays far below RFC 5322's 998.
inline constexpr std::size_t kMaxSpamdReportLine = 900;
inline constexpr std::chrono::seconds kSpamdWarningInterval{60};

class SpamdClient {
public:
    // "HOST:PORT", or a path (anything with a "/") of spamd's Unix socket.
    // `timeoutSeconds` bounds each wait (tests shorten it).
    explicit SpamdClient(std::string address, int timeoutSeconds = kSpamdTimeoutSeconds)
        : address_(std::move(address)), timeout_(timeoutSeconds) {}
    // The verdict on the bytes (the caller cuts them to antispam::kSpamAssassinBytes); nullopt when
    // spamd gave none, with why in `failure`.
    std::optional<antispam::SpamAssassinVerdict> Check(std::string_view message, bool withReport, std::string& failure) const;
    // Check, logging a failure as described above.
    std::optional<antispam::SpamAssassinVerdict> CheckAndLog(std::string_view message, bool withReport) const;

    const std::string& Address() const { return address_; }

private:
    std::string address_;
    int timeout_;
};

// Reads spamd's answer (exposed for tests and the fuzz target): false, with why, unless it is an
// EX_OK answer with a readable "Spam:" header.
bool ParseSpamdResponse(std::string_view response, antispam::SpamAssassinVerdict& verdict, std::string& failure);
// The report text made fit for a header, as described above.
std::string CleanReport(std::string_view report);

}  // namespace pw::spamd
