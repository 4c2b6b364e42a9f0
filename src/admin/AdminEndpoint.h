// AdminEndpoint: the administration object model's door -- a Unix socket in the store root where
// local clients (pellworth-admin, scripts) speak the line protocol of AdminProtocol.h.
//
// Never TCP: the socket ("AdminSocket" under the server's General key, default "pellworth.sock" in
// the store root) is made 0660 with the server's user and group, and each peer's credentials
// (SO_PEERCRED, SO_PEERGROUPS) are checked at connect: root, the server's user, or a member of its
// group; others are told so, logged and closed. Only root and the server's user may use members that
// reach files outside the store's objects (Caller::mayUseFiles).
// One thread per connection, at most kMaxConnections at once; each connection keeps its own handle
// table (objects created or returned to it), dropped when it closes. Objects are found by ProgID in
// the class registry: the service registers the running server's own objects there, so this folder
// never needs the service's code. Every bound is in AdminLimits.h.
// Thread safety: Start and Stop from one thread; connections run on their own.
#pragma once

#include "platform/Registry.h"
#include "platform/UniqueFd.h"

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pw::admin {

inline constexpr std::string_view kAdminSocketName = "pellworth.sock";

// The socket's path: the registry's "AdminSocket" (absolute, or a name in the store root), else
// "pellworth.sock" in the store root (`storeRoot` ends in "/").
std::string AdminSocketPath(const Registry& registry, const std::string& storeRoot);

struct EndpointSettings {
    std::string socketPath;
    // Called when a client connects and when it goes (the local server's idle count).
    std::function<void()> clientArrived;
    std::function<void()> clientLeft;
};

class AdminEndpoint {
public:
    explicit AdminEndpoint(EndpointSettings settings);
    ~AdminEndpoint();
    AdminEndpoint(const AdminEndpoint&) = delete;
    AdminEndpoint& operator=(const AdminEndpoint&) = delete;

    // Makes the socket and starts accepting; a failure says why in `failure`.
    HRESULT Start(std::string& failure);
    // Stops accepting, ends every connection and removes the socket.
    void Stop();

private:
    struct Connection;
    void AcceptLoop();
    void Serve(std::shared_ptr<Connection> connection);
    void ReapFinished();

    EndpointSettings settings_;
    UniqueFd listener_;
    UniqueFd wake_;  // an eventfd that ends the accept loop's wait
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex connectionsLock_;
    std::list<std::shared_ptr<Connection>> connections_;
};

}  // namespace pw::admin
