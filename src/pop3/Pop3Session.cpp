// Pop3Session: greeting, commands by state, the maildrop and message transfer.
#include "pop3/Pop3Session.h"

#include <bit>
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "core/Logging.h"
#include "mime/Address.h"
#include "mime/MessageTextWriter.h"
#include "net/LoginFailures.h"
#include "net/TlsContext.h"
#include "platform/EventLog.h"
#include "platform/Text.h"
#include "net/PopBeforeSmtp.h"
#include "store/UidCounter.h"

namespace pw::pop3 {

namespace {

constexpr std::string_view kUnknown = "-ERR Unknown command";
constexpr std::string_view kSyntax = "-ERR Syntax error in parameters";
constexpr std::string_view kNoSuchMessage = "-ERR No such message";
// Language texts (core::FormatText).
constexpr int kTextStoreFailed = 5000;
constexpr int kTextConnectionFrom = 209;
constexpr int kTextMailboxOpenFailed = 5004;

// The inboxes held by a session of this process: RFC 1939's exclusive access to a maildrop.
std::mutex maildropLock;
std::set<std::string>& HeldMaildrops() {
    static std::set<std::string> held;
    return held;
}

// What the log may show of a received line. A password never; an AUTH line shows its mechanism only
// (the session offers none, but a client may still send its initial response). APOP shows the user
// name, which the failed-login warning names anyway, and never the digest: the banner timestamp it is
// made from is in the log as well, and the two together let anyone who reads the log try passwords
// offline.
std::string Loggable(std::string_view line) {
    if (StartsWithNoCase(line, "PASS")) return "PASS ****";
    const bool apop = StartsWithNoCase(line, "APOP");
    if (!apop && !StartsWithNoCase(line, "AUTH")) return std::string(line);
    const auto words = SplitWords(line);
    std::string shown(line.substr(0, 4));
    if (words.size() > 1) shown += " " + words[1];
    if (words.size() > 2) shown += " ****";
    return shown;
}

long Number(const std::string& word) { return std::strtol(word.c_str(), nullptr, 10); }

std::string Md5Hex(std::string_view text) {
    CryptoPP::Weak::MD5 md5;
    CryptoPP::byte digest[CryptoPP::Weak::MD5::DIGESTSIZE];
    md5.CalculateDigest(digest, reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
    return LowerHex(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

}  // namespace

void RegisterPop3Server() {
    net::SetSessionHandler(core::POP3ServerType, [](const std::shared_ptr<net::ConnectionTicket>& ticket) {
        Pop3Session(ticket).Run();
        return 0;
    });
}

Pop3Session::Pop3Session(std::shared_ptr<net::ConnectionTicket> ticket)
    : ticket_(std::move(ticket)), connection_(ticket_->connection.get()) {
    // Received lines are logged by the session itself, so that passwords can be masked.
    if (connection_) connection_->SetLogReceived(false);
}

Pop3Session::~Pop3Session() { ReleaseMaildrop(); }

bool Pop3Session::Initialise() {
    if (!connection_ || !ticket_->listener) return false;
    try {
        store_ = store::OpenServerStore();
        primaryDomain_ = store_->PrimaryDomain(core::ServerConfig());
    } catch (const ComError& error) {
        const std::string text = core::FormatText(kTextStoreFailed, {std::string_view("POP3 Server")}, "%s: a store operation failed") +
                                 ": " + error.what();
        core::Log(core::LogLevelCritical, text);
        ReportEvent(event_kind::kError, text);
        return false;
    }
    domain_ = ticket_->listener->domain.empty() ? primaryDomain_ : ticket_->listener->domain;
    tlsPossible_ = net::TlsAvailable();
    return true;
}

void Pop3Session::Run() {
    try {
        if (!Initialise()) {
            if (connection_) Reply("-ERR POP3 Service unavailable - system initialization errors");
            return;
        }
        const std::string client = ticket_->ClientAddress();
        core::Log(core::LogLevelNormal, core::FormatText(kTextConnectionFrom, {std::string_view(client)}, "POP3 connection from %s"));
        timestamp_ = Format("<%d.%I64i@%s>", {std::int64_t{::gettid()}, std::bit_cast<std::int64_t>(Now()),
                                               std::string_view(domain_)});
        connection_->SendString("+OK POP3 Welcome ");
        connection_->SendLine(timestamp_);
        for (;;) {
            std::this_thread::yield();
            char buffer[kCommandLineBuffer];
            // A longer line is refused whole: a piece of it must never run as a command of its own.
            const auto read = connection_->ReadCommandLine(buffer);
            if (!read) {
                Reply("-ERR Line too long");
                continue;
            }
            std::string line(*read);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            core::Log(core::LogLevelDebug, Loggable(line));
            if (!Command(line)) break;
        }
    } catch (const net::CnwSocketErr& error) {
        core::Log(core::LogLevelDebug, std::string("POP3 Server: session ended: ") + error.what());
    }
}

bool Pop3Session::Command(const std::string& line) {
    const auto is = [&](std::string_view keyword) { return StartsWithNoCase(line, keyword); };
    const auto words = SplitWords(line);
    if (is("CAPA")) {
        Reply(std::string("+OK Capability list follows\r\n") + (tlsPossible_ ? "STLS\r\n" : "") + "UIDL\r\nTOP\r\nUSER\r\nAPOP\r\n.\r\n");
        return true;
    }
    if (is("QUIT")) {
        if (!authorised_) {
            Reply("+OK Done");
            return false;
        }
        try {
            Quit();
        } catch (const ComError& error) {
            core::Log(core::LogLevelWarning, std::string("POP3 Server: removing messages failed: ") + error.what());
            Reply("-ERR Removing messages");
            return true;
        }
        // The box is free before the client hears "+OK": a client that logs in again at once must
        // not find it still held by a session that has finished.
        ReleaseMaildrop();
        Reply("+OK Done");
        return false;
    }
    if (!authorised_) {
        if (is("APOP")) return Apop(words), true;
        if (is("USER")) {
            if (words.size() < 2) return Reply(kSyntax), true;
            user_ = words[1];
            return Reply("+OK "), true;
        }
        if (is("PASS")) {
            // The password is the rest of the line: it may hold blanks (RFC 1939).
            if (words.size() < 2) return Reply(kSyntax), true;
            return Pass(std::string(TrimAscii(std::string_view(line).substr(line.find_first_of(" \t") + 1)))), true;
        }
        if (is("STLS") && tlsPossible_) {
            if (connection_->IsTls()) return Reply("-ERR TLS already started"), true;
            Reply("+OK Begin TLS negotiation");
            // Plain text the client sent after STLS is dropped by the handshake's start.
            connection_->TlsAccept();
            return true;
        }
        return Reply(kUnknown), true;
    }
    if (is("STAT")) return Reply(Format("+OK %u %u", {std::uint64_t{liveCount_}, std::uint64_t{liveOctets_}})), true;
    if (is("LIST")) return List(words), true;
    if (is("RETR")) return Retrieve(words, false), true;
    if (is("LAST")) {
        const double last = lastRead_ ? *lastRead_ : mailbox_->GetProperties().Item(kLastReadKey).AsDouble();
        std::size_t number = 0;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].uid == last) {
                number = i + 1;
                break;
            }
        }
        return Reply(Format("+OK %u", {std::uint64_t{number}})), true;
    }
    if (is("DELE")) {
        if (words.size() < 2) return Reply(kSyntax), true;
        const long n = Number(words[1]);
        if (n < 1 || static_cast<std::size_t>(n) > entries_.size()) return Reply(kNoSuchMessage), true;
        Entry& entry = entries_[static_cast<std::size_t>(n - 1)];
        if (entry.deleted) return Reply("-ERR Message already deleted"), true;
        entry.deleted = true;
        --liveCount_;
        liveOctets_ -= entry.size;
        return Reply("+OK Message deleted"), true;
    }
    if (is("RSET")) {
        liveCount_ = entries_.size();
        liveOctets_ = 0;
        for (auto& entry : entries_) {
            entry.deleted = false;
            liveOctets_ += entry.size;
        }
        return Reply(Format("+OK Message box has %u messages ( %u octets )", {std::uint64_t{liveCount_}, std::uint64_t{liveOctets_}})), true;
    }
    if (is("UIDL")) return Uidl(words), true;
    if (is("TOP")) return Retrieve(words, true), true;
    if (is("NOOP")) return Reply("+OK NOOP"), true;
    Reply(kUnknown);
    return true;
}

bool Pop3Session::FindMailBox(const std::string& user) {
    mailbox_.reset();
    if (user.find('@') == std::string::npos) return false;
    mime::Address address(user);
    std::string domain = address.Domain();
    if (EqualsNoCase(domain, "localhost")) domain = primaryDomain_;
    mime::ParsedAddress parsed;
    if (!mime::ParseAddress(user, parsed)) return false;
    try {
        mailbox_ = store_->FindMailBox(parsed.local + "@" + domain);
    } catch (const ComError&) {
        mailbox_.reset();
    }
    return mailbox_ != nullptr;
}

void Pop3Session::LoginFailed() {
    const auto pause = net::LoginFailures::Instance().Failed(ticket_->client, user_);
    // The user name is logged, never what was offered as its password.
    core::Log(core::LogLevelWarning, "POP3 Server: failed login for " + user_ + " from " + ticket_->ClientAddress());
    std::this_thread::sleep_for(pause);
    Reply("-ERR Not authorized");
}

void Pop3Session::Login() {
    net::LoginFailures::Instance().Succeeded(ticket_->client, user_);
    if (!OpenMaildrop()) {
        Reply("-ERR Can not lock box");
        return;
    }
    authorised_ = true;
    Reply("+OK Authorized");
}

void Pop3Session::Pass(const std::string& password) {
    if (!FindMailBox(user_) || !mailbox_->IsPassword(password)) return LoginFailed();
    net::PopBeforeSmtp::Instance().Record(ticket_->client);
    Login();
}

void Pop3Session::Apop(const std::vector<std::string>& words) {
    if (words.size() < 3 || words[1].empty() || words[2].empty()) return Reply(kSyntax);
    user_ = words[1];
    if (!FindMailBox(user_)) return LoginFailed();
    const std::string password = mailbox_->ClearPassword();
    if (password.empty() || Md5Hex(timestamp_ + password) != words[2]) return LoginFailed();
    Login();
}

bool HoldMaildrop(const std::string& path) {
    std::lock_guard guard(maildropLock);
    return HeldMaildrops().insert(path).second;
}

void ReleaseHeldMaildrop(const std::string& path) {
    std::lock_guard guard(maildropLock);
    HeldMaildrops().erase(path);
}

bool Pop3Session::OpenMaildrop() {
    try {
        inbox_ = mailbox_->InFolder();
        if (!inbox_) return false;
        const std::string path = inbox_->Storage().Path();
        if (!HoldMaildrop(path)) return false;
        lockedPath_ = path;
        entries_.clear();
        liveCount_ = 0;
        liveOctets_ = 0;
        const auto envelopes = inbox_->GetEnvelopes();
        for (const double uid : envelopes->Uids()) {
            if (entries_.size() >= kMaxMaildrop) break;
            // A message whose content is missing is listed with no octets; RETR then reports it.
            std::uint64_t size = 0;
            (void)envelopes->ContentSize(uid, size);
            entries_.push_back({uid, size, false});
            ++liveCount_;
            liveOctets_ += size;
        }
        return true;
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, core::FormatText(kTextMailboxOpenFailed, {std::string_view(error.what())}, "Can not open the mailbox: %s"));
        ReleaseMaildrop();
        return false;
    }
}

void Pop3Session::ReleaseMaildrop() {
    RecordLastRead();
    if (lockedPath_.empty()) return;
    ReleaseHeldMaildrop(lockedPath_);
    lockedPath_.clear();
}

Pop3Session::Entry* Pop3Session::Message(const std::string& word, bool allowDeleted) {
    const long n = Number(word);
    if (n < 1 || static_cast<std::size_t>(n) > entries_.size()) {
        Reply(kNoSuchMessage);
        return nullptr;
    }
    Entry& entry = entries_[static_cast<std::size_t>(n - 1)];
    if (entry.deleted && !allowDeleted) {
        Reply("-ERR Message deleted");
        return nullptr;
    }
    return &entry;
}

void Pop3Session::List(const std::vector<std::string>& words) {
    if (words.size() >= 2) {
        if (const Entry* entry = Message(words[1])) {
            Reply(Format("+OK %d %u", {std::int64_t{Number(words[1])}, std::uint64_t{entry->size}}));
        }
        return;
    }
    std::string text = Format("+OK %u Messages\r\n", {std::uint64_t{liveCount_}});
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!entries_[i].deleted) text += Format("%u %u\r\n", {std::uint64_t{i + 1}, std::uint64_t{entries_[i].size}});
    }
    Reply(text + ".\r\n");
}

void Pop3Session::Uidl(const std::vector<std::string>& words) {
    const long n = words.size() >= 2 ? Number(words[1]) : 0;
    if (n == 0) {
        std::string text = "+OK Unique-id listing follows\r\n";
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (!entries_[i].deleted) {
                text += Format("%u %I64X\r\n", {std::uint64_t{i + 1}, static_cast<std::uint64_t>(entries_[i].uid)});
            }
        }
        return Reply(text + ".\r\n");
    }
    if (n < 1 || static_cast<std::size_t>(n) > entries_.size()) return Reply(kNoSuchMessage);
    Reply(Format("+OK %u %I64X", {std::uint64_t(n), static_cast<std::uint64_t>(entries_[static_cast<std::size_t>(n - 1)].uid)}));
}

bool Pop3Session::SendContent(FileStream& stream, std::optional<long> bodyLines, std::string out) {
    mime::MessageTextWriter writer(bodyLines);
    // Not zeroed: 64 KiB cleared for every message sent shows in a profile, and only what a read
    // filled is used.
    const auto chunk = std::make_unique_for_overwrite<char[]>(kSendBlock);
    for (;;) {
        std::size_t got = 0;
        const HRESULT hr = stream.Read(std::as_writable_bytes(std::span(chunk.get(), kSendBlock)), got);
        if (hr == STG_E_ENDOFFILE || got == 0) break;
        if (Failed(hr)) {
            // The reply has begun: the terminator ends it, and the log says what went wrong.
            core::Log(core::LogLevelWarning, std::string("POP3 Server: reading a message failed: ") + ComError(hr).what());
            connection_->SendString(out + "\r\n.\r\n");
            return false;
        }
        const bool more = writer.Take(std::string_view(chunk.get(), got), out);
        if (out.size() >= kSendBlock) {
            connection_->SendString(out);
            out.clear();
        }
        if (!more) break;
    }
    writer.Finish(out);
    out += ".\r\n";
    connection_->SendString(out);
    return true;
}

void Pop3Session::Retrieve(const std::vector<std::string>& words, bool top) {
    if (words.size() < 2) return Reply(kSyntax);
    const Entry* entry = Message(words[1]);
    if (!entry) return;
    std::optional<long> lines;
    if (top) {
        lines = words.size() >= 3 ? Number(words[2]) : 0;
        if (*lines < 0) return Reply(kSyntax);
    }
    // The content must open before the first reply line: a missing file is an error, not half a message.
    std::unique_ptr<FileStream> stream;
    if (const HRESULT hr = inbox_->GetEnvelopes()->OpenContent(entry->uid, stream); Failed(hr)) {
        return Reply(top ? std::string("-ERR Message file corrupt or missing")
                         : Format("-ERR Message file corrupt or missing: %x", {std::uint64_t{static_cast<std::uint32_t>(hr)}}));
    }
    // The status line goes out with the start of the content: one write for most messages.
    std::string status = top ? std::string("+OK Top of message follows\r\n")
                             : Format("+OK %u octets\r\n", {std::uint64_t{entry->size}});
    if (SendContent(*stream, lines, std::move(status)) && !top) lastRead_ = entry->uid;
}

void Pop3Session::RecordLastRead() {
    if (!lastRead_ || !mailbox_) return;
    try {
        mailbox_->GetProperties().SetItem(kLastReadKey, Variant::R8(*lastRead_));
        mailbox_->Update();
    } catch (const ComError& error) {
        core::Log(core::LogLevelWarning, std::string("POP3 Server: can not record the last message read: ") + error.what());
    }
    lastRead_.reset();
}

void Pop3Session::Quit() {
    const auto envelopes = inbox_->GetEnvelopes();
    bool removed = false;
    for (auto& entry : entries_) {
        if (!entry.deleted) continue;
        envelopes->RemoveEnvelope(entry.uid);
        entry.deleted = false;
        removed = true;
    }
    // The removals are on disk before the client hears "+OK".
    if (removed) ThrowIfFailed(inbox_->Storage().Sync());
}

}  // namespace pw::pop3
