// SmtpServerSession: greeting, the command table, relaying, authentication and mail transactions.
#include "smtp/SmtpServerSession.h"

#include <cctype>
#include <cstring>
#include <thread>

#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "mailauth/InboundCheck.h"
#include "mime/Address.h"
#include "mime/Codecs.h"
#include "mime/Xtext.h"
#include "net/LoginFailures.h"
#include "net/TlsContext.h"
#include "platform/EventLog.h"
#include "platform/Idna.h"
#include "platform/Text.h"
#include "router/LocalRecipient.h"
#include "smtp/SmtpAuth.h"
#include "smtp/SmtpHooks.h"
#include "smtp/SmtpIntake.h"

namespace pw::smtp {

namespace {

// Language texts (core::FormatText).
constexpr int kTextConnectionFrom = 207;
constexpr int kTextRefusedListed = 208;
constexpr int kTextStoreFailed = 5000;
constexpr int kTextSocketFailed = 5001;

constexpr std::string_view kSyntaxError = "501 5.5.2 Syntax error in parameters";
constexpr std::string_view kCompleted = "250 2.0.0 Requested mail action okay, completed";
constexpr std::string_view kUnknown = "500 5.5.1 Unknown command";
// After DATA, as clients have always seen it: without an enhanced code.
// With ENHANCEDSTATUSCODES offered every reply carries its code (RFC 2034), this one too.
constexpr std::string_view kStored = "250 2.0.0 Requested mail action okay, completed";
constexpr std::string_view kLocalError = "451 4.3.0 Requested action aborted: local error in processing";
// A full disk or an exhausted quota: the client keeps the message and tries again later (RFC 3463).
constexpr std::string_view kInsufficientStorage = "452 4.3.1 Insufficient system storage";

constexpr std::string_view kBadSequence = "503 5.5.0 Bad sequence of commands";

std::string_view StoreFailureReply(const ComError& error) {
    return error.Code() == STG_E_MEDIUMFULL ? kInsufficientStorage : kLocalError;
}

// The argument of MAIL FROM: and RCPT TO:: the rest of the line, trimmed, cut at the first blank.
std::string Argument(std::string_view line, std::string_view keyword) {
    std::string_view rest = TrimAscii(line.substr(keyword.size()));
    return std::string(rest.substr(0, rest.find_first_of(" \t")));
}

// The SIZE parameter of a MAIL FROM line (0 when there is none); nullopt when it is not a number.
std::optional<std::uint64_t> DeclaredSize(std::string_view line) {
    const auto words = SplitWords(line);
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (!StartsWithNoCase(words[i], "SIZE=")) continue;
        const std::string_view digits = std::string_view(words[i]).substr(5);
        if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
        return std::stoull(std::string(digits));
    }
    return 0;
}

// The value of a MAIL FROM parameter ("BODY=8BITMIME"), "" when it is not there.
std::string MailParameter(std::string_view line, std::string_view name) {
    const auto words = SplitWords(line);
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::size_t equals = words[i].find('=');
        if (equals != std::string::npos && EqualsNoCase(std::string_view(words[i]).substr(0, equals), name)) return words[i].substr(equals + 1);
    }
    return {};
}

// Whether a MAIL FROM or RCPT TO line names the parameter (a keyword without a value: "SMTPUTF8").
bool HasKeyword(std::string_view line, std::string_view name) {
    const auto words = SplitWords(line);
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (EqualsNoCase(words[i], name)) return true;
    }
    return false;
}

// A NOTIFY list in upper case: "NEVER" alone, or SUCCESS, FAILURE and DELAY each at most once;
// nullopt for anything else.
std::optional<std::string> NotifyList(std::string_view value) {
    const std::string upper = ToUpperAscii(value);
    if (upper == "NEVER") return upper;
    bool seen[3] = {false, false, false};
    std::string_view rest = upper;
    while (true) {
        const std::string_view word = rest.substr(0, rest.find(','));
        int index = word == "SUCCESS" ? 0 : word == "FAILURE" ? 1 : word == "DELAY" ? 2 : -1;
        if (index < 0 || seen[index]) return std::nullopt;
        seen[index] = true;
        if (word.size() == rest.size()) return upper;
        rest.remove_prefix(word.size() + 1);
    }
}

// An ORCPT value: an address type (an atom, "rfc822" in practice), ";", an xtext address.
bool ValidOriginalRecipient(std::string_view value) {
    const std::size_t semicolon = value.find(';');
    if (semicolon == 0 || semicolon == std::string_view::npos || value.size() > 500) return false;
    for (const char c : value.substr(0, semicolon)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    }
    const auto decoded = mime::DecodeXtext(value.substr(semicolon + 1));
    return decoded && !decoded->empty();
}

// Is the path's text all right for this transaction? Without SMTPUTF8 it must be ASCII; with it,
// UTF-8 whose domain is an internationalised name libidn2 takes.
enum class PathText { Fine, NeedsUtf8, Malformed };
PathText CheckPathText(std::string_view path, std::string_view domain, bool smtpUtf8) {
    if (IsAsciiText(path)) return PathText::Fine;
    if (!smtpUtf8) return PathText::NeedsUtf8;
    if (!IsValidUtf8(path) || !DomainToAscii(domain)) return PathText::Malformed;
    return PathText::Fine;
}

// The local part of an address as the router splits it.
std::string LocalPart(std::string_view address) {
    std::string local;
    std::string domain;
    return store::SplitAddress(address, local, domain) ? std::string(TrimAscii(local)) : std::string(address);
}

// A received line without its line end or any stray CR and LF, trimmed.
std::string LineText(std::string_view line) {
    std::string cleaned;
    for (const char c : line) {
        if (c != '\r' && c != '\n') cleaned += c;
    }
    return std::string(TrimAscii(cleaned));
}

}  // namespace

void RegisterSmtpServer() {
    net::SetSessionHandler(core::SMTPServerType, [](const std::shared_ptr<net::ConnectionTicket>& ticket) {
        SmtpServerSession(ticket).Run();
        return 0;
    });
}

SmtpServerSession::SmtpServerSession(std::shared_ptr<net::ConnectionTicket> ticket)
    : ticket_(std::move(ticket)), connection_(ticket_->connection.get()) {
    if (ticket_->listener) listener_ = net::AsSmtpListener(*ticket_->listener);
    clientAddress_ = ticket_->ClientAddress();
    client_ = ticket_->client;
    // Received lines are logged by the session itself, so that AUTH secrets can be masked.
    if (connection_) connection_->SetLogReceived(false);
}

SmtpServerSession::~SmtpServerSession() { DropEnvelope(); }

bool SmtpServerSession::Initialise() {
    if (!listener_ || !connection_) return false;
    try {
        store_ = store::OpenServerStore();
        store_->InFolder();
        primaryDomain_ = store_->PrimaryDomain(core::ServerConfig());
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical, std::string("SMTP Server: the message store can not be opened: ") + error.what());
        return false;
    }
    domain_ = listener_->domain.empty() ? primaryDomain_ : listener_->domain;
    resolver_.AddConfiguredServers(core::ServerConfig());
    tlsPossible_ = net::TlsAvailable();
    sizeLimit_ = static_cast<std::uint64_t>(std::max(listener_->maxSizeKb, 0)) * 1024;
    recipientLimit_ = static_cast<std::size_t>(std::max(listener_->maxRecipients, 0));
    relayAllowed_ = listener_->openRelay;
    policy_.emplace(listener_, store_, domain_, client_);
    return true;
}

void SmtpServerSession::Greet() {
    core::Log(core::LogLevelNormal, core::FormatText(kTextConnectionFrom, {std::string_view(clientAddress_)}, "SMTP connection from %s"));
    returned_.emplace(client_);
    if (const auto pickup = returned_->Pickup()) {
        core::Log(core::LogLevelNormal, Format("SMTP connection from %s answers pickup %d", {std::string_view(clientAddress_), std::int64_t{*pickup}}));
        addressMap_ = ReadPickupAddressMap(core::ServerConfig(), *pickup);
    }
    if (listener_->welcome.empty()) {
        Reply(Format("220 %s Welcome SMTP\r\n", {std::string_view(primaryDomain_)}));
        return;
    }
    std::string text = Format("220-%s Welcome SMTP\r\n", {std::string_view(primaryDomain_)});
    std::string_view welcome = listener_->welcome;
    while (!welcome.empty()) {
        const std::size_t end = welcome.find('\n');
        std::string_view line = welcome.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        text += "220-" + std::string(line) + "\r\n";
        welcome = end == std::string_view::npos ? std::string_view() : welcome.substr(end + 1);
    }
    Reply(text + "220 \r\n");
}

void SmtpServerSession::Run() {
    initialised_ = Initialise();
    try {
        if (!initialised_) {
            if (connection_) Reply("421 SMTP Service unavailable - system initialization errors");
            return;
        }
        Greet();
        for (bool more = true; more;) {
            const std::string line = ReadCommandLine();
            try {
                more = Command(line);
            } catch (const ComError& error) {
                // A store that fails ends the command, not the session: the client hears a temporary
                // failure and may try again (DATA answers its own failures after the message's end).
                core::Log(core::LogLevelCritical, std::string("SMTP Server: a command failed in the store: ") + error.what());
                Reply(StoreFailureReply(error));
            }
        }
    } catch (const net::CnwSocketErr& error) {
        const std::string reason = error.Code() >= 10000 ? "socket error" : std::strerror(error.Code());
        core::Log(core::LogLevelWarning, core::FormatText(kTextSocketFailed, {std::string_view("SMTP Server"), std::string_view(error.what()),
                                                                 std::int64_t{error.Code()}, std::string_view(reason)},
                                                          "%s: %s failed with error %d (%s)"));
    } catch (const ComError& error) {
        const std::string text = core::FormatText(kTextStoreFailed, {std::string_view("SMTP Server")}, "%s: a store operation failed") +
                                 ": " + error.what();
        core::Log(core::LogLevelCritical, text);
        ReportEvent(event_kind::kError, text);
    }
    DropEnvelope();
}

std::string SmtpServerSession::ReadCommandLine() {
    char buffer[kCommandLineBuffer];
    const auto read = connection_->ReadCommandLine(buffer);
    if (!read) return "\x01";  // a line that matches no command: "too long" is answered below
    const std::string_view line = *read;
    // An AUTH line may carry an initial response: the log shows the mechanism only.
    if (StartsWithNoCase(line, "AUTH")) {
        const auto words = SplitWords(line);
        core::Log(core::LogLevelDebug, words.size() > 2 ? "AUTH " + words[1] + " ****" : std::string(TrimAscii(line)));
    } else {
        core::Log(core::LogLevelDebug, line);
    }
    return LineText(line);
}

std::string SmtpServerSession::ReadSecretLine() {
    char buffer[kCommandLineBuffer];
    // The rest of a secret too long for the buffer would otherwise be read -- and logged -- as a command.
    const auto length = connection_->ReadBoundedLine(buffer, sizeof buffer);
    core::Log(core::LogLevelDebug, "****");
    return length ? LineText(std::string_view(buffer, *length)) : std::string();
}

bool SmtpServerSession::Command(const std::string& line) {
    if (line == "\x01") {
        Reply("500 5.5.2 Line too long");
        return true;
    }
    const auto is = [&](std::string_view keyword) { return StartsWithNoCase(line, keyword); };
    if (is("EHLO") && !greeted_) return Hello(line, true);
    if (is("HELO") && !greeted_) return Hello(line, false);
    if (is("STARTTLS") && tlsPossible_) {
        StartTls();
        return true;
    }
    if (is("AUTH")) {
        Auth(line);
        return true;
    }
    if (is("ATRN") || is("ETRN")) {
        const bool atrn = is("ATRN");
        if (atrn && !cramMd5_) {
            Reply("501 5.7.1 Not Authorized");
            return true;
        }
        const auto words = SplitWords(line);
        const bool released = words.size() > 1 && ReleaseNode(atrn ? ReleaseKind::ATRN : ReleaseKind::ETRN, words[1]);
        Reply(released ? "250 2.0.0 Requested mail action okay, queuing for node started"
                       : "458 4.5.4 Unable to queue messages for node");
        return true;
    }
    if (is("RSET")) {
        sender_.clear();
        DropEnvelope();
        Reply(kCompleted);
        return true;
    }
    if (is("NOOP")) {
        Reply(kCompleted);
        return true;
    }
    if (is("TURN") || is("HELP")) {
        Reply("502 5.5.1 Command not implemented");
        return true;
    }
    if (is("MAIL FROM:") && greeted_) {
        MailFrom(line);
        return true;
    }
    if (is("RCPT TO:") && greeted_) {
        RcptTo(line);
        return true;
    }
    if (is("DATA") && greeted_) return Data();
    if (is("BDAT") && greeted_) return Bdat(line);
    if (is("QUIT")) {
        try {
            Reply("221 2.0.0 Service closing transmission channel");
        } catch (const net::CnwSocketErr&) {
        }
        return false;
    }
    Reply(kUnknown);
    return true;
}

bool SmtpServerSession::Hello(const std::string& line, bool extended) {
    const auto words = SplitWords(line);
    if (words.size() < 2) {
        Reply(kSyntaxError);
        return true;
    }
    helloName_ = words[1];
    relayAllowed_ = policy_->RelayWithoutAuth();
    if (!relayAllowed_) {
        if (const auto* listing = policy_->ListedBy(resolver_)) {
            Reply(Format("501 5.7.1 SMTP session refused - Domain is listed on %s,  For more information, visit %s",
                         {std::string_view(listing->name), std::string_view(listing->url)}));
            core::Log(core::LogLevelWarning, core::FormatText(kTextRefusedListed, {std::string_view(clientAddress_), std::string_view(listing->name)},
                                                              "SMTP connection from %s refused: listed by %s"));
            return false;
        }
    }
    if (!extended) {
        Reply(Format("250 Welcome %s", {std::string_view(helloName_)}));
        greeted_ = true;
        return true;
    }
    // The list as clients have always seen it: its order differs with "smtpauth".
    std::string text = "250-Hello " + helloName_ + "\r\n";
    text += listener_->smtpAuth ? "250-AUTH CRAM-MD5 PLAIN LOGIN\r\n250-ETRN\r\n250-ATRN\r\n" : "250-ETRN\r\n250-ATRN\r\n250-AUTH CRAM-MD5\r\n";
    if (tlsPossible_ && !connection_->IsTls()) text += "250-STARTTLS\r\n";
    // The extensions beyond the first ones go after them, before the last line, so clients that read
    // the list by place still can. SIZE is in bytes (RFC 1870); without a limit it names none.
    text += "250-PIPELINING\r\n";
    text += sizeLimit_ != 0 ? Format("250-SIZE %lu\r\n", {sizeLimit_}) : std::string("250-SIZE\r\n");
    text += "250-8BITMIME\r\n250-CHUNKING\r\n250-SMTPUTF8\r\n250-DSN\r\n";
    Reply(text + "250 ENHANCEDSTATUSCODES");
    greeted_ = !listener_->smtpAuth || !listener_->authRequired;
    return true;
}

void SmtpServerSession::StartTls() {
    if (connection_->IsTls()) {
        Reply("501 5.5.2 Already enabled");
        return;
    }
    Reply("220 Go ahead");
    // What the client said before the handshake is forgotten (RFC 3207), and so are bytes it sent
    // after STARTTLS in plain text: the connection drops those when TLS starts.
    connection_->TlsServerStart();
    greeted_ = false;
    helloName_.clear();
    sender_.clear();
    DropEnvelope();
    relayAllowed_ = listener_->openRelay;
    cramMd5_ = false;
}

void SmtpServerSession::Auth(const std::string& line) {
    const auto words = SplitWords(line);
    if (words.size() < 2) return Reply(kSyntaxError);
    const SaslMechanism mechanism = ParseMechanism(words[1], listener_->smtpAuth);
    if (mechanism == SaslMechanism::Unknown) return Reply("501 5.7.6 Syntax error in parameters");
    const auto offered = RunSaslExchange(
        mechanism, words.size() > 2 ? std::optional(words[2]) : std::nullopt, domain_,
        [this](std::string_view challenge) { Reply(challenge); }, [this] { return ReadSecretLine(); });
    if (!offered) return Reply(kSyntaxError);
    if (policy_->ChecksCredentials(relayAllowed_)) {
        const bool accepted = offered->cramMd5 ? policy_->CheckCramMd5(offered->user, offered->digest, offered->challenge)
                                               : policy_->CheckPassword(offered->user, offered->password);
        relayAllowed_ = accepted;
        if (listener_->authRequired) greeted_ = accepted;
        if (!accepted) return AuthFailed(offered->user);
        net::LoginFailures::Instance().Succeeded(client_, offered->user);
        if (offered->cramMd5) cramMd5_ = true;
    }
    Reply(greeted_ ? "235 2.7.0 Authorized" : "501 5.7.1 Not Authorized");
}

void SmtpServerSession::AuthFailed(const std::string& user) {
    const auto pause = net::LoginFailures::Instance().Failed(client_, user);
    // The user name is logged, never what was offered as its password.
    core::Log(core::LogLevelWarning, "SMTP Server: failed authentication of " + user + " from " + clientAddress_);
    std::this_thread::sleep_for(pause);
    Reply("535 5.7.8 Authentication credentials invalid");
}

void SmtpServerSession::DropEnvelope() {
    // An envelope not yet published removes its reserved files when it goes.
    chunks_.reset();
    envelope_.reset();
    recipients_ = 0;
}

void SmtpServerSession::MailFrom(const std::string& line) {
    recipients_ = 0;
    const std::string argument = Argument(line, "MAIL FROM:");
    if (argument.empty()) return Reply(kSyntaxError);
    // "<>" is the sender of every delivery status notice (RFC 5321): accepted as an empty sender.
    const bool nullSender = argument == "<>";
    mime::Address address(argument);
    if (!nullSender && address.Valid() != mime::AddressValid) return Reply("501 5.1.7 Bad sender's mailbox address syntax");
    // A declared size over the limit is refused now, before the client sends the message (RFC 1870).
    if (const auto declared = DeclaredSize(line); !declared) {
        return Reply("501 5.5.4 Syntax error in MAIL FROM parameters");
    } else if (sizeLimit_ != 0 && *declared > sizeLimit_) {
        return Reply("552 5.3.4 Message size exceeds fixed maximum message size");
    }
    const std::string body = ToUpperAscii(MailParameter(line, "BODY"));
    if (!body.empty() && body != "7BIT" && body != "8BITMIME") return Reply("555 5.5.4 Unsupported BODY parameter");
    const bool smtpUtf8 = HasKeyword(line, "SMTPUTF8");
    if (!nullSender) {
        switch (CheckPathText(argument, address.Domain(), smtpUtf8)) {
        case PathText::NeedsUtf8: return Reply("553 5.6.7 Non-ASCII addresses not permitted without SMTPUTF8");
        case PathText::Malformed: return Reply("501 5.1.7 Bad sender's mailbox address syntax");
        case PathText::Fine: break;
        }
    }
    // Delivery status notices as the client asks for them (RFC 3461).
    const std::string ret = ToUpperAscii(MailParameter(line, "RET"));
    if (!ret.empty() && ret != "FULL" && ret != "HDRS") return Reply("501 5.5.4 Syntax error in MAIL FROM parameters");
    const std::string envelopeId = MailParameter(line, "ENVID");
    if (HasKeyword(line, "ENVID=") || (!envelopeId.empty() && (envelopeId.size() > 100 || !mime::DecodeXtext(envelopeId)))) {
        return Reply("501 5.5.4 Syntax error in MAIL FROM parameters");
    }
    sender_ = argument;
    DropEnvelope();
    try {
        envelope_ = store_->InFolder()->GetEnvelopes()->Add();
        envelope_->SetSender(nullSender ? std::string() : address.GetAddress());
        envelope_->GetProperties().SetItem("SMTP_HELO", Variant::Text(helloName_));
        // What the client declared of its content (RFC 6152), for whoever passes it on.
        if (!body.empty()) envelope_->GetProperties().SetItem("SMTP_BODY", Variant::Text(body));
        if (smtpUtf8) envelope_->GetProperties().SetItem(store::kSmtpUtf8Key, Variant::Switch(true));
        if (!ret.empty()) envelope_->GetProperties().SetItem(store::kSmtpRetKey, Variant::Text(ret));
        if (!envelopeId.empty()) envelope_->GetProperties().SetItem(store::kSmtpEnvIdKey, Variant::Text(envelopeId));
        envelope_->SetReceivedFrom(clientAddress_);
        if (relayAllowed_) envelope_->GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(2));
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical, std::string("SMTP Server: can not make an envelope: ") + error.what());
        DropEnvelope();
        return Reply(StoreFailureReply(error));
    }
    Reply("250 2.1.0 Requested mail action okay, completed");
}

void SmtpServerSession::RcptTo(const std::string& line) {
    // A configured limit below the ceiling answers as it always has. The ceiling is a temporary
    // refusal (RFC 5321): a client with more recipients sends them in another transaction.
    if (recipientLimit_ != 0 && recipientLimit_ < kMaxRecipients && recipients_ >= recipientLimit_) {
        return Reply("500 5.5.3 Too many recipients");
    }
    if (recipients_ >= kMaxRecipients) return Reply("452 4.5.3 Too many recipients");
    // No sender, or a message already delivered without a new MAIL FROM.
    if (sender_.empty() || !envelope_) return Reply(kBadSequence);
    const std::string argument = Argument(line, "RCPT TO:");
    if (argument.empty()) return Reply(kSyntaxError);
    const std::string notifyValue = MailParameter(line, "NOTIFY");
    const auto notify = notifyValue.empty() ? std::optional<std::string>() : NotifyList(notifyValue);
    const std::string original = MailParameter(line, "ORCPT");
    if ((!notifyValue.empty() && !notify) || (!original.empty() && !ValidOriginalRecipient(original)) ||
        HasKeyword(line, "NOTIFY=") || HasKeyword(line, "ORCPT=")) {
        return Reply("501 5.5.4 Syntax error in RCPT TO parameters");
    }
    const bool smtpUtf8 = envelope_->GetProperties().Item(store::kSmtpUtf8Key).IsTrue();
    // A recipient the pickup's address map names stands for the addresses it maps to; each is checked
    // as if the client had named it.
    std::vector<std::string> addresses;
    for (const std::string& mapped : MapRecipient(addressMap_, mime::Address(argument).GetAddress())) {
        const mime::Address address(mapped);
        const auto domain = store_->FindDomain(address.Domain());
        if (!relayAllowed_ && !domain) return Reply("571 5.7.1 Relaying not permitted");
        if (address.Valid() != mime::AddressValid) return Reply("501 5.1.3 Bad destination mailbox address syntax");
        switch (CheckPathText(mapped, address.Domain(), smtpUtf8)) {
        case PathText::NeedsUtf8: return Reply("553 5.6.7 Non-ASCII addresses not permitted without SMTPUTF8");
        case PathText::Malformed: return Reply("501 5.1.3 Bad destination mailbox address syntax");
        case PathText::Fine: break;
        }
        // Refused now rather than bounced later to a sender who is often forged.
        if (domain && router::RefusedAsUnknown(*domain, LocalPart(address.GetAddress()))) {
            return Reply("550 5.1.1 Requested action not taken: mailbox unavailable");
        }
        addresses.push_back(address.GetAddress());
    }
    for (const std::string& address : addresses) {
        envelope_->GetRecipients().Add(address);
        auto& properties = envelope_->GetProperties();
        if (notify) properties.SetItem(store::RecipientKey(address, "notify"), Variant::Text(*notify));
        if (!original.empty()) properties.SetItem(store::RecipientKey(address, "orcpt"), Variant::Text(original));
    }
    ++recipients_;
    Reply("250 2.1.5 Requested mail action okay, completed");
}

IntakeCheck SmtpServerSession::AuthenticationCheck() const {
    // Clients that authenticated or may relay are ours: their mail is signed when it leaves, not checked.
    if (relayAllowed_) return {};
    return [authservId = domain_](Stream& content, store::Envelope& envelope) {
        return mailauth::CheckInbound(authservId, content, envelope, core::ServerConfig());
    };
}

bool SmtpServerSession::Data() {
    if (!envelope_ || chunks_) {
        Reply(kLocalError);
        return true;
    }
    std::unique_ptr<FileStream> content;
    try {
        content = OpenIntake(*envelope_);
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical, std::string("SMTP Server: the message content can not be opened: ") + error.what());
        DropEnvelope();
        Reply(StoreFailureReply(error));
        return true;
    }
    Reply("354 Start mail input; end with <CRLF>.<CRLF>");
    const IntakeOutcome outcome =
        TakeMessage(*connection_, envelope_, std::move(content), ReceivedHeader(sender_, clientAddress_, domain_), sizeLimit_, AuthenticationCheck());
    recipients_ = 0;
    switch (outcome) {
        case IntakeOutcome::Published: Reply(kStored); return true;
        case IntakeOutcome::Oversize: Reply("523 5.2.3 Requested action aborted. Message exceedes mailbox limit"); return true;
        case IntakeOutcome::Failed: Reply(kLocalError); return true;
        case IntakeOutcome::StorageFull: Reply(kInsufficientStorage); return true;
        case IntakeOutcome::Abandoned: return false;
        case IntakeOutcome::Refused: Reply(mailauth::kDmarcRefusal); return true;
    }
    return false;
}

bool SmtpServerSession::Bdat(const std::string& line) {
    const auto words = SplitWords(line);
    const bool last = words.size() == 3 && EqualsNoCase(words[2], "LAST");
    const std::string size = words.size() >= 2 ? words[1] : std::string();
    if ((words.size() != 2 && !last) || size.empty() || size.size() > 19 || size.find_first_not_of("0123456789") != std::string::npos) {
        // Without a size the chunk's end is unknown: nothing can be read in step any more.
        Reply("501 5.5.4 Syntax error in BDAT parameters");
        return false;
    }
    const std::uint64_t length = std::stoull(size);
    if (!chunks_ && (sender_.empty() || !envelope_ || recipients_ == 0)) {
        ReadChunk(*connection_, length, [](std::string_view) {});
        Reply(kBadSequence);
        return true;
    }
    if (!chunks_) {
        try {
            chunks_.emplace(OpenIntake(*envelope_), ReceivedHeader(sender_, clientAddress_, domain_), sizeLimit_);
        } catch (const ComError& error) {
            core::Log(core::LogLevelCritical, std::string("SMTP Server: the message content can not be opened: ") + error.what());
            ReadChunk(*connection_, length, [](std::string_view) {});
            DropEnvelope();
            Reply(StoreFailureReply(error));
            return true;
        }
    }
    if (!chunks_->TakeChunk(*connection_, length)) {
        DropEnvelope();
        recipients_ = 0;
        Reply("552 5.3.4 Message size exceeds fixed maximum message size");
        return true;
    }
    if (!last) {
        Reply(Format("250 2.0.0 %lu octets received", {length}));
        return true;
    }
    const IntakeOutcome outcome = chunks_->Finish(envelope_, AuthenticationCheck());
    chunks_.reset();
    recipients_ = 0;
    switch (outcome) {
        case IntakeOutcome::Published: Reply("250 2.0.0 Message stored"); return true;
        case IntakeOutcome::StorageFull: Reply(kInsufficientStorage); return true;
        case IntakeOutcome::Refused: Reply(mailauth::kDmarcRefusal); return true;
        default: Reply(kLocalError); return true;
    }
}

}  // namespace pw::smtp
