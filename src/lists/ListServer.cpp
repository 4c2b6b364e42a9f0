// ListServer: the list addresses, the command messages and the confirmations.
#include "lists/ListServer.h"

#include "core/Logging.h"
#include "lists/ListMail.h"
#include "mime/Message.h"
#include "platform/HResult.h"
#include "platform/Text.h"
#include "store/StoreTypes.h"
#include "templates/AutomaticMail.h"
#include "templates/CommandText.h"
#include "templates/MessageTemplate.h"

namespace pw::lists {

namespace {

constexpr std::string_view kBounceMark = "+bounce-";

std::shared_ptr<store::MailBox> ListOf(const store::Domain& domain, std::string_view name) {
    if (name.empty()) return nullptr;
    auto mailbox = domain.GetMailBoxes()->Item(name);
    if (!mailbox || mailbox->MailBoxType() != store::MailingListMailBoxType) return nullptr;
    return mailbox;
}

bool IsHexToken(std::string_view text) {
    if (text.size() != kTokenDigits) return false;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// The line as it may be shown again: the password (the word at `password`) masked.
std::string Masked(const std::vector<std::string>& words, std::size_t password) {
    std::string line;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) line += ' ';
        line += i == password ? std::string("********") : words[i];
    }
    return line;
}

// The command text, at most kMaxCommandBytes of it; nullopt for a MIME message without a plain part.
std::optional<std::string> CommandText(const mime::Message& message) {
    auto text = templates::CommandText(message);
    if (text && text->size() > kMaxCommandBytes) text->resize(kMaxCommandBytes);
    return text;
}

}  // namespace

bool IsListServerAddress(std::string_view local) { return EqualsNoCase(local, "listserver") || EqualsNoCase(local, "listserv"); }

ListAddress FindListAddress(const store::Domain& domain, std::string_view local) {
    ListAddress found;
    const bool join = StartsWithNoCase(local, "join-");
    if (join || StartsWithNoCase(local, "leave-")) {
        const std::string_view rest = local.substr(join ? 5 : 6);
        if (auto list = ListOf(domain, rest)) {
            found.kind = join ? ListAddressKind::JoinShortcut : ListAddressKind::LeaveShortcut;
            found.list = std::move(list);
            return found;
        }
        const std::size_t dash = rest.rfind('-');
        if (dash == std::string_view::npos || !IsHexToken(rest.substr(dash + 1))) return found;
        if (auto list = ListOf(domain, rest.substr(0, dash))) {
            found.kind = join ? ListAddressKind::Join : ListAddressKind::Leave;
            found.list = std::move(list);
            found.token = std::string(rest.substr(dash + 1));
        }
        return found;
    }
    const std::size_t mark = ToLowerAscii(local).rfind(kBounceMark);
    if (mark == std::string::npos) return found;
    const std::string_view tail = local.substr(mark + kBounceMark.size());
    const std::size_t dash = tail.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 18 || !IsHexToken(tail.substr(dash + 1))) return found;
    std::int64_t row = 0;
    for (const char c : tail.substr(0, dash)) {
        if (c < '0' || c > '9') return found;
        row = row * 10 + (c - '0');
    }
    if (auto list = ListOf(domain, local.substr(0, mark))) {
        found.kind = ListAddressKind::Bounce;
        found.list = std::move(list);
        found.row = row;
        found.token = std::string(tail.substr(dash + 1));
    }
    return found;
}

ListServer::ListServer(std::shared_ptr<store::MessageStore> messageStore) : store_(std::move(messageStore)) {}

namespace {

// One command message in hand: who sent it, the list it opened, what the answer will say.
class CommandRun {
public:
    CommandRun(const store::MessageStore& messageStore, const store::Envelope& envelope, std::string sender,
               std::string serverAddress, std::vector<double>& queued)
        : store_(messageStore), envelope_(envelope), sender_(std::move(sender)), server_(std::move(serverAddress)), mail_(queued) {}

    // Runs one line; false when it held no command.
    bool Run(const std::vector<std::string>& words) {
        const std::string command = ToLowerAscii(words[0]);
        // The forms that name a list and its password keep their meaning with a list open: read as
        // the open list's "add ADDRESS", "add LIST PASSWORD ADDRESS" would make the list a member.
        const bool namesList = command == "open" || ((command == "add" || command == "remove") && words.size() >= 4) ||
                               ((command == "review" || command == "recipients") && words.size() >= 3);
        if (open_ && !namesList) return RunOpen(command, words);
        if (command == "join" || command == "subscribe") return Join(words, true);
        if (command == "leave" || command == "unsubscribe") return Join(words, false);
        if (command == "open") {
            if (auto list = Authorised(words, 3)) open_ = std::move(list);
            return true;
        }
        if (command == "add" || command == "remove") {
            auto list = Authorised(words, 4);
            // The owner's direct change: no notice to the member.
            if (list) Change(*list, words[3], command == "add", Masked(words, 2), false);
            return true;
        }
        if (command == "review" || command == "recipients") {
            if (auto list = Authorised(words, 3)) Review(*list, Masked(words, 2));
            return true;
        }
        return false;
    }

    void Finish(std::string_view subject) {
        if (!results_.empty()) {
            mail_.Send(server_, sender_, "Re: " + std::string(subject.substr(0, kMaxListHeaderText)), results_);
        }
        if (!errors_.empty()) mail_.Error(envelope_, errors_, sender_);
    }

    void AddError(std::string_view code, std::string_view line) {
        if (errors_.size() >= kMaxCommandBytes) return;
        errors_ += std::string(code) + (line.empty() ? "" : ": ") + std::string(line) + "\r\n";
    }

private:
    bool RunOpen(const std::string& command, const std::vector<std::string>& words) {
        MailingList& list = *open_;
        if (command == "close") {
            open_.reset();
        } else if ((command == "add" || command == "remove") && words.size() >= 2) {
            Change(list, words[1], command == "add", Masked(words, words.size()), true);
        } else if (command == "confirm" && words.size() >= 3 && (EqualsNoCase(words[1], "add") || EqualsNoCase(words[1], "remove"))) {
            const bool join = EqualsNoCase(words[1], "add");
            if (join ? list.RequireJoinConfirm() : list.RequireLeaveConfirm()) {
                const std::string address = MLMembers::Normalise(words[2]);
                if (address.empty()) {
                    Result(Masked(words, words.size()), "Not an address: " + words[2]);
                } else if (Spend(Masked(words, words.size()))) {
                    mail_.ConfirmationRequest(list, address, join);
                    Result(Masked(words, words.size()), "Asked " + address + " to confirm.");
                }
            }
        } else if (command == "review" || command == "recipients") {
            Review(list, Masked(words, words.size()));
        } else {
            return false;
        }
        return true;
    }

    // "join list" / "leave list" for the sender.
    bool Join(const std::vector<std::string>& words, bool join) {
        if (words.size() < 2) return false;
        auto list = FindList(words[1], Masked(words, words.size()));
        if (!list) return true;
        const std::string line = Masked(words, words.size());
        if (!(join ? list->AllowJoin() : list->AllowLeave())) {
            Result(line, (join ? "Joining " : "Leaving ") + list->Address() + " is not allowed.");
            return true;
        }
        if (join ? list->RequireJoinConfirm() : list->RequireLeaveConfirm()) {
            if (!Spend(line)) return true;
            mail_.ConfirmationRequest(*list, sender_, join);
            Result(line, "A confirmation request was sent to " + sender_ + ".");
            return true;
        }
        Change(*list, sender_, join, line, true);
        return true;
    }

    // Adds or removes a member, with the list's notice to them, and says how it went.
    void Change(MailingList& list, std::string_view who, bool add, const std::string& line, bool notify) {
        const std::string address = MLMembers::Normalise(who);
        const std::string listAddress = list.Address();
        if (address.empty()) {
            Result(line, Format(add ? "Not added %s to %s: not an address." : "Not removed %s from %s: not an address.",
                                {std::string_view(who), std::string_view(listAddress)}));
            return;
        }
        const bool changed = add ? mail_.Join(list, address, notify) : mail_.Leave(list, address, notify);
        const char* text = add ? (changed ? "Added %s to %s." : "Not added %s to %s: already a member.")
                               : (changed ? "Removed %s from %s." : "Not removed %s from %s: not a member.");
        Result(line, Format(text, {std::string_view(address), std::string_view(listAddress)}));
    }

    // The list a command names, with its password checked (at words[2]); errors noted.
    std::unique_ptr<MailingList> Authorised(const std::vector<std::string>& words, std::size_t needed) {
        const std::string line = Masked(words, 2);
        if (words.size() < needed) {
            AddError("badsyntax", line);
            return nullptr;
        }
        auto list = FindList(words[1], line);
        if (!list) return nullptr;
        // A list without a password can not be administered by mail.
        if (words[2].empty() || list->MailBox().ClearPassword().empty() || !list->MailBox().IsPassword(words[2])) {
            AddError("badpassword", line);
            return nullptr;
        }
        return list;
    }

    std::unique_ptr<MailingList> FindList(std::string_view address, const std::string& line) {
        auto mailbox = store_.FindMailBox(MLMembers::Normalise(address));
        if (!mailbox || mailbox->MailBoxType() != store::MailingListMailBoxType) {
            AddError("badbox", line);
            return nullptr;
        }
        return std::make_unique<MailingList>(std::move(mailbox));
    }

    void Review(MailingList& list, const std::string& line) {
        if (Spend(line)) mail_.Review(list, sender_);
    }

    // One message more that this command message makes (listings, confirmation requests); false,
    // with a result line, past kMaxCommandMessages.
    bool Spend(const std::string& line) {
        if (sent_ < kMaxCommandMessages) {
            ++sent_;
            return true;
        }
        Result(line, "Not done: one message may ask for at most " + std::to_string(kMaxCommandMessages) + " messages.");
        return false;
    }

    void Result(std::string_view line, std::string_view result) {
        if (results_.size() >= kMaxCommandBytes) return;
        results_ += "> " + std::string(line) + "\r\n" + std::string(result) + "\r\n\r\n";
    }

    const store::MessageStore& store_;
    const store::Envelope& envelope_;
    std::string sender_;
    std::string server_;
    ListMail mail_;
    std::unique_ptr<MailingList> open_;
    std::string results_;
    std::string errors_;
    std::size_t sent_ = 0;
};

constexpr std::string_view kHelp =
    "nocommand: the message held no command. The list server understands, one per line:\r\n"
    "  join LIST, leave LIST\r\n"
    "  add LIST PASSWORD ADDRESS, remove LIST PASSWORD ADDRESS, review LIST PASSWORD\r\n"
    "  open LIST PASSWORD, then add ADDRESS, remove ADDRESS, confirm add|remove ADDRESS, review, close\r\n";

}  // namespace

void ListServer::Commands(const store::Envelope& envelope, const store::Domain& domain, std::vector<double>& queued) {
    const mime::Message message = LoadMessage(envelope);
    const std::string sender = MLMembers::Normalise(envelope.Sender());
    if (sender.empty() || templates::IsAutomaticMail(envelope.Sender(), message.Headers())) {
        core::Log(core::LogLevelNormal, "The list server runs no commands of automatic mail (" + envelope.Namespace() + ")");
        return;
    }
    CommandRun run(*store_, envelope, sender, "listserver@" + domain.Name(), queued);
    const auto text = CommandText(message);
    if (!text) {
        run.AddError("noplaintext", "");
        run.Finish(message.Subject());
        return;
    }
    bool any = false;
    std::size_t lines = 0;
    std::size_t at = 0;
    while (at < text->size() && lines < kMaxCommandLines) {
        std::size_t end = text->find('\n', at);
        if (end == std::string::npos) end = text->size();
        const std::string_view line = TrimAscii(std::string_view(*text).substr(at, end - at));
        at = end + 1;
        ++lines;
        const auto words = templates::CommandWords(line);
        if (!words.empty() && run.Run(words)) any = true;
    }
    if (!any) run.AddError("nocommand", kHelp);
    run.Finish(message.Subject());
}

void ListServer::Request(const store::Envelope& envelope, const ListAddress& request, std::vector<double>& queued) {
    if (request.kind == ListAddressKind::None) return;
    MailingList list(request.list);
    ListMail mail(queued);
    if (request.kind == ListAddressKind::Bounce) {
        mail.Bounce(envelope, list, request.row, request.token);
        return;
    }
    const mime::Message header = LoadMessage(envelope, true);
    const std::string sender = MLMembers::Normalise(envelope.Sender());
    // A confirmation from the null sender or a program (an auto-reply to the request) does nothing.
    if (sender.empty() || templates::IsAutomaticMail(envelope.Sender(), header.Headers())) return;
    const bool join = request.kind == ListAddressKind::Join || request.kind == ListAddressKind::JoinShortcut;
    if (!(join ? list.AllowJoin() : list.AllowLeave())) return;
    if (request.kind == ListAddressKind::JoinShortcut || request.kind == ListAddressKind::LeaveShortcut) {
        if (!(join ? list.JoinShortcut() : list.LeaveShortcut())) return;
        if (join ? list.RequireJoinConfirm() : list.RequireLeaveConfirm()) {
            mail.ConfirmationRequest(list, sender, join);
        } else if (join) {
            mail.Join(list, sender);
        } else {
            mail.Leave(list, sender);
        }
        return;
    }
    if (!list.CheckToken(join ? "join" : "leave", sender, request.token)) {
        core::Log(core::LogLevelNormal, "A confirmation for " + list.Address() + " from " + sender + " does not match; ignored");
        return;
    }
    if (join) {
        mail.Join(list, sender);
    } else {
        mail.Leave(list, sender);
    }
}

}  // namespace pw::lists
