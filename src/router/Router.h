// Router: takes every envelope of the delivery queue ("_In"), checks it, and hands each recipient on --
// into a local mailbox by the mailbox's kind, into "_Out/<domain>" for the SMTP transport, or back
// into the queue as a new envelope (forwards, groups, unknown-recipient rules, auto-replies).
//
// Nothing is lost: every copy is published (flushed) before the recipient it served is struck from
// the queued envelope. Progress is written in batches of kProgressBatch routing steps (and whenever
// routing stops on an error), so a crash repeats at most one batch of deliveries and never skips one.
// A recipient that failed stays in the written record until its notice is made: one notice per
// routing lists every failed recipient with its own status, made just before the queued envelope is
// removed -- which happens only when no recipient is left. A failure keeps the envelope queued and it
// is tried again after a pause; one that fails kMaxRouteAttempts times, or whose routing was cut off
// by the death of the process kMaxInterruptedRoutings times, is moved into the held folder "_Held"
// with an error in the log (RouterPool).
// Loops end: every envelope's hops -- its "Received:" headers plus the re-injections recorded in
// "router:hops" -- are checked against "sys:maxrecieved" (25), also for mail already judged; and a
// re-injected envelope carries the mailboxes its message was already expanded at ("router:expanded",
// at most kMaxExpansionHistory), so a group or forward reached again by the same message stops there
// with one notice instead of multiplying until the hop limit.
// Spam checks, in this order, each behind its switch, before any recipient is handled: the safe
// ranges ("sys:spam:safeips:enabled") and the friendly senders ("sys:spam:friendly:enabled") mark a
// message clean ("SpamStatus" 2); the enemy senders ("sys:spam:enemies:enabled") and the charset
// filter ("sys:spam:charset:enabled") judge it spam, and the spam action runs (src/antispam). Mail
// already judged -- relayed by an authenticated or trusted client, or made by the server -- skips them.
// The lists are re-read when their files are replaced, so an administrator's change applies to the
// next message routed.
// Auto-replies follow RFC 3834: to the envelope sender only, never to automatic, bulk or list mail,
// nor to a sender on the store's no-respond-to list ("NoRespondTo.lst", its defaults written at
// router start when it is empty or missing); once per sender and day, and the memory of older
// replies is pruned when it is written.
// The virus scan ("sys:av:enabled") comes first, after the hop check and for every envelope, judged or
// not, that no clean scan marked (store::kVirusScannedKey, which copies inherit): a virus reaches nobody, and the sender, the recipients and the postmaster hear of it as
// "sys:av:notify..." say. A scan that could not be made keeps the envelope queued (ScanDeferred): it is
// scanned again after the retry pause, and that does not count as a failed routing.
// SpamAssassin ("sys:spam:sa:enabled") is the last spam check: the message's first
// antispam::kSpamAssassinBytes go to the check the service set (SetSpamAssassinCheck); its "spam" runs
// the spam action, anything else marks the message clean, and with "sys:spam:sa:report_hdr" on the
// report goes into "X-SpamAssassin-Report:" of spam and clean mail alike -- content replaced
// atomically, then the record, before any recipient. No verdict (spamd down or failing): the message
// goes on unjudged by it.
// The lists' mail goes to the list server (src/lists): postings, "listserver", confirmation and bounce
// addresses; it queues what it sends and the router submits it. Commands by mail join when they are
// built: their recipients are logged and not delivered.
// Thread safety: one Router per router thread; the pool and queue are shared and locked.
#pragma once

#include "antispam/SpamAction.h"
#include "antispam/SpamAssassinVerdict.h"
#include "router/LocalRecipient.h"
#include "platform/IpAddress.h"
#include "router/DeliveryNotifier.h"
#include "store/MessageStore.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The lists and filters live in src/antispam; callers of the router (the SMTP intake, the service)
// need not see them.
namespace pw::antispam {
class CharSetFilter;
class EnemySendersList;
class FriendlySendersList;
class NoRespondToList;
}  // namespace pw::antispam

namespace pw::router {

inline constexpr int kDefaultMaxReceived = 25;
inline constexpr int kMaxRouteAttempts = 5;
// Routings of one envelope that the death of the process may cut off before it is held.
inline constexpr int kMaxInterruptedRoutings = 2;
// Routing steps (recipients handled) between two writes of the queued envelope's progress.
inline constexpr std::size_t kProgressBatch = 100;
// Mailboxes one message may be expanded at (groups, forwards, unknown-recipient rules) along one
// chain of re-injections.
inline constexpr std::size_t kMaxExpansionHistory = 32;
// Forwarding loops already reported, remembered so that the copies of one looping message make one notice.
inline constexpr std::size_t kMaxRememberedLoops = 1024;
// The pause before a failed routing is tried again; the Debug value "RouterRetryPause" (seconds)
// shortens it for tests.
inline constexpr std::chrono::seconds kRetryPause{20};
inline constexpr std::string_view kHeldFolderName = "_Held";
// Re-injections an envelope went through (forwards, groups, unknown-recipient rules).
inline constexpr std::string_view kHopsKey = "router:hops";
// One automatic reply per sender and day (RFC 3834): "autoreply:sent:<address>" holds the date.
inline constexpr std::string_view kAutoReplySentKey = "autoreply:sent:";
// The mailboxes a message was expanded at, ";"-separated, and the routing history it belongs to.
inline constexpr std::string_view kExpandedKey = "router:expanded";
inline constexpr std::string_view kOriginKey = "router:origin";
// How often the death of the process cut off the routing of this envelope.
inline constexpr std::string_view kInterruptedKey = "router:interrupted";

// What the virus scanner found; `reason` names the virus (Infected) or why no scan could be made.
// TooLarge: the scanner refuses messages of this size for good; waiting would hold it for ever.
struct VirusScanResult {
    enum class Verdict : std::uint8_t { Clean, Infected, Unscanned, TooLarge };
    Verdict verdict = Verdict::Clean;
    std::string reason;
};
// Scans a queued message; the service sets it (the scanners are network code). With the scan switched
// on and no scanner set, nothing is delivered.
void SetVirusScan(std::function<VirusScanResult(const store::Envelope&)> scan);

// Thrown by a routing that has to wait for the virus scanner: the envelope stays queued and is tried
// again after the pause, without that counting as one of its attempts.
class ScanDeferred : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Passes a relay mailbox's message to the transport at once; the transport sets it. Without one the
// message is kept in the mailbox.
void SetRelayHandOff(std::function<bool(const store::Envelope&, const store::MailBox&)> handOff);

// Asks SpamAssassin for its verdict on a message's first bytes (with its report when asked); nullopt
// when it gave none. The service sets it (src/spamd): the router includes no network code. Without
// one, "sys:spam:sa:enabled" judges nothing.
using SpamAssassinCheck = std::function<std::optional<antispam::SpamAssassinVerdict>(std::string_view message, bool withReport)>;
void SetSpamAssassinCheck(SpamAssassinCheck check);

class Router {
public:
    // Opens the store and reads the settings (throws ComError).
    Router();
    ~Router();
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;
    // Routes one queued envelope; throws when a recipient could not be handled (the envelope then
    // stays queued with the recipients still to do).
    void RouteEnvelope(double uid);

private:
    enum class Step : std::uint8_t { Pending, Served, Failed };

    bool PreCheck(store::Envelope& envelope);
    // The virus scan: false when the message was infected (and is not to be delivered); throws
    // ScanDeferred when no scan could be made.
    bool ScanForViruses(store::Envelope& envelope);
    void NotifyVirus(const store::Envelope& envelope, const std::string& reason);
    int Hops(const store::Envelope& envelope) const;
    void WriteProgress(store::Envelope& envelope);
    // The recipient in hand failed (named `address` in the notice when given); kept until the notice.
    void Fail(std::string_view status, std::string_view reason, std::string_view address = {});
    void HandleRecipient(store::Envelope& envelope, std::size_t index);
    void HandleLocal(store::Envelope& envelope, const std::string& address, const std::string& local,
                     const store::Domain& domain);
    // Runs the list server and submits every envelope it queued.
    void ServeList(const std::function<void(lists::ListServer&, std::vector<double>&)>& serve);
    // A message to "command@<local domain>": run by the command processor, never delivered.
    void ServeCommands(const store::Envelope& envelope, const std::string& address);
    void SendToRemote(store::Envelope& envelope, const std::string& domain);
    void DeliverToMailBox(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox);
    bool DeliverByKind(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox);
    bool DeliverUser(store::Envelope& envelope, store::MailBox& mailbox);
    void DeliverGroup(store::Envelope& envelope, store::MailBox& mailbox);
    void DeliverAlias(store::Envelope& envelope, const std::string& address, store::MailBox& mailbox);
    // The spam checks after the hop check: false when the message is not to be delivered.
    bool JudgeSpam(store::Envelope& envelope);
    bool CharsetSpam(const store::Envelope& envelope);
    // The message is spam: the spam action runs (adding `fields`); false when it is not to be delivered.
    bool TreatAsSpam(store::Envelope& envelope, std::string_view why, const std::vector<antispam::AddedField>& fields = {});
    bool JudgeBySpamAssassin(store::Envelope& envelope);
    void AutoReply(const store::Envelope& envelope, store::MailBox& mailbox);
    void HandleUnknown(store::Envelope& envelope, const std::string& address, const std::string& local,
                       const store::Domain& domain);
    // A new queued envelope with the message of `source` for other recipients (one hop more), the
    // expansion at `expandedAt` added to its history. Nothing when that expansion would repeat one
    // of the history (a loop: logged and noticed once per message).
    void Reinject(const store::Envelope& source, const std::vector<std::string>& recipients, const std::string& sender,
                  const std::string& expandedAt);
    // The delivery-status requests of the recipient in hand, given to what it was expanded to.
    void CarryDeliveryRequests(const store::Envelope& source, store::Envelope& copy, const std::vector<std::string>& recipients,
                               const std::string& sender);
    void Publish(const store::Envelope& source, const DirStorage& folder, const std::vector<std::string>& recipients);

    std::shared_ptr<store::MessageStore> store_;
    std::shared_ptr<store::Folder> in_;
    int maxReceived_ = kDefaultMaxReceived;
    bool virusScanOn_ = false;
    bool safeRangesOn_ = false;
    IpRangeList safeRanges_;
    std::string primaryDomain_;
    // The lists and the filter whose switches are on (the others stay null).
    std::unique_ptr<antispam::FriendlySendersList> friendly_;
    std::unique_ptr<antispam::EnemySendersList> enemies_;
    std::unique_ptr<antispam::CharSetFilter> charsets_;
    std::unique_ptr<antispam::NoRespondToList> noRespond_;
    bool spamAssassinOn_ = false;
    bool spamAssassinReport_ = false;

    // The routing in hand: the recipients as queued, how far each got, the remote ones by domain, and
    // the failures its notice will list.
    std::vector<std::string> recipients_;
    std::vector<Step> steps_;
    std::map<std::string, std::vector<std::size_t>> remote_;
    std::size_t current_ = 0;
    std::vector<FailedRecipient> failed_;
    std::vector<std::string> delivered_;  // put into a mailbox here: a notice for those who asked (NOTIFY=SUCCESS)
    std::vector<std::string> expanded_;   // passed on to many addresses: likewise
};

// The router threads; they share RouterQueue (SubmitEnvelope).
void StartRouters(unsigned count);
void StopRouters();
// Submits every envelope found in the store's "_In", oldest first; returns how many. Before that, an
// envelope whose routing the death of the process cut off (its router's mark says so) is counted, and
// held when that happened kMaxInterruptedRoutings times.
std::size_t ResubmitQueued(const store::MessageStore& messageStore);

// "a;b, c d" -> {"a", "b", "c", "d"}.
std::vector<std::string> SplitAddressList(std::string_view text);

// At router start: writes the no-respond-to list's defaults into the store when the list is empty or
// missing (a damaged list is left alone), and reads the sender lists that are switched on.
void PrepareSpamLists(const store::MessageStore& messageStore);

}  // namespace pw::router
