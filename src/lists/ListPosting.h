// ListPosting: what a list does to a posting before its members get it -- the subject prefix, the
// header fields, the signature and the list fields of RFC 2369 and RFC 2919 -- and what it reads from
// one: whether it is a delivery report, its leaf parts, a message a moderator forwarded to release.
//
// Texts of the list's settings reach the header only through the folding header writer (a line break
// in them never starts a field). Signatures go into the decoded text of a part, which is encoded
// again as it was: never raw bytes into base64 or quoted-printable.
// Thread safety: pure functions over the message given.
#pragma once

#include "lists/MailingList.h"
#include "mime/Message.h"

#include <optional>
#include <string>

namespace pw::lists {

// multipart/report with report-type delivery-status.
bool IsDeliveryReport(const mime::HeaderBlock& header);
// The "Status:" of the first recipient block of a report's message/delivery-status part ("5.1.1"),
// "" when there is none.
std::string ReportStatus(const mime::Message& report);
// Leaf parts of the message (a message that is not multipart is one), and how many of them are text.
struct LeafCount {
    std::size_t all = 0;
    std::size_t text = 0;
};
LeafCount CountLeafParts(const mime::Message& message);
// The first message/rfc822 part's message, as its bytes.
std::optional<std::string> EnclosedMessage(const mime::Message& message);

// "[TEXT] " before the subject, unless the subject already holds "[TEXT]".
void AddSubjectPrefix(mime::Message& message, std::string_view text);
// SignaturePlain after the first text/plain part's text (or a plain message's body); in the first
// HTML part before "</body>" (any case) SignatureHtml, or the plain one with line breaks as "<BR>".
void AddSignature(mime::Message& message, std::string_view plain, std::string_view html);
// The list's own fields, replacing any the posting brought: List-Id, List-Post, List-Subscribe,
// List-Unsubscribe, List-Help.
void SetListFields(mime::Message& message, MailingList& list);
// "<name.domain>", as List-Id names the list.
std::string ListIdentifier(MailingList& list);

}  // namespace pw::lists
