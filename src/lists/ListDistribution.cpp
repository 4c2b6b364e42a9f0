// ListDistribution: a posting's way through its list -- reports and loops first, then who may post,
// size and attachments, the list's changes, and the copies for the members.
#include "lists/ListServer.h"

#include <optional>

#include "core/Logging.h"
#include "lists/ListMail.h"
#include "lists/ListPosting.h"
#include "platform/HResult.h"
#include "platform/Text.h"
#include "templates/AutomaticMail.h"
#include "templates/MessageTemplate.h"

namespace pw::lists {

namespace {

// The last member a posting's copies were made for, as its record keeps it: "<stem> <address>". The
// stem ties it to this envelope: a copy of the record made elsewhere (a forward re-injecting the
// message) is a new posting, not one half distributed.
std::optional<std::string> Served(const store::Envelope& envelope, const std::string& key) {
    const std::string value = envelope.GetProperties().Text(key);
    const std::string mark = envelope.Stem() + " ";
    if (!value.starts_with(mark)) return std::nullopt;
    return value.substr(mark.size());
}

std::string ServedKey(MailingList& list) { return std::string(kServedKey) + ToLowerAscii(list.Address()); }

void Refuse(const store::Envelope& envelope, MailingList& list, std::string_view reason, const std::string& sender,
            std::vector<double>& queued) {
    core::Log(core::LogLevelNormal, "The list " + list.Address() + " refused a posting of " + sender + ": " + std::string(reason));
    if (auto id = templates::SendTemplateMessage("ml.xml", &list.MailBox(), envelope, reason, {}, sender)) queued.push_back(*id);
}

// The subject's first word is the posting password, which is taken out of it; false when it is not.
bool TakePassword(mime::Message& posting, MailingList& list) {
    const std::string password = list.PostingPassword();
    const std::string subject = std::string(TrimAscii(posting.Subject()));
    const std::size_t end = subject.find_first_of(" \t");
    const std::string first = subject.substr(0, end);
    if (password.empty() || first != password) return false;
    posting.SetSubject(end == std::string::npos ? std::string() : std::string(TrimAscii(std::string_view(subject).substr(end))));
    return true;
}

}  // namespace

void ListServer::Post(store::Envelope& envelope, std::shared_ptr<store::MailBox> mailbox, std::vector<double>& queued) {
    MailingList list(std::move(mailbox));
    mime::Message posting = LoadMessage(envelope);
    const std::string sender = MLMembers::Normalise(envelope.Sender());
    const mime::HeaderBlock& header = posting.Headers();

    // A report to the list address itself was not asked for by any copy (their return paths are the
    // bounce addresses): it removes nobody and is never distributed.
    if (IsDeliveryReport(header)) {
        const std::string administrator = list.ErrorAdministrator();
        if (list.ErrorHandling() == MLAdminErrorHandling && !administrator.empty()) {
            if (auto id = templates::SendTemplateMessage("mlerror.xml", &list.MailBox(), envelope, "", {}, administrator)) queued.push_back(*id);
        }
        return;
    }
    // No loops: mail from the null sender or a program, and the list's own copies coming back.
    const bool ownCopy = ToLowerAscii(header.Field("List-Id")).find(ListIdentifier(list)) != std::string::npos;
    if (sender.empty() || templates::IsAutoSubmitted(header) || ownCopy) {
        core::Log(core::LogLevelNormal, "The list " + list.Address() + " does not distribute automatic mail (" + envelope.Namespace() + ")");
        return;
    }
    auto members = list.Members();
    const auto member = members->Item(sender);

    // A routing cut off during distribution comes back with the last member served: the posting was
    // accepted then, and is made again the same way, without its checks and counts.
    const bool resumed = Served(envelope, ServedKey(list)).has_value();
    if (!resumed) {
        switch (list.Type()) {
        case MLModeratedType: {
            if (sender != MLMembers::Normalise(list.Moderator())) {
                const std::string moderator = list.Moderator();
                if (moderator.empty()) {
                    Refuse(envelope, list, "notauthorized", sender, queued);
                } else if (auto id = templates::SendTemplateMessage("mlmoderator.xml", &list.MailBox(), envelope, "", {}, moderator)) {
                    queued.push_back(*id);
                }
                return;
            }
            if (list.RequirePostingPassword() && !TakePassword(posting, list)) {
                Refuse(envelope, list, "notauthorized", sender, queued);
                return;
            }
            // The moderator releases a held posting by sending it back attached.
            if (auto enclosed = EnclosedMessage(posting)) {
                mime::Message released;
                (void)released.LoadBytes(std::move(*enclosed));
                posting = std::move(released);
            }
            break;
        }
        case MLNewsletterType:
            if (!list.IsContributor(sender) || (list.RequirePostingPassword() && !TakePassword(posting, list))) {
                Refuse(envelope, list, "notauthorized", sender, queued);
                return;
            }
            break;
        default: {
            const bool mayPost = member ? member->Status() == MLStatusNone : list.NonMembersCanPost();
            if (!mayPost || (list.RequirePostingPassword() && !TakePassword(posting, list))) {
                Refuse(envelope, list, "notauthorized", sender, queued);
                return;
            }
            if (list.RejectPostingOnSize() && envelope.ContentSize() > list.RejectPostingSize()) {
                Refuse(envelope, list, "postingsize", sender, queued);
                return;
            }
            if (list.RejectPostingOnAttachment()) {
                const LeafCount leaves = CountLeafParts(posting);
                if (leaves.text != leaves.all) {
                    Refuse(envelope, list, "attachments", sender, queued);
                    return;
                }
            }
            break;
        }
        }
        if (member) members->CountPosting(sender);
    } else if (list.Type() == MLModeratedType) {
        // A resumed distribution makes the same posting again: the password was taken and the
        // enclosed message released the first time.
        if (list.RequirePostingPassword()) TakePassword(posting, list);
        if (auto enclosed = EnclosedMessage(posting)) {
            mime::Message released;
            (void)released.LoadBytes(std::move(*enclosed));
            posting = std::move(released);
        }
    } else if (list.RequirePostingPassword()) {
        TakePassword(posting, list);
    }

    if (list.PreAppendSubject()) AddSubjectPrefix(posting, list.PreAppendSubjectText());
    if (list.PostingsFrom()) posting.SetFrom(list.Address());
    if (list.RepliesTo()) posting.SetReplyTo(list.Address());
    if (list.PostingsTo() == MLPostingsToMailingList) posting.SetTo(list.Address());
    if (list.Signature()) AddSignature(posting, list.SignaturePlain(), list.SignatureHtml());
    SetListFields(posting, list);
    Distribute(envelope, list, posting, queued);
}

void ListServer::Distribute(store::Envelope& envelope, MailingList& list, mime::Message& posting, std::vector<double>& queued) {
    const std::string servedKey = ServedKey(list);
    std::string served = Served(envelope, servedKey).value_or(std::string());
    const bool perMember = list.PostingsTo() == MLPostingsToMember;
    const std::int32_t hops = envelope.GetProperties().Number(kHopsKey) + 1;
    const auto in = store_->InFolder();
    auto members = list.Members();
    const Date now = Now();
    std::size_t copies = 0;
    for (auto batch = members->After(served, kDistributionBatch); !batch.empty(); batch = members->After(served, kDistributionBatch)) {
        // The first copy of a batch holds the content; the others share it (hard links).
        std::shared_ptr<store::Envelope> first;
        for (const auto& member : batch) {
            if (member.Status() == MLStatusBanned || member.VactionReturnDate() > now) continue;
            std::shared_ptr<store::Envelope> copy;
            if (first && !perMember) {
                copy = store::Envelope::CreateCopy(in->Storage(), *first);
                copy->GetRecipients().Clear();
            } else {
                copy = in->GetEnvelopes()->Add();
                copy->GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(2));
                copy->GetProperties().SetItem(kHopsKey, Variant::I4(hops));
                // What the list adds is its own text; the posting itself was scanned already.
                if (envelope.GetProperties().Number(store::kVirusScannedKey) == 1) {
                    copy->GetProperties().SetItem(store::kVirusScannedKey, Variant::I4(1));
                }
                if (perMember) posting.SetTo("<" + member.Address() + ">");
                copy->PutContent(posting);
            }
            copy->SetSender(BounceAddress(list, member.RowId()));
            copy->GetRecipients().Add(member.Address());
            copy->Update();
            queued.push_back(copy->UID());
            if (!first) first = copy;
            ++copies;
        }
        served = batch.back().Address();
        envelope.GetProperties().SetItem(servedKey, Variant::Text(envelope.Stem() + " " + served));
        envelope.Update();
    }
    core::Log(core::LogLevelNormal, Format("The list %s made %u copies of %s", {std::string_view(list.Address()), std::uint64_t{copies},
                                                                              std::string_view(envelope.Namespace())}));
}

}  // namespace pw::lists
