// MessageTemplate: template files, placeholders, notices and template messages.
#include "mime/MessageTemplate.h"

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
#include "platform/Process.h"
#include "platform/Text.h"
#include "store/MessageStore.h"

namespace pw::mime {

namespace {

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FirstLine(std::string_view text) {
    const std::size_t end = text.find_first_of("\r\n");
    return std::string(text.substr(0, end));
}

std::string ReadContent(const store::Envelope& envelope) {
    try {
        auto stream = envelope.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
        std::vector<std::byte> bytes;
        if (Failed(ReadToEnd(*stream, bytes))) return {};
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    } catch (const ComError&) {
        return {};
    }
}

// The values every template can use, from the triggering message.
std::map<std::string, std::string> MessageValues(const store::Envelope& triggering, const std::string& content,
                                                 std::string_view reason, const MessageTemplate& messageTemplate) {
    Message message;
    message.SetHeaderOnly(true);
    message.LoadBytes(content);
    return {{"$SUBJECT$", FirstLine(message.Subject())},
            {"$HEADER$", message.Header()},
            {"$SENDER$", triggering.Sender()},
            {"$MSGDATE$", FirstLine(message.Date())},
            {"$REASON$", reason.empty() ? messageTemplate.Text("unknown") : std::string(reason)}};
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

std::string Substitute(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [placeholder, value] : values) {
        for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
            text.replace(at, placeholder.size(), value);
        }
    }
    return text;
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
    if (attachOriginal && !originalContent.empty()) {
        auto original = std::make_shared<MessagePart>();
        original->SetContentType("message", "rfc822", "");
        original->AttachRaw(originalContent);
        message.AddPart({}, original);
    }
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
    std::string failed;
    for (const auto& recipient : recipients) {
        failed += recipient.address + " - " +
                  messageTemplate.Text(Format("X.%d.%d", {std::int64_t{recipient.statusSubject}, std::int64_t{recipient.statusDetail}})) + "\r\n";
    }
    values["$FAILEDRECIPIENTS$"] = failed;
    values["$ACTION$"] = word;
    values["$ACTIONREASON$"] = messageTemplate.Text(word);
    values["$ATTEMPTS$"] = attempts ? core::FormatText(106, {std::int64_t{*attempts}}, "Delivery was tried %d times.")
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

    std::string status = Format("Reporting-MTA: dns; %s\r\n", {std::string_view(domain)});
    for (const auto& recipient : recipients) {
        Address address(recipient.address);
        status += "\r\n";
        status += "Original-Recipient: rfc822; " + address.GetAddress() + "\r\n";
        status += "Final-Recipient: rfc822; " + (recipient.original.empty() ? address.GetAddress() : recipient.original) + "\r\n";
        status += "Action: " + word + "\r\n";
        status += Format("Status: %d.%d.%d\r\n", {std::int64_t{recipient.statusClass}, std::int64_t{recipient.statusSubject},
                                                  std::int64_t{recipient.statusDetail}});
        if (!recipient.diagnostic.empty()) status += "Diagnostic-Code: smtp; " + FirstLine(recipient.diagnostic) + "\r\n";
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
    if (EqualsNoCase(TrimAscii(messageTemplate.Text("attach_message")), "yes") && !content.empty()) {
        auto attached = std::make_shared<MessagePart>();
        attached->SetContentType("message", "rfc822", "");
        attached->AttachRaw(content);
        notice.AddPart({}, attached);
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
    for (const auto& address : failedRecipients) failed += address + "\r\n";
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

std::optional<double> SendVirusNotice(const store::Envelope& triggering, std::string_view reason, const std::string& recipient) {
    return SendTemplateMessage("virus.xml", nullptr, triggering, reason, {}, recipient);
}

}  // namespace pw::mime
