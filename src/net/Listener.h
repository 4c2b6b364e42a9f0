// Listener: the listening side of the server -- one ServerListener per configured SMTP, POP3 and
// IMAP4 instance, each with its own accept thread, the access check on every new connection, and one
// session thread per accepted connection that runs the session handler of the instance's protocol.
//
// A client outside an instance's non-empty access list gets its connection closed without a word.
// An instance runs at most maxSessions sessions at once, and at most maxPerAddress of them for one
// client address; past either, the connection gets the protocol's refusal ("421 ...", "-ERR ...",
// "* BYE ...") and is closed, so a flood can not exhaust the threads and no client is left hanging.
// When the process runs out of descriptors, a descriptor held in reserve is given up for a moment so
// that the waiting connections can be accepted, told the server is busy, and closed; the log says so
// at most once a minute. Other transient accept failures are logged and retried after a short pause;
// only the stop flag ends an accept thread. A session holds one descriptor: its ticket owns the socket
// until the last holder lets go, and the session's connection only borrows it, so a stop can always
// shut the socket down without meeting a descriptor number used again by someone else. Stop never
// kills a thread: it ends the accept loop (which waits in bounded steps), shuts the read side of the
// sessions' sockets down so each fails on its next read and may still send its goodbye, then the
// write side of those still running, and waits for them with a bound. Tickets and listeners are
// shared (reference counted, atomically) between the accept thread and the sessions, so a session
// that outlives a stop still holds valid objects.
// Thread safety: StartListeners, StopListeners, ListenerCount and ListenerInfo serialise on the
// process-wide listener lock; each instance's lock guards its running sessions and their addresses.
#pragma once

#include "core/ConfigTree.h"
#include "core/Logging.h"
#include "net/SocketConnection.h"
#include "platform/IpAddress.h"
#include "platform/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pw::net {

// Sessions one instance runs at once unless "...:maxsessions" says otherwise, or fewer when the
// descriptor limit can not hold that many (see SessionsTheLimitAllows).
inline constexpr std::size_t kDefaultMaxSessions = 500;
// Sessions one client address may hold in one instance unless "...:maxperip" says otherwise (0: no
// limit of its own).
inline constexpr std::size_t kDefaultMaxPerAddress = 20;
// Descriptors counted for each session (its socket, and a message or mailbox file it has open) and
// kept aside for everything else (the store, logs, the listening sockets, the transports).
inline constexpr std::uint64_t kDescriptorsPerSession = 2;
inline constexpr std::uint64_t kDescriptorsKeptAside = 256;
inline constexpr int kDefaultInstanceTimeout = 360;
// How long a stop lets sessions whose reads it ended say goodbye before it ends their writes too.
inline constexpr std::chrono::seconds kSessionGoodbyeWait{2};
// How long a stop waits for the sessions it shut down to end.
inline constexpr std::chrono::seconds kSessionStopWait{15};

struct BlockListEntry {
    std::string zone;  // looked up with the reversed client address in front
    std::string name;
    std::string url;
    // Return code (IPv4, network byte order) to its description.
    std::unordered_map<std::uint32_t, std::string> returnCodes;
};

class ServerListener;

// One accepted connection, shared by the accept thread, the session thread and the session.
struct ConnectionTicket {
    ~ConnectionTicket();
    std::shared_ptr<ServerListener> listener;
    UniqueFd socket;  // closed (after a shutdown) when the last holder lets go; the connection borrows it
    long threadId = 0;
    IpAddress client;  // an IPv4 client of a listener on "::" is seen as its IPv4 address
    // The session's connection, made by the session thread before the handler runs: on the ticket's
    // socket, with the instance's time-out, already speaking TLS when the instance says so (never
    // plain text instead: without a TLS context the handshake fails).
    std::unique_ptr<LoggedConnection> connection;

    std::string ClientAddress() const;
    // Makes `connection` (throws CnwSocketErr, for one when the TLS handshake fails).
    void OpenConnection();
};

using SessionHandler = std::function<int(const std::shared_ptr<ConnectionTicket>&)>;

// The protocols' session handlers; an instance whose protocol has none closes what it accepts.
void SetSessionHandler(core::ServerTypeEnum type, SessionHandler handler);

class ServerListener : public std::enable_shared_from_this<ServerListener> {
public:
    ServerListener(core::ServerTypeEnum type, std::uint16_t defaultPort);
    virtual ~ServerListener();

    core::ServerTypeEnum Type() const { return type_; }
    const std::string& DisplayName() const { return displayName_; }
    std::string AddressText() const;
    std::uint16_t Port() const { return port_; }  // host order
    HRESULT Status() const { return status_.load(); }
    const IpAddress& ListenAddress() const { return address_; }
    std::size_t ActiveSessions() const;

    // Settings, read from the configuration before Start.
    int instance = 0;  // the %d of "sys:imap4:%d:..."
    // Either family; 0.0.0.0 listens on every IPv4 address, "::" on every address of both families.
    IpAddress address_;
    std::uint16_t port_ = 0;  // host order
    IpRangeList access;
    int timeout = kDefaultInstanceTimeout;
    bool tls = false;
    std::string domain;
    std::size_t maxSessions = kDefaultMaxSessions;
    bool maxSessionsConfigured = false;
    std::size_t maxPerAddress = kDefaultMaxPerAddress;  // 0: no limit per address
    SessionHandler handler;

    // Listens and starts the accept thread; the status tells how it went. An instance that speaks
    // TLS from the first byte does not listen while the process has no TLS context.
    void Start();
    void Stop();

private:
    // Leaves an implicit-TLS instance unstarted, and says why, when there is no TLS context.
    void RefuseToStartWithoutTls(std::string_view why);
    void AcceptLoop();
    // Accepts what waits while the process is out of descriptors, answering each "too busy".
    void ShedWithReserve();
    void Admit(UniqueFd socket, const IpAddress& client);
    // Sends the protocol's refusal and closes the socket.
    void Refuse(UniqueFd socket, std::string_view reply, std::string_view why, const std::string& clientText);
    // Counts refused connections; the log hears of them at most once a minute.
    void ReportRefusals(std::size_t refused, std::string_view why, const std::string& clientText);
    void RunSession(std::shared_ptr<ConnectionTicket> ticket);
    // Takes a session off the running ones.
    void Forget(const std::shared_ptr<ConnectionTicket>& ticket);
    // A line for the log and, with an event kind (>= 0), for the system log too.
    void Report(std::string_view text, core::LoggingLevelEnum level, int eventKind);

    core::ServerTypeEnum type_;
    core::LoggingEventEnum eventType_;
    std::string displayName_;
    UniqueFd listenSocket_;
    std::thread acceptThread_;
    std::atomic<bool> stop_{false};
    std::atomic<HRESULT> status_{S_OK};
    mutable std::mutex lock_;
    std::condition_variable sessionsChanged_;
    std::vector<std::shared_ptr<ConnectionTicket>> active_;
    std::unordered_map<IpAddress, std::size_t, IpAddressHash> perAddress_;  // running sessions by client address
    bool reported_ = false;
    std::chrono::steady_clock::time_point lastRefusalReport_{};
    std::size_t unreportedRefusals_ = 0;
};

class SMTPListener : public ServerListener {
public:
    SMTPListener() : ServerListener(core::SMTPServerType, 25) {}

    std::string welcome;
    std::int32_t maxSizeKb = 0;
    std::int32_t maxRecipients = 0;
    bool openRelay = false;
    bool pop3Auth = false;
    bool smtpAuth = false;
    bool authRequired = false;
    bool verifySenderDomain = false;
    std::vector<std::pair<std::string, std::string>> authAccounts;  // account, password
    std::vector<BlockListEntry> blockLists;
    IpRangeList relayList;
};

// Reads every configured instance of the three protocols (writing the defaults of a missing
// instance 0 into the tree) and returns the enabled ones in order: SMTP, POP3, IMAP4.
std::vector<std::shared_ptr<ServerListener>> ReadListenerConfiguration(core::ConfigTree& config,
                                                                         const std::string& primaryDomain);
// The sessions the descriptor limit leaves room for, shared by `instances` instances.
std::size_t SessionsTheLimitAllows(std::uint64_t descriptorLimit, std::size_t instances);
// The protocol's replies to a connection it will not serve: the server is too busy, or this address
// holds too many sessions already (with line end).
std::string_view BusyReply(core::ServerTypeEnum type);
std::string_view TooManyFromAddressReply(core::ServerTypeEnum type);
// A port value: decimal text, or a 16-bit number in network byte order. Host byte order.
std::uint16_t PortFromSetting(const Variant& value);

// The listener set: started and stopped by the service and the administration model.
bool StartListeners(core::ConfigTree& config, const std::string& primaryDomain);
bool StopListeners();
std::size_t ListenerCount();
bool ListenerInfo(std::size_t index, core::ServerActivity& info);
// The SMTP instance that accepted a connection (for its session), or nullptr.
std::shared_ptr<const SMTPListener> AsSmtpListener(const ServerListener& listener);

}  // namespace pw::net
