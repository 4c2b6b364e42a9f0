// Pop3Pickup: collecting a remote POP3 account into this server -- each message becomes an envelope in
// "_In" for the router, stamped with a Received line and "X-POP3Pickup: <account>@<server>", for one
// local mailbox or for the local recipients its header names.
//
// Configured per account n ("sys:pop3pickup:%d", from 0 until one is missing): "server", "port" (110,
// or 995 with "ssl"; stored as the listeners' ports are), "account", "password", "ssl" (TLS from the
// first byte, TLS 1.2 or newer, the certificate checked against the system's trust store and the
// server's name unless "tlsverify" is 0), "timeout" (seconds per read, 60), "deliverto"
// (POP3PickupDeliverToEnum), "delivertoaddress", "unknowntoaddress", "leaveonserver",
// "leaveonserverdays". The service hands the send/receive cycle one job per account.
//
// What makes it safe to delete from the server: a message is deleted only once its envelope is
// published (content, record and directory flushed), and its unique id is recorded (SeenUids) before
// any deletion, so a dropped session or a restart never fetches a delivered message again; a crash
// between publication and the record may deliver one twice, never lose one. A run takes at most the
// server's listing (UIDL, else LIST; at most kMaxPickupMessages entries), whatever STAT claims.
// No password ever reaches the log: the client's traffic is not logged.
// The Debug value "POP3PickupClockOffsetDays" moves the pickup's "now" that many days ahead (tests of
// "leaveonserverdays" without changing the machine's clock).
// Thread safety: a run is one job on one thread; ReadPop3Pickups reads the configuration under its lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ConfigTree.h"

namespace pw::pop3pickup {

enum POP3PickupDeliverToEnum {
    POP3PickupDeliverToNone = 0,
    POP3PickupDeliverToMailBox = 1,
    POP3PickupDeliverToDetermine = 2,
};

inline constexpr int kDefaultPickupTimeoutSeconds = 60;
inline constexpr std::size_t kMaxPickupMessages = 2500;

struct Pop3PickupAccount {
    int number = 0;  // n of "sys:pop3pickup:%d"
    std::string server;
    std::uint16_t port = 110;
    std::string account;
    std::string password;
    bool ssl = false;
    bool tlsVerify = true;
    int timeoutSeconds = kDefaultPickupTimeoutSeconds;
    POP3PickupDeliverToEnum deliverTo = POP3PickupDeliverToNone;
    std::string deliverToAddress;
    std::string unknownToAddress;
    bool leaveOnServer = false;
    int leaveOnServerDays = 0;  // 0: never deleted
};

// The configured accounts that collect (deliverto 1 or 2, a server named), in number order.
std::vector<Pop3PickupAccount> ReadPop3Pickups(const core::ConfigTree& config);

// One run for the account: connect, collect, quit. False when the run ended early (no connection,
// refused login, a dropped session); what was published before stays published. `stop` (the
// server's stop) is looked at between messages: the run then ends as a complete one would, with the
// record saved and QUIT, and the rest waits for the next run.
bool RunPop3Pickup(const Pop3PickupAccount& account, const std::atomic<bool>* stop = nullptr);

// The recipient header fields, in the order they are read.
inline constexpr const char* kRecipientFields[] = {"To",           "Cc",         "Received",  "X-Envelope-To", "Delivered-To",
                                                   "X-Delivered-To", "X-Real-To", "x-rctp-to", "X-ListMember"};
// The addresses a header names in those fields, in that order, each once (compared without regard
// to case); of "Received" only what stands between "for" and ";".
std::vector<std::string> HeaderAddresses(std::string_view header);

}  // namespace pw::pop3pickup
