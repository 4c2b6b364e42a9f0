// AdminEndpoint: the socket, the peers' check and one connection's requests.
#include "admin/AdminEndpoint.h"

#include "admin/AdminLimits.h"
#include "admin/AdminProtocol.h"
#include "admin/ObjectModel.h"
#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "core/Version.h"
#include "platform/ClassRegistry.h"
#include "platform/Text.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace pw::admin {

namespace {

constexpr int kPollSlice = 1000;  // ms: how often a waiting connection looks at the stop flag

// Who the peer is, and whether it may come in.
struct PeerCheck {
    bool allowed = false;
    Caller caller;
    pid_t pid = 0;
    gid_t gid = 0;
};

bool PeerInServerGroup(int fd, gid_t primary) {
    const gid_t ours = ::getegid();
    if (primary == ours) return true;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            for (const gid_t group : groups) {
                if (group == ours) return true;
            }
            return false;
        }
        if (errno != ERANGE) return false;
        groups.resize(length / sizeof(gid_t) + 1);
    }
    return false;
}

PeerCheck CheckPeer(int fd) {
    PeerCheck check;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return check;
    check.pid = credentials.pid;
    check.caller.pid = credentials.pid;
    check.gid = credentials.gid;
    check.caller.uid = credentials.uid;
    check.caller.mayUseFiles = credentials.uid == 0 || credentials.uid == ::geteuid();
    check.allowed = check.caller.mayUseFiles || PeerInServerGroup(fd, credentials.gid);
    return check;
}

std::string JsonLine(const Json& json) {
    // Texts from the store may hold bytes that are not UTF-8: they are replaced, never a failure.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// Writes all of `text`, waiting at most kWriteTimeout for a client that does not read.
bool WriteAll(int fd, std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
    while (!text.empty()) {
        const ssize_t written = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd waiting{fd, POLLOUT, 0};
        ::poll(&waiting, 1, static_cast<int>(std::min<long long>(left.count(), kPollSlice)));
    }
    return true;
}

Json ErrorLine(HRESULT hr, std::string_view text) { return Reply(nullptr, hr, nullptr, Json::array(), text); }

// Events of an advised Logging object waiting for their connection's thread. The logging thread only
// appends under a short lock and pokes the eventfd: it never waits for a client.
struct EventQueue {
    std::mutex lock;
    std::deque<std::string> lines;
    std::uint64_t dropped = 0;
    UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

class EventSink final : public core::LoggingEvents {
public:
    explicit EventSink(std::shared_ptr<EventQueue> queue) : queue_(std::move(queue)) {}
    void NewEvent(core::LoggingEventEnum event, core::LoggingLevelEnum level, const Variant& value) override {
        Json inner = Json::object();
        inner["Event"] = static_cast<int>(event);
        inner["Level"] = static_cast<int>(level);
        inner["Value"] = EncodeVariant(value, [](const std::shared_ptr<Unknown>&) { return Json(nullptr); });
        Json line = Json::object();
        line["event"] = std::move(inner);
        {
            std::lock_guard guard(queue_->lock);
            if (queue_->lines.size() >= kMaxQueuedEvents) {
                ++queue_->dropped;
                return;
            }
            queue_->lines.push_back(JsonLine(line));
        }
        const std::uint64_t one = 1;
        (void)!::write(queue_->wake.Get(), &one, sizeof one);
    }

private:
    std::shared_ptr<EventQueue> queue_;
};

}  // namespace

std::string AdminSocketPath(const Registry& registry, const std::string& storeRoot) {
    const auto configured = registry.GetString(core::ServerGeneralKey(), "AdminSocket");
    if (!configured || configured->empty()) return storeRoot + std::string(kAdminSocketName);
    if (configured->front() == '/') return *configured;
    return storeRoot + *configured;
}

// One client: its descriptor, its thread and the objects it holds by handle.
struct AdminEndpoint::Connection {
    UniqueFd fd;
    Caller caller;
    std::thread thread;
    std::atomic<bool> done{false};
    std::map<std::uint64_t, std::shared_ptr<Unknown>> handles;
    std::map<const Unknown*, std::uint64_t> handleOf;
    std::uint64_t nextHandle = 1;
    bool handlesFull = false;
    std::shared_ptr<EventQueue> events = std::make_shared<EventQueue>();
    // Advise cookies given to this client, with the log and its own cookie there.
    std::map<std::uint32_t, std::pair<std::shared_ptr<core::Logging>, std::uint32_t>> advised;
    std::uint32_t nextCookie = 1;

    void UnadviseAll() {
        for (auto& [cookie, entry] : advised) entry.first->Unadvise(entry.second);
        advised.clear();
    }

    // The handle of an object, given one when it has none yet (the same object keeps its handle).
    Json Encode(const std::shared_ptr<Unknown>& object) {
        auto known = handleOf.find(object.get());
        std::uint64_t handle = 0;
        if (known != handleOf.end()) {
            handle = known->second;
        } else {
            if (handles.size() >= kMaxHandles) {
                handlesFull = true;
                return nullptr;
            }
            handle = nextHandle++;
            handles.emplace(handle, object);
            handleOf.emplace(object.get(), handle);
        }
        Json json = Json::object();
        json["vt"] = static_cast<int>(VT_DISPATCH);
        json["handle"] = handle;
        json["class"] = ClassNameOf(*object);
        return json;
    }

    std::shared_ptr<Unknown> Find(std::uint64_t handle) const {
        const auto found = handles.find(handle);
        return found == handles.end() ? nullptr : found->second;
    }

    void Release(std::uint64_t handle) {
        const auto found = handles.find(handle);
        handleOf.erase(found->second.get());
        handles.erase(found);
    }

    Json Handle(const Request& request);
};

Json AdminEndpoint::Connection::Handle(const Request& request) {
    const auto fail = [&request](HRESULT hr, std::string_view text) {
        return Reply(request.id, hr, nullptr, Json::array(), text);
    };
    std::shared_ptr<Unknown> object;
    if (request.handle) {
        object = Find(*request.handle);
        if (!object) return fail(E_HANDLE, Format("no object has the handle %u on this connection", {*request.handle}));
    }
    if (request.op == RequestOp::Release) {
        if (!request.handle) return fail(E_INVALIDARG, "release names a handle");
        Release(*request.handle);
        return Reply(request.id, S_OK, nullptr, Json::array(), {});
    }
    if (!object) {
        const auto clsid = ClassRegistry::Instance().ClsidFromProgId(request.progId);
        if (!clsid) return fail(REGDB_E_CLASSNOTREG, "no class is registered as " + request.progId);
        object = ClassRegistry::Instance().Create(*clsid);
        if (!object) return fail(E_FAIL, request.progId + " can not be made in this server");
    }
    if (request.op == RequestOp::Advise || request.op == RequestOp::Unadvise) {
        auto logging = std::dynamic_pointer_cast<core::Logging>(object);
        if (!logging) return fail(E_NOINTERFACE, "only a Logging object sends events");
        if (request.op == RequestOp::Advise) {
            const std::uint32_t cookie = nextCookie++;
            advised.emplace(cookie, std::make_pair(logging, logging->Advise(std::make_shared<EventSink>(events))));
            return Reply(request.id, S_OK, EncodeVariant(Variant::I4(static_cast<std::int32_t>(cookie)), nullptr), Json::array(), {});
        }
        const auto found = request.args.size() == 1 && request.args[0].is_number_unsigned()
                               ? advised.find(request.args[0].get<std::uint32_t>())
                               : advised.end();
        if (found == advised.end()) return fail(E_INVALIDARG, "unadvise takes the cookie its advise gave");
        found->second.first->Unadvise(found->second.second);
        advised.erase(found);
        return Reply(request.id, S_OK, nullptr, Json::array(), {});
    }
    if (request.op == RequestOp::Create) {
        if (request.handle) return fail(E_INVALIDARG, "create names a ProgID");
        handlesFull = false;
        Json result = Encode(object);
        if (handlesFull) return fail(E_OUTOFMEMORY, Format("this connection holds %u objects; release some", {std::uint64_t{kMaxHandles}}));
        return Reply(request.id, S_OK, result, Json::array(), {});
    }
    std::vector<Variant> args;
    args.reserve(request.args.size());
    for (const Json& json : request.args) {
        Variant value;
        std::string error;
        bool unknownHandle = false;
        if (!DecodeVariant(json, value, [this](std::uint64_t handle) { return Find(handle); }, error, unknownHandle)) {
            return fail(unknownHandle ? E_HANDLE : E_INVALIDARG, error);
        }
        args.push_back(std::move(value));
    }
    const MemberKind kind = request.op == RequestOp::Get   ? MemberKind::Get
                            : request.op == RequestOp::Put ? MemberKind::Put
                                                           : MemberKind::Method;
    CallResult call = Invoke(object, request.member, kind, std::move(args), caller);
    handlesFull = false;
    const ObjectEncoder encoder = [this](const std::shared_ptr<Unknown>& o) { return Encode(o); };
    const bool noResult = Failed(call.hr) || (call.result.IsEmpty() && kind != MemberKind::Get);
    Json result = noResult ? Json(nullptr) : EncodeVariant(call.result, encoder);
    Json out = Json::array();
    for (const Variant& value : call.out) out.push_back(EncodeVariant(value, encoder));
    if (handlesFull) return fail(E_OUTOFMEMORY, Format("this connection holds %u objects; release some", {std::uint64_t{kMaxHandles}}));
    return Reply(request.id, call.hr, result, out, call.error);
}

AdminEndpoint::AdminEndpoint(EndpointSettings settings) : settings_(std::move(settings)) {}

AdminEndpoint::~AdminEndpoint() { Stop(); }

HRESULT AdminEndpoint::Start(std::string& failure) {
    const std::string& path = settings_.socketPath;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        failure = "the administration socket's path is longer than a socket address holds: " + path;
        return E_INVALIDARG;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A socket left by a server that died is replaced; anything else by that name is not ours.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            failure = path + " exists and is not a socket; the administration endpoint is not started";
            return STG_E_FILEALREADYEXISTS;
        }
        ::unlink(path.c_str());
    }
    // Non-blocking: a client that went between the poll and the accept must not hold the loop.
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) {
        failure = std::string("no socket for the administration endpoint: ") + std::strerror(errno);
        return HresultFromWin32(Win32ErrorFromErrno(errno));
    }
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0660) != 0 || ::listen(listener.Get(), kListenBacklog) != 0) {
        const int error = errno;
        failure = "can not listen at " + path + ": " + std::strerror(error);
        ::unlink(path.c_str());
        return HresultFromWin32(Win32ErrorFromErrno(error));
    }
    wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) {
        failure = std::string("no event for the administration endpoint: ") + std::strerror(errno);
        ::unlink(path.c_str());
        return E_FAIL;
    }
    listener_ = std::move(listener);
    stop_ = false;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    core::Log(core::LogLevelNormal, "Administration endpoint at " + path);
    return S_OK;
}

void AdminEndpoint::Stop() {
    if (!acceptor_.joinable()) return;
    stop_ = true;
    const std::uint64_t one = 1;
    (void)!::write(wake_.Get(), &one, sizeof one);
    acceptor_.join();
    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard guard(connectionsLock_);
        connections.swap(connections_);
    }
    // Each connection sees the stop flag within a poll slice; ending its reading side wakes it now.
    // Its writing side stays open: a reply being made (the Shutdown that asked for this stop, say)
    // still reaches its client, bounded by the write time-out, before the thread closes the socket.
    for (const auto& connection : connections) ::shutdown(connection->fd.Get(), SHUT_RD);
    for (const auto& connection : connections) {
        if (connection->thread.joinable()) connection->thread.join();
    }
    listener_.Reset();
    ::unlink(settings_.socketPath.c_str());
}

void AdminEndpoint::ReapFinished() {
    std::list<std::shared_ptr<Connection>> finished;
    {
        std::lock_guard guard(connectionsLock_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                finished.push_back(*it);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& connection : finished) connection->thread.join();
}

void AdminEndpoint::AcceptLoop() {
    while (!stop_) {
        pollfd waiting[2] = {{listener_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
        const int ready = ::poll(waiting, 2, kPollSlice);
        ReapFinished();
        if (ready <= 0 || !(waiting[0].revents & POLLIN)) continue;
        UniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) continue;
        const PeerCheck peer = CheckPeer(fd.Get());
        if (!peer.allowed) {
            core::Log(core::LogLevelWarning, Format("Administration connection refused: process %d of user %u and group %u is not "
                                                    "root, the server's user or a member of its group",
                                                    {std::int64_t{peer.pid}, std::uint64_t{peer.caller.uid}, std::uint64_t{peer.gid}}));
            WriteAll(fd.Get(), JsonLine(ErrorLine(E_ACCESSDENIED, "this user may not administer the server")));
            continue;
        }
        std::lock_guard guard(connectionsLock_);
        if (connections_.size() >= kMaxConnections) {
            core::Log(core::LogLevelWarning, Format("Administration connection of process %d refused: %u clients are connected",
                                                    {std::int64_t{peer.pid}, std::uint64_t{kMaxConnections}}));
            // "retry" tells a client that waiting helps, unlike a refusal of its user.
            Json busy = ErrorLine(E_ACCESSDENIED, Format("the server serves %u administration clients at once; try again later",
                                                         {std::uint64_t{kMaxConnections}}));
            busy["retry"] = true;
            WriteAll(fd.Get(), JsonLine(busy));
            continue;
        }
        auto connection = std::make_shared<Connection>();
        connection->fd = std::move(fd);
        connection->caller = peer.caller;
        connections_.push_back(connection);
        connection->thread = std::thread([this, connection] { Serve(connection); });
    }
}

void AdminEndpoint::Serve(std::shared_ptr<Connection> connection) {
    if (settings_.clientArrived) settings_.clientArrived();
    const int fd = connection->fd.Get();
    bool open = WriteAll(fd, JsonLine(Greeting(core::VersionText())));
    std::string buffer;
    bool discarding = false;  // the rest of a line that was too long
    int badLines = 0;
    auto idleSince = std::chrono::steady_clock::now();
    std::vector<char> chunk(64 * 1024);
    const auto sendEvents = [&] {
        std::uint64_t count = 0;
        (void)!::read(connection->events->wake.Get(), &count, sizeof count);
        std::deque<std::string> lines;
        std::uint64_t dropped = 0;
        {
            std::lock_guard guard(connection->events->lock);
            lines.swap(connection->events->lines);
            dropped = std::exchange(connection->events->dropped, 0);
        }
        if (dropped != 0) {
            Json note = Json::object();
            note["dropped"] = dropped;
            lines.push_front(JsonLine(note));
        }
        for (const std::string& line : lines) {
            if (!WriteAll(fd, line)) return false;
        }
        return true;
    };
    while (open && !stop_) {
        pollfd waiting[2] = {{fd, POLLIN, 0}, {connection->events->wake.Get(), POLLIN, 0}};
        int ready = ::poll(waiting, 2, kPollSlice);
        if (ready > 0 && (waiting[1].revents & POLLIN)) {
            if (!sendEvents()) break;
            if (!(waiting[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ready = 1;
        }
        if (ready == 0) {
            if (std::chrono::steady_clock::now() - idleSince > kIdleTimeout) {
                WriteAll(fd, JsonLine(ErrorLine(E_ABORT, "the connection was idle too long")));
                break;
            }
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        const ssize_t received = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) break;  // the client went; a half line it left is dropped
        idleSince = std::chrono::steady_clock::now();
        buffer.append(chunk.data(), static_cast<std::size_t>(received));
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = buffer.find('\n', start);
            if (end == std::string::npos) break;
            std::string_view line(buffer.data() + start, end - start);
            start = end + 1;
            if (discarding) {
                discarding = false;
                continue;
            }
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (TrimAscii(line).empty()) continue;
            Request request;
            std::string error;
            Json reply;
            if (line.size() > kMaxRequestLine) {
                ++badLines;
                reply = ErrorLine(E_INVALIDARG, Format("the line is longer than %u bytes", {std::uint64_t{kMaxRequestLine}}));
            } else if (!ParseRequest(line, request, error)) {
                ++badLines;
                reply = Reply(request.id, E_INVALIDARG, nullptr, Json::array(), error);
            } else {
                reply = connection->Handle(request);
            }
            if (!WriteAll(fd, JsonLine(reply))) {
                open = false;
                break;
            }
            if (badLines >= kMaxBadLines) {
                WriteAll(fd, JsonLine(ErrorLine(E_ABORT, Format("%u lines were not requests; goodbye", {std::uint64_t{kMaxBadLines}}))));
                open = false;
                break;
            }
        }
        buffer.erase(0, start);
        if (discarding) buffer.clear();  // no line end in it: still the long line's rest
        if (open && buffer.size() > kMaxRequestLine) {
            // Too long already: answered now, the rest of the line is skipped as it comes.
            buffer.clear();
            discarding = true;
            ++badLines;
            open = WriteAll(fd, JsonLine(ErrorLine(E_INVALIDARG, Format("the line is longer than %u bytes", {std::uint64_t{kMaxRequestLine}}))));
            if (open && badLines >= kMaxBadLines) {
                WriteAll(fd, JsonLine(ErrorLine(E_ABORT, Format("%u lines were not requests; goodbye", {std::uint64_t{kMaxBadLines}}))));
                open = false;
            }
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    connection->UnadviseAll();
    connection->handles.clear();
    connection->handleOf.clear();
    if (settings_.clientLeft) settings_.clientLeft();
    connection->done = true;
}

}  // namespace pw::admin
