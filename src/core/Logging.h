// Logging: the one diagnostic log of the process -- level filter, log files, session counters, and
// the NewEvent notification to connected sinks.
//
// Every part writes through the process's Logging object (Log, below): LogMessage(level, text) for a
// line, LogEvent for a session's start or end. A line passes the level filter (the configured level
// and above up to Critical; Debug and levels 6 and up pass everything), is stamped with the local
// time ("YYYY-MM-DD HH:MM:SS"), is appended to the log file of the configured naming -- "LogFile.log",
// or one file per day ("%m%d%Y.log"), week ("%U%Y.log") or month ("%m%Y.log") -- with the level's
// prefix (texts 202 to 206) and CR LF, and goes to every sink. At the Debug level the line carries the
// thread id and is escaped byte by byte (only space and the printable bytes other than "=" stay);
// at every other level control characters are escaped, so a peer's text can never forge a line.
//
// The three settings live in the registry under Software\Quillon\Tessaline\Pellworth\Logging
// (`FilePath`, `FileType`, `LogLevel`): read when the object is made, written by each setter.
// Files are opened when the first line needs them, closed at a change of day, of naming or of folder;
// they are created with mode 0640, appended to with one write per line, and never reached through a
// symbolic link planted in the folder. A folder that can not be opened makes the call return the
// system error; the line still reaches the sinks, and in-process callers go on (Log never throws).
// Thread safety: any thread; lines are written under the object's lock, sinks called outside it.
#pragma once

#include "platform/ClassRegistry.h"
#include "platform/Registry.h"
#include "platform/UniqueFd.h"
#include "platform/Variant.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pw::core {

enum LoggingLevelEnum : std::int32_t {
    LogLevelNone = 0,
    LogLevelDebug = 1,
    LogLevelVerbose = 2,
    LogLevelNormal = 3,
    LogLevelWarning = 4,
    LogLevelCritical = 5,
    LogLevelStatus = 6,
    LogLevelEventStart = 7,
    LogLevelEventEnd = 8,
};

enum LoggingEventEnum : std::int32_t {
    LogEventNone = 0,
    LogEventMessage = 1,
    LogEventRouter = 2,
    LogEventPOP3Pickup = 3,
    LogEventSMTPTransport = 4,
    LogEventPOP3Server = 5,
    LogEventSMTPServer = 6,
    LogEventIMAPServer = 7,
};

enum LogFileTypeEnum : std::int32_t {
    LogFileNone = 0,
    LogFileContinuous = 1,
    LogFileDaily = 2,
    LogFileWeekly = 3,
    LogFileMonthly = 4,
};

enum ServerTypeEnum : std::int32_t {
    UnknownServerType = 0,
    SMTPServerType = 1,
    POP3ServerType = 2,
    IMAPServerType = 3,
    LDAPServerType = 4,
};

// {8C945C33-F3A4-45ED-895D-6100273B2257}
extern const Guid kLoggingClassId;

// A connected client of the log (_ILoggingEvents). Called outside the log's lock, from the thread
// that logged; a sink that throws is skipped.
class LoggingEvents {
public:
    virtual ~LoggingEvents() = default;
    virtual void NewEvent(LoggingEventEnum event, LoggingLevelEnum level, const Variant& value) = 0;
};

// One listener as ServerActive reports it.
struct ServerActivity {
    ServerTypeEnum type = UnknownServerType;
    std::uint32_t address = 0;  // IPv4, network byte order
    std::uint16_t port = 0;     // host byte order
    HRESULT status = S_OK;
};

// The listener set answers for NumberServers and ServerActive once it exists.
class ListenerDirectory {
public:
    virtual ~ListenerDirectory() = default;
    virtual std::size_t ListenerCount() const = 0;
    virtual bool ListenerInfo(std::size_t index, ServerActivity& info) const = 0;
};

class Logging : public Unknown {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    explicit Logging(Registry registry, Clock clock = std::chrono::system_clock::now);
    ~Logging() override;

    HRESULT LogMessage(LoggingLevelEnum level, std::string_view text);
    HRESULT LogMessageEx(LoggingEventEnum event, LoggingLevelEnum level, std::string_view text);
    HRESULT LogEvent(LoggingEventEnum event, LoggingLevelEnum level, const Variant& value);

    std::string LogFolder() const;
    HRESULT SetLogFolder(std::string_view folder);
    LogFileTypeEnum LogFileType() const;
    HRESULT SetLogFileType(LogFileTypeEnum type);
    LoggingLevelEnum LogMessageLevel() const;
    HRESULT SetLogMessageLevel(LoggingLevelEnum level);

    long POP3PickupSessions() const { return Counter(LogEventPOP3Pickup); }
    long SMTPTransportSessions() const { return Counter(LogEventSMTPTransport); }
    long POP3ServerSessions() const { return Counter(LogEventPOP3Server); }
    long SMTPServerSessions() const { return Counter(LogEventSMTPServer); }
    long IMAPServerSessions() const { return Counter(LogEventIMAPServer); }

    long NumberServers() const;
    // S_FALSE when there is no listener of that index.
    HRESULT ServerActive(long index, ServerActivity& info) const;
    void SetListenerDirectory(std::shared_ptr<const ListenerDirectory> listeners);

    // Connects a sink; the cookie disconnects it again.
    std::uint32_t Advise(std::shared_ptr<LoggingEvents> sink);
    void Unadvise(std::uint32_t cookie);

    // The name of the file a line would go to at a given time (empty for LogFileNone).
    static std::string FileName(LogFileTypeEnum type, std::chrono::system_clock::time_point when);
    // Does the filter of a configured level let a line of `level` through?
    static bool Passes(LoggingLevelEnum configured, LoggingLevelEnum level);
    // The line as the Debug level writes it: every byte but space, 33-60 and 62-126 as \XX.
    static std::string EscapeAll(std::string_view line);
    // The line as the other levels write it: control characters (and DEL) as \XX.
    static std::string EscapeControls(std::string_view line);

private:
    long Counter(LoggingEventEnum event) const;
    // A setting read under the lock.
    template <typename T>
    T Setting(const T& setting) const;
    // A setting changed under the lock; one that names the log file (folder, naming) closes it.
    // The caller records it in the registry afterwards, outside the lock.
    template <typename T>
    void TakeSetting(T& setting, T value, bool namesFile);
    HRESULT WriteLine(LoggingLevelEnum level, const std::string& line, std::chrono::system_clock::time_point now);
    void CloseFile();
    void Notify(LoggingEventEnum event, LoggingLevelEnum level, const Variant& value);

    const Registry registry_;
    const Clock clock_;
    mutable std::mutex lock_;
    std::string folder_;
    LogFileTypeEnum fileType_ = LogFileNone;
    LoggingLevelEnum level_ = LogLevelNormal;
    std::array<std::string, 6> prefixes_;  // by level 1..5
    UniqueFd file_;
    int openedDate_ = 0;  // the local date the file was opened on (year and day of the year)

    std::array<std::atomic<long>, 8> counters_{};  // by event 3..7
    mutable std::mutex sinksLock_;
    std::vector<std::pair<std::uint32_t, std::shared_ptr<LoggingEvents>>> sinks_;
    std::uint32_t nextCookie_ = 1;
    std::shared_ptr<const ListenerDirectory> listeners_;
};

// The process's Logging object: made by the service at start-up, released last at shutdown.
void SetProcessLogging(std::shared_ptr<Logging> logging);
std::shared_ptr<Logging> ProcessLogging();

// Writes a line through the process's Logging object; nothing happens before it exists. Never throws:
// a log that can not be written must not end a session or a delivery.
void Log(LoggingLevelEnum level, std::string_view text);
void LogSessionEvent(LoggingEventEnum event, LoggingLevelEnum level);

// Registers the Logging class ("Pellworth.Logging"); creating it gives the process's object.
void RegisterLoggingClass(ClassRegistry& registry);

}  // namespace pw::core
