// SmtpClient against scripted peers on loopback TCP: the bounds on what a peer's reply may cost
// (line length, line count, the whole reply's time) and the attempt deadline that caps the connect
// and every reply wait. The peer gives up on its own after kPeerBound, so a client that does not
// stop fails the test with the wrong error instead of hanging it.
#include "smtp/SmtpClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <future>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pw::smtp {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPeerBound = std::chrono::seconds(20);

// Accepts one connection on a loopback port of its own and runs `script` on it.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(int)> script) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) | ::listen(listener_, 1) |
                      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size),
                  0);
        port_ = ntohs(address.sin_port);
        done_ = std::async(std::launch::async, [this, script] {
            pollfd entry{listener_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(kPeerBound).count())) != 1) return false;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return false;
            script(fd);
            ::close(fd);
            return true;
        });
    }
    ~ScriptedPeer() {
        ::shutdown(listener_, SHUT_RDWR);
        done_.wait();
        ::close(listener_);
    }
    std::uint16_t Port() const { return port_; }
    bool Connected() { return done_.get(); }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::future<bool> done_;
};

void Send(int fd, std::string_view text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

// Reads up to a line end (or the bound).
std::string ReadLine(int fd) {
    std::string line;
    const auto until = Clock::now() + kPeerBound;
    char c = 0;
    while (Clock::now() < until && c != '\n') {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) == 1 && ::recv(fd, &c, 1, 0) != 1) break;
        if (entry.revents & POLLIN) line += c;
    }
    return line;
}

// Waits until the client closes its end (or the bound passes).
void HoldUntilClosed(int fd) {
    const auto until = Clock::now() + kPeerBound;
    char sink[4096];
    while (Clock::now() < until) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) == 1 && ::recv(fd, sink, sizeof sink, 0) <= 0) return;
    }
}

// The socket error Open ended with, 0 when it returned.
std::int32_t OpenFailure(SmtpClient& client, std::uint16_t port) {
    try {
        client.Open(IpAddress::FromHostOrder(INADDR_LOOPBACK), port);
    } catch (const net::CnwSocketErr& error) {
        return error.Code();
    }
    return 0;
}

TEST(SmtpClientTest, OverLongAndEndlessRepliesEndTheConnectionWithASocketError) {
    {
        ScriptedPeer peer([](int fd) {
            for (std::size_t i = 0; i <= kMaxReplyLines; ++i) Send(fd, "220-still greeting\r\n");
            HoldUntilClosed(fd);
        });
        SmtpClient client;
        EXPECT_EQ(OpenFailure(client, peer.Port()), net::wsa::kNoBuffers);
    }
    {
        ScriptedPeer peer([](int fd) {
            Send(fd, "220 " + std::string(kMaxReplyLine, 'x') + "\r\n");
            HoldUntilClosed(fd);
        });
        SmtpClient client;
        EXPECT_EQ(OpenFailure(client, peer.Port()), net::wsa::kNoBuffers);
    }
    {
        // The limits leave room for what real servers send: as many lines as allowed, each as long.
        ScriptedPeer peer([](int fd) {
            const std::string text(kMaxReplyLine - 6, 'y');
            for (std::size_t i = 1; i < kMaxReplyLines; ++i) Send(fd, "220-" + text + "\r\n");
            Send(fd, "220 " + text + "\r\n");
            ReadLine(fd);
            Send(fd, "250-peer\r\n250 8BITMIME\r\n");
            HoldUntilClosed(fd);
        });
        SmtpClient client;
        EXPECT_EQ(OpenFailure(client, peer.Port()), 0);
        EXPECT_EQ(client.ReplyText(), "250-peer\n250 8BITMIME");
    }
}

TEST(SmtpClientTest, DeadlineAndReplyTimeBoundSilentAndDribblingPeers) {
    {
        ScriptedPeer peer(HoldUntilClosed);
        SmtpClient client;
        client.SetDeadline(Clock::now() + std::chrono::seconds(1));
        EXPECT_EQ(OpenFailure(client, peer.Port()), net::wsa::kTimedOut);
    }
    {
        // A line every 200 ms keeps every single read short; the reply as a whole still runs out.
        ScriptedPeer peer([](int fd) {
            const auto until = Clock::now() + kPeerBound;
            while (Clock::now() < until && ::send(fd, "220-x\r\n", 7, MSG_NOSIGNAL) == 7) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
        SmtpClient client;
        client.SetReplyTimeLimit(2);
        EXPECT_EQ(OpenFailure(client, peer.Port()), net::wsa::kTimedOut);
    }
    {
        // Past the deadline no connection is even tried.
        ScriptedPeer peer(HoldUntilClosed);
        SmtpClient client;
        client.SetDeadline(Clock::now());
        EXPECT_EQ(OpenFailure(client, peer.Port()), net::wsa::kTimedOut);
    }
}

}  // namespace
}  // namespace pw::smtp
