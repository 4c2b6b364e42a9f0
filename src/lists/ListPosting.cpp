// ListPosting: the changes a list makes to a posting, and the readings of it the list server needs.
#include "lists/ListPosting.h"

#include <functional>

#include "lists/ListTypes.h"
#include "platform/Text.h"

namespace pw::lists {

namespace {

using PartVisitor = std::function<bool(mime::MessagePart&)>;

// Depth first over every part; stops when the visitor says so.
bool VisitParts(const mime::MessagePart::Children& parts, const PartVisitor& visit) {
    for (const auto& part : parts) {
        if (!part) continue;
        if (visit(*part)) return true;
        if (VisitParts(part->Parts(), visit)) return true;
    }
    return false;
}

bool VisitParts(const mime::Message& message, const PartVisitor& visit) {
    mime::MessagePart::Children top;
    for (std::size_t i = 0; i < message.CountParts(); ++i) top.push_back(message.GetPart({i}));
    return VisitParts(top, visit);
}

bool Is(const mime::HeaderBlock& header, std::string_view type, std::string_view subType) {
    return EqualsNoCase(header.ContentType(), type) && EqualsNoCase(header.ContentSubType(), subType);
}

bool IsHtml(const mime::HeaderBlock& header) {
    return EqualsNoCase(header.ContentType(), "text") &&
           (EqualsNoCase(header.ContentSubType(), "html") || EqualsNoCase(header.ContentSubType(), "htm"));
}

bool HasEightBit(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    }
    return false;
}

// The encoding a part's text is written back in: its own, or quoted-printable where the new text
// holds bytes its 7-bit declaration would not allow.
std::string EncodingFor(const mime::HeaderBlock& header, std::string_view text) {
    const std::string encoding = ToLowerAscii(TrimAscii(header.ContentTransferEncoding()));
    if ((encoding.empty() || encoding == "7bit") && HasEightBit(text)) return "quoted-printable";
    return encoding;
}

std::string WithPlainSignature(std::string text, std::string_view signature) {
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    text += signature;
    if (!signature.empty() && signature.back() != '\n') text += "\r\n";
    return text;
}

// The HTML with the signature before "</body>"; nullopt when it has none.
std::optional<std::string> WithHtmlSignature(const std::string& html, std::string_view signature) {
    const std::string lower = ToLowerAscii(html);
    const std::size_t at = lower.rfind("</body>");
    if (at == std::string::npos) return std::nullopt;
    return html.substr(0, at) + std::string(signature) + html.substr(at);
}

std::string HtmlFromPlain(std::string_view plain) {
    std::string html;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        if (plain.compare(i, 2, "\r\n") == 0) {
            html += "<BR>";
            ++i;
        } else {
            html += plain[i];
        }
    }
    return html;
}

// A list text as it may stand in a header: one line, bounded.
std::string HeaderText(std::string_view text) {
    std::string line;
    for (const char c : text.substr(0, std::min(text.size(), kMaxListHeaderText))) line += (c == '\r' || c == '\n') ? ' ' : c;
    return std::string(TrimAscii(line));
}

std::string MailTo(std::string_view address, std::string_view body = {}) {
    std::string url = "<mailto:" + std::string(address);
    if (!body.empty()) {
        url += "?body=";
        for (const char c : body) {
            if (c == ' ') {
                url += "%20";
            } else {
                url += c;
            }
        }
    }
    return url + ">";
}

}  // namespace

bool IsDeliveryReport(const mime::HeaderBlock& header) {
    return Is(header, "multipart", "report") && EqualsNoCase(TrimAscii(header.Parameter("Content-Type", "report-type")), "delivery-status");
}

std::string ReportStatus(const mime::Message& report) {
    std::string status;
    VisitParts(report, [&](mime::MessagePart& part) {
        if (!Is(part.Header(), "message", "delivery-status")) return false;
        const std::string text = part.DecodedBody();
        // The per-message block comes first; the first "Status:" at a line's start is a recipient's.
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            const std::string_view line = TrimAscii(std::string_view(text).substr(at, end - at));
            if (StartsWithNoCase(line, "status:")) {
                status = std::string(TrimAscii(line.substr(7)));
                return true;
            }
            at = end + 1;
        }
        return true;
    });
    return status;
}

LeafCount CountLeafParts(const mime::Message& message) {
    LeafCount count;
    if (!message.Headers().IsMultipart() || message.CountParts() == 0) {
        count.all = 1;
        count.text = EqualsNoCase(message.Headers().ContentType(), "text") ? 1 : 0;
        return count;
    }
    VisitParts(message, [&](mime::MessagePart& part) {
        if (!part.Parts().empty()) return false;
        ++count.all;
        if (EqualsNoCase(part.Header().ContentType(), "text")) ++count.text;
        return false;
    });
    return count;
}

std::optional<std::string> EnclosedMessage(const mime::Message& message) {
    std::optional<std::string> enclosed;
    VisitParts(message, [&](mime::MessagePart& part) {
        if (!Is(part.Header(), "message", "rfc822")) return false;
        enclosed = part.DecodedBody();
        return true;
    });
    return enclosed;
}

void AddSubjectPrefix(mime::Message& message, std::string_view text) {
    const std::string prefix = "[" + HeaderText(text) + "]";
    const std::string subject = message.Subject();
    if (subject.find(prefix) != std::string::npos) return;
    message.SetSubject(prefix + " " + subject);
}

void AddSignature(mime::Message& message, std::string_view plain, std::string_view html) {
    const std::string htmlSignature = html.empty() ? HtmlFromPlain(plain) : std::string(html);
    // A message that is not multipart is its own one part: its header is the one written.
    if (!message.Headers().IsMultipart()) {
        const mime::HeaderBlock& header = message.Headers();
        const std::string text = mime::DecodeBody(header.ContentTransferEncoding(), message.BodyText());
        std::optional<std::string> signed_;
        if (!message.IsMimeEncoded() || Is(header, "text", "plain")) {
            signed_ = WithPlainSignature(text, plain);
        } else if (IsHtml(header)) {
            signed_ = WithHtmlSignature(text, htmlSignature);
        }
        if (!signed_) return;
        const std::string encoding = message.IsMimeEncoded() ? EncodingFor(header, *signed_) : std::string();
        if (message.IsMimeEncoded()) message.SetContentTransferEncoding(encoding);
        message.SetBodyText(mime::EncodeBody(encoding, *signed_));
        return;
    }
    bool plainDone = false;
    bool htmlDone = false;
    VisitParts(message, [&](mime::MessagePart& part) {
        if (!part.Parts().empty() || part.IsAttachment()) return false;
        const bool isPlain = Is(part.Header(), "text", "plain");
        const bool isHtml = IsHtml(part.Header());
        if ((isPlain && !plainDone) || (isHtml && !htmlDone)) {
            const std::string text = part.DecodedBody();
            const auto signed_ = isPlain ? std::optional<std::string>(WithPlainSignature(text, plain)) : WithHtmlSignature(text, htmlSignature);
            (isPlain ? plainDone : htmlDone) = true;
            if (signed_) {
                const std::string encoding = EncodingFor(part.Header(), *signed_);
                part.SetContentTransferEncoding(encoding);
                part.AttachRaw(mime::EncodeBody(encoding, *signed_));
            }
        }
        return plainDone && htmlDone;
    });
}

std::string ListIdentifier(MailingList& list) { return "<" + ToLowerAscii(list.Name() + "." + list.DomainName()) + ">"; }

void SetListFields(mime::Message& message, MailingList& list) {
    for (const char* name : {"List-Id", "List-Post", "List-Subscribe", "List-Unsubscribe", "List-Help", "List-Owner", "List-Archive",
                             "List-Unsubscribe-Post"}) {
        message.Headers().RemoveField(name);
    }
    const std::string comment = HeaderText(list.MailBox().Comment().empty() ? list.Name() : list.MailBox().Comment());
    std::string quoted;
    for (const char c : comment) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    const std::string server = "listserver@" + list.DomainName();
    message.Headers().AddField("List-Id", "\"" + quoted + "\" " + ListIdentifier(list));
    message.Headers().AddField("List-Post", list.Type() == MLNewsletterType ? "NO" : MailTo(list.Address()));
    message.Headers().AddField("List-Subscribe", list.JoinShortcut() ? MailTo("join-" + list.Name() + "@" + list.DomainName())
                                                                     : MailTo(server, "join " + list.Address()));
    message.Headers().AddField("List-Unsubscribe", list.LeaveShortcut() ? MailTo("leave-" + list.Name() + "@" + list.DomainName())
                                                                        : MailTo(server, "leave " + list.Address()));
    message.Headers().AddField("List-Help", MailTo(server, "help"));
}

}  // namespace pw::lists
