// Transport: delivers the envelopes the router put into "_Out/<domain>" to other mail servers --
// the domain's mail exchangers found through DNS, or one relay server ("sys:delivery:useremote").
//
// A scan thread looks at "_Out" every few seconds (and at once when mail for a relay agent comes), and
// puts one job per due envelope on a job pool of "sys:delivery:maxtransports" threads (10). An envelope is
// in at most one job at a time (its busy mark lives exactly as long as its job). The pass remembers
// the last attempt of every envelope that is not due and skips it without reading its record until
// the retry interval has passed. A record whose content is missing can never be delivered: it is
// logged (Critical), the postmaster and the sender get a notice, and the envelope is removed. Each job talks SMTP (SmtpClient.h), records per recipient the command,
// reply and code under "dsn:<recipient>:send/recv/resp" (":" in an address is escaped as "%3A"),
// strikes the recipients that were accepted, hands the refused ones (5xx) to the failure notice, and
// keeps the ones that were deferred (4xx). What stays is tried again after
// "sys:delivery:retryinterval" minutes (15; 0: every cycle), counting attempts (retry types 0, 1, 3)
// or days (2) against "sys:smtptrans:retries" (10): at half the limit a "delayed" notice goes out, at
// the limit a failure notice, and the envelope is finished; type 3 never gives up. A DNS failure is
// temporary (4.4.3); only a domain that does not exist or has no address fails at once (5.4.4), as
// does one whose exchanger is this host (127.0.0.1). The state of an envelope is saved after every
// attempt, before the next can start.
// On a dial-up connection the scan sends nothing: outgoing mail waits for a send/receive cycle
// (SendReceiveCycle.h), which runs the same pass. Only one pass runs at a time.
// Thread safety: StartTransports and StopTransports serialise on the transport lock; the rest may be
// called from any thread.
#pragma once

#include "smtp/SmtpHooks.h"
#include "smtp/SmtpLimits.h"

#include "core/ConfigTree.h"
#include "store/Envelope.h"
#include "store/MailBox.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace pw::smtp {

inline constexpr std::string_view kRetryCounterKey = "sys:delivery:retry";
inline constexpr std::string_view kLastAttemptKey = "sys:delivery:lastattempt";

enum RetryType { RetryCountAttempts = 1, RetryCountDays = 2, RetryForever = 3 };

struct DeliveryTarget {
    std::string destination;  // the domain (MX mode) or the relay server
    std::uint16_t port = 25;
    bool relayServer = false;
    std::string account;
    std::string password;
    int authType = 0;  // 0 none, 1 SMTP AUTH, 2 POP3 login first
    std::string pop3Server;
    std::uint16_t pop3Port = 110;
    int retryType = RetryCountAttempts;
    int retryLimit = kDefaultRetries;
};

// The target of an envelope bound for a domain, from the "sys:delivery:" and "sys:smtptrans:" keys;
// the envelope's own "relay:" settings (mail a relay agent passed on) come first.
DeliveryTarget MakeDeliveryTarget(const core::ConfigTree& config, const std::string& domain,
                                  const store::Properties* envelope = nullptr);
// The router's hand-off for a relay agent ("relay:to" 1, "relay:when" 2): the message goes into "_Out"
// with the agent's server settings, and an outgoing pass starts.
bool HandOffToRelay(const store::Envelope& envelope, const store::MailBox& agent);

// `jobs` 0 takes "sys:delivery:maxtransports".
bool StartTransports(std::size_t jobs = 0);
void StopTransports();
// A job on the transport's pool; false when the transports are not running or stop.
bool QueueTransportJob(std::function<void()> job);
// One outgoing pass now, each job passed through `wrap` (when set) before it is queued.
using JobWrapper = std::function<std::function<void()>(std::function<void()>)>;
void RunOutgoingPass(const JobWrapper& wrap);
// The Debug value "TransportReplyTimeout" (seconds; 0 for the usual reply time-outs).
int TransportReplyTimeLimit();
// What the administration's ConnectNow asks: a send/receive cycle with every pass.
bool ConnectNow();
// ETRN (agent "relay:when" 0) and ATRN (1): the agent mailbox of the node must exist; an outgoing
// pass starts at once. The SMTP server calls it through SetReleaseForNode.
bool ReleaseForNode(ReleaseKind kind, const std::string& node);

}  // namespace pw::smtp
