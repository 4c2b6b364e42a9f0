// VirusScan: the virus scan of one queued message, by the kind "sys:av:avtype" chooses.
//
// A scan that could not be made (a scanner that did not run to its end, clamd unreachable or
// answering an error) is reported as Failed, never as clean: the caller keeps the message until a
// later scan succeeds. Thread safety: Scan may run on every router thread at once; each scan has its
// own scratch directory and clamd connection.
#pragma once

#include "core/Configuration.h"
#include "store/Envelope.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace pw::antivirus {

// "sys:av:avtype"
inline constexpr int kScannerNone = 0;
inline constexpr int kScannerCommandLine = 1;
inline constexpr int kScannerEngine = 2;  // clamd
inline constexpr std::chrono::seconds kDefaultScanTimeout{120};

// TooLarge: the scanner takes no message of this size at all, so scanning again can never succeed.
enum class Verdict : std::uint8_t { Clean, Infected, Failed, TooLarge };

struct ScanResult {
    Verdict verdict = Verdict::Clean;
    // Infected: the description or the virus name; Failed and TooLarge: why no scan could be made.
    std::string text;
};

struct ScanSettings {
    int type = kScannerNone;
    std::string tempPath;     // "" : $TMPDIR, else /tmp
    std::string commandPath;
    std::string commandLine;  // with "%TEMPFILE%" and "%REPORTFILE%"
    bool perAttachment = false;
    // Exit codes known to mean a virus, with their descriptions, in the table's order.
    std::vector<std::pair<int, std::string>> retcodes;
    std::chrono::seconds timeout = kDefaultScanTimeout;
    std::string clamd;        // a socket path or "HOST:PORT"

    // The "sys:av:..." settings; `clamd` is the caller's (ClamdAddressFromRegistry).
    static ScanSettings Read(const core::ConfigTree& config, std::string clamd);
};

ScanResult Scan(const store::Envelope& envelope, const ScanSettings& settings);

}  // namespace pw::antivirus
