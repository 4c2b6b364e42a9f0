// MessageTemplate: the messages the server writes on its own -- delivery status notifications and
// template messages -- built from the XML template files shipped in templates/ (pugixml).
//
// A template names texts by element ("subject", "plaintext", "htmltext", "unknown", "attach_message",
// an action word, or a status "X.4.4") and files to attach ("attachment" with "localfile" and
// "filename"). Placeholders ($SUBJECT$, $SENDER$, $REASON$, ...) are replaced in the subject and both
// bodies; a value taken from the triggering message never brings a line break into the subject.
// Notices go to the triggering message's sender with the null sender "<>" as their own (RFC 3464), so
// they can never be answered by another notice; none is made for a message that has no sender or is
// itself automatic ("Auto-Submitted:" other than "no"). The result is a new envelope in the store's
// "_In" with "SpamStatus" 2; the caller hands its id to the router.
// Thread safety: pure functions over their arguments; the store objects are opened per call.
#pragma once

#include "mime/Message.h"
#include "store/Envelope.h"
#include "store/MailBox.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::templates {

// The original header quoted in a notice ($HEADER$): whole lines while their quoted-printable form fits.
inline constexpr std::size_t kMaxQuotedHeader = 64 * 1024;
// A one-line value ($SUBJECT$, $SENDER$, $MSGDATE$, a failed address).
inline constexpr std::size_t kMaxTemplateLineValue = 512;
// The failed-recipient list of a notice's text ($FAILEDRECIPIENTS$) and a reason ($REASON$).
inline constexpr std::size_t kMaxFailedRecipientsText = 64 * 1024;
// Recipients reported one by one in a notice's delivery-status part; the others are counted in its text.
inline constexpr std::size_t kMaxReportedRecipients = 2000;
// An original larger than this is attached by its header only.
inline constexpr std::size_t kMaxAttachedOriginal = 128 * 1024;
// A "$NAME$" longer than this is text, not a placeholder.
inline constexpr std::size_t kMaxPlaceholderName = 64;

enum DsnAction { DsnFailed = 1, DsnDelayed = 2, DsnDelivered = 3, DsnRelayed = 4, DsnExpanded = 5 };

struct DsnRecipient {
    std::string address;
    std::string original;
    std::string diagnostic;  // the remote server's reply, when there was one
    std::string originalRecipient;  // the client's ORCPT as received ("rfc822;" and xtext), when it gave one
    int statusClass = 5;
    int statusSubject = 0;
    int statusDetail = 0;
};

struct TemplateAttachment {
    std::string localFile;
    std::string fileName;
};

class MessageTemplate {
public:
    // False when the file is missing or not well-formed XML.
    bool Load(const std::string& path);
    // The text of the first element of that name, "" when there is none.
    std::string Text(std::string_view name) const;
    const std::vector<TemplateAttachment>& Attachments() const { return attachments_; }

private:
    std::map<std::string, std::string> texts_;
    std::vector<TemplateAttachment> attachments_;
};

// Where a template file is: templates/ beside the executable, else ../share/pellworth/templates/.
std::string TemplatePath(std::string_view file);

// The text with every placeholder of the table replaced by its value, in one pass over `text`: what a
// value brings in is never replaced again. The result is at most the text plus, per placeholder
// occurrence, its value.
std::string Substitute(std::string_view text, const std::map<std::string, std::string>& values);
// At most `limit` bytes of a value, never ending inside a UTF-8 sequence.
std::string BoundedValue(std::string_view text, std::size_t limit);
// At most `limit` bytes of a text of lines, cut after the last whole line that fits.
std::string BoundedLines(std::string_view text, std::size_t limit);

// Builds the message of a template with its placeholders filled (nullopt when the template does not load).
std::optional<mime::Message> ComposeFromTemplate(const MessageTemplate& messageTemplate, std::map<std::string, std::string> values,
                                           const std::string& originalContent);

// Makes and stores a delivery status notice for the envelope's sender; the new envelope's id, or
// nullopt when no notice is due or none could be made (the reason is logged).
std::optional<double> SendNotification(const store::Envelope& original, const std::vector<DsnRecipient>& recipients,
                                       DsnAction action, std::optional<int> attempts);
// A template message about a mailbox (lists, commands) to `recipient`.
std::optional<double> SendTemplateMessage(const std::string& templateFile, const store::MailBox* mailbox,
                                          const store::Envelope& triggering, std::string_view reason,
                                          const std::vector<std::string>& failedRecipients, const std::string& recipient);
// A plain message of the server's own (list replies, confirmations): `from` in the From field, the
// null sender "<>" on the envelope, "Auto-Submitted: auto-generated", the body as UTF-8
// quoted-printable; `fields` ("Reply-To", ...) are added through the folding header writer. The new
// envelope's id, or nullopt when it could not be stored (logged).
std::optional<double> SendMessage(const std::string& from, const std::string& to, std::string_view subject,
                                  std::string_view body, const std::vector<std::pair<std::string, std::string>>& fields = {});
// The notice of the virus scanner ("virus.xml") to `recipient`.
std::optional<double> SendVirusNotice(const store::Envelope& triggering, std::string_view reason, const std::string& recipient);

}  // namespace pw::templates
