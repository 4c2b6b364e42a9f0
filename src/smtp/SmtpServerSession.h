// SmtpServerSession: one SMTP conversation with a client, on the session thread of an accepted
// connection of an SMTP instance.
//
// It greets, decides whether the client may relay (open relay, the POP-before-SMTP check, the
// instance's IP relay list, then SMTP authentication), refuses clients listed on the instance's DNS
// block lists, and turns each MAIL/RCPT/DATA transaction into a new envelope in the store's "_In"
// folder. The envelope is published -- content and record flushed -- before "250" is sent after DATA,
// and only then handed to the router queue; a transaction that does not reach the end of DATA leaves
// nothing behind. Command lines are read in a 1024-byte buffer; a longer one is refused whole. In DATA
// only a whole line "." CR LF ends the message: a bare LF is no line end, and a piece of an over-long
// line is never taken for a line of its own. Received lines are logged at debug level by the session
// itself, so the secrets of an AUTH exchange never reach the log. A failed AUTH costs the client the
// pause of the shared failed-login table (net/LoginFailures.h). A transaction takes at most
// kMaxRecipients recipients, whatever the instance's own limit.
// Thread safety: one session per thread; the checks it consults are shared and locked by their owners.
#pragma once

#include "dns/DnsResolver.h"
#include "net/Listener.h"
#include "store/MessageStore.h"

#include <functional>
#include <memory>
#include <string>

namespace pw::smtp {

// The longest command line; DATA lines may be of any length.
inline constexpr std::size_t kCommandLineBuffer = 1024;
// DATA is read in pieces of this size.
inline constexpr std::size_t kDataBuffer = 65536;
// The content of a message is written to its file in blocks of about this size.
inline constexpr std::size_t kContentWriteBlock = 65536;
// The most recipients of one transaction, whatever "maxrecipients" says (0 there means no limit of
// its own): one envelope with an endless recipient list would be an endless router job.
inline constexpr std::size_t kMaxRecipients = 1000;
// A client that keeps sending after its message passed the size limit is cut off after this long.
inline constexpr std::chrono::seconds kOversizeDiscardLimit{1799};

// Does the POP-before-SMTP table hold this client (IPv4, network byte order)? The POP3 server sets
// the check; without one nobody is in the table.
void SetPopBeforeSmtpCheck(std::function<bool(std::uint32_t)> check);
// Releases the mail held for an ETRN or ATRN node; the SMTP transport sets it. Without one every
// release fails ("458").
enum class ReleaseKind { ETRN, ATRN };
void SetReleaseForNode(std::function<bool(ReleaseKind, const std::string&)> release);

// Makes SMTP instances run this session for each connection.
void RegisterSmtpServer();

class SmtpServerSession {
public:
    explicit SmtpServerSession(std::shared_ptr<net::ConnectionTicket> ticket);
    ~SmtpServerSession();

    // Greets and runs the command loop until QUIT, a refusal or a failure.
    void Run();

private:
    bool Initialise();
    void Greet();
    // false when the session ends.
    bool Command(const std::string& line);
    bool Hello(const std::string& line, bool extended);
    void Auth(const std::string& line);
    // Counts the failure in the failed-login table, pauses as long as it says and refuses.
    void AuthFailed(const std::string& user);
    void MailFrom(const std::string& line);
    void RcptTo(const std::string& line);
    bool Data();
    void StartTls();
    void Reply(std::string_view text);
    std::string ReadCommandLine();
    std::string ReadSecretLine();
    bool RelayDecision() const;
    // True when the client is listed (it has been told, and the session ends).
    bool BlockListed();
    bool CheckAccount(const std::string& user, const std::string& password);
    bool CheckCramMd5(const std::string& user, const std::string& digest, const std::string& challenge);
    std::string StoredPassword(const std::string& user) const;
    void DropEnvelope();

    std::shared_ptr<net::ConnectionTicket> ticket_;
    std::shared_ptr<const net::SMTPListener> listener_;
    net::LoggedConnection* connection_ = nullptr;
    std::shared_ptr<store::MessageStore> store_;
    dns::DnsResolver resolver_;
    std::string domain_;
    std::string primaryDomain_;
    std::string clientAddress_;
    std::uint32_t clientNetworkOrder_ = 0;
    bool initialised_ = false;
    bool tlsPossible_ = false;

    std::string helloName_;
    bool greeted_ = false;
    bool relayAllowed_ = false;
    bool cramMd5_ = false;
    std::string sender_;
    std::shared_ptr<store::Envelope> envelope_;
    std::size_t recipients_ = 0;
    std::uint64_t sizeLimit_ = 0;
    std::size_t recipientLimit_ = 0;
};

}  // namespace pw::smtp
