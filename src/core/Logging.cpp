// Logging: filter, line format, log files, counters and sinks.
#include "core/Logging.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "core/LanguageTexts.h"
#include "core/RegistryKeys.h"
#include "platform/Text.h"

namespace pw::core {

const Guid kLoggingClassId = *Guid::Parse("{8C945C33-F3A4-45ED-895D-6100273B2257}");

namespace {

constexpr mode_t kLogFileMode = 0640;

// The language texts of the level prefixes, by level 1 (Debug) to 5 (Critical).
constexpr int kPrefixText[6] = {0, 202, 204, 203, 206, 205};
constexpr const char* kPrefixFallback[6] = {"", "Debug:", "Verbose:", "Normal:", "Warning:", "Critical:"};

std::tm LocalTime(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

// The whole local date as one number: a quiet month or year must not look like the same day.
int DateKey(const std::tm& local) { return (local.tm_year + 1900) * 1000 + local.tm_yday; }

std::string Strftime(const char* format, const std::tm& local) {
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, length);
}

void AppendEscaped(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '\\';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

LogFileTypeEnum FileTypeFromRegistry(std::uint32_t value) {
    return value <= LogFileMonthly ? static_cast<LogFileTypeEnum>(value) : LogFileNone;
}

std::mutex gProcessLock;
std::shared_ptr<Logging> gProcessLogging;

}  // namespace

Logging::Logging(Registry registry, Clock clock) : registry_(std::move(registry)), clock_(std::move(clock)) {
    const std::string key = LoggingKey();
    folder_ = registry_.GetString(key, "FilePath").value_or("");
    fileType_ = FileTypeFromRegistry(registry_.GetDword(key, "FileType").value_or(LogFileNone));
    level_ = static_cast<LoggingLevelEnum>(registry_.GetDword(key, "LogLevel").value_or(LogLevelNormal));
    for (int level = LogLevelDebug; level <= LogLevelCritical; ++level) {
        std::string prefix = LoadText(kPrefixText[level]);
        prefixes_[level] = prefix.empty() ? kPrefixFallback[level] : prefix;
    }
}

Logging::~Logging() = default;

bool Logging::Passes(LoggingLevelEnum configured, LoggingLevelEnum level) {
    if (configured == LogLevelNone) return false;
    if (configured == LogLevelDebug || configured >= LogLevelStatus) return true;
    return level >= configured && level <= LogLevelCritical;
}

std::string Logging::EscapeAll(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == ' ' || (byte >= 33 && byte <= 60) || (byte >= 62 && byte <= 126)) {
            out += c;
        } else {
            AppendEscaped(out, byte);
        }
    }
    return out;
}

std::string Logging::EscapeControls(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            AppendEscaped(out, byte);
        } else {
            out += c;
        }
    }
    return out;
}

std::string Logging::FileName(LogFileTypeEnum type, std::chrono::system_clock::time_point when) {
    const std::tm local = LocalTime(when);
    switch (type) {
    case LogFileContinuous: return "LogFile.log";
    case LogFileDaily: return Strftime("%m%d%Y", local) + ".log";
    case LogFileWeekly: return Strftime("%U%Y", local) + ".log";
    case LogFileMonthly: return Strftime("%m%Y", local) + ".log";
    default: return {};
    }
}

HRESULT Logging::LogMessage(LoggingLevelEnum level, std::string_view text) {
    return LogMessageEx(LogEventMessage, level, text);
}

HRESULT Logging::LogMessageEx(LoggingEventEnum event, LoggingLevelEnum level, std::string_view text) {
    const auto now = clock_();
    std::string line;
    HRESULT hr = S_OK;
    {
        std::lock_guard guard(lock_);
        if (!Passes(level_, level)) return S_OK;
        const std::string stamp = Strftime("%Y-%m-%d %H:%M:%S", LocalTime(now));
        if (level_ == LogLevelDebug) {
            line = EscapeAll(stamp + " " + std::to_string(::gettid()) + " - " + std::string(text));
        } else {
            line = stamp + " - " + EscapeControls(text);
        }
        if (fileType_ != LogFileNone) hr = WriteLine(level, line, now);
    }
    Notify(event, level, Variant::Text(line));
    return hr;
}

HRESULT Logging::WriteLine(LoggingLevelEnum level, const std::string& line, std::chrono::system_clock::time_point now) {
    const std::tm local = LocalTime(now);
    if (file_ && DateKey(local) != openedDate_) CloseFile();
    if (!file_) {
        if (folder_.empty()) return HresultFromWin32(win32::kPathNotFound);
        const std::string path = folder_ + (folder_.back() == '/' ? "" : "/") + FileName(fileType_, now);
        file_.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, kLogFileMode));
        if (!file_) return HresultFromWin32(Win32ErrorFromErrno(errno));
        openedDate_ = DateKey(local);
    }
    std::string record;
    if (level >= LogLevelDebug && level <= LogLevelCritical) {
        record = prefixes_[level];
        if (!record.empty() && record.back() != ' ' && record.back() != '\t') record += ' ';
    }
    record += line;
    record += "\r\n";
    std::string_view rest = record;
    while (!rest.empty()) {
        const ssize_t put = ::write(file_.Get(), rest.data(), rest.size());
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return HresultFromWin32(Win32ErrorFromErrno(errno));
        rest.remove_prefix(static_cast<std::size_t>(put));
    }
    return S_OK;
}

void Logging::CloseFile() { file_.Reset(); }

HRESULT Logging::LogEvent(LoggingEventEnum event, LoggingLevelEnum level, const Variant& value) {
    Variant sent = value;
    if (event >= LogEventPOP3Pickup && event <= LogEventIMAPServer) {
        std::atomic<long>& counter = counters_[event];
        if (level == LogLevelEventStart) sent = Variant::I4(static_cast<std::int32_t>(++counter));
        if (level == LogLevelEventEnd) sent = Variant::I4(static_cast<std::int32_t>(--counter));
    }
    Notify(event, level, sent);
    return S_OK;
}

long Logging::Counter(LoggingEventEnum event) const { return counters_[event].load(); }

void Logging::Notify(LoggingEventEnum event, LoggingLevelEnum level, const Variant& value) {
    std::vector<std::shared_ptr<LoggingEvents>> sinks;
    {
        std::lock_guard guard(sinksLock_);
        for (const auto& entry : sinks_) sinks.push_back(entry.second);
    }
    for (const auto& sink : sinks) {
        try {
            sink->NewEvent(event, level, value);
        } catch (const std::exception&) {
            // A sink that fails is skipped; the others and the logging thread go on.
        }
    }
}

template <typename T>
T Logging::Setting(const T& setting) const {
    std::lock_guard guard(lock_);
    return setting;
}

template <typename T>
void Logging::TakeSetting(T& setting, T value, bool namesFile) {
    std::lock_guard guard(lock_);
    setting = std::move(value);
    // The next line opens the file the new setting names.
    if (namesFile) CloseFile();
}

std::string Logging::LogFolder() const { return Setting(folder_); }

HRESULT Logging::SetLogFolder(std::string_view folder) {
    TakeSetting(folder_, std::string(folder), true);
    return registry_.SetString(LoggingKey(), "FilePath", folder);
}

LogFileTypeEnum Logging::LogFileType() const { return Setting(fileType_); }

HRESULT Logging::SetLogFileType(LogFileTypeEnum type) {
    if (type < LogFileNone || type > LogFileMonthly) return E_INVALIDARG;
    TakeSetting(fileType_, type, true);
    return registry_.SetDword(LoggingKey(), "FileType", static_cast<std::uint32_t>(type));
}

LoggingLevelEnum Logging::LogMessageLevel() const { return Setting(level_); }

HRESULT Logging::SetLogMessageLevel(LoggingLevelEnum level) {
    if (level < LogLevelNone || level > LogLevelEventEnd) return E_INVALIDARG;
    TakeSetting(level_, level, false);
    return registry_.SetDword(LoggingKey(), "LogLevel", static_cast<std::uint32_t>(level));
}

long Logging::NumberServers() const {
    std::lock_guard guard(sinksLock_);
    return listeners_ ? static_cast<long>(listeners_->ListenerCount()) : 0;
}

HRESULT Logging::ServerActive(long index, ServerActivity& info) const {
    std::shared_ptr<const ListenerDirectory> listeners;
    {
        std::lock_guard guard(sinksLock_);
        listeners = listeners_;
    }
    if (!listeners || index < 0 || !listeners->ListenerInfo(static_cast<std::size_t>(index), info)) return S_FALSE;
    return S_OK;
}

void Logging::SetListenerDirectory(std::shared_ptr<const ListenerDirectory> listeners) {
    std::lock_guard guard(sinksLock_);
    listeners_ = std::move(listeners);
}

std::uint32_t Logging::Advise(std::shared_ptr<LoggingEvents> sink) {
    std::lock_guard guard(sinksLock_);
    const std::uint32_t cookie = nextCookie_++;
    sinks_.emplace_back(cookie, std::move(sink));
    return cookie;
}

void Logging::Unadvise(std::uint32_t cookie) {
    std::lock_guard guard(sinksLock_);
    std::erase_if(sinks_, [cookie](const auto& entry) { return entry.first == cookie; });
}

void SetProcessLogging(std::shared_ptr<Logging> logging) {
    std::lock_guard guard(gProcessLock);
    gProcessLogging = std::move(logging);
}

std::shared_ptr<Logging> ProcessLogging() {
    std::lock_guard guard(gProcessLock);
    return gProcessLogging;
}

void Log(LoggingLevelEnum level, std::string_view text) {
    if (const auto logging = ProcessLogging()) logging->LogMessage(level, text);
}

void LogSessionEvent(LoggingEventEnum event, LoggingLevelEnum level) {
    if (const auto logging = ProcessLogging()) logging->LogEvent(event, level, Variant::I4(0));
}

void RegisterLoggingClass(ClassRegistry& registry) {
    registry.Register({kLoggingClassId, "Pellworth.Logging", "Logging", []() -> std::shared_ptr<Unknown> {
                           if (auto logging = ProcessLogging()) return logging;
                           return std::make_shared<Logging>(Registry::System());
                       }});
}

}  // namespace pw::core
