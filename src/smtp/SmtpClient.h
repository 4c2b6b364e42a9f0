// SmtpClient: one SMTP conversation with another server (RFC 5321) -- the transport's delivery to a
// mail exchanger or relay server, and the SMTP pickup.
//
// Open reads the greeting, says EHLO (HELO when EHLO is refused), starts TLS when the peer offers it
// and this process has a TLS context, and authenticates with the strongest mechanism offered
// (CRAM-MD5, then LOGIN, then PLAIN) when an account is set. Credentials never go over a plain
// connection to a peer that offered STARTTLS: a failed STARTTLS then ends the attempt. Every reply is
// read to its last line. Reply codes are packed (first digit * 65536 + second * 256 + third); with
// ENHANCEDSTATUSCODES announced, the enhanced code of the reply is packed instead. Paths go out as
// "MAIL FROM:<...>" and "RCPT TO:<...>"; message content goes out with CR LF line ends only and dots
// stuffed at every line start, whatever the block boundaries. Credentials never reach the traffic log.
// Thread safety: one client per thread.
#pragma once

#include "net/SocketConnection.h"
#include "platform/Stream.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pw::smtp {

// Time-outs of RFC 5321 section 4.5.3.2, in seconds.
inline constexpr int kGreetingTimeout = 300;
inline constexpr int kCommandTimeout = 300;
inline constexpr int kDataBlockTimeout = 180;
inline constexpr int kDataEndTimeout = 600;
inline constexpr std::size_t kContentBlock = 4096;
inline constexpr std::size_t kReplyLineBuffer = 1024;

int PackReplyCode(std::string_view line, bool enhanced);
inline int FirstDigit(int packed) { return packed >> 16; }
inline bool IsFailure(int packed) { return FirstDigit(packed) == 4 || FirstDigit(packed) == 5; }
inline bool IsPositive(int packed) { return FirstDigit(packed) >= 1 && FirstDigit(packed) <= 3; }
// "4.5.1" (or "451") of a packed code.
std::string CodeText(int packed, bool enhanced);

class SmtpClient {
public:
    explicit SmtpClient(std::string helloName = "localhost");

    void SetAccount(std::string account, std::string password) {
        account_ = std::move(account);
        password_ = std::move(password);
    }
    // Called with every line sent and received (the owner logs or records it).
    void SetTraffic(std::function<void(std::string_view)> traffic) { traffic_ = std::move(traffic); }
    // A local address for outgoing connections (dotted text; empty for any).
    void SetLocalAddress(std::string address) { localAddress_ = std::move(address); }

    // Connects (throws CnwSocketErr when the connection fails) and runs the opening; 0 on success,
    // else the failing reply's code.
    int Open(std::uint32_t address, std::uint16_t port);
    int MailFrom(std::string_view sender);
    int RcptTo(std::string_view recipient);
    int Data(Stream& content);
    int Reset();
    int Quit();
    void Close() { connection_.Close(); }

    const std::string& ReplyText() const { return reply_; }
    bool Enhanced() const { return enhanced_; }
    bool Tls() const { return connection_.IsTls(); }

private:
    int Command(std::string_view line, int timeout = kCommandTimeout, bool secret = false);
    int ReadReply(int timeout);
    int Hello();
    int Authenticate();
    // Secret lines (credentials) reach the traffic callback masked.
    void Send(std::string_view text, bool secret = false);

    // Not a LoggedConnection: the owner logs through the traffic callback, which never sees secrets.
    net::SocketConnection connection_;
    std::string helloName_;
    std::string account_;
    std::string password_;
    std::string localAddress_;
    std::function<void(std::string_view)> traffic_;
    std::string reply_;
    std::string mechanism_;
    bool enhanced_ = false;
    bool startTls_ = false;
};

}  // namespace pw::smtp
