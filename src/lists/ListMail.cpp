// ListMail: the messages of the lists, and joins and leaves with their notices.
#include "lists/ListMail.h"

#include "core/Logging.h"
#include "lists/ListPosting.h"
#include "mime/MimeSyntax.h"
#include "platform/HResult.h"
#include "platform/Text.h"
#include "templates/MessageTemplate.h"

namespace pw::lists {

namespace {

// A member listing larger than this ends with a count of the members left out.
constexpr std::size_t kMaxReviewBytes = 8 * 1024 * 1024;

std::string OrDefault(std::string text, std::string_view fallback) { return text.empty() ? std::string(fallback) : text; }

}  // namespace

mime::Message LoadMessage(const store::Envelope& envelope, bool headerOnly) {
    auto stream = envelope.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
    std::string content;
    char chunk[65536];
    for (;;) {
        std::size_t got = 0;
        const HRESULT hr = stream->Read(std::as_writable_bytes(std::span(chunk)), got);
        if (hr == STG_E_ENDOFFILE || (Succeeded(hr) && got == 0)) break;
        ThrowIfFailed(hr, "reading " + envelope.Namespace());
        content.append(chunk, got);
        if (headerOnly && mime::FindHeaderEnd(content, 0, content.size() > got + 3 ? content.size() - got - 3 : 0) != std::string::npos) break;
    }
    mime::Message message;
    message.SetHeaderOnly(headerOnly);
    // A damaged message keeps the parts found; the list server works with what it could read.
    (void)message.LoadBytes(std::move(content));
    return message;
}

void ListMail::Send(const std::string& from, const std::string& to, std::string_view subject, std::string_view body,
                    const std::vector<std::pair<std::string, std::string>>& fields) {
    Queue(templates::SendMessage(from, to, subject, body, fields));
}

void ListMail::Error(const store::Envelope& triggering, std::string_view reasons, const std::string& to) {
    Queue(templates::SendTemplateMessage("listserverror.xml", nullptr, triggering, reasons, {}, to));
}

void ListMail::Review(MailingList& list, const std::string& to) {
    auto members = list.Members();
    std::string body;
    std::size_t left = 0;
    for (auto batch = members->Next(kDistributionBatch); !batch.empty(); batch = members->Next(kDistributionBatch)) {
        for (const auto& member : batch) {
            std::string comment = member.Comment();
            for (char& c : comment) {
                if (c == '"' || c == '\r' || c == '\n') c = ' ';
            }
            const std::string line = "\"" + comment + "\" <" + member.Address() + ">\r\n";
            if (left || body.size() + line.size() > kMaxReviewBytes) {
                ++left;
            } else {
                body += line;
            }
        }
    }
    if (left) body += Format("... and %u more\r\n", {std::uint64_t{left}});
    Send(list.Address(), to, "REVIEW " + list.Address(), body);
}

void ListMail::ConfirmationRequest(MailingList& list, const std::string& address, bool join) {
    const std::string action = join ? "join" : "leave";
    const std::string reply = action + "-" + list.Name() + "-" + list.Token(action, address) + "@" + list.DomainName();
    const std::string subject = join ? OrDefault(list.RequireJoinConfirmSubject(), "Please confirm joining " + list.Address())
                                     : OrDefault(list.RequireLeaveConfirmSubject(), "Please confirm leaving " + list.Address());
    std::string body = join ? list.RequireJoinConfirmBody() : list.RequireLeaveConfirmBody();
    if (body.empty()) {
        body = "Someone asked to " + action + " the list " + list.Address() + " for " + address +
               ".\r\nTo confirm, reply to this message. If it was not you, do nothing.\r\n";
    }
    Send(reply, address, subject, body, {{"Reply-To", reply}});
}

bool ListMail::Join(MailingList& list, const std::string& address, bool notify) {
    try {
        list.Members()->Add(address);
    } catch (const ComError& error) {
        if (error.Code() == STG_E_FILEALREADYEXISTS) return false;
        throw;
    }
    core::Log(core::LogLevelNormal, address + " joined the list " + list.Address());
    if (notify && list.ConfirmJoin()) Send(list.Address(), address, list.ConfirmJoinSubject(), list.ConfirmJoinBody());
    return true;
}

bool ListMail::Leave(MailingList& list, const std::string& address, bool notify) {
    if (!list.Members()->Remove(address)) return false;
    core::Log(core::LogLevelNormal, address + " left the list " + list.Address());
    if (notify && list.ConfirmLeave()) Send(list.Address(), address, list.ConfirmLeaveSubject(), list.ConfirmLeaveBody());
    return true;
}

std::string BounceAddress(MailingList& list, std::int64_t row) {
    const std::string number = std::to_string(row);
    return list.Name() + "+bounce-" + number + "-" + list.Mac("bounce", number) + "@" + list.DomainName();
}

void ListMail::Bounce(const store::Envelope& report, MailingList& list, std::int64_t row, std::string_view tag) {
    // Only the list made the tag: anything else at a bounce address is forged or stray, and ignored.
    if (!list.CheckMac("bounce", std::to_string(row), tag)) {
        core::Log(core::LogLevelNormal, "A message to a bounce address of " + list.Address() + " with a wrong tag; ignored");
        return;
    }
    const mime::Message message = LoadMessage(report);
    if (!IsDeliveryReport(message.Headers())) return;  // an auto-reply to a copy, say: no failure
    if (list.ErrorHandling() == MLAdminErrorHandling) {
        const std::string administrator = list.ErrorAdministrator();
        if (!administrator.empty()) Queue(templates::SendTemplateMessage("mlerror.xml", &list.MailBox(), report, "", {}, administrator));
        return;
    }
    const std::string status = ReportStatus(message);
    if (!status.starts_with("5.")) return;  // a delay or a success says nothing against the member
    auto members = list.Members();
    const std::int32_t errors = members->CountError(row, Now());
    if (errors < kMaxMemberErrors) return;
    const auto member = members->ByRowId(row);
    if (members->RemoveRow(row) && member) {
        core::Log(core::LogLevelNormal, Format("%s left the list %s after %d permanent delivery failures",
                                               {std::string_view(member->Address()), std::string_view(list.Address()), std::int64_t{errors}}));
    }
}

}  // namespace pw::lists
