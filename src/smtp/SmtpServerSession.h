// SmtpServerSession: one SMTP conversation with a client, on the session thread of an accepted
// connection of an SMTP instance.
//
// It greets, runs the dialogue, and asks SmtpPolicy whether the client may relay (open relay, the
// POP-before-SMTP check, the instance's IP relay list, then SMTP authentication) and whether it is on
// one of the instance's DNS block lists (refused, and the session ends). Each MAIL/RCPT transaction
// becomes a new envelope in the store's "_In" folder, and SmtpIntake takes its DATA: the envelope is
// published -- content and record flushed -- before "250" is sent, and only then handed to the router
// queue; a transaction that does not reach the end of DATA leaves nothing behind. Command lines are
// read in a kCommandLineBuffer buffer; a longer one is refused whole. Received lines are logged at debug level by the session
// itself, so the secrets of an AUTH exchange never reach the log. A failed AUTH costs the client the
// pause of the shared failed-login table (net/LoginFailures.h). A transaction takes at most
// kMaxRecipients recipients, whatever the instance's own limit.
// Thread safety: one session per thread; the checks it consults are shared and locked by their owners.
#pragma once

#include "dns/DnsResolver.h"
#include "net/Listener.h"
#include "smtp/PickupReturnList.h"
#include "smtp/SmtpHooks.h"
#include "smtp/SmtpIntake.h"
#include "smtp/SmtpLimits.h"
#include "smtp/SmtpPickup.h"
#include "smtp/SmtpPolicy.h"
#include "store/MessageStore.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pw::smtp {

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
    // BDAT (RFC 3030); false when the session can not go on (a chunk without a readable size).
    bool Bdat(const std::string& line);
    void StartTls();
    void Reply(std::string_view text) { connection_->SendReply(text); }
    std::string ReadCommandLine();
    std::string ReadSecretLine();
    void DropEnvelope();
    // SPF, DKIM and DMARC for mail from outside (src/mailauth); none for clients that may relay.
    IntakeCheck AuthenticationCheck() const;

    std::shared_ptr<net::ConnectionTicket> ticket_;
    std::shared_ptr<const net::SMTPListener> listener_;
    net::LoggedConnection* connection_ = nullptr;
    std::shared_ptr<store::MessageStore> store_;
    std::optional<SmtpPolicy> policy_;
    dns::DnsResolver resolver_;
    std::string domain_;
    std::string primaryDomain_;
    std::string clientAddress_;
    IpAddress client_;
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
    // A session a pickup asked for (the peer connected back): counted while it runs, and its
    // recipients pass through that pickup's address map.
    std::optional<ChunkedIntake> chunks_;  // a BDAT transaction under way
    std::optional<ReturnedSession> returned_;
    std::vector<AddressMapping> addressMap_;
    std::size_t recipientLimit_ = 0;
};

}  // namespace pw::smtp
