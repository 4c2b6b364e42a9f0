// Dialer: the dial-up connection a send/receive cycle opens before it talks to other servers and
// closes after ("sys:connection:type" 2).
//
// The connection is made by programs the administrator names in the registry, under
// "Software\Quillon\Tessaline\Pellworth\Dialer": "DialCommand" and "HangUpCommand" (text, split at
// blanks and run without a shell; an argument "%ENTRY%" becomes "sys:connection:rasentry") and
// "Timeout" (seconds a command may take, 120). A dial that exits 0 within its time is a connection;
// one that outlives it is ended (its whole process group) and counts as failed. Without a
// "DialCommand" every dial fails. The account and password ("sys:connection:account", ":password")
// reach the command only in its environment (PELLWORTH_DIAL_ACCOUNT, PELLWORTH_DIAL_PASSWORD), and only
// when both are set: never in its arguments, which every user of the machine can read, nor in the log.
// The commands run as the service's user, inside its sandbox.
// Thread safety: one object per cycle.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "core/ConfigTree.h"
#include "platform/Registry.h"

namespace pw::smtp {

enum ConnectionTypeEnum { ConnectionTypeNone = 0, ConnectionTypeNetwork = 1, ConnectionTypeRAS = 2, ConnectionTypeProxy = 3 };

inline constexpr std::chrono::seconds kDefaultDialTimeout{120};

ConnectionTypeEnum ReadConnectionType(const core::ConfigTree& config);

class Dialer {
public:
    // The settings as they stand now.
    Dialer(const core::ConfigTree& config, const Registry& registry);

    // Does a cycle dial? The connection type is dial-up and an entry is named.
    bool Wanted() const { return type_ == ConnectionTypeRAS && !entry_.empty(); }
    // Tries "sys:connection:retries" + 1 times, logging text 102 after each failed try and 103 when
    // every try failed; true when connected.
    bool Dial();
    // Runs the hang-up command (when there is one) and waits for it.
    void HangUp();

private:
    std::vector<std::string> Command(const std::string& text) const;

    ConnectionTypeEnum type_ = ConnectionTypeNone;
    std::string entry_;
    int retries_ = 0;
    std::string account_;
    std::string password_;
    std::string dialCommand_;
    std::string hangUpCommand_;
    std::chrono::seconds timeout_ = kDefaultDialTimeout;
};

}  // namespace pw::smtp
