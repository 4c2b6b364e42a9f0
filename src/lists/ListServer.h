// ListServer: what the router hands the mailing lists -- postings to a list, the command messages of
// "listserver"/"listserv", the confirmation and shortcut addresses "join-..."/"leave-...", and the
// bounce return path "<list>+bounce-<row>-<tag>" of the copies.
//
// It never includes the router: everything it sends is a new envelope in the store's "_In", and its
// id is appended to `queued` as soon as the envelope is safe, so the caller submits what was queued
// even when a later step throws. Its own mail goes from the null sender with "Auto-Submitted:
// auto-generated", and it answers no automatic mail: two list servers never talk for ever.
// Commands are read from the first text/plain part, decoded, at most kMaxCommandLines lines of
// kMaxCommandBytes; a password is masked in every line it echoes and never logged.
// Failures of a member database throw ComError: the router keeps the message queued and tries again.
// Thread safety: one object per call; lists are opened per use, and SQLite serialises the writers.
#pragma once

#include "lists/MailingList.h"
#include "mime/Message.h"
#include "store/Domain.h"
#include "store/Envelope.h"
#include "store/MessageStore.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::lists {

// What a local part of a local domain asks of the list server.
enum class ListAddressKind { None, Join, Leave, JoinShortcut, LeaveShortcut, Bounce };
struct ListAddress {
    ListAddressKind kind = ListAddressKind::None;
    std::shared_ptr<store::MailBox> list;
    std::string token;
    std::int64_t row = 0;
};
// "join-<list>" (the shortcut) or "join-<list>-<token>" (the list name may hold "-": the token is
// after the last one), "leave-..." alike, "<list>+bounce-<row>-<tag>"; kind None unless the list
// named is a mailing list of the domain.
ListAddress FindListAddress(const store::Domain& domain, std::string_view local);
// "listserver" or "listserv".
bool IsListServerAddress(std::string_view local);

class ListServer {
public:
    explicit ListServer(std::shared_ptr<store::MessageStore> messageStore);

    // A message to "listserver@domain": its commands run, the results and errors answered.
    void Commands(const store::Envelope& envelope, const store::Domain& domain, std::vector<double>& queued);
    // A posting to a list mailbox: checked, changed for the list and copied to every member, as new
    // envelopes in "_In", kDistributionBatch at a time; after each batch the posting's record keeps
    // the last member served, so a routing cut off repeats at most one batch and skips nobody.
    void Post(store::Envelope& envelope, std::shared_ptr<store::MailBox> list, std::vector<double>& queued);
    // A message to a confirmation, shortcut or bounce address.
    void Request(const store::Envelope& envelope, const ListAddress& request, std::vector<double>& queued);

private:
    // The copies for every member not yet served; the posting as the members get it.
    void Distribute(store::Envelope& envelope, MailingList& list, mime::Message& posting, std::vector<double>& queued);

    std::shared_ptr<store::MessageStore> store_;
};

}  // namespace pw::lists
