// Pop3Pickup: one run of an account -- the conversation, the envelopes and the record of what was taken.
#include "pop3pickup/Pop3Pickup.h"

#include <chrono>
#include <optional>
#include <set>

#include "core/Configuration.h"
#include "core/Logging.h"
#include "core/RegistryKeys.h"
#include "core/Version.h"
#include "dns/DnsResolver.h"
#include "mime/Address.h"
#include "mime/HeaderBlock.h"
#include "mime/MessageDate.h"
#include "net/Pop3Client.h"
#include "net/SocketError.h"
#include "platform/AutomationDate.h"
#include "platform/IpAddress.h"
#include "platform/Text.h"
#include "pop3pickup/SeenUids.h"
#include "router/RouterQueue.h"
#include "store/MessageStore.h"

namespace pw::pop3pickup {

namespace {

// The header is kept for reading recipients up to this size; a larger one is read as far as this.
constexpr std::size_t kMaxHeaderKept = 1 << 20;
constexpr std::size_t kContentBlock = 64 * 1024;
// The record is written at least this often during a long run, so a crash costs few duplicates.
constexpr int kSaveEvery = 100;
constexpr std::int64_t kSecondsPerDay = 86400;

void PickupLog(core::LoggingLevelEnum level, std::string_view text) { core::Log(level, "POP3 Pickup: " + std::string(text)); }

std::string Number(std::int64_t n) { return std::to_string(n); }

// The pickup's "now" in seconds since 1970, moved by the Debug value for tests of the day limit.
std::int64_t PickupNow() {
    const std::int64_t offsetDays = core::ReadDebugSwitch(Registry::System(), "POP3PickupClockOffsetDays");
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(now).count() + offsetDays * kSecondsPerDay;
}

std::vector<IpAddress> ServerAddresses(const std::string& server) {
    if (const auto address = IpAddress::Parse(server)) return {*address};
    dns::DnsResolver resolver;
    resolver.AddConfiguredServers(core::ServerConfig());
    const auto host = resolver.LookupHost(server);
    return host ? host->addresses : std::vector<IpAddress>{};
}

bool Flag(const Variant& value) { return value.IsNumeric() && value.AsInt64() != 0; }

struct Listed {
    std::uint32_t number = 0;
    std::string uid;  // empty without UIDL
};

// Parses "n rest": the number and the first word after it.
std::optional<Listed> ListingEntry(std::string_view line) {
    const std::vector<std::string> words = SplitAtAny(line, " \t");
    std::vector<std::string> fields;
    for (const std::string& word : words) {
        if (!word.empty()) fields.push_back(word);
    }
    if (fields.empty()) return std::nullopt;
    std::uint32_t number = 0;
    for (const char c : fields[0]) {
        if (c < '0' || c > '9' || number > 100'000'000) return std::nullopt;
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (number == 0) return std::nullopt;
    return Listed{number, fields.size() > 1 ? fields[1] : std::string()};
}

// Writes a retrieved message into the envelope's content: the Received line first, the pickup's own
// field last in the header, every line ending in CR LF. The header is kept for reading recipients.
class ContentWriter {
public:
    ContentWriter(FileStream& content, std::string received, std::string pickupField)
        : content_(content), block_(std::move(received)), pickupField_(std::move(pickupField)) {}

    void Piece(std::string_view text, bool lineStart) {
        std::string piece(text);
        // A bare LF ends a line as CR LF does; stored lines end in CR LF.
        if (!piece.empty() && piece.back() == '\n' && (piece.size() < 2 || piece[piece.size() - 2] != '\r')) {
            piece.insert(piece.size() - 1, 1, '\r');
        }
        if (inHeader_ && lineStart && piece == "\r\n") {
            Put(pickupField_);
            inHeader_ = false;
        }
        if (inHeader_ && header_.size() < kMaxHeaderKept) header_ += piece.substr(0, kMaxHeaderKept - header_.size());
        Put(piece);
        lineEnded_ = !piece.empty() && piece.back() == '\n';
    }

    // After the terminating line: a message without an empty line gets the field after its last line.
    HRESULT Finish() {
        if (inHeader_) {
            if (!lineEnded_) Put("\r\n");
            Put(pickupField_);
        }
        Flush();
        return written_;
    }

    const std::string& Header() const { return header_; }

private:
    void Put(std::string_view text) {
        block_ += text;
        if (block_.size() >= kContentBlock) Flush();
    }
    void Flush() {
        if (Succeeded(written_) && !block_.empty()) written_ = content_.Write(block_);
        block_.clear();
    }

    FileStream& content_;
    std::string block_;
    std::string pickupField_;
    std::string header_;
    HRESULT written_ = S_OK;
    bool inHeader_ = true;
    bool lineEnded_ = true;
};

}  // namespace

std::vector<std::string> HeaderAddresses(std::string_view header) {
    mime::HeaderBlock block;
    block.Parse(header);  // a header past the limits is read as far as they go
    std::vector<std::string> found;
    std::set<std::string> seen;
    for (const char* name : kRecipientFields) {
        const bool received = EqualsNoCase(name, "Received");
        for (std::size_t which = 0, count = block.CountField(name); which < count; ++which) {
            std::string value = block.Field(name, which);
            if (received) {
                // "... for <a@b>; date": only the text between the word "for" and the ";".
                const std::string lower = ToLowerAscii(value);
                std::size_t at = std::string::npos;
                for (std::size_t from = 0; (from = lower.find("for", from)) != std::string::npos; from += 3) {
                    const bool wordStart = from == 0 || lower[from - 1] == ' ' || lower[from - 1] == '\t';
                    const bool wordEnd = from + 3 >= lower.size() || lower[from + 3] == ' ' || lower[from + 3] == '\t' || lower[from + 3] == '<';
                    if (wordStart && wordEnd) {
                        at = from + 3;
                        break;
                    }
                }
                if (at == std::string::npos) continue;
                const std::size_t end = value.find(';', at);
                value = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
            }
            for (std::string word : SplitAtAny(value, ",; \t")) {
                if (const std::size_t open = word.find('<'); open != std::string::npos) {
                    const std::size_t close = word.find('>', open);
                    word = word.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
                }
                if (word.empty() || word.find('@') == std::string::npos) continue;
                const std::string address = mime::Address(word).GetAddress();
                if (address.empty()) continue;
                if (seen.insert(ToLowerAscii(address)).second) found.push_back(address);
            }
        }
    }
    return found;
}

std::vector<Pop3PickupAccount> ReadPop3Pickups(const core::ConfigTree& config) {
    const auto lock = config.Lock();
    std::vector<Pop3PickupAccount> accounts;
    Variant value;
    for (int n = 0; config.Get(Format("sys:pop3pickup:%d", {std::int64_t{n}}), value); ++n) {
        const auto key = [n](std::string_view name) { return Format("sys:pop3pickup:%d:%s", {std::int64_t{n}, name}); };
        Pop3PickupAccount account;
        account.number = n;
        account.server = std::string(TrimAscii(config.GetCopy(key("server")).AsText()));
        account.account = config.GetCopy(key("account")).AsText();
        account.password = config.GetCopy(key("password")).AsText();
        account.ssl = Flag(config.GetCopy(key("ssl")));
        if (const Variant verify = config.GetCopy(key("tlsverify")); verify.IsNumeric()) account.tlsVerify = verify.AsInt64() != 0;
        account.port = account.ssl ? 995 : 110;
        if (const Variant port = config.GetCopy(key("port")); !port.IsEmpty() && core::PortFromValue(port) != 0) {
            account.port = core::PortFromValue(port);
        }
        if (const Variant timeout = config.GetCopy(key("timeout")); timeout.IsNumeric() && timeout.AsI4() > 0) {
            account.timeoutSeconds = timeout.AsI4();
        }
        const std::int32_t deliverTo = config.GetCopy(key("deliverto")).AsI4();
        account.deliverToAddress = std::string(TrimAscii(config.GetCopy(key("delivertoaddress")).AsText()));
        account.unknownToAddress = std::string(TrimAscii(config.GetCopy(key("unknowntoaddress")).AsText()));
        account.leaveOnServer = Flag(config.GetCopy(key("leaveonserver")));
        if (const Variant days = config.GetCopy(key("leaveonserverdays")); days.IsNumeric() && days.AsInt64() > 0) {
            account.leaveOnServerDays = static_cast<int>(std::min<std::int64_t>(days.AsInt64(), 1'000'000));
        }
        if (deliverTo != POP3PickupDeliverToMailBox && deliverTo != POP3PickupDeliverToDetermine) {
            PickupLog(core::LogLevelWarning, Format("account %d delivers nowhere (deliverto %d); it is not collected",
                                                    {std::int64_t{n}, std::int64_t{deliverTo}}));
            continue;
        }
        account.deliverTo = static_cast<POP3PickupDeliverToEnum>(deliverTo);
        if (account.server.empty()) {
            PickupLog(core::LogLevelWarning, Format("account %d names no server; it is not collected", {std::int64_t{n}}));
            continue;
        }
        accounts.push_back(std::move(account));
    }
    return accounts;
}

namespace {

class Run {
public:
    Run(const Pop3PickupAccount& account, const std::atomic<bool>* stop)
        : account_(account), stop_(stop), name_(account.account + "@" + account.server) {}

    bool Go();

private:
    bool Session(net::Pop3Client& client);
    // One message: RETR into a new envelope, published; false when it was not delivered.
    bool Collect(net::Pop3Client& client, const Listed& item);
    void Warn(std::string_view text) const { PickupLog(core::LogLevelWarning, Masked(name_ + ": " + std::string(text))); }
    // A server's reply may quote what it was sent; the password never reaches the log, whatever a
    // server answers.
    std::string Masked(std::string text) const {
        if (account_.password.empty()) return text;
        for (std::size_t at = 0; (at = text.find(account_.password, at)) != std::string::npos; at += 4) {
            text.replace(at, account_.password.size(), "****");
        }
        return text;
    }
    void SaveSeen() {
        if (seen_ && !seen_->Save()) Warn("the record of the messages taken could not be written to " + seen_->Directory().Path());
    }

    const Pop3PickupAccount& account_;
    const std::atomic<bool>* stop_;
    const std::string name_;
    std::shared_ptr<store::MessageStore> store_;
    std::optional<SeenUids> seen_;
    std::string deliverTo_;
    std::string peer_;
    std::int64_t now_ = 0;
};

bool Run::Go() {
    try {
        store_ = store::OpenServerStore();
        if (account_.deliverTo == POP3PickupDeliverToMailBox) {
            const auto mailbox = account_.deliverToAddress.empty() ? nullptr : store_->FindMailBox(account_.deliverToAddress);
            if (!mailbox) {
                Warn("\"" + account_.deliverToAddress + "\" is no local mailbox; the account is not collected");
                return false;
            }
            deliverTo_ = mime::Address(account_.deliverToAddress).GetAddress();
        }
    } catch (const ComError& error) {
        Warn(std::string("the store can not be opened: ") + error.what());
        return false;
    }
    const std::vector<IpAddress> addresses = ServerAddresses(account_.server);
    if (addresses.empty()) {
        Warn("the address of " + account_.server + " can not be found");
        return false;
    }
    now_ = PickupNow();
    // Every address of the name in turn, until one takes the connection.
    for (const IpAddress& address : addresses) {
        net::Pop3Client client(account_.timeoutSeconds);
        try {
            client.Connect(address, account_.port);
        } catch (const net::CnwSocketErr& error) {
            Warn(Format("can not connect to %s port %d: %s", {std::string_view(address.Text()), std::int64_t{account_.port},
                                                              std::string_view(error.what())}));
            continue;
        }
        peer_ = address.Text();
        try {
            return Session(client);
        } catch (const net::CnwSocketErr& error) {
            Warn(Format("the session with %s ended: %s", {std::string_view(peer_), std::string_view(error.what())}));
            SaveSeen();
            return false;
        }
    }
    return false;
}

bool Run::Session(net::Pop3Client& client) {
    if (account_.ssl) {
        client.StartTls(account_.server);
        if (const std::string failure = client.TlsVerifyFailure(); !failure.empty()) {
            if (account_.tlsVerify) {
                Warn(Format("the certificate of %s is not trusted (%s); nothing was sent. For a server with a self-signed "
                            "certificate set sys:pop3pickup:%d:tlsverify to 0",
                            {std::string_view(peer_), std::string_view(failure), std::int64_t{account_.number}}));
                return false;
            }
            PickupLog(core::LogLevelDebug, name_ + ": certificate not verified (tlsverify 0): " + failure);
        }
    }
    if (!client.Greeting()) {
        Warn("the server refused the session: " + std::string(TrimAscii(client.StatusText())));
        client.Quit();
        return false;
    }
    // The commands are never logged; a refusal that quotes the password is masked by Warn.
    if (!client.Login(account_.account, account_.password)) {
        Warn("the login was refused: " + std::string(TrimAscii(client.StatusText())));
        client.Quit();
        return false;
    }
    if (!client.Command("STAT")) {
        Warn("STAT was refused: " + std::string(TrimAscii(client.StatusText())));
        client.Quit();
        return false;
    }
    // The listing bounds the run, not STAT's count, which the server may state as it likes.
    std::vector<Listed> listed;
    bool complete = true;
    const auto take = [&](std::string_view line) {
        if (const auto entry = ListingEntry(line)) {
            if (listed.size() < kMaxPickupMessages) {
                listed.push_back(*entry);
            } else {
                complete = false;
            }
        }
    };
    bool haveUids = client.Listing("UIDL", take);
    if (haveUids) {
        // Ids that are missing or repeated tell messages apart no better than none: one message's
        // record must never stand for another, which would then be deleted undelivered.
        std::set<std::string, std::less<>> distinct;
        for (const Listed& item : listed) haveUids = haveUids && !item.uid.empty() && distinct.insert(item.uid).second;
        if (!haveUids) {
            Warn("the server's unique ids are missing or repeated; its messages are taken as from a server without UIDL");
            for (Listed& item : listed) item.uid.clear();
        }
    } else {
        listed.clear();
        if (!client.Listing("LIST", take)) {
            Warn("the server lists no messages: " + std::string(TrimAscii(client.StatusText())));
            client.Quit();
            return false;
        }
        for (Listed& item : listed) item.uid.clear();
    }
    if (!haveUids && account_.leaveOnServer) {
        Warn("the server gives no unique ids (UIDL), so messages left on it can not be told apart; the account is not collected");
        client.Quit();
        return false;
    }
    if (haveUids) {
        seen_.emplace(store_->RootPath(), account_.server, account_.port, account_.account);
        if (!seen_->Load()) {
            Warn("the record of the messages taken can not be read from " + seen_->Directory().Path() + "; nothing is collected");
            seen_.reset();
            client.Quit();
            return false;
        }
        // Ids the server no longer lists are gone from it for good.
        if (complete) {
            std::set<std::string, std::less<>> present;
            for (const Listed& item : listed) present.insert(item.uid);
            std::erase_if(seen_->Entries(), [&](const auto& entry) { return !present.contains(entry.first); });
        }
    }
    std::set<std::string> deletedNow;  // deleted in this session: the record drops them once QUIT confirms
    int collected = 0;
    int deleted = 0;
    int unsaved = 0;
    for (const Listed& item : listed) {
        if (stop_ && *stop_) {
            Warn("the server stops; the rest is collected by a later run");
            break;
        }
        if (haveUids) {
            if (const SeenUids::Entry* entry = seen_->Find(item.uid)) {
                const bool expired = account_.leaveOnServerDays > 0 && now_ - entry->firstSeen > account_.leaveOnServerDays * kSecondsPerDay;
                if (entry->state == SeenUids::State::Delivered || !account_.leaveOnServer || expired) {
                    if (client.Command("DELE " + Number(item.number))) {
                        deletedNow.insert(item.uid);
                        ++deleted;
                    } else {
                        Warn(Format("DELE %d was refused: %s", {std::int64_t{item.number}, std::string_view(TrimAscii(client.StatusText()))}));
                    }
                }
                continue;
            }
        }
        if (!Collect(client, item)) continue;
        ++collected;
        if (haveUids) {
            seen_->Set(item.uid, {now_, account_.leaveOnServer ? SeenUids::State::Kept : SeenUids::State::Delivered});
            if (++unsaved >= kSaveEvery) {
                SaveSeen();
                unsaved = 0;
            }
        }
        if (!account_.leaveOnServer) {
            if (client.Command("DELE " + Number(item.number))) {
                if (haveUids) deletedNow.insert(item.uid);
                ++deleted;
            } else {
                Warn(Format("DELE %d was refused: %s", {std::int64_t{item.number}, std::string_view(TrimAscii(client.StatusText()))}));
            }
        }
    }
    // What was delivered is on record before QUIT makes the deletions: should the session end without
    // its confirmation, the next run deletes those messages instead of delivering them again.
    SaveSeen();
    if (client.QuitConfirmed()) {
        if (seen_ && !deletedNow.empty()) {
            for (const std::string& uid : deletedNow) seen_->Erase(uid);
            SaveSeen();
        }
    } else {
        Warn("QUIT was not confirmed: " + std::string(TrimAscii(client.StatusText())) + "; the deletions are tried again next time");
    }
    PickupLog(core::LogLevelNormal, Format("%s: %d listed, %d collected, %d deleted on %s",
                                           {std::string_view(name_), std::int64_t(listed.size()), std::int64_t{collected},
                                            std::int64_t{deleted}, std::string_view(peer_)}));
    return true;
}

bool Run::Collect(net::Pop3Client& client, const Listed& item) {
    std::shared_ptr<store::Envelope> envelope;
    std::unique_ptr<FileStream> content;
    try {
        envelope = store_->InFolder()->GetEnvelopes()->Add();
        envelope->SetSender("");  // nothing bounces to an address read from a remote mailbox
        envelope->SetReceivedFrom(peer_);
        content = envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
    } catch (const ComError& error) {
        // Without a place to put it the message stays on the server; the next message may fare no
        // better, but the run's listing bounds the attempts.
        Warn(Format("message %d can not be stored: %s", {std::int64_t{item.number}, std::string_view(error.what())}));
        return false;
    }
    // An IPv6 server's address literal is tagged, as the SMTP server's Received line tags it.
    const std::string_view tag = peer_.find(':') != std::string::npos ? "IPv6:" : "";
    const std::string received = Format("Received: from %s ([%s%s]) by localhost ( Quillon eMail Server %s ) ; %s\r\n",
                                        {std::string_view(account_.server), tag, std::string_view(peer_),
                                         std::string_view(core::VersionText()), std::string_view(mime::FormatMessageDate(Now()))});
    ContentWriter writer(*content, received, "X-POP3Pickup: " + name_ + "\r\n");
    // A dropped connection throws out of here; the envelope, never published, takes its staged
    // content with it.
    if (!client.Retrieve(item.number, [&](std::string_view piece, bool lineStart) { writer.Piece(piece, lineStart); })) {
        Warn(Format("RETR %d was refused: %s", {std::int64_t{item.number}, std::string_view(TrimAscii(client.StatusText()))}));
        return false;
    }
    const HRESULT written = writer.Finish();
    content.reset();
    std::vector<std::string> recipients;
    if (account_.deliverTo == POP3PickupDeliverToMailBox) {
        recipients.push_back(deliverTo_);
    } else {
        for (const std::string& address : HeaderAddresses(writer.Header())) {
            if (store_->FindMailBox(address)) recipients.push_back(address);
        }
        if (recipients.empty()) {
            if (!account_.unknownToAddress.empty()) {
                recipients.push_back(mime::Address(account_.unknownToAddress).GetAddress());
            } else {
                const std::string postmaster = mime::Address(store_->PostmasterAddress(core::ServerConfig())).GetAddress();
                Warn(Format("message %d names no local recipient and no unknowntoaddress is set; it goes to %s",
                            {std::int64_t{item.number}, std::string_view(postmaster)}));
                recipients.push_back(postmaster);
            }
        }
    }
    double uid = 0;
    std::string stem;
    try {
        if (Failed(written)) throw ComError(written, "writing the message content");
        for (const std::string& recipient : recipients) envelope->GetRecipients().Add(recipient);
        envelope->Update();
        uid = envelope->UID();
        stem = envelope->Stem();
    } catch (const ComError& error) {
        Warn(Format("message %d could not be stored and stays on the server: %s", {std::int64_t{item.number}, std::string_view(error.what())}));
        return false;
    }
    envelope.reset();
    router::RouterQueue::Instance().Submit(uid);
    PickupLog(core::LogLevelVerbose, Format("%s: message %d is envelope %s", {std::string_view(name_), std::int64_t{item.number},
                                                                              std::string_view(stem)}));
    return true;
}

}  // namespace

bool RunPop3Pickup(const Pop3PickupAccount& account, const std::atomic<bool>* stop) {
    core::LogSessionEvent(core::LogEventPOP3Pickup, core::LogLevelEventStart);
    const bool done = Run(account, stop).Go();
    core::LogSessionEvent(core::LogEventPOP3Pickup, core::LogLevelEventEnd);
    return done;
}

}  // namespace pw::pop3pickup
