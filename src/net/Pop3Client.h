// Pop3Client: the client side of POP3 (RFC 1939), as far as the server uses it: the login that opens
// a relay server's POP-before-SMTP window, and later the POP3 pickup. Here, below both the SMTP
// transport and the POP3 folder, so that either reaches it without depending on the other.
//
// Each command waits for its status line; only "+OK" counts. Credentials go on a plain connection
// that does not log its traffic. Socket failures and time-outs throw CnwSocketErr.
// Thread safety: one client per thread.
#pragma once

#include "net/SocketConnection.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pw::net {

class Pop3Client {
public:
    // Every wait (connect, each status line) is bounded by timeoutSeconds.
    explicit Pop3Client(int timeoutSeconds) { connection_.SetTimeout(timeoutSeconds); }

    // Connects (IPv4, network byte order) and reads the greeting; false unless it is "+OK".
    bool Open(std::uint32_t address, std::uint16_t port);
    // USER and PASS; false at the first refusal.
    bool Login(std::string_view user, std::string_view password);
    // A command of one status line (STAT, NOOP, ...); true for "+OK".
    bool Command(std::string_view command);
    // Sends QUIT without waiting for its answer.
    void Quit();

private:
    bool Ok();

    SocketConnection connection_;
};

}  // namespace pw::net
