// Clamd: the client of ClamAV's daemon -- INSTREAM to scan a message, PING to see it is there.
//
// The null-terminated command forms are used ("zINSTREAM", "zPING"): the answer is read up to its
// terminating zero byte. The content goes in chunks, each after its length as 4 bytes in network
// order, ended by a chunk of length zero. Every connect, send and read waits at most the time-out.
#pragma once

#include "antivirus/VirusScan.h"
#include "platform/Registry.h"
#include "platform/Stream.h"

#include <chrono>
#include <string>
#include <string_view>

namespace pw::antivirus {

inline constexpr std::string_view kDefaultClamdAddress = "/var/run/clamav/clamd.ctl";
inline constexpr std::size_t kClamdChunkSize = 64 * 1024;

// The registry value "Clamd" under the product's "AntiVirus" key, or kDefaultClamdAddress.
std::string ClamdAddressFromRegistry(const Registry& registry);

// A clamd address: a Unix socket path (anything with a "/", or without a ":"), else "HOST:PORT".
struct ClamdAddress {
    std::string path;
    std::string host;
    std::string port;
    static ClamdAddress Parse(std::string_view text);
};

// Scans the stream's bytes: Clean for "stream: OK", Infected with the name for "<name> FOUND", Failed
// with the reason for anything else (no connection, a time-out, an error answer).
ScanResult ClamdScan(const std::string& address, Stream& content, std::chrono::milliseconds timeout);
// True when clamd answers "PONG"; `problem` says why not otherwise.
bool ClamdPing(const std::string& address, std::chrono::milliseconds timeout, std::string& problem);
// Asks clamd to load its signature databases again (after an update); true when it says it does.
bool ClamdReload(const std::string& address, std::chrono::milliseconds timeout, std::string& problem);

}  // namespace pw::antivirus
