// SocketError: the exception of every failing socket or TLS operation, and the Winsock error numbers
// that peers, logs and callers know (10053 for a connection the peer ended, 10060 for a time-out).
//
// The message of a socket failure is "OPERATION SOCKET_ERROR CODE" with the code in lower-case
// hexadecimal ("recv SOCKET_ERROR 2745" for 10053); a TLS failure is "OPERATION : MESSAGE". The
// operation names are fixed: "Create", "Bind", "Wait", "Connect", "recv", "Receive", "send",
// "BlockMode", "GetPeerName", "TslStart", "TlsAccept", "TlsReceive", "TlsSend".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pw::net {

namespace wsa {
inline constexpr std::int32_t kInterrupted = 10004;
inline constexpr std::int32_t kBadHandle = 10009;
inline constexpr std::int32_t kAccessDenied = 10013;
inline constexpr std::int32_t kInvalidArgument = 10022;
inline constexpr std::int32_t kTooManySockets = 10024;
inline constexpr std::int32_t kWouldBlock = 10035;
inline constexpr std::int32_t kInProgress = 10036;
inline constexpr std::int32_t kAlready = 10037;
inline constexpr std::int32_t kNotSocket = 10038;
inline constexpr std::int32_t kNoDestination = 10039;
inline constexpr std::int32_t kAddressInUse = 10048;
inline constexpr std::int32_t kAddressNotAvailable = 10049;
inline constexpr std::int32_t kNetworkDown = 10050;
inline constexpr std::int32_t kNetworkUnreachable = 10051;
inline constexpr std::int32_t kConnectionAborted = 10053;
inline constexpr std::int32_t kConnectionReset = 10054;
inline constexpr std::int32_t kNoBuffers = 10055;
inline constexpr std::int32_t kNotConnected = 10057;
inline constexpr std::int32_t kShutDown = 10058;
inline constexpr std::int32_t kTimedOut = 10060;
inline constexpr std::int32_t kConnectionRefused = 10061;
inline constexpr std::int32_t kHostDown = 10064;
inline constexpr std::int32_t kHostUnreachable = 10065;
}  // namespace wsa

// The Winsock number of an errno value (the errno itself when there is none).
std::int32_t WinsockErrorFromErrno(int error);

class CnwSocketErr : public std::exception {
public:
    CnwSocketErr(int socket, std::string message, std::int32_t code)
        : socket_(socket), message_(std::move(message)), code_(code) {}
    // "OPERATION SOCKET_ERROR %x".
    static CnwSocketErr Socket(int socket, std::string_view operation, std::int32_t code);
    // "OPERATION : MESSAGE".
    static CnwSocketErr Tls(int socket, std::string_view operation, std::string_view message, std::int32_t code);

    const char* what() const noexcept override { return message_.c_str(); }
    int SocketHandle() const { return socket_; }
    const std::string& Message() const { return message_; }
    std::int32_t Code() const { return code_; }

private:
    int socket_;
    std::string message_;
    std::int32_t code_;
};

}  // namespace pw::net
