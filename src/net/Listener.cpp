// Listener: accept threads, the access check, session threads, and the listener set.
#include "net/Listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "core/LanguageTexts.h"
#include "net/SessionThreads.h"
#include "net/TlsContext.h"
#include "platform/EventLog.h"
#include "platform/Text.h"

namespace pw::net {

namespace {

// The accept loop looks at its stop flag at least this often.
constexpr int kAcceptPollMilliseconds = 250;
// Pause after an accept failure that may pass (a connection aborted, memory short).
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(200);
// Refused connections are reported at most this often, with how many there were since.
constexpr auto kRefusalReportInterval = std::chrono::minutes(1);
// Connections answered "too busy" in one go while out of descriptors, before the loop looks again.
constexpr std::size_t kMostShedAtOnce = 256;
// The status of an implicit-TLS instance left unstarted for want of a certificate
// (SEC_E_NO_CREDENTIALS: no credentials are available).
constexpr HRESULT kNoTlsCredentials = MakeHresult(0x8009030E);

// One descriptor the process keeps open so that, out of descriptors, it can still accept a waiting
// connection to tell it the server is busy (instead of leaving it in the queue unanswered).
std::mutex reserveLock;
UniqueFd reserveDescriptor;

void TakeReserve() { reserveDescriptor.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

void KeepReserve() {
    std::lock_guard guard(reserveLock);
    if (!reserveDescriptor) TakeReserve();
}

// A refusal is written without waiting: a client that does not read it is not worth a thread.
void SendAndClose(UniqueFd socket, std::string_view reply) {
    if (!reply.empty()) (void)::send(socket.Get(), reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    // Only the sending side is shut: closing with the client's unread bytes would reset the
    // connection and could discard the reply before the client reads it.
    ::shutdown(socket.Get(), SHUT_WR);
}

std::mutex handlersLock;
std::map<core::ServerTypeEnum, SessionHandler>& Handlers() {
    static std::map<core::ServerTypeEnum, SessionHandler> handlers;
    return handlers;
}

SessionHandler HandlerFor(core::ServerTypeEnum type) {
    std::lock_guard guard(handlersLock);
    const auto found = Handlers().find(type);
    return found == Handlers().end() ? SessionHandler() : found->second;
}

void CloseSocket(UniqueFd socket) { ::shutdown(socket.Get(), SHUT_RDWR); }

bool TransientAcceptError(int error) {
    return error == EMFILE || error == ENFILE || error == ECONNABORTED || error == EINTR || error == ENOBUFS ||
           error == ENOMEM || error == EPROTO || error == EAGAIN || error == EWOULDBLOCK;
}

HRESULT StatusFromWinsock(std::int32_t code) { return code > 0 ? HresultFromWin32(static_cast<std::uint32_t>(code)) : code; }

core::LoggingEventEnum EventFor(core::ServerTypeEnum type) {
    switch (type) {
    case core::SMTPServerType: return core::LogEventSMTPServer;
    case core::POP3ServerType: return core::LogEventPOP3Server;
    default: return core::LogEventIMAPServer;
    }
}

int NameTextFor(core::ServerTypeEnum type) {
    switch (type) {
    case core::SMTPServerType: return 211;
    case core::POP3ServerType: return 212;
    default: return 213;
    }
}

}  // namespace

void SetSessionHandler(core::ServerTypeEnum type, SessionHandler handler) {
    std::lock_guard guard(handlersLock);
    Handlers()[type] = std::move(handler);
}

ConnectionTicket::~ConnectionTicket() {
    if (socket) CloseSocket(std::move(socket));
}

std::string_view BusyReply(core::ServerTypeEnum type) {
    switch (type) {
    case core::SMTPServerType: return "421 4.3.2 Too busy, try again later\r\n";
    case core::POP3ServerType: return "-ERR Too busy, try again later\r\n";
    default: return "* BYE Too busy, try again later\r\n";
    }
}

std::string_view TooManyFromAddressReply(core::ServerTypeEnum type) {
    switch (type) {
    case core::SMTPServerType: return "421 4.7.0 Too many connections from your address\r\n";
    case core::POP3ServerType: return "-ERR Too many connections from your address\r\n";
    default: return "* BYE Too many connections from your address\r\n";
    }
}

std::size_t SessionsTheLimitAllows(std::uint64_t descriptorLimit, std::size_t instances) {
    if (descriptorLimit <= kDescriptorsKeptAside || instances == 0) return 1;
    const std::uint64_t sessions = (descriptorLimit - kDescriptorsKeptAside) / kDescriptorsPerSession / instances;
    return static_cast<std::size_t>(std::max<std::uint64_t>(sessions, 1));
}

std::string ConnectionTicket::ClientAddress() const { return client.Text(); }

void ConnectionTicket::OpenConnection() {
    // Borrowed: the connection may close when it likes, while the descriptor stays the ticket's and
    // valid for a stop that shuts the socket down.
    connection = std::make_unique<LoggedConnection>(socket.Get(), true);
    connection->SetTimeout(listener ? listener->timeout : kDefaultInstanceTimeout);
    // Not "when TLS is available": a client that asked for TLS must never be answered in plain text.
    if (listener && listener->tls) connection->TlsAccept();
}

ServerListener::ServerListener(core::ServerTypeEnum type, std::uint16_t defaultPort)
    : type_(type), eventType_(EventFor(type)), displayName_(core::LoadText(NameTextFor(type))) {
    if (displayName_.empty()) displayName_ = type == core::SMTPServerType ? "SMTP Server" : type == core::POP3ServerType ? "POP3 Server" : "IMAP4 Server";
    port_ = defaultPort;
}

ServerListener::~ServerListener() { Stop(); }

std::string ServerListener::AddressText() const { return address_.Text(); }

std::size_t ServerListener::ActiveSessions() const {
    std::lock_guard guard(lock_);
    return active_.size();
}

void ServerListener::Report(std::string_view text, core::LoggingLevelEnum level, int eventKind) {
    core::Log(level, text);
    if (eventKind >= 0) ReportEvent(eventKind, text);
}

void ServerListener::Start() {
    Stop();
    stop_ = false;
    status_ = S_OK;
    const auto fail = [&](std::int32_t code) {
        status_ = StatusFromWinsock(code);
        listenSocket_.Reset();
        const std::string address = AddressText();
        Report(core::FormatText(5008, {std::string_view(displayName_), std::string_view(address), std::int64_t{Port()},
                                       std::uint64_t{static_cast<std::uint32_t>(status_.load())}},
                                "%s could not listen on %s port %d (error 0x%08X)"),
               core::LogLevelCritical, event_kind::kError);
    };
    if (tls) {
        if (const std::string why = TlsUnavailableReason(); !why.empty()) return RefuseToStartWithoutTls(why);
    }
    KeepReserve();
    listenSocket_.Reset(::socket(address_.SocketFamily(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listenSocket_) return fail(WinsockErrorFromErrno(errno));
    const int on = 1;
    // A restarted server must bind while the old connections linger in TIME_WAIT; Linux still refuses
    // a second listener on the same port, which is what exclusive address use asks for.
    ::setsockopt(listenSocket_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address_.IsIPv6()) {
        // "::" takes IPv4 clients too, whatever the system's default (net.ipv6.bindv6only); any other
        // IPv6 address only its own family, so that an IPv4 instance on the same port can run beside it.
        const int v6Only = address_.IsUnspecified() ? 0 : 1;
        ::setsockopt(listenSocket_.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    }
    sockaddr_storage local{};
    const socklen_t localSize = address_.ToSocketAddress(port_, local);
    if (::bind(listenSocket_.Get(), reinterpret_cast<const sockaddr*>(&local), localSize) != 0 ||
        ::listen(listenSocket_.Get(), SOMAXCONN) != 0) {
        return fail(WinsockErrorFromErrno(errno));
    }
    try {
        acceptThread_ = std::thread([self = shared_from_this()] { self->AcceptLoop(); });
    } catch (const std::system_error&) {
        status_ = E_UNEXPECTED;
        listenSocket_.Reset();
        return;
    }
    const std::string address = AddressText();
    Report(core::FormatText(5010, {std::string_view(displayName_), std::string_view(address), std::int64_t{Port()}},
                            "%s listening on %s port %d"),
           core::LogLevelWarning, event_kind::kSuccess);
}

void ServerListener::RefuseToStartWithoutTls(std::string_view why) {
    status_ = kNoTlsCredentials;
    const std::string address = AddressText();
    Report(Format("%s instance %d on %s port %d needs TLS (\"ssl\" is on), but %s; it is not started, so that it never "
                  "answers in plain text",
                  {std::string_view(displayName_), std::int64_t{instance}, std::string_view(address), std::int64_t{Port()}, why}),
           core::LogLevelCritical, event_kind::kError);
}

void ServerListener::AcceptLoop() {
    while (!stop_) {
        pollfd entry{listenSocket_.Get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, kAcceptPollMilliseconds);
        if (stop_) break;
        if (ready <= 0) continue;
        // The reserve comes before a new session: another thread may have taken its descriptor while it
        // was lent out, and without it every connection past the limit would wait unanswered.
        KeepReserve();
        sockaddr_storage client{};
        socklen_t size = sizeof client;
        UniqueFd socket(::accept4(listenSocket_.Get(), reinterpret_cast<sockaddr*>(&client), &size, SOCK_CLOEXEC));
        if (!socket) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) continue;
            if (error == EMFILE || error == ENFILE) {
                ShedWithReserve();
                continue;
            }
            const std::int32_t code = WinsockErrorFromErrno(error);
            const std::string reason = std::strerror(error);
            Report(core::FormatText(5001, {std::string_view(displayName_), std::string_view("accept"), std::int64_t{code},
                                           std::string_view(reason)},
                                    "%s: %s failed with error %d (%s)"),
                   core::LogLevelCritical, -1);
            if (!TransientAcceptError(error)) status_ = StatusFromWinsock(code);
            std::this_thread::sleep_for(kAcceptRetryPause);
            continue;
        }
        if (stop_) {
            CloseSocket(std::move(socket));
            break;
        }
        Admit(std::move(socket), IpAddress::FromSocketAddress(reinterpret_cast<const sockaddr*>(&client), size).value_or(IpAddress()));
    }
}

void ServerListener::ShedWithReserve() {
    std::size_t shed = 0;
    {
        std::lock_guard guard(reserveLock);
        while (!stop_ && shed < kMostShedAtOnce) {
            reserveDescriptor.Reset();
            UniqueFd socket(::accept4(listenSocket_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!socket) break;
            SendAndClose(std::move(socket), BusyReply(type_));
            ++shed;
            TakeReserve();
            if (!reserveDescriptor) break;  // another thread took the descriptor first
        }
        if (!reserveDescriptor) TakeReserve();
    }
    ReportRefusals(std::max<std::size_t>(shed, 1), "the process is out of descriptors", {});
    // Nothing could be accepted even so: wait for descriptors to come free rather than spin.
    if (shed == 0) std::this_thread::sleep_for(kAcceptRetryPause);
}

void ServerListener::Refuse(UniqueFd socket, std::string_view reply, std::string_view why, const std::string& clientText) {
    SendAndClose(std::move(socket), reply);
    ReportRefusals(1, why, clientText);
}

void ServerListener::ReportRefusals(std::size_t refused, std::string_view why, const std::string& clientText) {
    std::size_t count = 0;
    {
        std::lock_guard guard(lock_);
        unreportedRefusals_ += refused;
        const auto now = std::chrono::steady_clock::now();
        if (reported_ && now - lastRefusalReport_ < kRefusalReportInterval) return;
        reported_ = true;
        lastRefusalReport_ = now;
        count = std::exchange(unreportedRefusals_, 0);
    }
    const std::string from = clientText.empty() ? std::string() : ", the last from " + clientText;
    Report(Format("%s refused %u connections (%s%s); refusals are reported at most once a minute",
                  {std::string_view(displayName_), std::uint64_t{count}, why, std::string_view(from)}),
           core::LogLevelWarning, event_kind::kWarning);
}

void ServerListener::Admit(UniqueFd socket, const IpAddress& client) {
    const std::string clientText = client.Text();
    if (!access.Empty() && !access.Contains(client)) {
        const std::string reason = core::LoadText(5015);
        const std::string address = AddressText();
        core::Log(core::LogLevelWarning,
                  core::FormatText(5013, {std::string_view(clientText), std::string_view(displayName_), std::string_view(address),
                                          std::int64_t{Port()}, std::string_view(reason)},
                                   "Connection from %s to %s (%s port %d) refused: %s"));
        CloseSocket(std::move(socket));
        return;
    }
    auto ticket = std::make_shared<ConnectionTicket>();
    ticket->listener = shared_from_this();
    ticket->client = client;
    const IpAddress& address = client;
    {
        std::unique_lock guard(lock_);
        if (active_.size() >= maxSessions) {
            const std::string why = Format("%u sessions are running", {std::uint64_t{active_.size()}});
            guard.unlock();
            return Refuse(std::move(socket), BusyReply(type_), why, clientText);
        }
        std::size_t& fromAddress = perAddress_[address];
        if (maxPerAddress != 0 && fromAddress >= maxPerAddress) {
            const std::string why = Format("%u sessions from one address are running", {std::uint64_t{fromAddress}});
            guard.unlock();
            return Refuse(std::move(socket), TooManyFromAddressReply(type_), why, clientText);
        }
        ++fromAddress;
        // Registered here, not in the thread, so a stop that comes before the thread runs still sees it.
        ticket->socket = std::move(socket);
        active_.push_back(ticket);
    }
    try {
        RunSessionThread([self = shared_from_this(), ticket] { self->RunSession(ticket); });
    } catch (const std::system_error& error) {
        core::Log(core::LogLevelCritical, displayName_ + ": can not start a session thread: " + error.what());
        (void)::send(ticket->socket.Get(), BusyReply(type_).data(), BusyReply(type_).size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        Forget(ticket);
    }
}

void ServerListener::Forget(const std::shared_ptr<ConnectionTicket>& ticket) {
    std::lock_guard guard(lock_);
    std::erase(active_, ticket);
    const auto found = perAddress_.find(ticket->client);
    if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
    sessionsChanged_.notify_all();
}

void ServerListener::RunSession(std::shared_ptr<ConnectionTicket> ticket) {
    ticket->threadId = static_cast<long>(::gettid());
    if (const auto logging = core::ProcessLogging()) logging->LogEvent(eventType_, core::LogLevelEventStart, Variant::I4(0));
    const SessionHandler run = handler ? handler : HandlerFor(type_);
    try {
        ticket->OpenConnection();
        if (run) {
            run(ticket);
        } else {
            core::Log(core::LogLevelDebug, displayName_ + ": no session handler; closing the connection from " + ticket->ClientAddress());
        }
    } catch (const CnwSocketErr& error) {
        core::Log(core::LogLevelDebug, displayName_ + ": session with " + ticket->ClientAddress() + " ended: " + error.what());
    } catch (const std::exception& error) {
        core::Log(core::LogLevelCritical, displayName_ + ": session with " + ticket->ClientAddress() + " failed: " + error.what());
    }
    ticket->connection.reset();
    Forget(ticket);
    if (const auto logging = core::ProcessLogging()) logging->LogEvent(eventType_, core::LogLevelEventEnd, Variant::I4(0));
}

void ServerListener::Stop() {
    stop_ = true;
    if (acceptThread_.joinable()) {
        if (acceptThread_.get_id() == std::this_thread::get_id()) {
            acceptThread_.detach();
        } else {
            acceptThread_.join();
        }
    }
    listenSocket_.Reset();
    std::unique_lock guard(lock_);
    // The read side first: each session's next read ends, and it may still say goodbye ("* BYE",
    // "421"). What is still running after a short while -- a session stuck in a send -- loses the
    // write side too.
    for (const auto& ticket : active_) ::shutdown(ticket->socket.Get(), SHUT_RD);
    if (sessionsChanged_.wait_for(guard, kSessionGoodbyeWait, [&] { return active_.empty(); })) return;
    for (const auto& ticket : active_) ::shutdown(ticket->socket.Get(), SHUT_RDWR);
    if (!sessionsChanged_.wait_for(guard, kSessionStopWait, [&] { return active_.empty(); })) {
        core::Log(core::LogLevelWarning, Format("%s: %u sessions did not end in time; they end on their own",
                                                {std::string_view(displayName_), std::uint64_t{active_.size()}}));
    }
}

std::shared_ptr<const SMTPListener> AsSmtpListener(const ServerListener& listener) {
    return std::dynamic_pointer_cast<const SMTPListener>(listener.shared_from_this());
}

namespace {

// The listener set; it answers the log's NumberServers and ServerActive while it exists.
class ListenerSet : public core::ListenerDirectory {
public:
    std::vector<std::shared_ptr<ServerListener>> listeners;

    std::size_t ListenerCount() const override { return listeners.size(); }
    bool ListenerInfo(std::size_t index, core::ServerActivity& info) const override {
        if (index >= listeners.size()) return false;
        const auto& listener = *listeners[index];
        info.type = listener.Type();
        info.address = listener.ListenAddress().NetworkOrder();  // 0 for IPv6: the activity record holds IPv4 only
        info.port = listener.Port();
        info.status = listener.Status();
        return true;
    }
};

std::recursive_mutex listenerLock;
std::shared_ptr<ListenerSet> currentSet;

}  // namespace

bool StartListeners(core::ConfigTree& config, const std::string& primaryDomain) {
    std::lock_guard guard(listenerLock);
    auto set = std::make_shared<ListenerSet>();
    try {
        set->listeners = ReadListenerConfiguration(config, primaryDomain);
    } catch (const std::exception& error) {
        core::Log(core::LogLevelCritical, std::string("The listener settings can not be read: ") + error.what());
        return false;
    }
    for (const auto& listener : set->listeners) listener->Start();
    currentSet = set;
    if (const auto logging = core::ProcessLogging()) logging->SetListenerDirectory(set);
    core::Log(core::LogLevelNormal, core::FormatText(5011, {}, "Listeners started"));
    return true;
}

bool StopListeners() {
    std::lock_guard guard(listenerLock);
    if (!currentSet) return false;
    if (const auto logging = core::ProcessLogging()) logging->SetListenerDirectory(nullptr);
    for (const auto& listener : currentSet->listeners) {
        listener->Stop();
        const std::string address = listener->AddressText();
        core::Log(core::LogLevelWarning,
                  core::FormatText(5009, {std::string_view(listener->DisplayName()), std::string_view(address), std::int64_t{listener->Port()}},
                                   "%s stopped listening on %s port %d"));
    }
    currentSet.reset();
    ReportEvent(event_kind::kInformation, core::FormatText(5012, {}, "Listeners stopped"));
    return true;
}

std::size_t ListenerCount() {
    std::lock_guard guard(listenerLock);
    return currentSet ? currentSet->ListenerCount() : 0;
}

bool ListenerInfo(std::size_t index, core::ServerActivity& info) {
    std::lock_guard guard(listenerLock);
    return currentSet && currentSet->ListenerInfo(index, info);
}

}  // namespace pw::net
