// SpamdClient: spamd's answers read and refused, the report made fit for a header, and the
// conversation with fake spamds on Unix sockets and TCP -- the request byte for byte, an error
// answer, a silent peer, nobody listening, an answer without end.
#include "spamd/SpamdClient.h"

#include "TestSupport.h"
#include "platform/UniqueFd.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace pw::spamd {
namespace {

TEST(SpamdClientTest, ReadsVerdictsAndRefusesAnythingButAnExOkAnswerWithASpamHeader) {
    antispam::SpamAssassinVerdict verdict;
    std::string failure;
    ASSERT_TRUE(ParseSpamdResponse("SPAMD/1.1 0 EX_OK\r\nContent-length: 9\r\nSpam: True ; 1005.2 / 5.0\r\n\r\nline one\n", verdict, failure));
    EXPECT_TRUE(verdict.spam);
    EXPECT_DOUBLE_EQ(verdict.score, 1005.2);
    EXPECT_DOUBLE_EQ(verdict.required, 5.0);
    EXPECT_EQ(verdict.report, "line one");
    ASSERT_TRUE(ParseSpamdResponse("SPAMD/1.1 0 EX_OK\r\nspam: no ; -0.3 / 6.5\r\n\r\n", verdict, failure));
    EXPECT_FALSE(verdict.spam);
    EXPECT_DOUBLE_EQ(verdict.score, -0.3);
    EXPECT_EQ(verdict.report, "");
    for (const std::string_view bad : {
             "SPAMD/1.1 76 Bad header line: (EOF)\r\n\r\n",       // spamd's own error
             "SPAMD/1.1 0 EX_OK\r\n\r\n",                          // no verdict
             "SPAMD/1.1 0 EX_OK\r\nSpam: Maybe ; 1 / 5\r\n\r\n",   // not a verdict
             "SPAMD/1.1 0 EX_OK\r\nSpam: True ; lots / 5\r\n\r\n",
             "SPAMD/1.1 0 EX_OK\r\nSpam: True 5 / 5\r\n\r\n",
             "HTTP/1.1 200 OK\r\nSpam: True ; 9 / 5\r\n\r\n",     // something else on the port
             "",
         }) {
        failure.clear();
        EXPECT_FALSE(ParseSpamdResponse(bad, verdict, failure)) << bad;
        EXPECT_FALSE(failure.empty()) << bad;
    }
}

TEST(SpamdClientTest, MakesTheReportFitForAHeader) {
    EXPECT_EQ(CleanReport("Spam detection\r\n\r\n   \n pts rule\t name   \n1000 GTUBE\xe2\x80\x99s\x01\n\n"),
              "Spam detection\n pts rule  name\n1000 GTUBE???s?");
    const std::string huge(3 * kMaxSpamdReport, 'x');
    EXPECT_EQ(CleanReport(huge), std::string(kMaxSpamdReportLine, 'x'));
    std::string many;
    for (int i = 0; i < 2000; ++i) many += "a report line of some length\n";
    EXPECT_EQ(CleanReport(many).size(), kMaxSpamdReport);
}

// A fake spamd: accepts one connection, reads the request until the client ends its side, then
// answers (or stays silent until told to go).
class FakeSpamd {
public:
    FakeSpamd(UniqueFd listener, std::string answer, bool silent = false)
        : listener_(std::move(listener)), answer_(std::move(answer)), silent_(silent) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeSpamd() {
        ::shutdown(listener_.Get(), SHUT_RDWR);
        if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
        thread_.join();
    }
    const std::string& Request() const { return request_; }

private:
    void Serve() {
        const int client = ::accept(listener_.Get(), nullptr, nullptr);
        if (client < 0) return;
        client_ = client;
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(client, buffer, sizeof buffer);
            if (got <= 0) break;
            request_.append(buffer, static_cast<std::size_t>(got));
        }
        if (!silent_) {
            for (std::size_t sent = 0; sent < answer_.size();) {
                const ssize_t n = ::send(client, answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
        } else {
            ::accept(listener_.Get(), nullptr, nullptr);  // holds the connection until the test ends it
        }
        ::close(client);
    }

    UniqueFd listener_;
    std::string answer_;
    bool silent_;
    std::string request_;
    int client_ = -1;
    std::thread thread_;
};

UniqueFd ListenUnix(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd.Get(), 4), 0);
    return fd;
}

UniqueFd ListenTcp(std::uint16_t& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    EXPECT_EQ(::listen(fd.Get(), 4), 0);
    return fd;
}

TEST(SpamdClientTest, SpeaksSpamcOverUnixSocketsAndTcpAndGivesNoVerdictWhenSpamdFails) {
    test::ScratchDirectory dir;
    const std::string message = "Subject: hi\r\n\r\nbody\r\n";
    std::string failure;
    {
        const std::string path = dir / "spamd.sock";
        FakeSpamd fake(ListenUnix(path), "SPAMD/1.1 0 EX_OK\r\nContent-length: 12\r\nSpam: True ; 7.5 / 5.0\r\n\r\n 7.5 RULE x\n");
        const auto verdict = SpamdClient(path).Check(message, true, failure);
        ASSERT_TRUE(verdict) << failure;
        EXPECT_TRUE(verdict->spam);
        EXPECT_EQ(verdict->report, " 7.5 RULE x");
        EXPECT_EQ(fake.Request(), "REPORT SPAMC/1.5\r\nContent-length: 21\r\n\r\n" + message);
    }
    {
        std::uint16_t port = 0;
        FakeSpamd fake(ListenTcp(port), "SPAMD/1.5 0 EX_OK\r\nSpam: False ; 1.0 / 5.0\r\n\r\n");
        const auto verdict = SpamdClient("127.0.0.1:" + std::to_string(port)).Check(message, false, failure);
        ASSERT_TRUE(verdict) << failure;
        EXPECT_FALSE(verdict->spam);
        EXPECT_EQ(fake.Request(), "CHECK SPAMC/1.5\r\nContent-length: 21\r\n\r\n" + message);
    }
    {
        std::uint16_t port = 0;
        FakeSpamd fake(ListenTcp(port), "SPAMD/1.0 76 Bad header line\r\n");
        EXPECT_FALSE(SpamdClient("127.0.0.1:" + std::to_string(port)).Check(message, false, failure));
        EXPECT_NE(failure.find("76"), std::string::npos) << failure;
    }
    {
        // A spamd that closes without a word.
        std::uint16_t port = 0;
        FakeSpamd fake(ListenTcp(port), "");
        EXPECT_FALSE(SpamdClient("127.0.0.1:" + std::to_string(port)).Check(message, true, failure));
        EXPECT_NE(failure.find("without answering"), std::string::npos) << failure;
    }
    {
        // An answer without end is cut off at the bound, not read into memory.
        std::uint16_t port = 0;
        FakeSpamd fake(ListenTcp(port), "SPAMD/1.1 0 EX_OK\r\nSpam: True ; 9 / 5\r\n\r\n" + std::string(kMaxSpamdResponse + 10, 'r'));
        EXPECT_FALSE(SpamdClient("127.0.0.1:" + std::to_string(port)).Check(message, true, failure));
    }
    {
        // Silent: given up after the time-out, not waited for without end.
        std::uint16_t port = 0;
        FakeSpamd fake(ListenTcp(port), "", true);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(SpamdClient("127.0.0.1:" + std::to_string(port), 1).Check(message, true, failure));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_NE(failure.find("silent for 1 s"), std::string::npos) << failure;
    }
    // Nobody there, a socket path that is no socket, an address that is neither.
    std::uint16_t port = 0;
    { const UniqueFd closed = ListenTcp(port); }
    EXPECT_FALSE(SpamdClient("127.0.0.1:" + std::to_string(port)).Check(message, true, failure));
    EXPECT_FALSE(SpamdClient(dir / "no-such.sock").Check(message, true, failure));
    EXPECT_FALSE(SpamdClient("127.0.0.1:http").Check(message, true, failure));
    EXPECT_FALSE(SpamdClient("127.0.0.1:0").Check(message, true, failure));
}

}  // namespace
}  // namespace pw::spamd
