// Listener: access ranges, the stored forms of addresses and ports, the instance settings as the
// configuration holds them, and real listeners on loopback -- echo, refusal by the access list, the
// session cap, and a stop while a session waits for its client. Every wait is bounded.
#include "net/Listener.h"

#include "core/Configuration.h"
#include "platform/EventLog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pw::net {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Settings = std::vector<std::pair<std::string, Variant>>;

std::uint32_t NetworkOrder(const char* text) {
    in_addr address{};
    EXPECT_EQ(::inet_pton(AF_INET, text, &address), 1);
    return address.s_addr;
}
std::uint32_t HostOrder(const char* text) { return ntohl(NetworkOrder(text)); }
Variant AddressNumber(const char* text) { return Variant::I4(static_cast<std::int32_t>(NetworkOrder(text))); }

std::vector<std::shared_ptr<ServerListener>> Read(core::ConfigTree& config, const Settings& settings) {
    for (const auto& [key, value] : settings) config.Set(key, value);
    return ReadListenerConfiguration(config, "example.org");
}

TEST(ListenerTest, RangesIncludeBothEndsSwapBackwardsOnesAndTakeLastZeroAsTheFirstAlone) {
    IpRangeList list;
    EXPECT_TRUE(list.Empty());
    list.Add(HostOrder("10.0.0.5"), 0);
    list.Add(HostOrder("192.168.1.20"), HostOrder("192.168.1.10"), "office");
    ASSERT_EQ(list.Ranges().size(), 2u);
    EXPECT_EQ(list.Ranges()[1].first.HostOrder(), HostOrder("192.168.1.10"));
    EXPECT_EQ(list.Ranges()[1].comment, "office");
    for (const char* in : {"10.0.0.5", "192.168.1.10", "192.168.1.15", "192.168.1.20"}) EXPECT_TRUE(list.Contains(HostOrder(in))) << in;
    for (const char* out : {"10.0.0.4", "10.0.0.6", "0.0.0.0", "192.168.1.9", "192.168.1.21"}) EXPECT_FALSE(list.Contains(HostOrder(out))) << out;
}

TEST(ListenerTest, PortsAndAddressesAgreeInEveryStoredForm) {
    EXPECT_EQ(PortFromSetting(Variant::UI2(6400)), 25);  // 25 in network byte order
    EXPECT_EQ(PortFromSetting(Variant::Text("25")), 25);
    EXPECT_EQ(PortFromSetting(core::PortValue(2525)), 2525);
    EXPECT_EQ(AddressFromValue(Variant::Text("127.0.0.1")), NetworkOrder("127.0.0.1"));
    EXPECT_EQ(AddressFromValue(AddressNumber("127.0.0.1")), NetworkOrder("127.0.0.1"));
    EXPECT_EQ(AddressFromValue(Variant::I4(-1)), NetworkOrder("255.255.255.255"));
    EXPECT_EQ(AddressFromValue(Variant::Text("no address")), 0u);
}

TEST(ListenerTest, EmptyConfigurationGetsInstanceZeroDefaultsAndThreeListeners) {
    core::ConfigTree config;
    const auto listeners = Read(config, {});
    const Variant port = config.GetCopy("sys:smtp:0:port");
    EXPECT_EQ(port.Type(), VT_UI2);
    EXPECT_EQ(port.AsUI2(), 6400);
    EXPECT_EQ(config.GetCopy("sys:smtp:0:timeout").AsI4(), 360);
    EXPECT_TRUE(config.GetCopy("sys:imap4:0:enabled").IsTrue());
    ASSERT_EQ(listeners.size(), 3u);
    const core::ServerTypeEnum types[] = {core::SMTPServerType, core::POP3ServerType, core::IMAPServerType};
    const std::uint16_t ports[] = {25, 110, 143};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(listeners[i]->Type(), types[i]);
        EXPECT_EQ(listeners[i]->Port(), ports[i]);
        EXPECT_EQ(listeners[i]->AddressText() + " " + listeners[i]->domain, "0.0.0.0 example.org");
        EXPECT_EQ(listeners[i]->timeout, 360);
        EXPECT_FALSE(listeners[i]->tls);
    }
    EXPECT_NE(AsSmtpListener(*listeners[0]), nullptr);
    EXPECT_EQ(AsSmtpListener(*listeners[1]), nullptr);
}

TEST(ListenerTest, DisabledInstancesAreSkippedAndOnlyTheStoredTimoutKeySetsTheTimeout) {
    core::ConfigTree config;
    const auto listeners = Read(config, {{"sys:smtp:0:enabled", Variant::I4(0)}, {"sys:smtp:1:enabled", Variant::Switch(true)},
        {"sys:smtp:1:ip", Variant::Text("127.0.0.1")}, {"sys:smtp:1:port", Variant::Text("2525")},
        {"sys:smtp:1:timout", Variant::I4(45)}, {"sys:pop3:0:enabled", Variant::Switch(true)},
        {"sys:pop3:0:timeout", Variant::I4(45)}, {"sys:pop3:0:maxsessions", Variant::I4(7)},
        {"sys:pop3:0:ssl", Variant::Switch(true)}, {"sys:pop3:0:domain", Variant::Text("pop.example.org")},
        {"sys:imap4:0:enabled", Variant::Switch(false)}});
    ASSERT_EQ(listeners.size(), 2u);
    EXPECT_EQ(listeners[0]->Type(), core::SMTPServerType);
    EXPECT_EQ(listeners[0]->AddressText() + ":" + std::to_string(listeners[0]->Port()), "127.0.0.1:2525");
    EXPECT_EQ(listeners[0]->timeout, 45);
    EXPECT_EQ(listeners[1]->Type(), core::POP3ServerType);
    EXPECT_EQ(listeners[1]->timeout, 360);
    EXPECT_EQ(listeners[1]->maxSessions, 7u);
    EXPECT_TRUE(listeners[1]->tls);
    EXPECT_EQ(listeners[1]->domain, "pop.example.org");
    EXPECT_TRUE(config.GetCopy("sys:smtp:0:port").IsEmpty()) << "an existing instance 0 got defaults";
}

TEST(ListenerTest, SmtpInstanceReadsAuthAccountsRelayAndAccessRangesAndBlockLists) {
    core::ConfigTree config;
    const auto listeners = Read(config, {{"sys:smtp:0:enabled", Variant::Switch(true)}, {"sys:smtp:0:authaccount:0:account", Variant::Text("relay")},
        {"sys:smtp:0:authaccount:0:password", Variant::Text("secret")}, {"sys:smtp:0:authaccount:1:account", Variant::Text("backup")},
        {"sys:smtp:0:authaccount:1:password", Variant::Text("other")}, {"sys:smtp:0:iprelay:0:ipstart", Variant::Text("10.0.0.1")},
        {"sys:smtp:0:iprelay:0:ipend", Variant::Text("10.0.0.9")}, {"sys:smtp:0:iprelay:1:ipstart", AddressNumber("192.168.5.5")},
        {"sys:smtp:0:ipaccess:0:ipstart", Variant::Text("127.0.0.1")}, {"sys:smtp:0:rbl:0:server", Variant::Text("zen.example.org")},
        {"sys:smtp:0:rbl:0:name", Variant::Text("Zen")}, {"sys:smtp:0:rbl:0:retcode:0:code", Variant::Text("127.0.0.2")},
        {"sys:smtp:0:rbl:0:retcode:0:desc", Variant::Text("listed")}, {"sys:smtp:0:rbl:0:retcode:1:code", AddressNumber("127.0.0.4")},
        {"sys:smtp:0:rbl:0:retcode:1:desc", Variant::Text("exploits")}});
    ASSERT_FALSE(listeners.empty());
    const auto smtp = AsSmtpListener(*listeners[0]);
    ASSERT_NE(smtp, nullptr);
    EXPECT_EQ(smtp->authAccounts, (std::vector<std::pair<std::string, std::string>>{{"relay", "secret"}, {"backup", "other"}}));
    EXPECT_EQ(smtp->relayList.Ranges().size(), 2u);
    for (const char* in : {"10.0.0.1", "10.0.0.9", "192.168.5.5"}) EXPECT_TRUE(smtp->relayList.Contains(HostOrder(in))) << in;
    for (const char* out : {"10.0.0.10", "192.168.5.6"}) EXPECT_FALSE(smtp->relayList.Contains(HostOrder(out))) << out;
    EXPECT_TRUE(smtp->access.Contains(HostOrder("127.0.0.1")));
    EXPECT_FALSE(smtp->access.Contains(HostOrder("127.0.0.2")));
    ASSERT_EQ(smtp->blockLists.size(), 1u);
    const BlockListEntry& rbl = smtp->blockLists[0];
    EXPECT_EQ(rbl.zone + " " + rbl.name, "zen.example.org Zen");
    ASSERT_EQ(rbl.returnCodes.size(), 2u);
    EXPECT_EQ(rbl.returnCodes.at(NetworkOrder("127.0.0.2")), "listed");
    EXPECT_EQ(rbl.returnCodes.at(NetworkOrder("127.0.0.4")), "exploits");
}

// A listener on 127.0.0.1 whose sessions echo one line; the test sees which clients got a session
// and how the failed ones ended.
class ListenerLiveTest : public ::testing::Test {
protected:
    void SetUp() override { SetEventWriter([](int, std::string_view) {}); }
    void TearDown() override {
        if (listener) listener->Stop();
        SetEventWriter(nullptr);
    }

    void Start(const std::function<void(ServerListener&)>& configure = {}) {
        // The port is one the system just handed out; another process may take it in between.
        for (int attempt = 0; attempt < 5; ++attempt) {
            listener = std::make_shared<ServerListener>(core::SMTPServerType, 0);
            listener->address_ = IpAddress::FromHostOrder(INADDR_LOOPBACK);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            socklen_t size = sizeof address;
            ::bind(probe, reinterpret_cast<sockaddr*>(&address), size);
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
            ::close(probe);
            listener->port_ = ntohs(address.sin_port);
            listener->timeout = 30;
            listener->handler = [this](const std::shared_ptr<ConnectionTicket>& ticket) { return Echo(*ticket); };
            if (configure) configure(*listener);
            listener->Start();
            if (listener->Status() == S_OK) return;
        }
        FAIL() << "no loopback port to listen on";
    }
    // Notes "session ADDRESS" when a session starts and "failed CODE" when its read or write fails.
    int Echo(ConnectionTicket& ticket) {
        Note("session " + ticket.ClientAddress());
        try {
            ticket.connection->SendString(ticket.connection->ReadLineText());
        } catch (const CnwSocketErr& error) {
            Note("failed " + std::to_string(error.Code()));
            throw;
        }
        return 0;
    }
    void Note(std::string event) {
        std::lock_guard guard(lock);
        events.push_back(std::move(event));
        changed.notify_all();
    }
    std::vector<std::string> Events() {
        std::lock_guard guard(lock);
        return events;
    }
    bool WaitForSession() { return WaitForSessions(1); }
    bool WaitForSessions(std::size_t count) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 30s, [&] { return events.size() >= count; });
    }
    bool WaitUntilIdle() const {
        for (const auto until = Clock::now() + 30s; Clock::now() < until; std::this_thread::sleep_for(5ms)) {
            if (listener->ActiveSessions() == 0) return true;
        }
        return false;
    }
    // A plain client from a loopback address whose reads give up after 30 s; -1 when the connection
    // is refused.
    int Connect(const char* from = "127.0.0.1") const {
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval bound{30, 0};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &source.sin_addr);
        ::bind(client, reinterpret_cast<const sockaddr*>(&source), sizeof source);
        sockaddr_storage address{};
        const socklen_t size = listener->ListenAddress().ToSocketAddress(listener->Port(), address);
        if (::connect(client, reinterpret_cast<const sockaddr*>(&address), size) == 0) return client;
        ::close(client);
        return -1;
    }
    // Sends the text, then takes everything until the server closes; "<timeout>" when it never does.
    static std::string Exchange(int client, std::string_view text = {}) {
        if (!text.empty()) {
            EXPECT_EQ(::send(client, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
        }
        std::string got;
        char chunk[512];
        ssize_t r = 0;
        while ((r = ::recv(client, chunk, sizeof chunk, 0)) > 0) got.append(chunk, static_cast<std::size_t>(r));
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) got += "<timeout>";
        ::close(client);
        return got;
    }

    std::shared_ptr<ServerListener> listener;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> events;
};

TEST_F(ListenerLiveTest, SessionEchoesTheClientsLineAndEnds) {
    Start();
    EXPECT_EQ(Exchange(Connect(), "HELO there\r\n"), "HELO there\r\n");
    EXPECT_TRUE(WaitUntilIdle());
    EXPECT_EQ(Events(), std::vector<std::string>{"session 127.0.0.1"});
}

TEST_F(ListenerLiveTest, ClientOutsideTheAccessListIsClosedWithoutAByte) {
    Start([](ServerListener& server) { server.access.Add(HostOrder("127.0.0.2"), 0); });
    EXPECT_EQ(Exchange(Connect()), "");
    EXPECT_TRUE(WaitUntilIdle());
    EXPECT_TRUE(Events().empty()) << "a refused client got a session";
}

TEST_F(ListenerLiveTest, CapsAnswerWithTheProtocolsRefusalAndAnEndedSessionFreesItsPlace) {
    Start([](ServerListener& server) {
        server.maxSessions = 2;
        server.maxPerAddress = 1;
    });
    const int first = Connect();
    ASSERT_TRUE(WaitForSessions(1));
    EXPECT_EQ(Exchange(Connect()), TooManyFromAddressReply(core::SMTPServerType));
    const int second = Connect("127.0.0.2");
    ASSERT_TRUE(WaitForSessions(2));
    EXPECT_EQ(Exchange(Connect("127.0.0.3")), BusyReply(core::SMTPServerType));
    EXPECT_EQ(Exchange(first, "one\r\n"), "one\r\n");
    EXPECT_EQ(Exchange(second, "two\r\n"), "two\r\n");
    ASSERT_TRUE(WaitUntilIdle());
    EXPECT_EQ(Exchange(Connect(), "three\r\n"), "three\r\n");
    EXPECT_EQ(Events().size(), 3u) << "a refused client got a session";
}

TEST_F(ListenerLiveTest, StopEndsASessionWaitingForItsClientAndStopsListening) {
    Start();
    const int client = Connect();
    ASSERT_TRUE(WaitForSession());
    const auto began = Clock::now();
    listener->Stop();
    EXPECT_LT(Clock::now() - began, kSessionStopWait);
    EXPECT_EQ(listener->ActiveSessions(), 0u);
    EXPECT_EQ(Events(), (std::vector<std::string>{"session 127.0.0.1", "failed 10053"}));
    EXPECT_EQ(Exchange(client), "");
    EXPECT_EQ(Connect(), -1) << "still accepting after the stop";
}

}  // namespace
}  // namespace pw::net
