// SocketError: errno to Winsock numbers, and the texts of socket failures.
#include "net/SocketError.h"

#include <cerrno>
#include <cstdio>

namespace pw::net {

std::int32_t WinsockErrorFromErrno(int error) {
    switch (error) {
    case EINTR: return wsa::kInterrupted;
    case EBADF: return wsa::kBadHandle;
    case EACCES:
    case EPERM: return wsa::kAccessDenied;
    case EINVAL: return wsa::kInvalidArgument;
    case EMFILE:
    case ENFILE: return wsa::kTooManySockets;
    case EAGAIN: return wsa::kWouldBlock;
    case EINPROGRESS: return wsa::kInProgress;
    case EALREADY: return wsa::kAlready;
    case ENOTSOCK: return wsa::kNotSocket;
    case EDESTADDRREQ: return wsa::kNoDestination;
    case EADDRINUSE: return wsa::kAddressInUse;
    case EADDRNOTAVAIL: return wsa::kAddressNotAvailable;
    case ENETDOWN: return wsa::kNetworkDown;
    case ENETUNREACH: return wsa::kNetworkUnreachable;
    case ECONNABORTED:
    case EPIPE: return wsa::kConnectionAborted;
    case ECONNRESET: return wsa::kConnectionReset;
    case ENOBUFS:
    case ENOMEM: return wsa::kNoBuffers;
    case ENOTCONN: return wsa::kNotConnected;
    case ESHUTDOWN: return wsa::kShutDown;
    case ETIMEDOUT: return wsa::kTimedOut;
    case ECONNREFUSED: return wsa::kConnectionRefused;
    case EHOSTDOWN: return wsa::kHostDown;
    case EHOSTUNREACH: return wsa::kHostUnreachable;
    default: return error;
    }
}

CnwSocketErr CnwSocketErr::Socket(int socket, std::string_view operation, std::int32_t code) {
    char text[32];
    std::snprintf(text, sizeof text, " SOCKET_ERROR %x", static_cast<unsigned>(code));
    return CnwSocketErr(socket, std::string(operation) + text, code);
}

CnwSocketErr CnwSocketErr::Tls(int socket, std::string_view operation, std::string_view message, std::int32_t code) {
    return CnwSocketErr(socket, std::string(operation) + " : " + std::string(message), code);
}

}  // namespace pw::net
