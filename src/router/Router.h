// Router: takes every envelope of the delivery queue ("_In"), checks it, and hands each recipient on --
// into a local mailbox by the mailbox's kind, into "_Out/<domain>" for the SMTP transport, or back
// into the queue as a new envelope (forwards, groups, unknown-recipient rules, auto-replies).
//
// Nothing is lost: every copy is published (flushed) before the recipient it served is struck from
// the queued envelope, and that progress is written before the next recipient, so a crash repeats at
// most one delivery and never skips one. The queued envelope is removed only when no recipient is
// left. A failure keeps the envelope queued and it is tried again after a pause; one that fails
// kMaxRouteAttempts times is moved into the held folder "_Held" with an error in the log.
// Loops end: every envelope's hops -- its "Received:" headers plus the re-injections recorded in
// "router:hops" -- are checked against "sys:maxrecieved" (25), also for mail already judged.
// The virus scan, the sender lists, the charset filter and SpamAssassin join when they are built;
// until then they are skipped as when their switches are off. The list server and the commands by
// mail likewise: their recipients are logged and not delivered.
// Thread safety: one Router per router thread; the pool and queue are shared and locked.
#pragma once

#include "store/MessageStore.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pw::router {

inline constexpr int kDefaultMaxReceived = 25;
inline constexpr int kMaxRouteAttempts = 5;
inline constexpr std::chrono::seconds kRetryPause{20};
inline constexpr std::string_view kHeldFolderName = "_Held";
// Re-injections an envelope went through (forwards, groups, unknown-recipient rules).
inline constexpr std::string_view kHopsKey = "router:hops";
// One automatic reply per sender and day (RFC 3834): "autoreply:sent:<address>" holds the date.
inline constexpr std::string_view kAutoReplySentKey = "autoreply:sent:";

// Passes a relay mailbox's message to the transport at once; the transport sets it. Without one the
// message is kept in the mailbox.
void SetRelayHandOff(std::function<bool(const store::Envelope&, const store::MailBox&)> handOff);

class Router {
public:
    // Opens the store and reads the settings (throws ComError).
    Router();
    // Routes one queued envelope; throws when a recipient could not be handled (the envelope then
    // stays queued with the recipients still to do).
    void RouteEnvelope(double uid);

private:
    bool PreCheck(store::Envelope& envelope);
    int Hops(const store::Envelope& envelope) const;
    void HandleRecipient(store::Envelope& envelope, const std::string& address);
    void HandleLocal(store::Envelope& envelope, const std::string& address, const std::string& local,
                     const store::Domain& domain);
    void SendToRemote(store::Envelope& envelope, const std::string& domain);
    void DeliverToMailBox(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox);
    bool DeliverByKind(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox);
    bool DeliverUser(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox);
    void DeliverGroup(store::Envelope& envelope, store::MailBox& mailbox);
    void DeliverAlias(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox);
    void AutoReply(const store::Envelope& envelope, store::MailBox& mailbox);
    void HandleUnknown(store::Envelope& envelope, const std::string& address, const std::string& local,
                       const store::Domain& domain);
    // A new queued envelope with the message of `source` for other recipients (one hop more).
    void Reinject(const store::Envelope& source, const std::vector<std::string>& recipients, const std::string& sender);
    void Publish(const store::Envelope& source, const DirStorage& folder, const std::vector<std::string>& recipients);

    std::shared_ptr<store::MessageStore> store_;
    std::shared_ptr<store::Folder> in_;
    int maxReceived_ = kDefaultMaxReceived;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> safeRanges_;  // host byte order
    std::string primaryDomain_;
};

// The router threads and the queue they share.
void SubmitEnvelope(double uid);
void StartRouters(unsigned count);
void StopRouters();
// Submits every envelope found in the store's "_In", oldest first; returns how many.
std::size_t ResubmitQueued(const store::MessageStore& messageStore);

// "a;b, c d" -> {"a", "b", "c", "d"}.
std::vector<std::string> SplitAddressList(std::string_view text);

}  // namespace pw::router
