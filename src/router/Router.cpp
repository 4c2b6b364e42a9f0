// Router: checks, recipient handling and delivery by mailbox kind.
#include "router/Router.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "antispam/CharSetFilter.h"
#include "antispam/SendersList.h"
#include "antispam/SpamAssassinConfig.h"
#include "antispam/SpamAction.h"
#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "core/Logging.h"
#include "core/Version.h"
#include "lists/ListMail.h"
#include "mailcommands/CommandProcessor.h"
#include "mime/Address.h"
#include "mime/Message.h"
#include "mime/MessageDate.h"
#include "mime/MimeSyntax.h"
#include "mime/Xtext.h"
#include "platform/Text.h"
#include "router/MessageTemplate.h"
#include "templates/AutomaticMail.h"
#include "router/Notifications.h"
#include "router/RouterQueue.h"
#include "store/UidCounter.h"

namespace pw::router {

namespace {

// The header of a message is read up to its blank line, at most this much.
constexpr std::size_t kMaxHeaderRead = 1 << 20;
constexpr double kOneDay = 1.0;

std::mutex hooksLock;
std::function<bool(const store::Envelope&, const store::MailBox&)> relayHandOff;
std::function<VirusScanResult(const store::Envelope&)> virusScan;
SpamAssassinCheck spamAssassinCheck;
// Group rotation and the auto-reply memory read and write a mailbox's properties: one such change at
// a time in this process, so two routers never both take a turn or both reply.
std::mutex mailboxStateLock;

mime::HeaderBlock ReadHeader(const store::Envelope& envelope) {
    mime::HeaderBlock header;
    std::unique_ptr<FileStream> stream;
    try {
        stream = envelope.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
    } catch (const ComError&) {
        return header;
    }
    std::string text;
    char chunk[8192];
    while (text.size() < kMaxHeaderRead) {
        std::size_t got = 0;
        if (Failed(stream->Read(std::as_writable_bytes(std::span(chunk)), got)) || got == 0) break;
        const std::size_t scanned = text.size();
        text.append(chunk, got);
        // Only the new bytes (and the three before them) are searched: a long header costs one pass.
        if (mime::FindHeaderEnd(text, 0, scanned) != std::string::npos) break;
    }
    header.Parse(text);
    return header;
}

// The first bytes of a message's content (fewer when it is shorter or can not be read).
std::string ReadContentHead(const store::Envelope& envelope, std::size_t limit) {
    std::string text;
    std::unique_ptr<FileStream> stream;
    try {
        stream = envelope.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
    } catch (const ComError&) {
        return text;
    }
    text.resize(limit);
    std::size_t have = 0;
    while (have < limit) {
        std::size_t got = 0;
        if (Failed(stream->Read(std::as_writable_bytes(std::span(text.data() + have, limit - have)), got)) || got == 0) break;
        have += got;
    }
    text.resize(have);
    return text;
}

bool SplitRecipient(std::string_view address, std::string& local, std::string& domain) {
    if (!store::SplitAddress(address, local, domain)) return false;
    local = std::string(TrimAscii(local));
    domain = ToLowerAscii(TrimAscii(domain));
    return !local.empty() && !domain.empty();
}

std::string AddressOnly(std::string_view text) {
    mime::ParsedAddress parsed;
    if (!mime::ParseAddress(text, parsed) || text.find('@') == std::string_view::npos) return {};
    return parsed.local + "@" + parsed.domain;
}

// Forwarding loops already reported: "<origin> <mailbox>", oldest first.
std::mutex loopsLock;
std::deque<std::string> reportedLoops;

// True the first time a loop of one message at one mailbox is seen in this process.
bool FirstReportOfLoop(const std::string& key) {
    std::lock_guard guard(loopsLock);
    if (std::find(reportedLoops.begin(), reportedLoops.end(), key) != reportedLoops.end()) return false;
    reportedLoops.push_back(key);
    if (reportedLoops.size() > kMaxRememberedLoops) reportedLoops.pop_front();
    return true;
}

}  // namespace

void SetRelayHandOff(std::function<bool(const store::Envelope&, const store::MailBox&)> handOff) {
    std::lock_guard guard(hooksLock);
    relayHandOff = std::move(handOff);
}

void SetVirusScan(std::function<VirusScanResult(const store::Envelope&)> scan) {
    std::lock_guard guard(hooksLock);
    virusScan = std::move(scan);
}

void SetSpamAssassinCheck(SpamAssassinCheck check) {
    std::lock_guard guard(hooksLock);
    spamAssassinCheck = std::move(check);
}

std::vector<std::string> SplitAddressList(std::string_view text) { return SplitAtAny(text, ";, \t\r\n"); }

void PrepareSpamLists(const store::MessageStore& messageStore) {
    antispam::NoRespondToList noRespond;
    if (Succeeded(noRespond.Load(messageStore.Storage())) && noRespond.Count() == 0) {
        if (const HRESULT hr = noRespond.AddDefaults(); Failed(hr)) {
            core::Log(core::LogLevelWarning, "The defaults of " + messageStore.Storage().ElementPath(noRespond.FileName()) +
                                                 " can not be written: " + HresultText(hr));
        }
    }
    // Read once now, into the snapshot every router shares, so that the first messages do not wait
    // for a large list to be parsed.
    core::ConfigTree& config = core::ServerConfig();
    if (config.GetCopy("sys:spam:friendly:enabled").IsTrue()) (void)antispam::FriendlySendersList().Load(messageStore.Storage());
    if (config.GetCopy("sys:spam:enemies:enabled").IsTrue()) (void)antispam::EnemySendersList().Load(messageStore.Storage());
}

Router::Router() : store_(store::OpenServerStore()), in_(store_->InFolder()) {
    core::ConfigTree& config = core::ServerConfig();
    Variant value;
    if (config.Get("sys:maxrecieved", value) && value.AsI4() > 0) maxReceived_ = value.AsI4();
    virusScanOn_ = config.GetCopy("sys:av:enabled").IsTrue();
    safeRangesOn_ = config.GetCopy("sys:spam:safeips:enabled").IsTrue();
    if (safeRangesOn_) {
        for (int i = 0;; ++i) {
            const std::string prefix = Format("sys:spam:safeips:%d:", {std::int64_t{i}});
            Variant start;
            if (!config.Get(prefix + "ipstart", start)) break;
            safeRanges_.AddSetting(start, config.GetCopy(prefix + "ipend"), config.GetCopy(prefix + "comment").AsText());
        }
    }
    primaryDomain_ = store_->PrimaryDomain(config);
    // A list that can not be read counts as absent: its check is skipped (its load logged why).
    const DirStorage& root = store_->Storage();
    noRespond_ = std::make_unique<antispam::NoRespondToList>();
    (void)noRespond_->Load(root);
    if (config.GetCopy("sys:spam:friendly:enabled").IsTrue()) {
        friendly_ = std::make_unique<antispam::FriendlySendersList>();
        (void)friendly_->Load(root);
    }
    if (config.GetCopy("sys:spam:enemies:enabled").IsTrue()) {
        enemies_ = std::make_unique<antispam::EnemySendersList>();
        (void)enemies_->Load(root);
    }
    if (config.GetCopy("sys:spam:charset:enabled").IsTrue()) {
        charsets_ = std::make_unique<antispam::CharSetFilter>();
        (void)charsets_->Load(root);
    }
    spamAssassinOn_ = config.GetCopy(antispam::kSpamAssassinEnabledKey).IsTrue();
    spamAssassinReport_ = config.GetCopy(antispam::kSpamAssassinReportKey).IsTrue();
}

Router::~Router() = default;

int Router::Hops(const store::Envelope& envelope) const {
    return static_cast<int>(ReadHeader(envelope).CountField("Received")) + envelope.GetProperties().Number(kHopsKey);
}

bool Router::PreCheck(store::Envelope& envelope) {
    // The hop check comes first and for every envelope, judged or not: it is what ends loops.
    if (Hops(envelope) > maxReceived_) {
        for (std::size_t i = 0; i < recipients_.size(); ++i) {
            current_ = i;
            Fail("5.4.6", "The message has passed through too many servers");
        }
        return false;
    }
    // Before the spam checks and their short-cut for judged mail: a relaying or authenticated client
    // can send a virus too.
    if (virusScanOn_ && !ScanForViruses(envelope)) return false;
    return JudgeSpam(envelope);
}

bool Router::ScanForViruses(store::Envelope& envelope) {
    if (envelope.GetProperties().Number(store::kVirusScannedKey) == 1) return true;
    std::function<VirusScanResult(const store::Envelope&)> scan;
    {
        std::lock_guard guard(hooksLock);
        scan = virusScan;
    }
    const VirusScanResult result = scan ? scan(envelope) : VirusScanResult{VirusScanResult::Verdict::Unscanned, "no virus scanner is set up"};
    if (result.verdict == VirusScanResult::Verdict::Clean) {
        // Written with the routing's first progress, as a clean spam verdict is.
        envelope.GetProperties().SetItem(store::kVirusScannedKey, Variant::I4(1));
        return true;
    }
    if (result.verdict == VirusScanResult::Verdict::TooLarge) {
        // Held back, it would wait for ever and its recipients would never hear of it; the scanners'
        // own mail filters let such a message pass unscanned too. The administrator sees each one.
        core::Log(core::LogLevelWarning, "The message " + envelope.Namespace() + " is delivered without a virus scan: " + result.reason);
        return true;
    }
    if (result.verdict == VirusScanResult::Verdict::Unscanned) {
        // Never delivered unscanned, and never called infected on a guess: it waits for the scanner.
        core::Log(core::LogLevelCritical, "The message " + envelope.Namespace() + " could not be scanned for viruses (" + result.reason +
                                              "); it stays queued and is scanned again");
        throw ScanDeferred("the virus scan could not be made: " + result.reason);
    }
    std::uint64_t size = 0;
    try {
        size = envelope.ContentSize();
    } catch (const ComError&) {
        // The size only informs the log line.
    }
    core::Log(core::LogLevelWarning, Format("The message %s from <%s> (%u bytes) holds a virus: %s; it is deleted",
                                            {std::string_view(envelope.Namespace()), std::string_view(envelope.Sender()),
                                             std::uint64_t{size}, std::string_view(result.reason)}));
    NotifyVirus(envelope, result.reason);
    // Nobody gets it: every recipient is done with, and the envelope goes.
    for (auto& step : steps_) step = Step::Served;
    return false;
}

void Router::NotifyVirus(const store::Envelope& envelope, const std::string& reason) {
    core::ConfigTree& config = core::ServerConfig();
    const auto on = [&](std::string_view key, bool missing) {
        Variant value;
        return config.Get(key, value) ? value.IsTrue() : missing;
    };
    std::vector<std::string> addressees;
    const std::string sender = AddressOnly(envelope.Sender());
    if (on("sys:av:notifysender", true) && !sender.empty()) addressees.push_back(sender);
    if (on("sys:av:notifyrecipient", false)) {
        for (const std::string& recipient : recipients_) addressees.push_back(recipient);
    }
    const std::string postmaster = std::string(TrimAscii(config.GetCopy("sys:av:postmasteremail").AsText()));
    if (on("sys:av:notifypostmaster", false) && !postmaster.empty()) addressees.push_back(postmaster);
    for (const std::string& addressee : addressees) {
        // The server's own notices come from "mail-deamon@": a notice about one of them would loop.
        if (addressee.empty() || StartsWithNoCase(addressee, "mail-deamon@")) continue;
        if (const auto notice = SendVirusNotice(envelope, reason, addressee)) {
            SubmitEnvelope(*notice);
        } else {
            core::Log(core::LogLevelWarning, "The virus notice about " + envelope.Namespace() + " to " + addressee + " could not be made");
        }
    }
}

bool Router::JudgeSpam(store::Envelope& envelope) {
    const std::int32_t spam = envelope.GetProperties().Number(store::kSpamStatusKey);
    if (spam == antispam::kSpamStatusSpam || spam == antispam::kSpamStatusClean) return true;
    // A clean verdict changes nothing but the record, and judging again gives it again: it is written
    // with the first progress of the routing that follows (see RouteEnvelope), not with a flushed
    // rewrite of its own. A verdict that changes the content is written at once (TreatAsSpam).
    const auto markClean = [&] {
        envelope.GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(antispam::kSpamStatusClean));
        return true;
    };
    if (safeRangesOn_) {
        if (const auto from = IpAddress::Parse(envelope.ReceivedFrom()); from && safeRanges_.Contains(*from)) return markClean();
    }
    const std::string sender = envelope.Sender();
    if (friendly_ && friendly_->Refresh() && friendly_->IsInList(sender)) return markClean();
    if (enemies_ && enemies_->Refresh() && enemies_->IsInList(sender)) return TreatAsSpam(envelope, "an enemy sender");
    // Set by the SMTP intake's mail-authentication check: the author domain's DMARC policy is
    // quarantine or reject, and the message fails it.
    if (envelope.GetProperties().Number("SMTP_DMARCSPAM") == 1) return TreatAsSpam(envelope, "it fails its domain's DMARC policy");
    if (charsets_ && charsets_->Refresh() && CharsetSpam(envelope)) return TreatAsSpam(envelope, "a filtered charset");
    if (spamAssassinOn_) return JudgeBySpamAssassin(envelope);
    return true;
}

bool Router::JudgeBySpamAssassin(store::Envelope& envelope) {
    SpamAssassinCheck check;
    {
        std::lock_guard guard(hooksLock);
        check = spamAssassinCheck;
    }
    if (!check) return true;
    const std::string head = ReadContentHead(envelope, antispam::kSpamAssassinBytes);
    const auto verdict = check(head, spamAssassinReport_);
    if (!verdict) return true;  // no verdict: the message goes on unjudged by SpamAssassin
    std::vector<antispam::AddedField> fields;
    if (spamAssassinReport_ && !verdict->report.empty()) {
        fields.push_back({std::string(antispam::kSpamAssassinReportField), std::string(TrimAscii(verdict->report))});
    }
    const std::string score = Format("%.2f of %.2f", {verdict->score, verdict->required});
    if (verdict->spam) return TreatAsSpam(envelope, "SpamAssassin scores it " + score, fields);
    core::Log(core::LogLevelDebug, "SpamAssassin scores " + envelope.Namespace() + " " + score + ": not spam");
    if (fields.empty()) {
        // As the other clean verdicts: written with the routing's first progress.
        envelope.GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(antispam::kSpamStatusClean));
        return true;
    }
    antispam::MarkCleanWithFields(envelope, fields);
    return true;
}

bool Router::CharsetSpam(const store::Envelope& envelope) {
    if (charsets_->Count() == 0) return false;
    mime::Message message;
    try {
        envelope.GetContent(message);
    } catch (const ComError&) {
        // A damaged message keeps the parts that could be read; they are what is judged.
    }
    std::string hit;
    return charsets_->Spamicity(message, hit) >= antispam::kCharsetSpamScore;
}

bool Router::TreatAsSpam(store::Envelope& envelope, std::string_view why, const std::vector<antispam::AddedField>& fields) {
    core::Log(core::LogLevelVerbose, "The message " + envelope.Namespace() + " is spam: " + std::string(why));
    if (antispam::ApplySpamAction(envelope, core::ServerConfig(), fields)) return true;
    // Not delivered: every recipient is done with, and nobody hears of it.
    for (auto& step : steps_) step = Step::Served;
    return false;
}

void Router::RouteEnvelope(double uid) {
    const std::string stem = store::UidStem(uid);
    core::Log(core::LogLevelVerbose, core::FormatText(220, {std::string_view(stem)}, "Routing message %s"));
    auto envelope = in_->GetEnvelopes()->FindEnvelope(uid);
    if (!envelope) {
        core::Log(core::LogLevelDebug, "The queued message " + stem + " is gone; nothing to route");
        return;
    }
    // An envelope is removed only when every recipient was served, and older versions deleted the
    // content before the record: a record without content is what a crash in between left, so the
    // removal is finished instead of failing on the content again and again.
    std::uint64_t size = 0;
    if (in_->GetEnvelopes()->ContentSize(uid, size) == STG_E_FILENOTFOUND) {
        core::Log(core::LogLevelWarning, "The queued message " + stem + " has no content left from an interrupted removal; removed");
        envelope->Remove();
        return;
    }
    recipients_ = envelope->GetRecipients().All();
    steps_.assign(recipients_.size(), Step::Pending);
    remote_.clear();
    failed_.clear();
    delivered_.clear();
    expanded_.clear();
    for (std::size_t i = 0; i < recipients_.size(); ++i) {
        std::string local;
        std::string domain;
        if (SplitRecipient(recipients_[i], local, domain)) remote_[domain].push_back(i);
    }
    if (PreCheck(*envelope)) {
        // From the last recipient to the first. The progress is written every kProgressBatch steps, and
        // when an error stops the routing, so a retry or a crash repeats at most one batch.
        std::size_t handled = 0;
        try {
            for (std::size_t i = recipients_.size(); i-- > 0;) {
                if (steps_[i] != Step::Pending) continue;
                current_ = i;
                HandleRecipient(*envelope, i);
                if (steps_[i] == Step::Pending) steps_[i] = Step::Served;
                if (++handled % kProgressBatch == 0) WriteProgress(*envelope);
            }
        } catch (const std::exception&) {
            try {
                WriteProgress(*envelope);
            } catch (const ComError& error) {
                core::Log(core::LogLevelWarning, "The progress of " + stem + " could not be written: " + error.what());
            }
            throw;
        }
    }
    // The failed recipients were kept in the written record until now: their notice is made before
    // the envelope goes, so a crash in between repeats the notice, never loses it.
    NotifySender(*envelope, failed_);
    NotifySuccess(*envelope, delivered_, DsnDelivered);
    NotifySuccess(*envelope, expanded_, DsnExpanded);
    envelope->Remove();
    core::Log(core::LogLevelVerbose, core::FormatText(221, {std::string_view(stem)}, "Finished routing message %s"));
}

void Router::WriteProgress(store::Envelope& envelope) {
    std::vector<std::string> left;
    for (std::size_t i = 0; i < recipients_.size(); ++i) {
        if (steps_[i] != Step::Served) left.push_back(recipients_[i]);
    }
    envelope.GetRecipients().Assign(std::move(left));
    envelope.Update();
}

void Router::Fail(std::string_view status, std::string_view reason, std::string_view address) {
    steps_[current_] = Step::Failed;
    failed_.push_back({address.empty() ? recipients_[current_] : std::string(address), std::string(status), std::string(reason),
                       recipients_[current_]});
}

void Router::HandleRecipient(store::Envelope& envelope, std::size_t index) {
    const std::string& address = recipients_[index];
    std::string local;
    std::string domainName;
    if (!SplitRecipient(address, local, domainName) || Failed(ValidateElementName(domainName))) {
        core::Log(core::LogLevelWarning, "Recipient " + address + " of " + envelope.Namespace() + " is not an address; skipped");
        return;
    }
    const auto domain = store_->FindDomain(domainName);
    if (!domain) {
        SendToRemote(envelope, domainName);
        return;
    }
    HandleLocal(envelope, address, local, *domain);
}

void Router::SendToRemote(store::Envelope& envelope, const std::string& domain) {
    // One outbound envelope per remote domain takes every recipient of that domain still to do.
    std::vector<std::string> sameDomain;
    const auto& indexes = remote_[domain];
    for (const std::size_t i : indexes) {
        if (steps_[i] == Step::Pending) sameDomain.push_back(recipients_[i]);
    }
    auto folders = store_->OutFolder()->GetFolders();
    auto folder = folders->Item(domain);
    if (!folder) {
        try {
            folder = folders->Add(domain, store::TempFolderType);
        } catch (const ComError& error) {
            if (error.Code() != STG_E_ALREADYEXISTS) throw;
            folder = folders->Item(domain);  // another router made it meanwhile
        }
    }
    if (!folder) throw ComError(STG_E_PATHNOTFOUND, "no outbound folder for " + domain);
    Publish(envelope, folder->Storage(), sameDomain);
    for (const std::size_t i : indexes) {
        if (steps_[i] == Step::Pending) steps_[i] = Step::Served;
    }
}

void Router::Publish(const store::Envelope& source, const DirStorage& folder, const std::vector<std::string>& recipients) {
    auto copy = store::Envelope::CreateCopy(folder, source);
    copy->GetRecipients().Clear();
    for (const auto& recipient : recipients) copy->GetRecipients().Add(recipient);
    copy->Update();
}

void Router::Reinject(const store::Envelope& source, const std::vector<std::string>& recipients, const std::string& sender,
                      const std::string& expandedAt) {
    if (recipients.empty()) return;
    const auto& properties = source.GetProperties();
    std::vector<std::string> history = SplitAddressList(properties.Text(kExpandedKey));
    std::string origin = properties.Text(kOriginKey);
    if (origin.empty()) origin = source.Namespace() + Format("@%.8f", {Now()});
    const std::string mailbox = ToLowerAscii(expandedAt);
    const bool repeated = std::find(history.begin(), history.end(), mailbox) != history.end();
    if (repeated || history.size() >= kMaxExpansionHistory) {
        const std::string text = "A forwarding loop: the message " + origin + " reached " + mailbox +
                                 (repeated ? " again" : " after too many expansions") + "; it is not passed on";
        core::Log(core::LogLevelWarning, text);
        if (FirstReportOfLoop(origin + " " + mailbox)) failed_.push_back({mailbox, "5.4.6", text});
        return;
    }
    history.push_back(mailbox);
    std::string expanded;
    for (const auto& entry : history) expanded += (expanded.empty() ? "" : ";") + entry;

    auto copy = store::Envelope::CreateCopy(in_->Storage(), source);
    copy->GetRecipients().Clear();
    for (const auto& recipient : recipients) copy->GetRecipients().Add(recipient);
    copy->SetSender(sender);
    copy->GetProperties().SetItem(kHopsKey, Variant::I4(properties.Number(kHopsKey) + 1));
    copy->GetProperties().SetItem(kExpandedKey, Variant::Text(expanded));
    copy->GetProperties().SetItem(kOriginKey, Variant::Text(origin));
    copy->GetProperties().Remove(kInterruptedKey);
    CarryDeliveryRequests(source, *copy, recipients, sender);
    copy->Update();
    SubmitEnvelope(copy->UID());
}

void Router::CarryDeliveryRequests(const store::Envelope& source, store::Envelope& copy, const std::vector<std::string>& recipients,
                                   const std::string& sender) {
    // Only the recipient in hand speaks for the new ones: the others' requests stay behind.
    copy.GetProperties().Remove("rcpt");
    if (sender != source.Sender()) return;  // the notices go to somebody else now
    const std::string& named = recipients_[current_];
    if (recipients.size() != 1) {
        // An expansion to many: the sender who asked to hear of success hears of this one.
        if (WantsNotice(source, named, 2)) expanded_.push_back(named);
        return;
    }
    // A recipient merely renamed keeps what its sender asked, and the name the sender gave it.
    const auto& properties = source.GetProperties();
    if (const std::string notify = properties.Text(store::RecipientKey(named, "notify")); !notify.empty()) {
        copy.GetProperties().SetItem(store::RecipientKey(recipients.front(), "notify"), Variant::Text(notify));
    }
    std::string original = properties.Text(store::RecipientKey(named, "orcpt"));
    if (original.empty()) original = "rfc822;" + mime::EncodeXtext(named);
    copy.GetProperties().SetItem(store::RecipientKey(recipients.front(), "orcpt"), Variant::Text(original));
}

void Router::HandleLocal(store::Envelope& envelope, const std::string& address, const std::string& local,
                         const store::Domain& domain) {
    std::shared_ptr<store::MailBox> mailbox;
    lists::ListAddress request;
    switch (ClassifyLocalRecipient(domain, local, &mailbox, &request)) {
    case LocalRecipient::Discarded: return;
    case LocalRecipient::Commands: ServeCommands(envelope, address); return;
    case LocalRecipient::ListCommands:
        ServeList([&](lists::ListServer& server, std::vector<double>& queued) { server.Commands(envelope, domain, queued); });
        return;
    case LocalRecipient::ListRequest:
        ServeList([&](lists::ListServer& server, std::vector<double>& queued) { server.Request(envelope, request, queued); });
        return;
    case LocalRecipient::MailBox: DeliverToMailBox(envelope, address, *mailbox); return;
    case LocalRecipient::Unknown: HandleUnknown(envelope, address, local, domain); return;
    }
}

void Router::ServeCommands(const store::Envelope& envelope, const std::string& address) {
    // The replies are submitted as the list server's are; a property file that could not be written
    // throws, and the message stays queued to be run again.
    std::vector<double> queued;
    try {
        mailcommands::CommandProcessor processor(store_);
        (void)processor.Process(address, lists::LoadMessage(envelope), envelope, queued);
    } catch (...) {
        for (const double uid : queued) SubmitEnvelope(uid);
        throw;
    }
    for (const double uid : queued) SubmitEnvelope(uid);
}

void Router::ServeList(const std::function<void(lists::ListServer&, std::vector<double>&)>& serve) {
    // What the list server queued is submitted even when it stopped on an error: those envelopes are
    // safe in "_In", and the routing that failed is tried again later.
    std::vector<double> queued;
    try {
        lists::ListServer server(store_);
        serve(server, queued);
    } catch (...) {
        for (const double uid : queued) SubmitEnvelope(uid);
        throw;
    }
    for (const double uid : queued) SubmitEnvelope(uid);
}

void Router::DeliverToMailBox(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox) {
    if (!DeliverByKind(envelope, address, mailbox)) return;
    const auto inbox = mailbox.InFolder();
    if (!inbox) {
        core::Log(core::LogLevelDebug, "The mailbox " + mailbox.Address() + " keeps no messages");
        return;
    }
    Publish(envelope, inbox->Storage(), {address});
    delivered_.push_back(recipients_[current_]);
}

void Router::HandleUnknown(store::Envelope& envelope, const std::string& address, const std::string& local,
                           const store::Domain& domain) {
    switch (domain.UnknownEmail()) {
    case store::UnknownEmailSendDomain:
        Reinject(envelope, {local + "@" + domain.UnknownEmailAddress()}, envelope.Sender(), address);
        return;
    case store::UnknownEmailSendMailBox: {
        const std::string target = domain.UnknownEmailAddress();
        std::string targetLocal;
        std::string targetDomain;
        if (!SplitRecipient(target, targetLocal, targetDomain)) break;
        const auto local2 = store_->FindDomain(targetDomain);
        if (!local2) {
            Reinject(envelope, {target}, envelope.Sender(), address);
            return;
        }
        if (auto mailbox = local2->GetMailBoxes()->Item(targetLocal)) {
            DeliverToMailBox(envelope, target, *mailbox);
        } else {
            core::Log(core::LogLevelWarning, core::FormatText(216, {std::string_view(target), std::string_view(targetDomain)},
                                                              "No mailbox for %s in the local domain %s"));
        }
        return;
    }
    default: break;
    }
    Fail("5.1.1", "No such mailbox: " + address, local + "@" + domain.Name());
}

bool Router::DeliverByKind(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox) {
    const auto& properties = mailbox.GetProperties();
    if (properties.Item("mailbox:autoreplyenable").IsTrue()) AutoReply(envelope, mailbox);
    const std::string sender = properties.Item("alias:usembassender").IsTrue() ? mailbox.Address() : envelope.Sender();
    switch (mailbox.MailBoxType()) {
    case store::PostmasterMailBoxType: {
        const std::int32_t route = properties.Number("route:type");
        if (route == 0) return true;
        if (route == 1) return false;
        DeliverAlias(envelope, address, mailbox);
        return false;
    }
    case store::AliasMailBoxType: DeliverAlias(envelope, address, mailbox); return false;
    case store::UserMailBoxType: return DeliverUser(envelope, mailbox);
    case store::ForwardMailBoxType:
        Reinject(envelope, SplitAddressList(properties.Text("alias:fwdtoaddrs")), sender, mailbox.Address());
        return false;
    case store::GroupMailBoxType: DeliverGroup(envelope, mailbox); return false;
    case store::MailingListMailBoxType: {
        auto list = store_->FindMailBox(mailbox.Address());
        ServeList([&](lists::ListServer& server, std::vector<double>& queued) { server.Post(envelope, list, queued); });
        return false;
    }
    case store::RelayMailBoxType: {
        if (properties.Number("relay:to") != 1 || properties.Number("relay:when") != 2) return true;
        std::function<bool(const store::Envelope&, const store::MailBox&)> handOff;
        {
            std::lock_guard guard(hooksLock);
            handOff = relayHandOff;
        }
        return !(handOff && handOff(envelope, mailbox));
    }
    default: return true;
    }
}

bool Router::DeliverUser(store::Envelope& envelope, store::MailBox& mailbox) {
    const auto& properties = mailbox.GetProperties();
    if (properties.Item("alias:forward").IsTrue()) {
        const std::string sender = properties.Item("alias:usembassender").IsTrue() ? mailbox.Address() : envelope.Sender();
        Reinject(envelope, SplitAddressList(properties.Text("alias:fwdtoaddrs")), sender, mailbox.Address());
        if (properties.Item("alias:deleteforward").IsTrue()) return false;
    }
    constexpr std::uint64_t kMegabyte = 1048576;
    const std::uint64_t size = envelope.ContentSize();
    const auto sizeLimit = static_cast<std::uint64_t>(std::max(properties.Number("user:quota:sizemsg"), 0)) * kMegabyte;
    if (sizeLimit != 0 && size > sizeLimit) {
        Fail("5.2.3", "The message is larger than the mailbox accepts");
        return false;
    }
    const auto countLimit = static_cast<std::uint64_t>(std::max(properties.Number("user:quota:nummsgs"), 0));
    const auto diskLimit = static_cast<std::uint64_t>(std::max(properties.Number("user:quota:diskusage"), 0)) * kMegabyte;
    if (countLimit == 0 && diskLimit == 0) return true;
    // The store keeps the figure current for this process's own deliveries and removals.
    const store::MailBoxUsage usage = mailbox.Usage();
    if ((countLimit != 0 && usage.messages >= countLimit) || (diskLimit != 0 && usage.bytes + size > diskLimit)) {
        Fail("5.2.2", "The mailbox is full");
        return false;
    }
    return true;
}

void Router::DeliverGroup(store::Envelope& envelope, store::MailBox& mailbox) {
    auto& properties = mailbox.GetProperties();
    const auto members = SplitAddressList(properties.Text("group:fwdtoaddrs"));
    if (members.empty()) return;
    if (!properties.Item("group:inturn").IsTrue()) {
        Reinject(envelope, members, envelope.Sender(), mailbox.Address());
        return;
    }
    std::string target;
    {
        std::lock_guard guard(mailboxStateLock);
        mailbox.Refresh();
        const std::string current = properties.Text("group:currentaddress");
        const std::int32_t count = properties.Number("group:currentcount");
        const std::int32_t limit = properties.Number("group:count");
        const auto found = std::find_if(members.begin(), members.end(), [&](const std::string& m) { return EqualsNoCase(m, current); });
        std::int32_t next = 1;
        if (found == members.end()) {
            target = members.front();  // no current member (yet): the first takes the first turn
        } else if (count < limit) {
            target = *found;
            next = count + 1;
        } else {
            target = std::next(found) == members.end() ? members.front() : *std::next(found);
        }
        properties.SetItem("group:currentaddress", Variant::Text(target));
        properties.SetItem("group:currentcount", Variant::I4(next));
        mailbox.Update();
    }
    Reinject(envelope, {target}, envelope.Sender(), mailbox.Address());
}

void Router::DeliverAlias(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox) {
    const auto& properties = mailbox.GetProperties();
    const std::string targetAddress = properties.Text("alias:address");
    const std::string folderPath = properties.Text("alias:folder");
    // The folder of a local mailbox, when the alias names one.
    if (!targetAddress.empty()) {
        if (auto target = store_->FindMailBox(targetAddress)) {
            auto folder = folderPath.empty() ? target->InFolder() : target->FindFolder(folderPath);
            if (folder) {
                Publish(envelope, folder->Storage(), {address});
                return;
            }
        }
    }
    // Otherwise a public folder, which takes the message only when the sender may post to it.
    auto folder = folderPath.empty() ? nullptr : store_->FindFolder(folderPath);
    if (folder) {
        const std::string sender = ToLowerAscii(envelope.Sender());
        std::string local;
        std::string senderDomain;
        store::SplitAddress(sender, local, senderDomain);
        std::string rights;
        for (const std::string& who : {sender, senderDomain, std::string(store_->FindDomain(senderDomain) ? "localhost" : ""),
                                       std::string("default")}) {
            if (who.empty()) continue;
            Variant value;
            if (folder->GetProperties().Get("_ACL:Members:" + who, value) && !value.IsEmpty()) {
                rights = ToLowerAscii(value.AsText());
                break;
            }
        }
        if (rights.find('p') != std::string::npos) {
            Publish(envelope, folder->Storage(), {address});
            return;
        }
    }
    Fail("5.7.1", "The message can not be posted to " + (folderPath.empty() ? address : folderPath));
}

void Router::AutoReply(const store::Envelope& envelope, store::MailBox& mailbox) {
    // RFC 3834: never to automatic mail, bulk or list mail, bounces, the system sender or spam, and
    // only ever to the envelope sender -- the address that answers for the delivery, not whatever
    // the header claims.
    if (envelope.GetProperties().Number(store::kSpamStatusKey) == 1) return;
    const mime::HeaderBlock header = ReadHeader(envelope);
    if (templates::IsAutomaticMail(envelope.Sender(), header)) return;
    const std::string target = AddressOnly(envelope.Sender());
    if (target.empty()) return;
    noRespond_->Refresh();
    if (noRespond_->IsInList(target)) return;
    auto& properties = mailbox.GetProperties();
    const std::string sentKey = std::string(kAutoReplySentKey) + ToLowerAscii(target);
    {
        std::lock_guard guard(mailboxStateLock);
        mailbox.Refresh();
        const double now = Now();
        const double last = properties.Item(sentKey).AsDouble();
        if (last != 0 && now - last < kOneDay) return;
        // The memory of replies older than a day is of no use any more: it goes when the memory is written.
        std::vector<std::string> stale;
        const std::string_view parent = kAutoReplySentKey.substr(0, kAutoReplySentKey.size() - 1);
        auto position = properties.GetFirstChildPosition(parent);
        std::string key;
        Variant value;
        while (properties.GetNextChild(position, key, value)) {
            if (now - value.AsDouble() >= kOneDay) stale.push_back(key);
        }
        for (const auto& old : stale) properties.Remove(old);
        properties.SetItem(sentKey, Variant::DateValue(now));
        mailbox.Update();
    }

    mime::Message reply;
    reply.SetFrom(mailbox.Address());
    reply.SetTo(target);
    reply.SetSubject(properties.Text("mailbox:autoreplysubject"));
    reply.SetDate(mime::FormatMessageDate(Now()));
    reply.SetMessageID(mime::MakeMessageID(primaryDomain_));
    reply.SetHeaderField("Auto-Submitted", "auto-replied");
    reply.SetHeaderField("X-Mailer", core::kProductName);
    if (const std::string id = header.Field("Message-ID"); !id.empty()) reply.SetHeaderField("In-Reply-To", id);
    reply.SetBodyText(properties.Text("mailbox:autoreplybody") + "\r\n");
    auto queued = in_->GetEnvelopes()->Add();
    queued->SetSender("mail-deamon@" + primaryDomain_);
    queued->GetRecipients().Add(target);
    queued->GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(2));
    queued->GetProperties().SetItem(kHopsKey, Variant::I4(envelope.GetProperties().Number(kHopsKey) + 1));
    queued->PutContent(reply);
    queued->Update();
    SubmitEnvelope(queued->UID());
}

}  // namespace pw::router
