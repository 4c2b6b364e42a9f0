// ListMembers: the mailing lists for administration clients -- MailBox.MailingList, the list's typed
// settings (MailingList), its member database (MLMembers) and one member (MLMember).
//
// A MailingList object works on its own opening of the list's mailbox, and each put writes its
// "ml." property through that mailbox's Update before the reply: the class has no Update of its own,
// and a client that dies must not leave a change half made. The settings keep the types the list
// server reads (switches as 16-bit -1/0, the size unsigned). The member database is the list's own
// SQLite file, opened per MLMembers object; a member object holds the database it came from.
#include "admin/ObjectModel.h"
#include "lists/MailingList.h"
#include "lists/MLMembers.h"
#include "store/MailBox.h"
#include "store/StoreTypes.h"

#include <optional>

namespace pw::admin {

namespace {

using K = MemberKind;
using A = std::span<Variant>;

class MailingListObject : public Unknown {
public:
    explicit MailingListObject(std::shared_ptr<store::MailBox> mailbox) : list_(mailbox), mailbox_(std::move(mailbox)) {}
    lists::MailingList& List() { return list_; }
    // Writes one setting and saves the mailbox before the reply.
    void Put(std::string_view key, Variant value) {
        mailbox_->GetProperties().SetItem(key, std::move(value));
        mailbox_->Update();
    }

private:
    lists::MailingList list_;
    std::shared_ptr<store::MailBox> mailbox_;
};

class MembersObject : public Unknown, public std::enable_shared_from_this<MembersObject> {
public:
    explicit MembersObject(std::unique_ptr<lists::MLMembers> members) : members_(std::move(members)) {}
    lists::MLMembers& Members() { return *members_; }

private:
    std::unique_ptr<lists::MLMembers> members_;
};

class MemberObject : public Unknown {
public:
    // The member refers to the connection of the MLMembers that made it: the object keeps that alive.
    MemberObject(std::shared_ptr<MembersObject> owner, lists::MLMember member) : owner_(std::move(owner)), member_(std::move(member)) {}
    lists::MLMember& Member() { return member_; }

private:
    std::shared_ptr<MembersObject> owner_;
    lists::MLMember member_;
};

using L = MailingListObject;

void AddSwitch(std::vector<MemberInfo>& members, const char* name, const char* key, bool (lists::MailingList::*get)() const) {
    members.push_back(Member<L>(name, K::Get, {}, [get](L& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool((self.List().*get)()); }));
    members.push_back(Member<L>(name, K::Put, {VT_BOOL}, [key](L& self, A args, const Caller&, CallResult&) { self.Put(key, Variant::Switch(args[0].IsTrue())); }));
}

void AddText(std::vector<MemberInfo>& members, const char* name, const char* key, std::string (lists::MailingList::*get)() const) {
    members.push_back(Member<L>(name, K::Get, {}, [get](L& self, A, const Caller&, CallResult& call) { call.result = Variant::Text((self.List().*get)()); }));
    members.push_back(Member<L>(name, K::Put, {VT_BSTR}, [key](L& self, A args, const Caller&, CallResult&) { self.Put(key, Variant::Text(args[0].AsText())); }));
}

// An enumeration setting: only its named values are taken, so the list server never meets another.
void AddEnum(std::vector<MemberInfo>& members, const char* name, const char* key, std::int32_t (lists::MailingList::*get)() const,
             std::int32_t last) {
    members.push_back(Member<L>(name, K::Get, {}, [get](L& self, A, const Caller&, CallResult& call) { call.result = Variant::I4((self.List().*get)()); }));
    members.push_back(Member<L>(name, K::Put, {VT_I4}, [name, key, last](L& self, A args, const Caller&, CallResult&) {
        const std::int32_t value = args[0].AsI4();
        if (value < 0 || value > last) throw ComError(E_INVALIDARG, std::string(name) + " is from 0 to " + std::to_string(last));
        self.Put(key, Variant::I4(value));
    }));
}

std::shared_ptr<MembersObject> OpenMembers(L& self) { return std::make_shared<MembersObject>(self.List().Members()); }

void RegisterMailingList() {
    using ML = lists::MailingList;
    std::vector<MemberInfo> members;
    members.push_back(Member<L>("MLMembers", K::Get, {}, [](L& self, A, const Caller&, CallResult& call) {
        call.result = Variant::Object(OpenMembers(self));
    }));
    AddSwitch(members, "PreAppendSubject", "ml.preappendsubject", &ML::PreAppendSubject);
    AddText(members, "PreAppendSubjectText", "ml.preappendsubjecttext", &ML::PreAppendSubjectText);
    AddEnum(members, "PostingsTo", "ml.postingsto", &ML::PostingsTo, lists::MLPostingsToMember);
    AddSwitch(members, "PostingsFrom", "ml.postingsfrom", &ML::PostingsFrom);
    AddSwitch(members, "RepliesTo", "ml.repliesto", &ML::RepliesTo);
    AddSwitch(members, "RequirePostingPassword", "ml.requirepostingpassword", &ML::RequirePostingPassword);
    AddText(members, "PostingPassword", "ml.postingpassword", &ML::PostingPassword);
    AddSwitch(members, "NonMembersCanPost", "ml.nonmemberscanpost", &ML::NonMembersCanPost);
    AddSwitch(members, "RejectPostingOnSize", "ml.rejectpostingonsize", &ML::RejectPostingOnSize);
    members.push_back(Member<L>("RejectPostingSize", K::Get, {}, [](L& self, A, const Caller&, CallResult& call) {
        call.result = Variant::UI4(self.List().RejectPostingSize());
    }));
    members.push_back(Member<L>("RejectPostingSize", K::Put, {VT_UI4}, [](L& self, A args, const Caller&, CallResult&) {
        self.Put("ml.rejectpostingsize", Variant::UI4(static_cast<std::uint32_t>(args[0].AsInt64())));
    }));
    AddSwitch(members, "RejectPostingOnAttachment", "ml.rejectpostingonattachment", &ML::RejectPostingOnAttachment);
    AddSwitch(members, "ConfirmJoin", "ml.confirmjoin", &ML::ConfirmJoin);
    AddText(members, "ConfirmJoinSubject", "ml.confirmjoinsubject", &ML::ConfirmJoinSubject);
    AddText(members, "ConfirmJoinBody", "ml.confirmjoinbody", &ML::ConfirmJoinBody);
    AddSwitch(members, "ConfirmLeave", "ml.confirmleave", &ML::ConfirmLeave);
    AddText(members, "ConfirmLeaveSubject", "ml.confirmleavesubject", &ML::ConfirmLeaveSubject);
    AddText(members, "ConfirmLeaveBody", "ml.confirmleavebody", &ML::ConfirmLeaveBody);
    AddSwitch(members, "RequireJoinConfirm", "ml.requirejoinconfirm", &ML::RequireJoinConfirm);
    AddText(members, "RequireJoinConfirmSubject", "ml.requirejoinconfirmsubject", &ML::RequireJoinConfirmSubject);
    AddText(members, "RequireJoinConfirmBody", "ml.requirejoinconfirmbody", &ML::RequireJoinConfirmBody);
    AddSwitch(members, "RequireLeaveConfirm", "ml.requireleaveconfirm", &ML::RequireLeaveConfirm);
    AddText(members, "RequireLeaveConfirmSubject", "ml.requireleaveconfirmsubject", &ML::RequireLeaveConfirmSubject);
    AddText(members, "RequireLeaveConfirmBody", "ml.requireleaveconfirmbody", &ML::RequireLeaveConfirmBody);
    AddText(members, "Moderator", "ml.moderator", &ML::Moderator);
    AddText(members, "Contributors", "ml.contributors", &ML::Contributors);
    AddEnum(members, "Type", "ml.type", &ML::Type, lists::MLNewsletterType);
    AddEnum(members, "ErrorHandling", "ml.errorhandling", &ML::ErrorHandling, lists::MLAdminErrorHandling);
    AddText(members, "ErrorAdministrator", "ml.erroradministrator", &ML::ErrorAdministrator);
    AddSwitch(members, "JoinShortcut", "ml.joinshortcut", &ML::JoinShortcut);
    AddSwitch(members, "LeaveShortcut", "ml.leaveshortcut", &ML::LeaveShortcut);
    AddSwitch(members, "AllowJoin", "ml.allowjoin", &ML::AllowJoin);
    AddSwitch(members, "AllowLeave", "ml.allowleave", &ML::AllowLeave);
    AddSwitch(members, "Signature", "ml.signature", &ML::Signature);
    AddText(members, "SignaturePlain", "ml.signatureplain", &ML::SignaturePlain);
    AddText(members, "SignatureHtml", "ml.signaturehtml", &ML::SignatureHtml);
    RegisterMembers<L>("MailingList", std::move(members));
}

void MemberResult(MembersObject& self, std::optional<lists::MLMember> member, CallResult& call) {
    if (!member) {
        call.hr = S_FALSE;
        call.result = Variant::Object(nullptr);
        return;
    }
    // The handler has the object by reference; the member object needs its owner kept.
    call.result = Variant::Object(std::make_shared<MemberObject>(self.shared_from_this(), std::move(*member)));
}

void RegisterMLMembers() {
    using C = MembersObject;
    RegisterMembers<C>("MLMembers", {
        Member<C>("Add", K::Method, {VT_BSTR}, [](C& self, A args, const Caller&, CallResult& call) {
            MemberResult(self, self.Members().Add(args[0].AsText()), call);
        }),
        Member<C>("Count", K::Get, {}, [](C& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.Members().Count()); }),
        // A number is a place in address order (from 0), a text an address.
        Member<C>("Item", K::Get, {VT_VARIANT}, [](C& self, A args, const Caller&, CallResult& call) {
            if (args[0].IsText()) {
                MemberResult(self, self.Members().Item(std::string_view(args[0].AsText())), call);
                return;
            }
            if (!args[0].IsNumeric() || args[0].AsInt64() < 0) throw ComError(E_INVALIDARG, "an index is a number from 0 or an address");
            MemberResult(self, self.Members().Item(args[0].AsInt64()), call);
        }),
        Member<C>("Remove", K::Method, {VT_BSTR}, [](C& self, A args, const Caller&, CallResult&) {
            if (!self.Members().Remove(args[0].AsText())) throw ComError(E_INVALIDARG, args[0].AsText() + " is no member");
        }),
        Member<C>("Reset", K::Method, {}, [](C& self, A, const Caller&, CallResult&) { self.Members().Reset(); }),
        // One member per call, in address order: the outs are the member (none after the last) and
        // how many came.
        Member<C>("Next", K::Method, {VT_UI4}, [](C& self, A args, const Caller&, CallResult& call) {
            if (args[0].AsInt64() != 1) throw ComError(E_INVALIDARG, "Next fetches one member at a time");
            auto batch = self.Members().Next(1);
            if (batch.empty()) {
                call.hr = S_FALSE;
                call.out = {Variant::Object(nullptr), Variant::UI4(0)};
                return;
            }
            CallResult made;
            MemberResult(self, std::move(batch.front()), made);
            call.out = {std::move(made.result), Variant::UI4(1)};
        }),
    });
}

void RegisterMLMember() {
    using M = MemberObject;
    RegisterMembers<M>("MLMember", {
        Member<M>("Address", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Member().Address()); }),
        Member<M>("Comment", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Member().Comment()); }),
        Member<M>("Comment", K::Put, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult&) { self.Member().SetComment(args[0].AsText()); }),
        Member<M>("Status", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.Member().Status()); }),
        Member<M>("Status", K::Put, {VT_I4}, [](M& self, A args, const Caller&, CallResult&) {
            if (args[0].AsI4() < lists::MLStatusNone || args[0].AsI4() > lists::MLStatusBanned) throw ComError(E_INVALIDARG, "Status is 0, 1 or 2");
            self.Member().SetStatus(args[0].AsI4());
        }),
        Member<M>("VactionReturnDate", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) {
            call.result = Variant::DateValue(self.Member().VactionReturnDate());
        }),
        Member<M>("VactionReturnDate", K::Put, {VT_DATE}, [](M& self, A args, const Caller&, CallResult&) { self.Member().SetVactionReturnDate(args[0].AsDouble()); }),
        Member<M>("MessageFormat", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.Member().MessageFormat()); }),
        Member<M>("MessageFormat", K::Put, {VT_I4}, [](M& self, A args, const Caller&, CallResult&) {
            if (args[0].AsI4() < lists::MLMessageFormatNone || args[0].AsI4() > lists::MLMessageFormatHTML) {
                throw ComError(E_INVALIDARG, "MessageFormat is 0, 1 or 2");
            }
            self.Member().SetMessageFormat(args[0].AsI4());
        }),
        Member<M>("MessagesPosted", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.Member().MessagesPosted()); }),
        Member<M>("MessagesPosted", K::Put, {VT_I4}, [](M& self, A args, const Caller&, CallResult&) { self.Member().SetMessagesPosted(args[0].AsI4()); }),
        Member<M>("Update", K::Method, {}, [](M& self, A, const Caller&, CallResult&) { self.Member().Update(); }),
        Member<M>("Created", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::DateValue(self.Member().Created()); }),
    });
}

}  // namespace

// MailBox.MailingList: the settings of a list over a new opening of its mailbox; a mailbox of
// another kind has none.
MemberInfo MailingListMember() {
    using M = store::MailBox;
    return Member<M>("MailingList", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) {
        if (self.MailBoxType() != store::MailingListMailBoxType) throw ComError(E_INVALIDARG, self.Address() + " is no mailing list");
        call.result = Variant::Object(std::make_shared<MailingListObject>(store::OpenStoreObject<M>(self.Storage(), self.RootPath())));
    });
}

void RegisterListMembers() {
    RegisterMailingList();
    RegisterMLMembers();
    RegisterMLMember();
}

}  // namespace pw::admin
