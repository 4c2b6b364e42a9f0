// ListMail: everything a list sends -- replies to commands, confirmation requests, welcomes and
// farewells, member listings, error notices -- and the member changes that cause them.
//
// Each message is a new envelope in "_In" from the null sender (templates::SendMessage,
// SendTemplateMessage); its id goes into the caller's `queued` at once. Texts from the list's
// settings reach headers only through the folding header writer.
// Thread safety: one object per call.
#pragma once

#include "lists/MailingList.h"
#include "mime/Message.h"
#include "store/Envelope.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::lists {

// A queued message as the list server reads it: the whole content (or its header alone), parsed
// with the parts found even when it is damaged. Throws ComError when it can not be read.
mime::Message LoadMessage(const store::Envelope& envelope, bool headerOnly = false);

class ListMail {
public:
    explicit ListMail(std::vector<double>& queued) : queued_(queued) {}

    void Send(const std::string& from, const std::string& to, std::string_view subject, std::string_view body,
              const std::vector<std::pair<std::string, std::string>>& fields = {});
    // The "listserverror.xml" notice with its reason lines.
    void Error(const store::Envelope& triggering, std::string_view reasons, const std::string& to);
    // "REVIEW <list>": one line per member, `"comment" <address>`, CR LF after each.
    void Review(MailingList& list, const std::string& to);
    // The request to confirm a join or a leave: from (and Reply-To) "join-<list>-<token>@<domain>".
    void ConfirmationRequest(MailingList& list, const std::string& address, bool join);
    // A join or leave carried out, with the list's notice when it sends one and `notify`; false when
    // the address already was (or was not) a member.
    bool Join(MailingList& list, const std::string& address, bool notify = true);
    bool Leave(MailingList& list, const std::string& address, bool notify = true);
    // A report at a member's bounce return path.
    void Bounce(const store::Envelope& report, MailingList& list, std::int64_t row, std::string_view tag);

private:
    void Queue(std::optional<double> id) {
        if (id) queued_.push_back(*id);
    }
    std::vector<double>& queued_;
};

// "<list>+bounce-<row>-<tag>@<domain>": the envelope sender of a member's copy.
std::string BounceAddress(MailingList& list, std::int64_t row);

}  // namespace pw::lists
