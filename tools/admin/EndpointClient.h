// EndpointClient: pellworth-admin's way into a running server -- its administration socket.
//
// While a server holds the store its settings live in its memory, so the tool changes them through
// the server's own objects instead of the file. One connection per run: the greeting is checked, and
// each request waits for its reply (bounded by kReplyTimeout: a server that stopped answering is a
// failure, never a hang).
#pragma once

#include "AdminSupport.h"
#include "admin/AdminProtocol.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pw::admin {

inline constexpr std::chrono::seconds kReplyTimeout{300};  // a backup may take minutes
// How long the tool waits for a place while the server serves as many clients as it may (many tools
// run at once from scripts); a pause between attempts, doubled up to the longest.
inline constexpr std::chrono::seconds kBusyTimeout{120};
inline constexpr std::chrono::milliseconds kFirstBusyPause{20};
inline constexpr std::chrono::milliseconds kLongestBusyPause{500};

struct EndpointReply {
    HRESULT hr = S_OK;
    Variant result;
    std::vector<Variant> out;
    std::string error;
    Json resultJson;  // as it came, for objects (shown by handle) and exact printing
    Json outJson = Json::array();
};

class EndpointClient {
public:
    // Connected to the server that holds `root`, or nullopt when no server does. Throws Failure when
    // a server runs but its socket can not be reached.
    static std::optional<EndpointClient> IfServerRuns(const DirStorage& root);

    EndpointReply Request(std::string_view op, const Json& object, std::string_view member, const std::vector<Variant>& args);
    // `object` is a ProgID (text) or a handle this connection was given (a number).
    // As Request, but a failed HRESULT throws Failure with the server's text.
    EndpointReply Checked(std::string_view op, const Json& object, std::string_view member, const std::vector<Variant>& args);
    long ServerProcess() const { return pid_; }
    // The handle of an object a reply returned (throws Failure when it returned none).
    static Json HandleOf(const EndpointReply& reply);
    // A member that answers an object: its handle, or nullopt when it answered S_FALSE and none (a
    // lookup that found nothing). A failure throws as Checked does.
    std::optional<Json> ObjectOf(std::string_view op, const Json& object, std::string_view member, const std::vector<Variant>& args);

private:
    EndpointClient(UniqueFd fd, long pid) : fd_(std::move(fd)), pid_(pid) {}
    std::string ReadLine();

    UniqueFd fd_;
    long pid_ = 0;
    std::string buffer_;
    std::uint64_t nextId_ = 1;
};

}  // namespace pw::admin
