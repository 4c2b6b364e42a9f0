// ImapServer: the IMAP module of the service -- its settings ("sys:imap4:timeout", the working
// directory "IMAP" under the store root), start and stop, and the session handler of IMAP4 listener
// instances.
//
// Stop never kills a thread: it marks the module as stopping; the listeners then end each session's
// reads, and every session answers "* BYE [ALERT] Server shutting down immediately" and ends.
// Thread safety: start and stop from the service thread; the settings are read by sessions after start.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pw::imap {

struct ImapSettings {
    // The idle time-out of the states before logout.
    std::chrono::seconds idleTimeout{0};
    // The module's working directory (per-user directories below it), with a trailing "/".
    std::string workingDirectory;
};

// Reads the settings, makes the working directory when it is missing, registers the session handler.
// False (logged) when the working directory can not be used; sessions still run, without it.
bool StartImapServer(const std::string& storeRoot);
// Marks the module as stopping, before the listeners stop.
void StopImapServer();
bool ImapStopping();
ImapSettings CurrentImapSettings();
// The largest message APPEND takes: "sys:imap4:maxmessagesize" (bytes), read at each use, or 64 MiB.
std::uint64_t ImapMaxMessageBytes();

}  // namespace pw::imap
