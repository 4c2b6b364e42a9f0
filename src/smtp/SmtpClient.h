// SmtpClient: one SMTP conversation with another server (RFC 5321) -- the transport's delivery to a
// mail exchanger or relay server, and the SMTP pickup.
//
// Open connects (at most kConnectTimeout), reads the greeting, says EHLO (HELO when EHLO is refused),
// starts TLS whenever the peer offers it -- through the client TLS context, whether or not this server
// has a certificate -- and authenticates with the strongest mechanism offered (CRAM-MD5, then LOGIN,
// then PLAIN) when an account is set.
// TLS and credentials: the peer's certificate must verify against the trusted store and match the
// peer name (SetPeerName: the relay server's or exchanger's host name) before credentials go over
// the connection; when it does not, no credentials go and Open ends with 4.7.0, so the message waits.
// Without an account TLS is opportunistic: an unverifiable certificate still encrypts, a refused
// STARTTLS leaves the session in plain text, and a failed handshake is followed by one more connection
// in plain text (logged). With an account a refused STARTTLS ends Open with the peer's reply, and a
// failed handshake with the socket error; credentials never go in plain text to a peer that offered
// STARTTLS.
// Replies are bounded: a line longer than kMaxReplyLine, a reply of more than kMaxReplyLines lines,
// and a reply that is not complete within its time-out (which bounds the whole reply, not each read)
// close the connection and throw CnwSocketErr, which the owner treats as a temporary failure. A
// deadline (SetDeadline) caps the connect and every reply wait but the one after the content, so a
// message the peer may have taken is always waited for in full. Reply codes are packed (ReplyCode); with
// ENHANCEDSTATUSCODES announced, the enhanced code of the reply is packed instead. Paths go out as
// "MAIL FROM:<...>" and "RCPT TO:<...>"; message content goes out through mime::MessageTextWriter, as
// POP3 sends it: CR LF line ends only and dots stuffed at every line start, whatever the block
// boundaries. Credentials never reach the traffic log.
// Thread safety: one client per thread.
#pragma once

#include "net/SocketConnection.h"
#include "platform/Stream.h"
#include "smtp/SmtpLimits.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::smtp {

// A reply code packed as the client reports it: first digit * 65536 + second * 256 + third (the
// digits of the enhanced code when the peer announced ENHANCEDSTATUSCODES).
constexpr int ReplyCode(int first, int second, int third) { return first * 65536 + second * 256 + third; }

// Packed 4.7.0: TLS was needed for the credentials and could not be had as required.
inline constexpr int kTlsRequired = ReplyCode(4, 7, 0);

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
    // A local address for outgoing connections (address text; empty for any). It is bound only for a
    // peer of its own family: a peer of the other family is reached from any local address.
    void SetLocalAddress(std::string address) { localAddress_ = std::move(address); }
    // The name the peer's certificate must match (host name or dotted address); empty: the address.
    void SetPeerName(std::string name) { peerName_ = std::move(name); }
    // No connect or reply wait, but the one after the content, goes past this point.
    void SetDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
    // MTA-STS (RFC 8461): the session must run over TLS whose certificate verifies for the peer
    // name, or Open ends with kTlsRequired and nothing goes -- no plain-text session, no retry.
    void SetRequireVerifiedTls(bool required) { requireVerifiedTls_ = required; }
    // Shortens every reply time-out to this many seconds (0: the RFC 5321 values). A diagnostic
    // setting: tests use it to meet a silent peer without waiting minutes.
    void SetReplyTimeLimit(int seconds) { replyTimeLimit_ = seconds; }

    // Connects (throws CnwSocketErr when the connection fails) and runs the opening; 0 on success,
    // else the failing reply's code.
    int Open(const IpAddress& address, std::uint16_t port);
    // `eightBitMime`: the content holds 8-bit data and the peer takes it (BODY=8BITMIME, RFC 6152).
    // `parameters`: more of the command line, each with its leading blank (" SMTPUTF8 RET=HDRS").
    int MailFrom(std::string_view sender, bool eightBitMime = false, std::string_view parameters = {});
    int RcptTo(std::string_view recipient, std::string_view parameters = {});
    // `prefix`: header fields that go in front of the content (the DKIM signature).
    int Data(Stream& content, std::string_view prefix = {});
    int Reset();
    int Quit();
    // Any other command (a whole line, CR LF included); its reply's code.
    int Ask(std::string_view line) { return Command(line); }
    // Did the peer's EHLO reply name this extension (its first word, case ignored)?
    bool Offers(std::string_view extension) const;
    void Close() { connection_.Close(); }

    const std::string& ReplyText() const { return reply_; }
    bool Enhanced() const { return enhanced_; }
    bool Tls() const { return connection_.IsTls(); }

private:
    using Clock = std::chrono::steady_clock;

    int Command(std::string_view line, int timeout = kCommandTimeout, bool secret = false);
    // One reply to its last line within `timeout` seconds (and the deadline unless `final`).
    int ReadReply(int timeout, bool final = false);
    // Appends one reply line, CR LF and all, to `line`; throws on a breach of the limits.
    void ReadReplyLine(std::string& line, Clock::time_point until);
    // The wait for one step: `limit` seconds, or what is left before the deadline (at least 1).
    int WaitSeconds(int limit) const;
    [[noreturn]] void Breach(std::string_view what, std::int32_t code);
    // The opening on a new connection; `tls`: try STARTTLS when offered.
    int OpenConnection(const IpAddress& address, std::uint16_t port, bool tls);
    // When credentials are about to go: the failure code when the connection does not allow them, else 0.
    int CheckCredentialsMayGo();
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
    std::string peerName_;
    Clock::time_point deadline_ = Clock::time_point::max();
    int replyTimeLimit_ = 0;
    bool requireVerifiedTls_ = false;
    std::function<void(std::string_view)> traffic_;
    std::string reply_;
    std::vector<std::string> extensions_;  // the first word of each EHLO line, upper case
    std::string mechanism_;
    bool enhanced_ = false;
    bool startTls_ = false;
};

}  // namespace pw::smtp
