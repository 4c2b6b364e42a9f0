// SocketConnection against a peer driven by plain socket calls over loopback TCP: where the line
// reader stops, how a closing or silent peer surfaces, bulk sends, and TLS including the guard that
// drops plain text read ahead of a STARTTLS handshake. Every wait is bounded.
#include "net/SocketConnection.h"
#include "net/TlsContext.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace pw::net {
namespace {

using Clock = std::chrono::steady_clock;

// Both ends of a connected loopback TCP socket: `ours` for the connection under test, `peer` for the
// test's own calls, which give up after 30 s so a broken connection fails the test instead of hanging it.
struct TcpPair {
    int ours = -1;
    int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    TcpPair() {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        const timeval bound{30, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        ::setsockopt(peer, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size) | ::listen(listener, 1) |
                      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) |
                      ::connect(peer, reinterpret_cast<sockaddr*>(&address), size),
                  0);
        ours = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_GE(ours, 0);
        ::close(listener);
    }
    ~TcpPair() {
        ClosePeer();
        if (ours >= 0) ::close(ours);
    }
    int TakeOurs() { return std::exchange(ours, -1); }
    int TakePeer() { return std::exchange(peer, -1); }
    void ClosePeer() { ::close(std::exchange(peer, -1)); }
    void Send(std::string_view text) const {
        ASSERT_EQ(::send(peer, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
};

// Sees every chunk the reader consumes, so the peer can send more at a known point of a ReadLine.
class WatchedConnection : public SocketConnection {
public:
    using SocketConnection::SocketConnection;
    std::function<void(std::string_view)> consumed;
    bool OnTraffic(const char* data, std::size_t length) override {
        if (consumed) consumed(std::string_view(data, length));
        return true;
    }
};

// The code a call failed with, or 0 when it did not fail.
std::int32_t FailureCode(const std::function<void()>& call) {
    try {
        call();
    } catch (const CnwSocketErr& error) {
        return error.Code();
    }
    return 0;
}

// Runs `session` on a connection over our end of the pair, in a thread of its own.
template <typename Session>
auto Serve(TcpPair& pair, Session session) {
    return std::async(std::launch::async, [fd = pair.TakeOurs(), session] {
        SocketConnection connection(fd);
        connection.SetTimeout(30);
        return session(connection);
    });
}

TEST(SocketConnectionTest, LineEndsAtACrLfSplitAcrossChunksAndLeavesWhatFollowsBuffered) {
    TcpPair pair;
    WatchedConnection connection(pair.TakeOurs());
    std::vector<std::string> chunks;
    connection.consumed = [&](std::string_view chunk) {
        chunks.emplace_back(chunk);
        if (chunk == "abc\r") pair.Send("\nB\r\nC");  // only now: the CR was consumed on its own
    };
    pair.Send("abc\r");
    EXPECT_EQ(connection.ReadLineText(), "abc\r\n");
    EXPECT_EQ(chunks, (std::vector<std::string>{"abc\r", "\n"}));
    EXPECT_EQ(connection.Buffered(), 4u);
    EXPECT_EQ(connection.ReadLineText(), "B\r\n");
    char rest[8] = {};
    EXPECT_EQ(connection.Receive(rest, sizeof rest, true), 1u);
    EXPECT_EQ(rest[0], 'C');
    EXPECT_EQ(connection.Buffered(), 1u);  // a peek keeps it
}

TEST(SocketConnectionTest, LongLineComesInPiecesOfCapacityLessOneOnlyTheLastWithCrLf) {
    TcpPair pair;
    SocketConnection connection(pair.TakeOurs());
    pair.Send("0123456789abcdefgh\r\n");
    std::vector<std::string> pieces;
    for (int i = 0; i < 3; ++i) {
        char buffer[16];
        std::memset(buffer, 'X', sizeof buffer);
        const std::size_t length = connection.ReadLine(buffer, 8);
        ASSERT_LT(length, 8u);
        EXPECT_EQ(buffer[length], '\0');
        EXPECT_EQ(std::string(buffer + 8, 8), std::string(8, 'X')) << "wrote past its capacity";
        pieces.emplace_back(buffer, length);
    }
    EXPECT_EQ(pieces, (std::vector<std::string>{"0123456", "789abcd", "efgh\r\n"}));

    // Longer than the receive buffer: the reader refills it in the middle of a line.
    const std::string line(5000, 'L');
    pair.Send(line + "\r\n");
    EXPECT_EQ(connection.ReadLineText(), line.substr(0, kReceiveBufferSize - 1));
    EXPECT_EQ(connection.ReadLineText(), line.substr(kReceiveBufferSize - 1) + "\r\n");
}

TEST(SocketConnectionTest, PeerClosingFailsTheLineWithRecv10053AfterDeliveringTheLineSoFar) {
    TcpPair silent;
    SocketConnection idle(silent.TakeOurs());
    silent.ClosePeer();
    try {
        idle.ReadLineText();
        FAIL() << "a closed peer gave a line";
    } catch (const CnwSocketErr& error) {
        EXPECT_EQ(error.Code(), 10053);
        EXPECT_STREQ(error.what(), "recv SOCKET_ERROR 2745");
    }
    TcpPair pair;
    SocketConnection connection(pair.TakeOurs());
    pair.Send("QUI");
    pair.ClosePeer();
    EXPECT_EQ(connection.ReadLineText(), "QUI");
    EXPECT_EQ(FailureCode([&] { connection.ReadLineText(); }), 10053);
}

TEST(SocketConnectionTest, SilentPeerTimesReadsAndStalledSendsOutWith10060) {
    TcpPair pair;
    SocketConnection connection(pair.TakeOurs());
    connection.SetTimeout(1);
    const auto began = Clock::now();
    char byte = 0;
    EXPECT_EQ(FailureCode([&] { connection.Receive(&byte, 1, false); }), 10060);
    EXPECT_EQ(FailureCode([&] { connection.ReadLineText(); }), 10060);
    // The peer never reads: once the socket buffers are full the send can not move.
    const std::string flood(32 << 20, 'f');
    EXPECT_EQ(FailureCode([&] { connection.Send(flood.data(), flood.size()); }), 10060);
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(30));
}

TEST(SocketConnectionTest, LargeSendArrivesIntactAtAReadingPeer) {
    TcpPair pair;
    SocketConnection connection(pair.TakeOurs());
    connection.SetTimeout(30);
    std::string data(6 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 13));
    auto received = std::async(std::launch::async, [&, peer = pair.peer] {
        std::string got;
        std::vector<char> chunk(1 << 16);
        while (got.size() < data.size()) {
            const ssize_t r = ::recv(peer, chunk.data(), chunk.size(), 0);
            if (r <= 0) break;
            got.append(chunk.data(), static_cast<std::size_t>(r));
        }
        return got;
    });
    EXPECT_EQ(connection.Send(data.data(), data.size()), data.size());
    const std::string got = received.get();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the bytes arrived changed";
}

TEST(SocketConnectionTest, SendToAClosedPeerThrowsInsteadOfRaisingSigpipe) {
    TcpPair pair;
    SocketConnection connection(pair.TakeOurs());
    connection.SetTimeout(10);
    pair.ClosePeer();
    // The first bytes may still be taken; the peer's reset makes a later send fail.
    const std::string chunk(64 << 10, 's');
    std::int32_t code = 0;
    for (int i = 0; i < 1000 && code == 0; ++i) code = FailureCode([&] { connection.Send(chunk.data(), chunk.size()); });
    EXPECT_TRUE(code == 10053 || code == 10054) << "failed with " << code;
}

// A self-signed certificate made for each test, and the process's context set from it.
class SocketConnectionTlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout '" + key +
                                    "' -out '" + cert + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        ASSERT_TRUE(TlsInitialise(cert, key));
    }
    void TearDown() override { TlsRelease(); }

    test::ScratchDirectory scratch;
    const std::string cert = scratch / "cert.pem";
    const std::string key = scratch / "key.pem";
};

TEST_F(SocketConnectionTlsTest, FailedInitialiseKeepsTheLastGoodContextAndReleaseDropsIt) {
    EXPECT_TRUE(TlsAvailable());
    EXPECT_FALSE(TlsInitialise(cert, scratch / "missing.pem"));
    EXPECT_FALSE(TlsInitialise(cert, cert));  // no private key in it
    EXPECT_TRUE(TlsAvailable());
    TlsRelease();
    EXPECT_FALSE(TlsAvailable());
    EXPECT_FALSE(TlsInitialise(scratch / "missing.pem", key));
    EXPECT_FALSE(TlsAvailable());
    TcpPair pair;
    SocketConnection connection(pair.TakeOurs());
    EXPECT_EQ(FailureCode([&] { connection.TlsAccept(); }), 10057);
    EXPECT_FALSE(connection.IsTls());
}

TEST_F(SocketConnectionTlsTest, AcceptedAndClientSessionsExchangeLinesAndBulkBothWays) {
    TcpPair pair;
    const std::string bulk(1 << 20, 'b');
    auto server = Serve(pair, [&bulk](SocketConnection& connection) {
        connection.TlsAccept();
        const std::string line = connection.ReadLineText();
        connection.SendString("250 " + line);
        connection.Send(bulk.data(), bulk.size());
        return line + (connection.IsTls() ? "tls" : "plain");
    });
    SocketConnection client(pair.TakePeer());
    client.SetTimeout(30);
    client.TlsClientStart();
    EXPECT_TRUE(client.IsTls());
    client.SendLine("EHLO client");
    EXPECT_EQ(client.ReadLineText(), "250 EHLO client\r\n");
    std::string got;
    std::vector<char> chunk(50000);
    while (got.size() < bulk.size()) {
        const std::size_t r = client.Receive(chunk.data(), chunk.size(), false);
        if (r == 0) break;
        got.append(chunk.data(), r);
    }
    EXPECT_TRUE(got == bulk) << got.size() << " bytes";
    EXPECT_EQ(server.get(), "EHLO client\r\ntls");
}

TEST_F(SocketConnectionTlsTest, PlainTextSentAheadOfTheHandshakeIsNeverReadAsTls) {
    TcpPair pair;
    auto server = Serve(pair, [](SocketConnection& connection) {
        std::vector<std::string> seen{connection.ReadLineText()};
        seen.push_back(std::to_string(connection.Buffered()));
        connection.SendString("220 Go ahead\r\n");
        connection.TlsAccept();
        seen.push_back(std::to_string(connection.Buffered()));
        seen.push_back(connection.ReadLineText());
        connection.SendString("250 over TLS\r\n");
        return seen;
    });
    SocketConnection client(pair.TakePeer());
    client.SetTimeout(30);
    client.SendString("STARTTLS\r\nINJECTED\r\n");  // one write: the second line rides in with the command
    EXPECT_EQ(client.ReadLineText(), "220 Go ahead\r\n");
    client.TlsClientStart();
    client.SendString("EHLO after\r\n");
    EXPECT_EQ(client.ReadLineText(), "250 over TLS\r\n");
    EXPECT_EQ(server.get(), (std::vector<std::string>{"STARTTLS\r\n", "10", "0", "EHLO after\r\n"}));
}

TEST_F(SocketConnectionTlsTest, StalledPeerMidRecordTimesOutWith10060) {
    TcpPair pair;
    auto server = Serve(pair, [](SocketConnection& connection) {
        connection.TlsAccept();
        connection.SetTimeout(1);
        return FailureCode([&] { connection.ReadLineText(); });
    });
    SocketConnection client(pair.TakePeer());
    client.SetTimeout(30);
    client.TlsClientStart();
    // The header of an application data record and a few bytes of its body, then nothing.
    const char stub[] = "\x17\x03\x03\x00\x40" "abc";
    ASSERT_EQ(::send(client.Socket(), stub, sizeof stub - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof stub - 1));
    if (server.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        client.ShutdownSocket();  // frees the reader so the test can end
        server.wait();
        FAIL() << "the read never timed out";
    }
    EXPECT_EQ(server.get(), 10060);
}

}  // namespace
}  // namespace pw::net
