// SmtpClient: the client side of SMTP.
#include "smtp/SmtpClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <sys/socket.h>

#include "core/Logging.h"
#include "mime/Address.h"
#include "mime/Codecs.h"
#include "mime/MessageTextWriter.h"
#include "net/Sasl.h"
#include "net/TlsContext.h"
#include "platform/IpAddress.h"
#include "platform/Text.h"
#include "smtp/SmtpAuth.h"

namespace pw::smtp {

namespace {

// A failed client handshake, told apart from the other socket failures of the opening.
struct TlsHandshakeFailed {
    net::CnwSocketErr error;
};

int Digit(char c) { return c >= '0' && c <= '9' ? c - '0' : 0; }

// The bare address of a path: display name and brackets removed; "" stays "" (the null path).
std::string BareAddress(std::string_view text) {
    mime::ParsedAddress parsed;
    if (TrimAscii(text).empty() || TrimAscii(text) == "<>") return {};
    if (!mime::ParseAddress(text, parsed)) return std::string(TrimAscii(text));
    return text.find('@') == std::string_view::npos ? parsed.local : parsed.local + "@" + parsed.domain;
}

}  // namespace

int PackReplyCode(std::string_view line, bool enhanced) {
    if (line.size() < 3) return 0;
    if (enhanced && line.size() >= 9 && line[5] == '.' && line[7] == '.') {
        return ReplyCode(Digit(line[4]), Digit(line[6]), Digit(line[8]));
    }
    return ReplyCode(Digit(line[0]), Digit(line[1]), Digit(line[2]));
}

std::string CodeText(int packed, bool enhanced) {
    const int a = packed >> 16;
    const int b = (packed >> 8) & 0xFF;
    const int c = packed & 0xFF;
    return enhanced ? Format("%d.%d.%d", {std::int64_t{a}, std::int64_t{b}, std::int64_t{c}})
                    : Format("%d%d%d", {std::int64_t{a}, std::int64_t{b}, std::int64_t{c}});
}

SmtpClient::SmtpClient(std::string helloName) : helloName_(std::move(helloName)) {
    if (helloName_.empty()) helloName_ = "localhost";
}

int SmtpClient::WaitSeconds(int limit) const {
    const auto left = std::chrono::ceil<std::chrono::seconds>(deadline_ - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 1, limit));
}

void SmtpClient::Send(std::string_view text, bool secret) {
    connection_.SetTimeout(WaitSeconds(kCommandTimeout));
    connection_.SendString(text);
    if (traffic_) traffic_(secret ? std::string_view("****\r\n") : text);
}

void SmtpClient::Breach(std::string_view what, std::int32_t code) {
    const int socket = connection_.Socket();
    // What follows on this connection can not be trusted to be in step: nothing more is read or sent.
    connection_.Close();
    throw net::CnwSocketErr(socket, "recv : " + std::string(what), code);
}

void SmtpClient::ReadReplyLine(std::string& line, Clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(until - Clock::now()).count();
        if (left <= 0) Breach("the reply did not come in time", net::wsa::kTimedOut);
        // Each receive waits at most for what is left of the reply's time.
        connection_.SetTimeout(static_cast<int>(left));
        char buffer[kReplyLineBuffer];
        const std::size_t peeked = connection_.Receive(buffer, sizeof buffer, true);
        if (peeked == 0) {
            if (line.empty()) Breach("the peer closed the connection", net::wsa::kConnectionAborted);
            return;  // a last line without its line end
        }
        const void* lf = std::memchr(buffer, '\n', peeked);
        const std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - buffer) + 1 : peeked;
        // Only the line is consumed: after STARTTLS the next bytes must stay unread.
        connection_.Receive(buffer, take, false);
        if (line.size() + take > kMaxReplyLine) Breach("a reply line is longer than the limit", net::wsa::kNoBuffers);
        line.append(buffer, take);
        if (lf) return;
    }
}

int SmtpClient::ReadReply(int timeout, bool final) {
    if (replyTimeLimit_ > 0) timeout = std::min(timeout, replyTimeLimit_);
    auto until = Clock::now() + std::chrono::seconds(timeout);
    if (!final) until = std::min(until, deadline_);
    reply_.clear();
    int code = 0;
    for (std::size_t count = 1;; ++count) {
        if (count > kMaxReplyLines) Breach("a reply has more lines than the limit", net::wsa::kNoBuffers);
        std::string line;
        ReadReplyLine(line, until);
        if (traffic_) traffic_(line);
        std::string clean;
        for (const char c : line) {
            if (c != '\r' && c != '\n') clean += c;
        }
        reply_ += clean + "\n";
        code = PackReplyCode(clean, enhanced_);
        // The last line of a reply has a blank (or nothing) after its code.
        if (clean.size() <= 3 || clean[3] != '-') break;
    }
    if (!reply_.empty()) reply_.pop_back();
    return code;
}

int SmtpClient::Command(std::string_view line, int timeout, bool secret) {
    Send(line, secret);
    return ReadReply(timeout);
}

int SmtpClient::Hello() {
    mechanism_.clear();
    extensions_.clear();
    startTls_ = false;
    int code = Command("EHLO " + helloName_ + "\r\n");
    if (IsFailure(code)) return Command("HELO " + helloName_ + "\r\n");
    std::string_view text = reply_;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const std::string_view keyword = line.size() > 4 ? line.substr(4) : std::string_view();
        extensions_.push_back(ToUpperAscii(TrimAscii(keyword.substr(0, keyword.find(' ')))));
        if (StartsWithNoCase(keyword, "AUTH")) {
            const std::string upper = ToUpperAscii(keyword);
            if (upper.find("CRAM-MD5") != std::string::npos) {
                mechanism_ = "CRAM-MD5";
            } else if (upper.find("LOGIN") != std::string::npos) {
                mechanism_ = "LOGIN";
            } else if (upper.find("PLAIN") != std::string::npos) {
                mechanism_ = "PLAIN";
            }
        }
        if (ToUpperAscii(line).find("ENHANCEDSTATUSCODES") != std::string::npos) enhanced_ = true;
        if (ToUpperAscii(line).find("STARTTLS") != std::string::npos) startTls_ = true;
    }
    return code;
}

bool SmtpClient::Offers(std::string_view extension) const {
    return std::find(extensions_.begin(), extensions_.end(), ToUpperAscii(extension)) != extensions_.end();
}

int SmtpClient::Authenticate() {
    if (mechanism_ == "PLAIN") {
        int code = Command("AUTH PLAIN\r\n");
        if (IsFailure(code)) return code;
        std::string response;
        response += '\0';
        response += account_;
        response += '\0';
        response += password_;
        return Command(mime::EncodeBase64(response, false) + "\r\n", kCommandTimeout, true);
    }
    if (mechanism_ == "LOGIN") {
        int code = Command("AUTH LOGIN\r\n");
        if (IsFailure(code)) return code;
        code = Command(mime::EncodeBase64(account_, false) + "\r\n", kCommandTimeout, true);
        if (IsFailure(code)) return code;
        return Command(mime::EncodeBase64(password_, false) + "\r\n", kCommandTimeout, true);
    }
    const int code = Command("AUTH CRAM-MD5\r\n");
    if (IsFailure(code)) return code;
    const std::string challengeText = reply_.size() > 4 ? reply_.substr(4) : std::string();
    const auto challenge = mime::DecodeBase64Strict(TrimAscii(challengeText));
    if (!challenge) return ReplyCode(5, 0, 1);  // a challenge that is not Base64: a syntax failure
    return Command(mime::EncodeBase64(account_ + " " + net::CramMd5Digest(password_, *challenge), false) + "\r\n", kCommandTimeout,
                   true);
}

int SmtpClient::Open(const IpAddress& address, std::uint16_t port) {
    if (peerName_.empty()) peerName_ = address.Text();
    try {
        return OpenConnection(address, port, true);
    } catch (const TlsHandshakeFailed& failed) {
        // Credentials never go in plain text to a peer that offered TLS, nor mail under MTA-STS: the
        // attempt ends here.
        if (!account_.empty() || requireVerifiedTls_) throw failed.error;
        core::Log(core::LogLevelWarning, "SMTP client: the TLS handshake with " + peerName_ + " failed (" + failed.error.what() +
                                             "); connecting again in plain text");
        connection_.Close();
        return OpenConnection(address, port, false);
    }
}

int SmtpClient::OpenConnection(const IpAddress& address, std::uint16_t port, bool tls) {
    enhanced_ = false;
    const auto local = IpAddress::Parse(localAddress_);
    // Text that is no address still goes to Create, which refuses it (10022) as it always has.
    if (!localAddress_.empty() && (!local || local->GetFamily() == address.GetFamily())) {
        connection_.Create(0, SOCK_STREAM, localAddress_.c_str());
    }
    if (Clock::now() >= deadline_) throw net::CnwSocketErr::Socket(connection_.Socket(), "Connect", net::wsa::kTimedOut);
    connection_.SetTimeout(WaitSeconds(kConnectTimeout));
    connection_.ConnectAddress(address, port);
    int code = ReadReply(kGreetingTimeout);
    if (IsFailure(code)) return code;
    code = Hello();
    if (IsFailure(code)) return code;
    if (tls && startTls_ && !connection_.IsTls()) {
        code = Command("STARTTLS\r\n");
        // Without credentials a refused STARTTLS leaves the session as it was, in plain text.
        if (IsFailure(code) && !account_.empty()) return code;
        if (!IsFailure(code)) {
            connection_.SetTimeout(WaitSeconds(kCommandTimeout));
            try {
                connection_.TlsClientStart(peerName_);
            } catch (const net::CnwSocketErr& error) {
                throw TlsHandshakeFailed{error};
            }
            code = Hello();
            if (IsFailure(code)) return code;
        }
    }
    if (requireVerifiedTls_) {
        const std::string failure = connection_.IsTls() ? connection_.TlsVerifyFailure() : "no TLS";
        if (!failure.empty()) {
            reply_ = "MTA-STS asks for verified TLS to " + peerName_ + " (" + failure + "); nothing was sent";
            core::Log(core::LogLevelWarning, "SMTP client: " + reply_);
            return kTlsRequired;
        }
    }
    if (account_.empty() || mechanism_.empty()) return 0;
    code = CheckCredentialsMayGo();
    if (code != 0) return code;
    code = Authenticate();
    return IsFailure(code) ? code : 0;
}

int SmtpClient::CheckCredentialsMayGo() {
    // A peer that offered TLS and did not get it never sees the credentials in plain text.
    if (startTls_ && !connection_.IsTls()) {
        reply_ = "TLS was offered by " + peerName_ + " but not started; no credentials were sent";
        return kTlsRequired;
    }
    if (!connection_.IsTls()) return 0;
    const std::string failure = connection_.TlsVerifyFailure();
    if (failure.empty()) return 0;
    // Encrypted to a server that may not be the one configured: the credentials would go to it.
    reply_ = "The certificate of " + peerName_ + " can not be trusted (" + failure + "); no credentials were sent";
    core::Log(core::LogLevelWarning, "SMTP client: " + reply_);
    return kTlsRequired;
}

int SmtpClient::MailFrom(std::string_view sender, bool eightBitMime, std::string_view parameters) {
    return Command("MAIL FROM:<" + BareAddress(sender) + ">" + (eightBitMime ? " BODY=8BITMIME" : "") + std::string(parameters) + "\r\n");
}

int SmtpClient::RcptTo(std::string_view recipient, std::string_view parameters) {
    return Command("RCPT TO:<" + BareAddress(recipient) + ">" + std::string(parameters) + "\r\n");
}

int SmtpClient::Reset() { return Command("RSET\r\n"); }

int SmtpClient::Quit() { return Command("QUIT\r\n"); }

int SmtpClient::Data(Stream& content, std::string_view prefix) {
    const int code = Command("DATA\r\n");
    if (IsFailure(code)) return code;
    // Anything but 354 means the content can not go: a 2xx here must not pass for delivery.
    if (FirstDigit(code) != 3) return ReplyCode(4, 5, 1);
    connection_.SetTimeout(kDataBlockTimeout);
    std::string out;
    mime::MessageTextWriter writer;
    std::vector<char> block(kContentBlock);
    writer.Take(prefix, out);
    for (;;) {
        std::size_t got = 0;
        const HRESULT hr = content.Read(std::as_writable_bytes(std::span(block)), got);
        if (hr == STG_E_ENDOFFILE || got == 0) break;
        ThrowIfFailed(hr, "reading the message content");
        writer.Take(std::string_view(block.data(), got), out);
        if (out.size() >= kContentBlock) {
            connection_.SendString(out);
            out.clear();
        }
    }
    writer.Finish(out);
    out += ".\r\n";
    connection_.SendString(out);
    return ReadReply(kDataEndTimeout, true);
}

}  // namespace pw::smtp
