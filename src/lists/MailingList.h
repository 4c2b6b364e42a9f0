// MailingList: the typed view of a mailing-list mailbox (kind 400) -- its "ml." settings, its member
// database and the secret its tokens are made with.
//
// A setting not present reads as false, 0 or the empty text. "ml:provider", "ml:user" and
// "ml:password" named a database driver and its login; SQLite needs none, so they are not read.
// Tokens: HMAC-SHA-256 under the list's own random secret ("_MLSecret", kSecretBytes, made once under
// the mailbox directory's lock and never shown), over an action word, the list and an address; the
// first kTokenDigits hex digits. Nobody without the secret can make one, and each list has its own.
// Thread safety: one object per thread, made per use like the mailbox it views.
#pragma once

#include "lists/ListTypes.h"
#include "lists/MLMembers.h"
#include "store/MailBox.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::lists {

class MailingList {
public:
    // Throws ComError(E_INVALIDARG) when the mailbox is no mailing list.
    explicit MailingList(std::shared_ptr<store::MailBox> mailbox);

    store::MailBox& MailBox() const { return *mailbox_; }
    // "name@domain", the list's address.
    std::string Address() const { return mailbox_->Address(); }
    std::string Name() const { return mailbox_->Name(); }
    std::string DomainName() const { return mailbox_->DomainName(); }

    bool PreAppendSubject() const { return Switch("ml.preappendsubject"); }
    std::string PreAppendSubjectText() const { return Text("ml.preappendsubjecttext"); }
    std::int32_t PostingsTo() const { return Number("ml.postingsto"); }
    bool PostingsFrom() const { return Switch("ml.postingsfrom"); }
    bool RepliesTo() const { return Switch("ml.repliesto"); }
    bool RequirePostingPassword() const { return Switch("ml.requirepostingpassword"); }
    std::string PostingPassword() const { return Text("ml.postingpassword"); }
    bool NonMembersCanPost() const { return Switch("ml.nonmemberscanpost"); }
    bool RejectPostingOnSize() const { return Switch("ml.rejectpostingonsize"); }
    std::uint32_t RejectPostingSize() const { return static_cast<std::uint32_t>(Number("ml.rejectpostingsize")); }
    bool RejectPostingOnAttachment() const { return Switch("ml.rejectpostingonattachment"); }
    bool ConfirmJoin() const { return Switch("ml.confirmjoin"); }
    std::string ConfirmJoinSubject() const { return Text("ml.confirmjoinsubject"); }
    std::string ConfirmJoinBody() const { return Text("ml.confirmjoinbody"); }
    bool ConfirmLeave() const { return Switch("ml.confirmleave"); }
    std::string ConfirmLeaveSubject() const { return Text("ml.confirmleavesubject"); }
    std::string ConfirmLeaveBody() const { return Text("ml.confirmleavebody"); }
    bool RequireJoinConfirm() const { return Switch("ml.requirejoinconfirm"); }
    std::string RequireJoinConfirmSubject() const { return Text("ml.requirejoinconfirmsubject"); }
    std::string RequireJoinConfirmBody() const { return Text("ml.requirejoinconfirmbody"); }
    bool RequireLeaveConfirm() const { return Switch("ml.requireleaveconfirm"); }
    std::string RequireLeaveConfirmSubject() const { return Text("ml.requireleaveconfirmsubject"); }
    std::string RequireLeaveConfirmBody() const { return Text("ml.requireleaveconfirmbody"); }
    std::string Moderator() const { return Text("ml.moderator"); }
    std::string Contributors() const { return Text("ml.contributors"); }
    std::int32_t Type() const { return Number("ml.type"); }
    std::int32_t ErrorHandling() const { return Number("ml.errorhandling"); }
    std::string ErrorAdministrator() const { return Text("ml.erroradministrator"); }
    bool JoinShortcut() const { return Switch("ml.joinshortcut"); }
    bool LeaveShortcut() const { return Switch("ml.leaveshortcut"); }
    bool AllowJoin() const { return Switch("ml.allowjoin"); }
    bool AllowLeave() const { return Switch("ml.allowleave"); }
    bool Signature() const { return Switch("ml.signature"); }
    std::string SignaturePlain() const { return Text("ml.signatureplain"); }
    std::string SignatureHtml() const { return Text("ml.signaturehtml"); }

    // The member database file: "ml:datasource", else "<list directory>/<name>.mdb".
    std::string DataSource() const;
    // Opens the member database (throws ComError).
    std::unique_ptr<MLMembers> Members() const;
    // Is the address among `Contributors` (";" or "," separated)?
    bool IsContributor(std::string_view address) const;

    // The token of an action ("join", "leave", "bounce") for an address (made of the list's secret).
    std::string Token(std::string_view action, std::string_view address);
    // Compares a token in constant time, case ignored.
    bool CheckToken(std::string_view action, std::string_view address, std::string_view token);
    // The same over any text (a member's row for the bounce return path).
    std::string Mac(std::string_view action, std::string_view text);
    bool CheckMac(std::string_view action, std::string_view text, std::string_view mac);

private:
    bool Switch(std::string_view key) const { return mailbox_->GetProperties().Item(key).IsTrue(); }
    std::int32_t Number(std::string_view key) const { return mailbox_->GetProperties().Number(key); }
    std::string Text(std::string_view key) const { return mailbox_->GetProperties().Text(key); }
    std::string Secret();

    std::shared_ptr<store::MailBox> mailbox_;
};

}  // namespace pw::lists
