// SmtpPickupJob: collecting the mail another server holds for us -- connect to it, ask it with ETRN
// (or ATRN, after authenticating) to deliver the queue of a node, and wait while it connects back to
// our SMTP listener.
//
// Configured per pickup n ("sys:smtppickup:%d", from 0 until one is missing; type 0 is skipped):
// "type" (SMTPPickupEnum), "server", "port" (25; stored as the listeners' ports are), "send" (the
// node), "account", "password", "timeout" (seconds, 300); "sys:smtppickup:ip" is the local address of
// every pickup connection. The server's address is listed in the PickupReturnList before ETRN or ATRN
// goes (the connect-back may beat the reply); a NOOP each second keeps the connection while it stays
// listed, and the job ends at the first check after a session from that address greeted us, or when
// the time-out runs out (text 5025, a warning). A pickup given a host name lists the address it
// connected to. A refused command or login ends the job with QUIT; a failure ends this job only.
// The address map of pickup n ("sys:smtppickup:%d:addressmap:%d:fromemail" and ":toemails", from 0
// until one is missing) is applied by the SMTP sessions the pickup brought back.
// Thread safety: a job is run by one thread; ReadSmtpPickups and ReadPickupAddressMap read the
// configuration under its lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ConfigTree.h"

namespace pw::smtp {

enum SMTPPickupEnum { SMTPPickupNone = 0, SMTPPickupETRN = 1, SMTPPickupATRN = 2 };

inline constexpr int kDefaultPickupTimeoutSeconds = 300;

class SmtpPickupJob {
public:
    int number = 0;  // n of "sys:smtppickup:%d"
    SMTPPickupEnum type = SMTPPickupNone;
    std::string server;
    std::uint16_t port = 25;
    std::string node;  // "send"
    std::string account;
    std::string password;
    int timeoutSeconds = kDefaultPickupTimeoutSeconds;

    // Runs the pickup to its end; `stop` ends the wait for the connect-back. `replyTimeLimit` shortens
    // the client's reply time-outs (0: the usual ones).
    void Run(const std::atomic<bool>& stop, int replyTimeLimit) const;
};

// The configured pickups of type ETRN or ATRN, in number order.
std::vector<SmtpPickupJob> ReadSmtpPickups(const core::ConfigTree& config);

struct AddressMapping {
    std::string from;             // compared without regard to case
    std::vector<std::string> to;  // what a recipient equal to `from` becomes
};
std::vector<AddressMapping> ReadPickupAddressMap(const core::ConfigTree& config, int pickup);
// The recipients `recipient` stands for under the map: its "toemails", or itself.
std::vector<std::string> MapRecipient(const std::vector<AddressMapping>& map, const std::string& recipient);

}  // namespace pw::smtp
