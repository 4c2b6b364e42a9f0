// Transport: the cycle thread, the job per envelope, the SMTP exchange and what follows it.
#include "smtp/Transport.h"

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "core/Configuration.h"
#include "core/JobManager.h"
#include "core/LanguageTexts.h"
#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "dns/DnsResolver.h"
#include "mailauth/DkimSigner.h"
#include "mime/Message.h"
#include "mime/MessageDate.h"
#include "mime/SevenBitDowngrade.h"
#include "net/Listener.h"
#include "net/Pop3Client.h"
#include "platform/EventLog.h"
#include "platform/Idna.h"
#include "platform/IpAddress.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "router/Notifications.h"
#include "router/RouterQueue.h"
#include "smtp/Dialer.h"
#include "smtp/MtaStsFetch.h"
#include "smtp/SendReceiveCycle.h"
#include "smtp/SmtpClient.h"
#include "smtp/SmtpHooks.h"
#include "store/MailBox.h"
#include "store/MessageStore.h"
#include "store/UidCounter.h"

namespace pw::smtp {

namespace {

using Clock = std::chrono::steady_clock;

// Language texts (core::FormatText).
constexpr int kTextDelivered = 110;
constexpr int kTextStoreFailed = 5000;
constexpr int kTextSocketFailed = 5001;
constexpr int kTextNoExchangerReached = 5003;
constexpr int kTextNoExchanger = 5006;
constexpr int kTextExchangerIsThisHost = 5031;
constexpr int kPermanent = ReplyCode(5, 4, 4);  // 5.4.4: no such destination
constexpr int kNoRoute = ReplyCode(4, 4, 1);    // 4.4.1: nobody answered
constexpr int kDnsFailed = ReplyCode(4, 4, 3);  // 4.4.3: DNS failed for now
constexpr std::string_view kDelayedNoticeKey = "sys:delivery:delayednotice";
// Marks mail a relay agent passed on: it goes to the agent's server, not to the domain's exchangers.
constexpr std::string_view kRelayAgentKey = "relay:agent";

struct Manager {
    std::mutex lock;  // start and stop
    std::unique_ptr<core::JobManager> jobs;
    std::thread cycle;
    std::atomic<bool> stop{false};
    std::mutex wakeLock;
    std::condition_variable wake;
    bool requested = false;
    std::mutex busyLock;
    std::set<std::string> busy;  // envelopes in a job: folder path + stem
    // The last attempt of each envelope that was not due when the pass last read it, by the same key:
    // the pass skips it without opening its record until the retry interval has passed.
    std::map<std::string, double> lastAttempts;
    int replyTimeLimit = 0;  // the Debug value "TransportReplyTimeout", read at start
    // One pass at a time, the scan's or a cycle's: an envelope's busy mark is looked at and made in
    // one pass, and two at once could both find it free.
    std::mutex passLock;
};

Manager& TheManager() {
    static Manager manager;
    return manager;
}

// An envelope's mark of being in a job: made before the job is queued, dropped with the job --
// whether it ran, failed with any exception, or was never run -- so an envelope is never left out of
// every later pass.
class BusyMark {
public:
    explicit BusyMark(std::string key) : key_(std::move(key)) {
        Manager& manager = TheManager();
        std::lock_guard guard(manager.busyLock);
        manager.busy.insert(key_);
    }
    ~BusyMark() {
        Manager& manager = TheManager();
        std::lock_guard guard(manager.busyLock);
        manager.busy.erase(key_);
        if (lastAttempt_ != 0) manager.lastAttempts[key_] = lastAttempt_;
    }
    BusyMark(const BusyMark&) = delete;
    BusyMark& operator=(const BusyMark&) = delete;
    const std::string& Key() const { return key_; }
    // The envelope stays in "_Out" with this last attempt: the next passes need not read it before it is due.
    void KeepUntilDue(double lastAttempt) { lastAttempt_ = lastAttempt; }

private:
    std::string key_;
    double lastAttempt_ = 0;
};

bool Due(double lastAttempt, int intervalMinutes) {
    return lastAttempt == 0 || intervalMinutes == 0 || (Now() - lastAttempt) * 1440 >= intervalMinutes;
}

int RetryIntervalMinutes(const core::ConfigTree& config) {
    Variant value;
    if (config.Get("sys:delivery:retryinterval", value) && value.IsNumeric()) return std::max(0, value.AsI4());
    return kDefaultRetryIntervalMinutes;
}

// A POP3 login that opens the relay server's POP-before-SMTP window.
bool Pop3Login(const DeliveryTarget& target) {
    dns::DnsResolver resolver;
    auto address = IpAddress::Parse(target.pop3Server);
    if (!address) {
        resolver.AddConfiguredServers(core::ServerConfig());
        const auto host = resolver.LookupHost(target.pop3Server);
        if (!host) return false;
        address = host->addresses.front();
    }
    try {
        net::Pop3Client client(kCommandTimeout);
        if (!client.Open(*address, target.pop3Port) || !client.Login(target.account, target.password)) return false;
        client.Command("STAT");
        client.Quit();
        return true;
    } catch (const net::CnwSocketErr& error) {
        core::Log(core::LogLevelWarning, std::string("SMTP Transport: POP3 login before sending failed: ") + error.what());
        return false;
    }
}

// Packed 5.6.7: the message needs SMTPUTF8 and the peer does not offer it.
constexpr int kNeedsSmtpUtf8 = ReplyCode(5, 6, 7);

// The local part of an address holds UTF-8 (only SMTPUTF8 carries it; a domain has its ASCII form).
bool LocalPartIsUtf8(std::string_view address) {
    const std::size_t at = address.rfind('@');
    return !IsAsciiText(at == std::string_view::npos ? address : address.substr(0, at));
}

// The address with its domain in the ASCII form, for a peer without SMTPUTF8.
std::string AsciiDomainAddress(const std::string& address) {
    const std::size_t at = address.rfind('@');
    if (at == std::string::npos) return address;
    const auto ascii = DomainToAscii(std::string_view(address).substr(at + 1));
    return ascii ? address.substr(0, at + 1) + *ascii : address;
}

// One delivery attempt of one envelope.
class Delivery {
public:
    Delivery(std::shared_ptr<store::Envelope> envelope, DeliveryTarget target)
        : envelope_(std::move(envelope)), target_(std::move(target)) {}

    void Run() {
        const auto& recipients = envelope_->GetRecipients().All();
        for (const auto& recipient : recipients) outcome_[recipient] = 0;
        // Taken before any connection: a record without its content can never be delivered.
        try {
            content_ = envelope_->StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_WRITE);
        } catch (const ComError& error) {
            if (error.Code() != STG_E_FILENOTFOUND) throw;
            return DropLostMessage();
        }
        if (target_.authType == 2 && !target_.pop3Server.empty()) Pop3Login(target_);
        if (!Connect()) return Finish();
        Exchange();
        Finish();
    }

private:
    struct Candidate {
        IpAddress address;
        std::string name;  // what the certificate must match
    };

    // The candidates in order, or the code every recipient gets when there is none.
    std::vector<Candidate> Candidates(int& failure) {
        dns::DnsResolver resolver;
        resolver.AddConfiguredServers(core::ServerConfig());
        // A stopping server does not wait for DNS.
        resolver.SetStopFlag(&TheManager().stop);
        if (const auto literal = IpAddress::Parse(target_.destination)) return {{*literal, target_.destination}};
        if (target_.relayServer) {
            const auto host = resolver.LookupHost(target_.destination);
            std::vector<Candidate> candidates;
            for (const IpAddress& address : host ? host->addresses : std::vector<IpAddress>{}) {
                candidates.push_back({address, target_.destination});
            }
            if (host) return candidates;
            failure = resolver.LastStatus() == dns::DnsStatus::Failed ? kDnsFailed : kPermanent;
            return {};
        }
        const auto exchangers = resolver.ResolveMx(target_.destination);
        if (exchangers.empty()) {
            failure = resolver.LastStatus() == dns::DnsStatus::Failed ? kDnsFailed : kPermanent;
            core::Log(core::LogLevelWarning, core::FormatText(kTextNoExchanger, {std::string_view(target_.destination)}, "No mail exchanger was found for %s"));
            return {};
        }
        std::vector<Candidate> candidates;
        const auto policy = EnforcedMtaSts();
        for (const auto& exchanger : exchangers) {
            if (policy && !policy->Allows(exchanger.exchange)) {
                core::Log(core::LogLevelWarning, "SMTP Transport: " + exchanger.exchange + " is not an exchanger the MTA-STS policy of " +
                                                     target_.destination + " lists; it is not used");
                continue;
            }
            for (const IpAddress& address : exchanger.addresses) {
                if (address.IsLoopbackHost()) {
                    const std::string text =
                        address.IsIPv6() ? Format("The mail exchanger of %s is this host (::1)", {std::string_view(target_.destination)})
                                         : core::FormatText(kTextExchangerIsThisHost, {std::string_view(target_.destination)},
                                                            "The mail exchanger of %s is this host (127.0.0.1)");
                    core::Log(core::LogLevelWarning, text);
                    ReportEvent(event_kind::kWarning, text);
                    if (candidates.empty()) failure = kPermanent;
                    return candidates;
                }
                candidates.push_back({address, exchanger.exchange});
            }
        }
        // Exchangers without any address: their lookups failed or came back empty; wait and retry.
        // None the policy allows: the message waits too, as RFC 8461 4.2 asks, for the policy or DNS to change.
        if (candidates.empty()) failure = policy ? kTlsRequired : kDnsFailed;
        return candidates;
    }

    // The MTA-STS policy the recipient domain enforces, when "sys:delivery:mtasts" is on; the
    // connections then take verified TLS (SmtpClient::SetRequireVerifiedTls). Testing and none
    // policies change nothing.
    std::optional<mailauth::MtaStsPolicy> EnforcedMtaSts() {
        if (!core::ServerConfig().GetCopy(mailauth::kMtaStsKey).IsTrue()) return std::nullopt;
        auto policy = MtaStsPolicyFor(target_.destination);
        if (!policy || policy->mode != mailauth::MtaStsMode::Enforce) return std::nullopt;
        requireVerifiedTls_ = true;
        return policy;
    }

    bool Connect() {
        int failure = kNoRoute;
        const auto candidates = Candidates(failure);
        for (const auto& [address, name] : candidates) {
            const std::string text = address.Text();
            if (Clock::now() >= deadline_) {
                core::Log(core::LogLevelWarning, Format("SMTP Transport: the attempt for %s took its %d minutes; the message waits",
                                                        {std::string_view(target_.destination), std::int64_t{kAttemptBudget.count()}}));
                break;
            }
            core::Log(core::LogLevelNormal, core::FormatText(kTextDelivered, {std::string_view(target_.destination), std::string_view(text)},
                                                             "Connecting to %s at %s"));
            auto client = std::make_unique<SmtpClient>(core::ServerConfig().GetCopy("sys:smtptrans:helloname").AsText());
            client->SetLocalAddress(core::ServerConfig().GetCopy("sys:smtptrans:ip").AsText());
            client->SetTraffic([](std::string_view line) { core::Log(core::LogLevelDebug, line); });
            client->SetPeerName(name);
            client->SetDeadline(deadline_);
            client->SetReplyTimeLimit(TheManager().replyTimeLimit);
            client->SetRequireVerifiedTls(requireVerifiedTls_);
            if (target_.authType == 1) client->SetAccount(target_.account, target_.password);
            try {
                const int code = client->Open(address, target_.port);
                if (code != 0) {
                    SetAll(code, "EHLO", client->ReplyText());
                    client->Quit();
                    // A server that defers (4xx) may have a backup that does not.
                    if (FirstDigit(code) == 4) continue;
                    return false;
                }
                client_ = std::move(client);
                return true;
            } catch (const net::CnwSocketErr& error) {
                core::Log(core::LogLevelWarning, "SMTP Transport: " + text + ": " + error.what());
            }
        }
        if (candidates.empty() && failure != kPermanent) {
            core::Log(core::LogLevelWarning, "SMTP Transport: DNS failed for " + target_.destination + "; the message waits");
        } else if (!candidates.empty()) {
            core::Log(core::LogLevelWarning, core::FormatText(kTextNoExchangerReached, {std::string_view(target_.destination)}, "No mail exchanger could be reached for %s"));
        }
        SetAll(candidates.empty() ? failure : kNoRoute, "CONNECT", "");
        return false;
    }

    void SetAll(int code, std::string_view command, std::string_view reply) {
        for (auto& [recipient, outcome] : outcome_) {
            outcome = code;
            Record(recipient, command, reply, code);
        }
    }

    void Record(const std::string& recipient, std::string_view command, std::string_view reply, int code) {
        auto& properties = envelope_->GetProperties();
        properties.SetItem(store::DsnKey(recipient, "send"), Variant::Text(command));
        properties.SetItem(store::DsnKey(recipient, "recv"), Variant::Text(reply));
        properties.SetItem(store::DsnKey(recipient, "resp"), Variant::I4(code));
    }

    // Does the stored content hold bytes above 127? Read in blocks, then rewound for sending.
    bool ContentIsEightBit() {
        std::vector<std::byte> block(kContentBlock);
        bool eightBit = false;
        for (;;) {
            std::size_t got = 0;
            const HRESULT hr = content_->Read(block, got);
            if (hr == STG_E_ENDOFFILE || got == 0) break;
            ThrowIfFailed(hr, "reading the message content");
            eightBit = eightBit || mime::HasEightBitBytes(std::string_view(reinterpret_cast<const char*>(block.data()), got));
            if (eightBit) break;
        }
        ThrowIfFailed(content_->Seek(0, SeekOrigin::Begin), "rewinding the message content");
        return eightBit;
    }

    // The content re-encoded for a peer that does not take 8-bit data (RFC 6152).
    std::unique_ptr<Stream> SevenBitContent() {
        std::vector<std::byte> bytes;
        ThrowIfFailed(ReadToEnd(*content_, bytes), "reading the message content");
        const std::string downgraded = mime::DowngradeToSevenBit(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        const auto* start = reinterpret_cast<const std::byte*>(downgraded.data());
        return std::make_unique<MemoryStream>(std::vector<std::byte>(start, start + downgraded.size()));
    }

    // Does the header of a message that came with SMTPUTF8 hold UTF-8? Read up to the blank line
    // (at most 1 MB), then rewound for sending.
    bool HeaderIsEightBit() {
        constexpr std::size_t kHeaderBound = 1024 * 1024;
        std::string header;
        std::vector<std::byte> block(kContentBlock);
        while (header.size() < kHeaderBound && header.find("\n\r\n") == std::string::npos && header.find("\n\n") == std::string::npos) {
            std::size_t got = 0;
            const HRESULT hr = content_->Read(block, got);
            if (hr == STG_E_ENDOFFILE || got == 0) break;
            ThrowIfFailed(hr, "reading the message content");
            header.append(reinterpret_cast<const char*>(block.data()), got);
        }
        ThrowIfFailed(content_->Seek(0, SeekOrigin::Begin), "rewinding the message content");
        std::size_t end = std::min(header.find("\n\r\n"), header.find("\n\n"));
        return !IsAsciiText(std::string_view(header).substr(0, end));
    }

    // The sender's notice requests, passed on to a peer that takes them (DSN).
    std::string MailParameters(bool smtpUtf8) const {
        const auto& properties = envelope_->GetProperties();
        std::string parameters = smtpUtf8 ? " SMTPUTF8" : "";
        if (!peerDsn_) return parameters;
        if (const std::string ret = properties.Text(store::kSmtpRetKey); !ret.empty()) parameters += " RET=" + ret;
        if (const std::string id = properties.Text(store::kSmtpEnvIdKey); !id.empty()) parameters += " ENVID=" + id;
        return parameters;
    }

    std::string RecipientParameters(const std::string& recipient) const {
        if (!peerDsn_) return {};
        const auto& properties = envelope_->GetProperties();
        std::string parameters;
        if (const std::string notify = properties.Text(store::RecipientKey(recipient, "notify")); !notify.empty()) parameters += " NOTIFY=" + notify;
        if (const std::string original = properties.Text(store::RecipientKey(recipient, "orcpt")); !original.empty()) {
            parameters += " ORCPT=" + original;
        }
        return parameters;
    }

    // Signed last, over the bytes that go (a 7-bit re-encoding included); a message that can not be
    // signed goes unsigned rather than not at all.
    std::string Signature(Stream& out) {
        try {
            return mailauth::DkimSignatureFor(*store::OpenServerStore(), out, envelope_->Sender());
        } catch (const ComError& error) {
            core::Log(core::LogLevelWarning, "SMTP Transport: " + envelope_->Namespace() + " goes unsigned: " + error.what());
            ThrowIfFailed(out.Seek(0, SeekOrigin::Begin), "rewinding the message content");
            return {};
        }
    }

    void Exchange() {
        try {
            // 8-bit content goes as it is to a peer that announced 8BITMIME, and as quoted-printable
            // to one that did not.
            const bool eightBit = ContentIsEightBit();
            const bool asIs = eightBit && client_->Offers("8BITMIME");
            peerDsn_ = client_->Offers("DSN");
            // UTF-8 addresses and headers go only to a peer that offers SMTPUTF8; for one that does not,
            // domains take their ASCII form, and what still needs UTF-8 fails for good (5.6.7): the
            // sender's address or the header for every recipient, a recipient's local part for that one.
            const bool peerUtf8 = client_->Offers("SMTPUTF8");
            const bool cameWithUtf8 = envelope_->GetProperties().Item(store::kSmtpUtf8Key).IsTrue();
            const std::string sender = peerUtf8 ? envelope_->Sender() : AsciiDomainAddress(envelope_->Sender());
            bool utf8 = cameWithUtf8 || !IsAsciiText(envelope_->Sender());
            for (const auto& entry : outcome_) utf8 = utf8 || !IsAsciiText(entry.first);
            if (!peerUtf8 && (LocalPartIsUtf8(envelope_->Sender()) || (cameWithUtf8 && HeaderIsEightBit()))) {
                SetAll(kNeedsSmtpUtf8, "MAIL FROM", "");
                client_->Quit();
                return;
            }
            std::size_t sendable = 0;
            for (auto& [recipient, outcome] : outcome_) {
                if (!peerUtf8 && LocalPartIsUtf8(recipient)) {
                    outcome = kNeedsSmtpUtf8;
                    Record(recipient, "RCPT TO:<" + recipient + ">", "", outcome);
                } else {
                    ++sendable;
                }
            }
            if (sendable == 0) {
                client_->Quit();
                return;
            }
            const std::unique_ptr<Stream> sevenBit = eightBit && !asIs ? SevenBitContent() : nullptr;
            int code = client_->MailFrom(sender, asIs, MailParameters(peerUtf8 && utf8));
            if (IsFailure(code)) {
                for (auto& [recipient, outcome] : outcome_) {
                    if (outcome == kNeedsSmtpUtf8) continue;
                    outcome = code;
                    Record(recipient, "MAIL FROM", client_->ReplyText(), code);
                }
                return;
            }
            std::size_t accepted = 0;
            for (auto& [recipient, outcome] : outcome_) {
                if (outcome == kNeedsSmtpUtf8) continue;
                const std::string named = peerUtf8 ? recipient : AsciiDomainAddress(recipient);
                outcome = client_->RcptTo(named, RecipientParameters(recipient));
                Record(recipient, "RCPT TO:<" + named + ">", client_->ReplyText(), outcome);
                if (IsPositive(outcome)) ++accepted;
            }
            if (accepted != 0) {
                Stream& out = sevenBit ? *sevenBit : *content_;
                code = client_->Data(out, Signature(out));
                // From the reply to the content on, what the peer accepted is its own: a connection lost
                // later (at QUIT) must not send it again.
                dataDone_ = true;
                if (IsFailure(code) || code == 0) {
                    // The message itself was refused: every recipient the RCPT step accepted shares that fate.
                    for (auto& [recipient, outcome] : outcome_) {
                        if (IsPositive(outcome)) {
                            outcome = code == 0 ? kNoRoute : code;
                            Record(recipient, "DATA", client_->ReplyText(), outcome);
                        }
                    }
                }
            }
            client_->Quit();
        } catch (const net::CnwSocketErr& error) {
            core::Log(core::LogLevelWarning, core::FormatText(kTextSocketFailed, {std::string_view("SMTP Transport"), std::string_view(error.what()),
                                                                     std::int64_t{error.Code()}, std::string_view("socket error")},
                                                              "%s: %s failed with error %d (%s)"));
            // What the peer had not accepted before the connection broke waits for the next attempt.
            for (auto& [recipient, outcome] : outcome_) {
                if (!IsPositive(outcome) || !dataDone_) outcome = IsFailure(outcome) && FirstDigit(outcome) == 5 ? outcome : kNoRoute;
            }
        }
    }

    void Finish() {
        auto& recipients = envelope_->GetRecipients();
        // Each failed recipient keeps its own status. Our own codes (no reply recorded) are enhanced; a
        // peer's reply gives its enhanced code only when its last line carries one ("550 5.1.1 ..."): a
        // plain reply ("550 no such user") tells the class alone ("5.0.0"), whatever the peer announced.
        const auto failureStatus = [&](const std::string& recipient, int code) {
            const std::string reply = envelope_->GetProperties().Text(store::DsnKey(recipient, "recv"));
            if (reply.empty()) return CodeText(code, true);
            const std::size_t start = reply.rfind('\n');
            const std::string_view last = std::string_view(reply).substr(start == std::string::npos ? 0 : start + 1);
            const auto digit = [&](std::size_t i) { return i < last.size() && last[i] >= '0' && last[i] <= '9'; };
            const bool enhanced = client_ && client_->Enhanced() && digit(4) && last.size() >= 9 && last[5] == '.' &&
                                  digit(6) && last[7] == '.' && digit(8) && last[4] == last[0];
            return enhanced ? CodeText(code, true) : Format("%d.0.0", {std::int64_t{FirstDigit(code)}});
        };
        std::vector<router::FailedRecipient> failed;
        std::vector<std::string> relayed;
        for (const auto& [recipient, outcome] : outcome_) {
            if (IsPositive(outcome)) {
                recipients.Remove(recipient);
                relayed.push_back(recipient);
            } else if (FirstDigit(outcome) == 5) {
                failed.push_back({recipient, failureStatus(recipient, outcome), "The receiving server refused the message"});
                recipients.Remove(recipient);
            }
        }
        router::NotifySender(*envelope_, failed);
        // A peer that offers DSN got the requests and tells the sender itself; else "relayed" here.
        if (!peerDsn_) router::NotifySuccess(*envelope_, relayed, router::DsnRelayed);
        if (recipients.Count() != 0) CountAttempt();
        envelope_->GetProperties().Remove("dsn");
        if (recipients.Count() == 0) {
            envelope_->Remove();
            return;
        }
        envelope_->SetLastAttemptDate();
        envelope_->Update();
    }

    void CountAttempt() {
        const auto& recipients = envelope_->GetRecipients().All();
        int count = 0;
        if (target_.retryType == RetryCountDays) {
            count = static_cast<int>(std::floor(Now() - envelope_->CreateDate() + kHalfSecond));
        } else {
            count = envelope_->GetProperties().Number(kRetryCounterKey) + 1;
            envelope_->GetProperties().SetItem(kRetryCounterKey, Variant::I4(count));
        }
        if (target_.retryType == RetryForever || target_.retryLimit <= 0) return;
        // Counted in days, the half-way count lasts a whole day: the delayed notice still goes once.
        if (count >= target_.retryLimit / 2 && !envelope_->GetProperties().Item(kDelayedNoticeKey).IsTrue()) {
            router::NotifySender(*envelope_, "4.4.7", recipients, "The message is delayed; delivery is still being tried");
            envelope_->GetProperties().SetItem(kDelayedNoticeKey, Variant::Switch(true));
        }
        if (count >= target_.retryLimit) {
            router::NotifySender(*envelope_, "5.4.7", recipients, "The message could not be delivered in time");
            envelope_->GetRecipients().Clear();
        }
    }

    // The record is there, its content is not: retrying can not bring it back. The envelope goes, the
    // postmaster gets a notice with what the record still tells, and the sender a failure notice.
    void DropLostMessage() {
        std::string recipients;
        for (const auto& recipient : envelope_->GetRecipients().All()) recipients += (recipients.empty() ? "" : ", ") + recipient;
        const std::string text = "SMTP Transport: the content of " + envelope_->Namespace() + " is missing; the message from <" +
                                 envelope_->Sender() + "> to " + recipients + " can not be delivered and is removed";
        core::Log(core::LogLevelCritical, text);
        ReportEvent(event_kind::kError, text);
        NotifyPostmaster(text);
        router::NotifySender(*envelope_, "5.3.0", envelope_->GetRecipients().All(), "The message was lost from the outgoing queue");
        envelope_->Remove();
    }

    void NotifyPostmaster(const std::string& text) {
        try {
            const auto messageStore = store::OpenServerStore();
            const std::string domain = messageStore->PrimaryDomain(core::ServerConfig());
            std::string postmaster = messageStore->PostmasterAddress(core::ServerConfig());
            postmaster = postmaster.substr(1, postmaster.size() - 2);  // without its angle brackets
            mime::Message notice;
            notice.SetSubject("A message in the outgoing queue has lost its content");
            notice.SetFrom("mail-deamon@" + domain);
            notice.SetTo(postmaster);
            notice.SetDate(mime::FormatMessageDate(Now()));
            notice.SetMessageID(mime::MakeMessageID(domain));
            notice.SetHeaderField("Auto-Submitted", "auto-generated");
            notice.SetHeaderField("MIME-Version", "1.0");
            notice.SetContentType("text", "plain", "charset=utf-8");
            notice.SetBodyText(text + "\r\n");
            auto envelope = messageStore->InFolder()->GetEnvelopes()->Add();
            envelope->SetSender("");  // a notice is never answered by another
            envelope->GetRecipients().Add(postmaster);
            envelope->GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(2));
            envelope->PutContent(notice);
            envelope->Update();
            router::SubmitEnvelope(envelope->UID());
        } catch (const ComError& error) {
            core::Log(core::LogLevelCritical, std::string("SMTP Transport: the postmaster can not be told: ") + error.what());
        }
    }

    std::shared_ptr<store::Envelope> envelope_;
    DeliveryTarget target_;
    const Clock::time_point deadline_ = Clock::now() + kAttemptBudget;
    std::unique_ptr<FileStream> content_;
    bool requireVerifiedTls_ = false;  // the recipient domain enforces MTA-STS
    std::unique_ptr<SmtpClient> client_;
    std::map<std::string, int> outcome_;
    bool dataDone_ = false;
    bool peerDsn_ = false;  // the peer offered DSN and was given the sender's notice requests
};

void DeliverJob(DirStorage folder, std::string root, double uid, BusyMark& mark) {
    try {
        auto envelope = store::Envelope::Open(folder, root, uid);
        Delivery(envelope, MakeDeliveryTarget(core::ServerConfig(), folder.Name(), &envelope->GetProperties())).Run();
        if (envelope->GetRecipients().Count() != 0) mark.KeepUntilDue(envelope->GetProperties().Item(kLastAttemptKey).AsDouble());
        return;
    } catch (const ComError& error) {
        if (error.Code() == STG_E_FILENOTFOUND) return;  // the record went: nothing left to do
        const std::string text = core::FormatText(kTextStoreFailed, {std::string_view("SMTP Transport")}, "%s: a store operation failed") +
                                 ": " + error.what();
        core::Log(core::LogLevelCritical, text);
        ReportEvent(event_kind::kError, text);
    } catch (const std::exception& error) {
        core::Log(core::LogLevelCritical, "SMTP Transport: the delivery of " + mark.Key() + " failed: " + error.what());
    }
    // A failed job is not tried again at once: it waits the retry interval like any other attempt.
    mark.KeepUntilDue(Now());
}

// True when the pass may skip the envelope without reading its record: it is in a job, or its last
// attempt, remembered from an earlier pass or job, was too recent.
bool SkipWithoutReading(const std::string& key, int interval) {
    Manager& manager = TheManager();
    std::lock_guard guard(manager.busyLock);
    if (manager.busy.contains(key)) return true;
    const auto known = manager.lastAttempts.find(key);
    return known != manager.lastAttempts.end() && !Due(known->second, interval);
}

// Whether the envelope is due; one that is not is remembered so later passes skip it unread.
bool DueNow(const std::string& key, const store::Envelope& envelope, int interval) {
    const double last = envelope.GetProperties().Item(kLastAttemptKey).AsDouble();
    const bool due = Due(last, interval);
    Manager& manager = TheManager();
    std::lock_guard guard(manager.busyLock);
    if (due) {
        manager.lastAttempts.erase(key);
    } else {
        manager.lastAttempts[key] = last;
    }
    return due;
}

// One job per due envelope of "_Out", each passed through `wrap` before it is queued.
void OutgoingPass(const JobWrapper& wrap) {
    Manager& manager = TheManager();
    std::lock_guard pass(manager.passLock);
    core::ConfigTree& config = core::ServerConfig();
    Variant deliverTo;
    if (config.Get("sys:delivery:deliverto", deliverTo) && deliverTo.IsNumeric() && deliverTo.AsI4() == 0) return;
    const int interval = RetryIntervalMinutes(config);
    const auto messageStore = store::OpenServerStore();
    const auto domains = messageStore->OutFolder()->GetFolders();
    std::set<std::string> listed;
    for (const auto& name : domains->Names()) {
        if (manager.stop) return;
        const auto folder = domains->Item(name);
        if (!folder) continue;
        for (const double uid : folder->GetEnvelopes()->Uids()) {
            const std::string key = folder->Storage().Path() + store::UidStem(uid);
            listed.insert(key);
            if (SkipWithoutReading(key, interval)) continue;
            std::shared_ptr<store::Envelope> envelope;
            try {
                envelope = store::Envelope::Open(folder->Storage(), messageStore->RootPath(), uid);
            } catch (const ComError&) {
                continue;
            }
            if (envelope->GetRecipients().Count() == 0) {
                envelope->Remove();
                continue;
            }
            if (!DueNow(key, *envelope, interval)) continue;
            // Shared with the job, which drops it when it ends, or the pool when it discards the job unrun.
            auto mark = std::make_shared<BusyMark>(key);
            std::function<void()> job = [storage = folder->Storage(), root = messageStore->RootPath(), uid, mark] {
                DeliverJob(storage, root, uid, *mark);
            };
            QueueTransportJob(wrap ? wrap(std::move(job)) : std::move(job));
        }
    }
    // Envelopes that left "_Out" are forgotten.
    std::lock_guard guard(manager.busyLock);
    std::erase_if(manager.lastAttempts, [&](const auto& entry) { return !listed.contains(entry.first); });
}

// Looks at "_Out" every few seconds, and at once when asked. On a dial-up connection outgoing mail
// waits for a send/receive cycle instead.
void ScanThread() {
    Manager& manager = TheManager();
    while (!manager.stop) {
        {
            std::unique_lock guard(manager.wakeLock);
            manager.wake.wait_for(guard, kOutScanInterval, [&] { return manager.requested || manager.stop.load(); });
            manager.requested = false;
        }
        if (manager.stop) break;
        if (ReadConnectionType(core::ServerConfig()) == ConnectionTypeRAS) continue;
        try {
            OutgoingPass({});
        } catch (const std::exception& error) {
            core::Log(core::LogLevelCritical, std::string("SMTP Transport: the outgoing pass failed: ") + error.what());
        }
    }
}

void RequestScan() {
    Manager& manager = TheManager();
    {
        std::lock_guard guard(manager.wakeLock);
        manager.requested = true;
    }
    manager.wake.notify_all();
}

}  // namespace

DeliveryTarget MakeDeliveryTarget(const core::ConfigTree& config, const std::string& domain, const store::Properties* envelope) {
    DeliveryTarget target;
    target.destination = domain;
    Variant value;
    // Mail a relay agent passed on carries the agent's server; an empty setting falls back to the
    // server-wide one, as for any relayed mail.
    if (envelope && envelope->Item(kRelayAgentKey).IsTrue()) {
        const auto pick = [&](std::string_view agentKey, std::string_view globalKey) {
            Variant own = envelope->Item(agentKey);
            if (own.IsEmpty() || (own.IsText() && own.AsText().empty())) own = config.GetCopy(globalKey);
            return own;
        };
        target.relayServer = true;
        target.destination = pick("relay:server0:server", "sys:delivery:server").AsText();
        if (const Variant port = pick("relay:server0:port", "sys:delivery:port"); !port.IsEmpty()) target.port = net::PortFromSetting(port);
        target.account = pick("relay:server0:account", "sys:delivery:account").AsText();
        target.password = pick("relay:server0:password", "sys:delivery:password").AsText();
        target.authType = target.account.empty() ? 0 : 1;
    } else if (config.GetCopy("sys:delivery:useremote").IsTrue()) {
        target.relayServer = true;
        target.destination = config.GetCopy("sys:delivery:server").AsText();
        if (config.Get("sys:delivery:port", value) && !value.IsEmpty()) target.port = net::PortFromSetting(value);
        target.account = config.GetCopy("sys:delivery:account").AsText();
        target.password = config.GetCopy("sys:delivery:password").AsText();
        target.authType = config.GetCopy("sys:delivery:authtype").AsI4();
        target.pop3Server = config.GetCopy("sys:delivery:pop3server").AsText();
        if (config.Get("sys:delivery:pop3port", value) && !value.IsEmpty()) target.pop3Port = net::PortFromSetting(value);
    }
    if (config.Get("sys:smtptrans:retries", value) && value.IsNumeric()) target.retryLimit = value.AsI4();
    if (config.Get("sys:smtptrans:retrytype", value) && value.IsNumeric()) target.retryType = value.AsI4() == 0 ? 1 : value.AsI4();
    if (envelope) {
        if (envelope->Get("relay:smtptrans:retries", value) && value.IsNumeric()) target.retryLimit = value.AsI4();
        if (envelope->Get("relay:smtptrans:retrytype", value) && value.IsNumeric()) target.retryType = value.AsI4() == 0 ? 1 : value.AsI4();
    }
    // DNS knows an internationalised name by its ASCII form.
    if (const auto ascii = DomainToAscii(target.destination)) target.destination = *ascii;
    return target;
}

bool HandOffToRelay(const store::Envelope& envelope, const store::MailBox& agent) {
    try {
        const auto messageStore = store::OpenServerStore();
        const std::string domain = agent.DomainName();
        auto folders = messageStore->OutFolder()->GetFolders();
        auto folder = folders->Item(domain);
        if (!folder) folder = folders->Add(domain, store::TempFolderType);
        auto copy = store::Envelope::CreateCopy(folder->Storage(), envelope);
        copy->GetRecipients().Clear();
        copy->GetRecipients().Add(agent.Address());
        auto& properties = copy->GetProperties();
        properties.SetItem(kRelayAgentKey, Variant::Switch(true));
        for (const char* key : {"relay:server0:server", "relay:server0:port", "relay:server0:account", "relay:server0:password",
                                "relay:smtptrans:retries", "relay:smtptrans:retrytype"}) {
            Variant value;
            if (agent.GetProperties().Get(key, value) && !value.IsEmpty()) properties.SetItem(key, value);
        }
        copy->Update();
        RequestScan();
        return true;
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, "SMTP Transport: can not pass mail on for the relay agent " + agent.Address() + ": " + error.what());
        return false;
    }
}

bool StartTransports(std::size_t jobs) {
    Manager& manager = TheManager();
    std::lock_guard guard(manager.lock);
    if (manager.jobs) return true;
    if (jobs == 0) {
        Variant value;
        jobs = core::ServerConfig().Get("sys:delivery:maxtransports", value) && value.AsI4() > 0 ? static_cast<std::size_t>(value.AsI4())
                                                                                               : kDefaultMaxTransports;
    }
    manager.stop = false;
    // A diagnostic value: tests meet silent peers with a reply time-out of seconds instead of minutes.
    manager.replyTimeLimit = static_cast<int>(core::ReadDebugSwitch(Registry::System(), "TransportReplyTimeout"));
    manager.jobs = core::JobManager::CreateJobManager(jobs);
    manager.cycle = std::thread(ScanThread);
    StartCycles();
    core::Log(core::LogLevelNormal, Format("SMTP transports started (%u jobs)", {std::uint64_t{jobs}}));
    return true;
}

void StopTransports() {
    Manager& manager = TheManager();
    std::lock_guard guard(manager.lock);
    if (!manager.jobs) return;
    // The cycle first: it queues jobs on the pool and waits for them.
    StopCycles();
    manager.stop = true;
    manager.wake.notify_all();
    if (manager.cycle.joinable()) manager.cycle.join();
    // Deliveries in progress finish; those not started stay in "_Out" for the next start.
    manager.jobs->SetForce(false);
    manager.jobs->Terminate();
    manager.jobs.reset();
    std::lock_guard busy(manager.busyLock);
    manager.busy.clear();
    manager.lastAttempts.clear();
}

bool QueueTransportJob(std::function<void()> job) {
    Manager& manager = TheManager();
    try {
        return manager.jobs && manager.jobs->AddJob(std::move(job)) != 0;
    } catch (const core::JobManagerTerminated&) {
        return false;  // stopping: the work stays where it is for the next start
    }
}

void RunOutgoingPass(const JobWrapper& wrap) {
    try {
        OutgoingPass(wrap);
    } catch (const std::exception& error) {
        core::Log(core::LogLevelCritical, std::string("SMTP Transport: the outgoing pass failed: ") + error.what());
    }
}

int TransportReplyTimeLimit() { return TheManager().replyTimeLimit; }

bool ReleaseForNode(ReleaseKind kind, const std::string& node) {
    try {
        const auto messageStore = store::OpenServerStore();
        std::shared_ptr<store::MailBox> agent;
        if (const auto domain = messageStore->FindDomain(node)) agent = domain->GetMailBoxes()->Item(node);
        if (!agent) agent = messageStore->FindMailBox(node);
        if (!agent) return false;
        const std::int32_t when = agent->GetProperties().Number("relay:when");
        if ((kind == ReleaseKind::ETRN && when != 0) || (kind == ReleaseKind::ATRN && when != 1)) return false;
        // The mail held for the node goes out now, each message moved only once its copy is queued.
        if (const auto inbox = agent->InFolder()) {
            const auto envelopes = inbox->GetEnvelopes();
            for (const double uid : envelopes->Uids()) {
                const auto held = envelopes->FindEnvelope(uid);
                if (held && HandOffToRelay(*held, *agent)) held->Remove();
            }
        }
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, std::string("SMTP Transport: the queue can not be released: ") + error.what());
        return false;
    }
    StartCycle(true, false, false);
    return true;
}

bool ConnectNow() {
    StartCycle(true, true, true);
    return true;
}

}  // namespace pw::smtp
