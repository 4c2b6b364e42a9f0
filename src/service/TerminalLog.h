// TerminalLog: the log's lines on a terminal, for a server started by hand in the foreground.
//
// A sink of the process's Logging object, connected at start-up by the service when standard error
// is a terminal: every line that passes the configured level (the same text the log file gets, without
// its level prefix) is written to the descriptor as one line. Under systemd standard error is the
// journal's stream, not a terminal, so the sink is not connected and the journal gets the event log
// through syslog alone; on a terminal the event log's own echo is switched off instead, so no line
// shows twice. Library code never writes to the terminal itself: it logs through core::Log.
// Thread safety: any thread; one write(2) per line keeps lines whole.
#pragma once

#include "core/Logging.h"

namespace pw::service {

class TerminalLog : public core::LoggingEvents {
public:
    explicit TerminalLog(int fd) : fd_(fd) {}
    void NewEvent(core::LoggingEventEnum event, core::LoggingLevelEnum level, const Variant& value) override;

    // Should a server whose standard error is `fd` show its log there?
    static bool WantedFor(int fd);

private:
    int fd_;
};

}  // namespace pw::service
