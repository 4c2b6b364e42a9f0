// EndpointClient: connection, greeting and requests.
#include "EndpointClient.h"

#include "admin/AdminEndpoint.h"
#include "core/ServerLock.h"
#include "platform/Registry.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>
#include <algorithm>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace pw::admin {

std::optional<EndpointClient> EndpointClient::IfServerRuns(const DirStorage& root) {
    const auto holder = core::ServerLock::HolderOf(root);
    if (!holder) return std::nullopt;
    const std::string path = AdminSocketPath(Registry::System(), root.Path());
    const std::string server = "the server (process " + std::to_string(*holder) + ") holds this store, but its administration socket " + path;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw Failure{server + " has too long a path"};
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto deadline = std::chrono::steady_clock::now() + kBusyTimeout;
    for (auto pause = kFirstBusyPause;; pause = std::min(pause * 2, kLongestBusyPause)) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd || ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw Failure{server + " can not be reached: " + std::strerror(errno)};
        }
        EndpointClient client(std::move(fd), *holder);
        const Json greeting = Json::parse(client.ReadLine(), nullptr, false);
        if (!greeting.is_discarded() && greeting.is_object() && greeting.contains("error") && greeting["error"].is_string()) {
            // A server busy with other clients takes this one once a place is free.
            if (greeting.value("retry", false) && std::chrono::steady_clock::now() + pause < deadline) {
                std::this_thread::sleep_for(pause);
                continue;
            }
            throw Failure{server + " refused us: " + greeting["error"].get<std::string>()};
        }
        if (greeting.is_discarded() || !greeting.is_object() || !greeting.contains("protocol")) {
            throw Failure{server + " did not greet as expected"};
        }
        return client;
    }
}

std::string EndpointClient::ReadLine() {
    const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
    for (;;) {
        if (const std::size_t end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw Failure{"the server did not answer within " + std::to_string(kReplyTimeout.count()) + " seconds"};
        pollfd waiting{fd_.Get(), POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[8192];
        const ssize_t received = ::recv(fd_.Get(), chunk, sizeof chunk, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) throw Failure{"the server closed the administration connection"};
        buffer_.append(chunk, static_cast<std::size_t>(received));
    }
}

EndpointReply EndpointClient::Request(std::string_view op, const Json& object, std::string_view member,
                                      const std::vector<Variant>& args) {
    Json request = Json::object();
    const std::uint64_t id = nextId_++;
    request["id"] = id;
    request["op"] = std::string(op);
    request["object"] = object;
    request["member"] = std::string(member);
    request["args"] = Json::array();
    const ObjectEncoder noObjects = [](const std::shared_ptr<Unknown>&) { return Json(nullptr); };
    for (const Variant& value : args) request["args"].push_back(EncodeVariant(value, noObjects));
    const std::string line = request.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t sent = ::send(fd_.Get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) throw Failure{"the server closed the administration connection"};
        rest.remove_prefix(static_cast<std::size_t>(sent));
    }
    const Json reply = Json::parse(ReadLine(), nullptr, false);
    if (reply.is_discarded() || !reply.is_object() || !reply.contains("hr") || reply.value("id", Json()) != Json(id)) {
        throw Failure{"the server's reply is not one to our request"};
    }
    EndpointReply result;
    result.hr = static_cast<HRESULT>(reply["hr"].get<std::uint32_t>());
    if (reply.contains("error") && reply["error"].is_string()) result.error = reply["error"].get<std::string>();
    // Objects are shown by their handle's number; the tool holds none past its one request.
    const HandleResolver noHandles = [](std::uint64_t) { return std::shared_ptr<Unknown>(); };
    std::string ignored;
    bool unknownHandle = false;
    result.resultJson = reply["result"];
    if (reply.contains("out") && reply["out"].is_array()) result.outJson = reply["out"];
    if (!reply["result"].is_null()) (void)DecodeVariant(reply["result"], result.result, noHandles, ignored, unknownHandle);
    if (reply.contains("out") && reply["out"].is_array()) {
        for (const Json& json : reply["out"]) {
            Variant value;
            (void)DecodeVariant(json, value, noHandles, ignored, unknownHandle);
            result.out.push_back(std::move(value));
        }
    }
    return result;
}

EndpointReply EndpointClient::Checked(std::string_view op, const Json& object, std::string_view member,
                                      const std::vector<Variant>& args) {
    EndpointReply reply = Request(op, object, member, args);
    if (Failed(reply.hr)) throw Failure{"the server refused " + std::string(member) + ": " + reply.error + " (" + HresultText(reply.hr) + ")"};
    return reply;
}

}  // namespace pw::admin

namespace pw::admin {

Json EndpointClient::HandleOf(const EndpointReply& reply) {
    if (!reply.resultJson.is_object() || !reply.resultJson.contains("handle") || !reply.resultJson["handle"].is_number_unsigned()) {
        throw Failure{"the server returned no object"};
    }
    return reply.resultJson["handle"];
}

}  // namespace pw::admin

namespace pw::admin {

std::optional<Json> EndpointClient::ObjectOf(std::string_view op, const Json& object, std::string_view member,
                                             const std::vector<Variant>& args) {
    const EndpointReply reply = Checked(op, object, member, args);
    if (reply.hr == S_FALSE && reply.resultJson.is_null()) return std::nullopt;
    return HandleOf(reply);
}

}  // namespace pw::admin
