// SessionFuzzSupport: the shared store and the socket-pair conversation of the session targets.
#include "SessionFuzzSupport.h"

#include "FuzzScratch.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/Configuration.h"
#include "net/LoginFailures.h"
#include "core/Logging.h"
#include "platform/EventLog.h"
#include "store/Envelope.h"

namespace pw::fuzz {

namespace {

// A conversation that neither sends nor receives for this long means the session hangs.
constexpr int kStallMilliseconds = 30000;

SessionStore MakeStore() {
    SessionStore made;
    made.root = ScratchDirectory();

    // Debug logging without a file: every received line still goes through the log's escaping.
    auto logging = std::make_shared<core::Logging>(Registry(made.root + "/pellworth.reg"));
    logging->SetLogMessageLevel(core::LogLevelDebug);
    core::SetProcessLogging(logging);
    SetEventWriter([](int, std::string_view) {});

    core::ConfigTree& config = core::ServerConfig();
    config.Set(store::kPrimaryDomainKey, Variant::Text(kDomain));
    config.Set("sys:dns:0:server", Variant::Text("127.0.0.1"));

    const std::string storePath = made.root + "/store";
    made.store = store::MessageStore::OpenOrCreate(storePath);
    store::SetServerStorePath(storePath);
    auto domain = made.store->GetDomains()->Add(kDomain);
    auto mailbox = domain->GetMailBoxes()->Add(kUser, store::UserMailBoxType);
    mailbox->SetPassword(kPassword);
    mailbox->Update();
    return made;
}

// The client: sends the input, then the end of the stream, and reads until the session has closed.
void Client(int socket, std::span<const std::uint8_t> input, std::string& replies) {
    std::size_t sent = 0;
    bool shut = false;
    char sink[16384];
    for (;;) {
        if (sent == input.size() && !shut) {
            ::shutdown(socket, SHUT_WR);
            shut = true;
        }
        pollfd ready{socket, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
        const int count = ::poll(&ready, 1, kStallMilliseconds);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) __builtin_trap();
        if (!shut && (ready.revents & POLLOUT) != 0) {
            const ssize_t n = ::send(socket, input.data() + sent, input.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                sent = input.size();  // the session has gone; what is left is never read
            }
        }
        if ((ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::recv(socket, sink, sizeof sink, MSG_DONTWAIT);
            if (n > 0) replies.append(sink, static_cast<std::size_t>(n));
            if (n == 0) break;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        }
    }
    ::close(socket);
}

}  // namespace

const SessionStore& SharedSessionStore() {
    static const SessionStore store = MakeStore();
    return store;
}

void AddMessage(store::Folder& folder, std::string_view content) {
    auto envelope = folder.GetEnvelopes()->Add();
    envelope->SetSender("sender@example.org");
    envelope->GetRecipients().Add(std::string(kUser) + "@" + std::string(kDomain));
    {
        auto stream = envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        ThrowIfFailed(stream->Write(content));
    }
    envelope->Update();
}

std::string Converse(std::span<const std::uint8_t> input, const std::shared_ptr<net::ServerListener>& listener,
              const std::function<void(std::shared_ptr<net::ConnectionTicket>)>& session) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    auto ticket = std::make_shared<net::ConnectionTicket>();
    ticket->listener = listener;
    ticket->socket.Reset(ends[0]);
    ticket->client = IpAddress::FromHostOrder(INADDR_LOOPBACK + 1);  // 127.0.0.2: on no relay list
    ticket->OpenConnection();
    std::string replies;
    std::thread client(Client, ends[1], input, std::ref(replies));
    session(ticket);
    // The client sees the end of the stream only when the last descriptor of the session's end goes.
    ticket.reset();
    client.join();
    return replies;
}

}  // namespace pw::fuzz

// A failed login costs the client a pause of a quarter of a second and more, growing across inputs
// (the failed-login table is the process's); that is a session's policy towards guessers, not its
// parsing. The session targets are linked with --wrap=nanosleep: pauses that long return at once,
// shorter ones are kept.
extern "C" int __real_nanosleep(const timespec* request, timespec* remaining);
extern "C" int __wrap_nanosleep(const timespec* request, timespec* remaining) {
    const auto wanted = std::chrono::seconds(request->tv_sec) + std::chrono::nanoseconds(request->tv_nsec);
    if (wanted >= pw::net::kFirstFailurePause) return 0;
    return __real_nanosleep(request, remaining);
}
