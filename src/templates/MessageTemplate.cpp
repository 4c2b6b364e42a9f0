// MessageTemplate: template files, placeholders, notices and template messages.
#include "templates/MessageTemplate.h"

#include <ctime>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Configuration.h"
#include "core/LanguageTexts.h"
#include "core/Logging.h"
#include "core/Version.h"
#include "mime/Address.h"
#include "mime/MessageDate.h"
#include "mime/Xtext.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "store/MessageStore.h"

namespace pw::templates {

// The message model these notices are built with.
using mime::Address;
using mime::EncodeQuotedPrintable;
using mime::FormatMessageDate;
using mime::MakeMessageID;
using mime::Message;
using mime::MessagePart;
using mime::PartPosition;

namespace {

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FirstLine(std::string_view text) {
    const std::size_t end = text.find_first_of("\r\n");
    return std::string(text.substr(0, end));
}

// The content of the triggering message, at most kMaxAttachedOriginal bytes and one more: enough for
// the header a notice quotes and to tell whether the original is small enough to attach whole.
std::string ReadContent(const store::Envelope& envelope) {
    try {
        auto stream = envelope.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
        std::string text;
        char chunk[8192];
        while (text.size() <= kMaxAttachedOriginal) {
            std::size_t got = 0;
            if (Failed(stream->Read(std::as_writable_bytes(std::span(chunk)), got)) || got == 0) break;
            text.append(chunk, got);
        }
        if (text.size() > kMaxAttachedOriginal + 1) text.resize(kMaxAttachedOriginal + 1);
        return text;
    } catch (const ComError&) {
        return {};
    }
}

std::string OneLine(std::string_view text) { return BoundedValue(FirstLine(text), kMaxTemplateLineValue); }

// The original header as a notice quotes it: whole lines while their quoted-printable form (a byte
// that needs it takes three, a soft break every 76 columns three more) stays within
// kMaxQuotedHeader, so eight-bit or "=" filled headers do not triple the notice.
std::string QuotedHeader(std::string_view header) {
    constexpr std::size_t kEncodedLine = 76;
    std::size_t cost = 0;
    std::size_t column = 0;
    std::size_t kept = 0;  // the whole lines that fit
    for (std::size_t i = 0; i < header.size(); ++i) {
        const auto c = static_cast<unsigned char>(header[i]);
        const bool plain = c != '=' && c < 0x80 && (c >= 0x20 || c == '\t' || c == '\r' || c == '\n');
        cost += plain ? 1 : 3;
        column = c == '\n' ? 0 : column + (plain ? 1 : 3);
        if (column >= kEncodedLine) {
            cost += 3;
            column = 0;
        }
        if (cost > kMaxQuotedHeader) return std::string(header.substr(0, kept));
        if (c == '\n') kept = i + 1;
    }
    return std::string(header);
}

// The original under a notice: whole when it is small, else its header alone (RFC 3462); its header
// alone too when the sender asked for no more (`headerOnly`).
void AttachOriginal(Message& message, const std::string& content, PartPosition parent, bool headerOnly = false) {
    if (content.empty()) return;
    auto original = std::make_shared<MessagePart>();
    if (content.size() <= kMaxAttachedOriginal && !headerOnly) {
        original->SetContentType("message", "rfc822", "");
        original->AttachRaw(content);
    } else {
        Message header;
        header.SetHeaderOnly(true);
        header.LoadBytes(content);
        original->SetContentType("text", "rfc822-headers", "");
        original->AttachRaw(BoundedLines(header.Header(), kMaxQuotedHeader));
    }
    message.AddPart(parent, original);
}

// The values every template can use, from the triggering message.
std::map<std::string, std::string> MessageValues(const store::Envelope& triggering, const std::string& content,
                                                 std::string_view reason, const MessageTemplate& messageTemplate) {
    Message message;
    message.SetHeaderOnly(true);
    message.LoadBytes(content);
    return {{"$SUBJECT$", OneLine(message.Subject())},
            {"$HEADER$", QuotedHeader(message.Header())},
            {"$SENDER$", OneLine(triggering.Sender())},
            {"$MSGDATE$", OneLine(message.Date())},
            {"$REASON$", BoundedLines(reason.empty() ? messageTemplate.Text("unknown") : std::string(reason), kMaxFailedRecipientsText)}};
}

// Stores a composed message for one recipient, from the null sender, judged clean.
std::optional<double> Store(Message& message, const std::string& recipient) {
    try {
        const auto messageStore = store::OpenServerStore();
        auto envelope = messageStore->InFolder()->GetEnvelopes()->Add();
        envelope->SetSender("");
        envelope->GetRecipients().Add(recipient);
        envelope->GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(2));
        envelope->PutContent(message);
        envelope->Update();
        return envelope->UID();
    } catch (const ComError& error) {
        core::Log(core::LogLevelCritical, std::string("A notice could not be stored: ") + error.what());
        return std::nullopt;
    }
}

// Automatic mail and mail without a sender never get a notice: that is how notice loops start.
bool NoticeDue(const store::Envelope& original, const std::string& content) {
    if (TrimAscii(original.Sender()).empty()) return false;
    Message message;
    message.SetHeaderOnly(true);
    message.LoadBytes(content);
    const std::string submitted = ToLowerAscii(message.HeaderField("Auto-Submitted"));
    return submitted.empty() || submitted == "no";
}

std::string PrimaryDomain() {
    try {
        return store::OpenServerStore()->PrimaryDomain(core::ServerConfig());
    } catch (const ComError&) {
        return std::string(store::kFallbackDomain);
    }
}

std::string ActionWord(DsnAction action) {
    switch (action) {
    case DsnFailed: return "failed";
    case DsnDelayed: return "delayed";
    case DsnDelivered: return "delivered";
    case DsnRelayed: return "relayed";
    default: return "expanded";
    }
}

bool NeedsEncoding(std::string_view text) {
    std::size_t column = 0;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return true;
        column = c == '\n' ? 0 : column + 1;
        if (column > 998) return true;
    }
    return false;
}

}  // namespace

bool MessageTemplate::Load(const std::string& path) {
    pugi::xml_document document;
    if (!document.load_file(path.c_str())) return false;
    texts_.clear();
    attachments_.clear();
    for (const pugi::xpath_node& found : document.select_nodes("//*")) {
        const pugi::xml_node node = found.node();
        const std::string name = ToLowerAscii(node.name());
        if (name == "attachment") {
            attachments_.push_back({node.attribute("localfile").value(), node.attribute("filename").value()});
            continue;
        }
        // The first element of a name gives its text.
        texts_.emplace(name, node.text().get());
    }
    return true;
}

std::string MessageTemplate::Text(std::string_view name) const {
    const auto found = texts_.find(ToLowerAscii(name));
    return found == texts_.end() ? std::string() : found->second;
}

std::string TemplatePath(std::string_view file) {
    const std::string executable = ExecutablePath();
    const std::string directory = executable.substr(0, executable.find_last_of('/') + 1);
    for (const std::string& candidate : {directory + "templates/" + std::string(file), directory + "../share/pellworth/templates/" + std::string(file)}) {
        if (IsFile(candidate)) return candidate;
    }
    return directory + "templates/" + std::string(file);
}

std::string Substitute(std::string_view text, const std::map<std::string, std::string>& values) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t open = text.find('$', at);
        if (open == std::string_view::npos) {
            out.append(text.substr(at));
            break;
        }
        out.append(text.substr(at, open - at));
        const std::size_t close = text.find('$', open + 1);
        if (close != std::string_view::npos && close - open < kMaxPlaceholderName) {
            const auto found = values.find(std::string(text.substr(open, close - open + 1)));
            if (found != values.end()) {
                out += found->second;
                at = close + 1;
                continue;
            }
        }
        // Not a placeholder: the "$" stays, and the next one may open one.
        out += '$';
        at = open + 1;
    }
    return out;
}

std::string BoundedValue(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

std::string BoundedLines(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    if (limit == 0) return {};
    const std::size_t end = text.rfind('\n', limit - 1);
    if (end == std::string_view::npos) return BoundedValue(text, limit);
    return std::string(text.substr(0, end + 1));
}

std::optional<Message> ComposeFromTemplate(const MessageTemplate& messageTemplate, std::map<std::string, std::string> values,
                                           const std::string& originalContent) {
    Message message;
    message.SetSubject(FirstLine(Substitute(messageTemplate.Text("subject"), values)));
    message.SetHeaderField("X-Mailer", core::kProductName);
    message.SetHeaderField("Auto-Submitted", "auto-generated");
    message.SetDate(FormatMessageDate(Now()));
    const std::string plain = Substitute(messageTemplate.Text("plaintext"), values);
    const std::string html = Substitute(messageTemplate.Text("htmltext"), values);
    const bool attachOriginal = EqualsNoCase(TrimAscii(messageTemplate.Text("attach_message")), "yes");
    const bool multipart = !html.empty() || !messageTemplate.Attachments().empty() || attachOriginal;
    if (!multipart) {
        message.SetHeaderField("MIME-Version", "1.0");
        message.SetContentType("text", "plain", "charset=utf-8");
        message.SetContentTransferEncoding("quoted-printable");
        message.SetBodyText(EncodeQuotedPrintable(plain));
        return message;
    }
    message.SetHeaderField("MIME-Version", "1.0");
    message.SetMultipartContentType("Mixed");
    PartPosition body{};
    if (!html.empty()) body = message.AddMultipartPart({}, "Alternative", "");
    auto text = std::make_shared<MessagePart>();
    text->AttachText(plain, "plain", "quoted-printable", "utf-8");
    message.AddPart(body, text);
    if (!html.empty()) {
        auto htmlPart = std::make_shared<MessagePart>();
        htmlPart->AttachText(html, "html", "quoted-printable", "utf-8");
        message.AddPart(body, htmlPart);
    }
    for (const auto& attachment : messageTemplate.Attachments()) {
        auto part = std::make_shared<MessagePart>();
        try {
            part->AttachFile(attachment.localFile, attachment.fileName, "", "");
            message.AddPart({}, part);
        } catch (const ComError& error) {
            core::Log(core::LogLevelWarning, std::string("A template attachment is missing: ") + error.what());
        }
    }
    if (attachOriginal) AttachOriginal(message, originalContent, {});
    return message;
}

std::optional<double> SendNotification(const store::Envelope& original, const std::vector<DsnRecipient>& recipients,
                                       DsnAction action, std::optional<int> attempts) {
    const std::string content = ReadContent(original);
    if (recipients.empty() || !NoticeDue(original, content)) return std::nullopt;
    MessageTemplate messageTemplate;
    if (!messageTemplate.Load(TemplatePath("dsn.xml"))) {
        core::Log(core::LogLevelWarning, "The template dsn.xml can not be read; no notice is sent to " + original.Sender());
        return std::nullopt;
    }
    const std::string word = ActionWord(action);
    auto values = MessageValues(original, content, "", messageTemplate);
    // Each recipient with the explanation of its own status; past the cap, the others are counted.
    std::string failed;
    std::size_t listed = 0;
    for (const auto& recipient : recipients) {
        std::string explanation = messageTemplate.Text(Format("X.%d.%d", {std::int64_t{recipient.statusSubject}, std::int64_t{recipient.statusDetail}}));
        if (explanation.empty()) explanation = messageTemplate.Text("X.0.0");
        // Success needs no explanation; the action's text says it.
        if (recipient.statusClass == 2) explanation.clear();
        const std::string line = OneLine(recipient.address) + " - " +
                                 Format("%d.%d.%d ", {std::int64_t{recipient.statusClass}, std::int64_t{recipient.statusSubject},
                                                      std::int64_t{recipient.statusDetail}}) +
                                 OneLine(explanation) + "\r\n";
        if (failed.size() + line.size() > kMaxFailedRecipientsText || listed == kMaxReportedRecipients) break;
        failed += line;
        ++listed;
    }
    if (listed < recipients.size()) {
        failed += Format("... and %u more recipients\r\n", {std::uint64_t{recipients.size() - listed}});
    }
    values["$FAILEDRECIPIENTS$"] = failed;
    values["$ACTION$"] = word;
    values["$ACTIONREASON$"] = messageTemplate.Text(word);
    values["$ATTEMPTS$"] = attempts ? core::FormatText(106, {std::int64_t{*attempts}}, "Delivery was tried %d times.")
                           : action >= DsnDelivered ? std::string()
                                                                             : core::FormatText(107, {}, "The message could not be delivered.");
    values["$MAILBOX$"] = values["$MAILBOXNAME$"] = values["$MAILBOXCOMMENT$"] = values["$MAILBOXDOMAIN$"] = "";

    Message notice;
    notice.SetSubject(FirstLine(Substitute(messageTemplate.Text("subject"), values)));
    notice.SetHeaderField("X-Mailer", core::kProductName);
    notice.SetHeaderField("Auto-Submitted", "auto-generated");
    notice.SetDate(FormatMessageDate(Now()));
    notice.SetTo(original.Sender());
    const std::string domain = PrimaryDomain();
    notice.SetFrom("mail-deamon@" + domain);
    notice.SetMessageID(MakeMessageID(domain));
    notice.SetHeaderField("MIME-Version", "1.0");
    notice.SetHeaderField("Content-Type", Format("Multipart/Report; report-type=delivery-status; boundary=\"__MainPart_%d_%ld\"",
                                                 {std::int64_t{::gettid()}, std::int64_t{std::time(nullptr)}}));
    auto text = std::make_shared<MessagePart>();
    text->AttachText(Substitute(messageTemplate.Text("plaintext"), values), "plain", "quoted-printable", "utf-8");
    notice.AddPart({}, text);

    // The sender's own identification of its message, as it gave it (ENVID).
    std::string status;
    if (const auto envelopeId = mime::DecodeXtext(original.GetProperties().Text(store::kSmtpEnvIdKey)); envelopeId && !envelopeId->empty()) {
        status += "Original-Envelope-Id: " + OneLine(*envelopeId) + "\r\n";
    }
    status += Format("Reporting-MTA: dns; %s\r\n", {std::string_view(domain)});
    for (std::size_t i = 0; i < listed; ++i) {
        const auto& recipient = recipients[i];
        Address address(recipient.address);
        status += "\r\n";
        // The recipient as the sender first named it (ORCPT), when it said so; else as it reached us.
        const std::size_t semicolon = recipient.originalRecipient.find(';');
        const auto named = semicolon == std::string::npos ? std::nullopt : mime::DecodeXtext(recipient.originalRecipient.substr(semicolon + 1));
        if (named) {
            status += "Original-Recipient: " + OneLine(recipient.originalRecipient.substr(0, semicolon)) + "; " + OneLine(*named) + "\r\n";
        } else {
            status += "Original-Recipient: rfc822; " + address.GetAddress() + "\r\n";
        }
        status += "Final-Recipient: rfc822; " + (recipient.original.empty() ? address.GetAddress() : recipient.original) + "\r\n";
        status += "Action: " + word + "\r\n";
        status += Format("Status: %d.%d.%d\r\n", {std::int64_t{recipient.statusClass}, std::int64_t{recipient.statusSubject},
                                                  std::int64_t{recipient.statusDetail}});
        if (!recipient.diagnostic.empty()) status += "Diagnostic-Code: smtp; " + OneLine(recipient.diagnostic) + "\r\n";
        status += "Last-Attempt-Date: " + FormatMessageDate(Now()) + "\r\n";
    }
    auto report = std::make_shared<MessagePart>();
    report->SetContentType("message", "delivery-status", "name=\"dsn.txt\"");
    // 7-bit text as RFC 3464 expects; quoted-printable only when something in it needs it.
    if (NeedsEncoding(status)) {
        report->SetContentTransferEncoding("quoted-printable");
        report->AttachRaw(EncodeQuotedPrintable(status));
    } else {
        report->SetContentTransferEncoding("7bit");
        report->AttachRaw(status);
    }
    notice.AddPart({}, report);
    // What the sender asked to get back (RET): the whole message with a failure, its header alone;
    // without a request the template decides. A success returns the header at most.
    const std::string returned = ToUpperAscii(original.GetProperties().Text(store::kSmtpRetKey));
    const bool success = action >= DsnDelivered;  // delivered, relayed, expanded
    if (returned == "FULL" || returned == "HDRS" || EqualsNoCase(TrimAscii(messageTemplate.Text("attach_message")), "yes")) {
        AttachOriginal(notice, content, {}, returned == "HDRS" || success);
    }
    return Store(notice, original.Sender());
}

std::optional<double> SendTemplateMessage(const std::string& templateFile, const store::MailBox* mailbox,
                                          const store::Envelope& triggering, std::string_view reason,
                                          const std::vector<std::string>& failedRecipients, const std::string& recipient) {
    MessageTemplate messageTemplate;
    if (!messageTemplate.Load(TemplatePath(templateFile))) {
        core::Log(core::LogLevelWarning, "The template " + templateFile + " can not be read; no message is sent");
        return std::nullopt;
    }
    const std::string content = ReadContent(triggering);
    auto values = MessageValues(triggering, content, reason, messageTemplate);
    std::string failed;
    for (const auto& address : failedRecipients) {
        const std::string line = OneLine(address) + "\r\n";
        if (failed.size() + line.size() > kMaxFailedRecipientsText) break;
        failed += line;
    }
    values["$FAILEDRECIPIENTS$"] = failed;
    if (mailbox) {
        values["$MAILBOX$"] = mailbox->Address();
        values["$MAILBOXNAME$"] = mailbox->Name();
        values["$MAILBOXCOMMENT$"] = mailbox->Comment();
        values["$MAILBOXDOMAIN$"] = mailbox->DomainName();
    }
    auto message = ComposeFromTemplate(messageTemplate, values, content);
    if (!message) return std::nullopt;
    message->SetTo(recipient);
    const std::string domain = PrimaryDomain();
    message->SetFrom(mailbox ? mailbox->Address() : "mail-deamon@" + domain);
    message->SetMessageID(MakeMessageID(domain));
    return Store(*message, recipient);
}

std::optional<double> SendMessage(const std::string& from, const std::string& to, std::string_view subject,
                                  std::string_view body, const std::vector<std::pair<std::string, std::string>>& fields) {
    Message message;
    message.SetFrom(from);
    message.SetTo(to);
    message.SetSubject(FirstLine(subject));
    message.SetDate(FormatMessageDate(Now()));
    message.SetMessageID(MakeMessageID(PrimaryDomain()));
    message.SetHeaderField("X-Mailer", core::kProductName);
    message.SetHeaderField("Auto-Submitted", "auto-generated");
    for (const auto& [name, value] : fields) message.SetHeaderField(name, value);
    message.SetHeaderField("MIME-Version", "1.0");
    message.SetContentType("text", "plain", "charset=utf-8");
    message.SetContentTransferEncoding("quoted-printable");
    message.SetBodyText(EncodeQuotedPrintable(body));
    return Store(message, to);
}

std::optional<double> SendVirusNotice(const store::Envelope& triggering, std::string_view reason, const std::string& recipient) {
    return SendTemplateMessage("virus.xml", nullptr, triggering, reason, {}, recipient);
}

}  // namespace pw::templates
