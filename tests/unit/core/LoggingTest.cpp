// Logging: the level filter, the escaping, the file names and day changes (with an injected clock),
// the line format on disk, the session counters and the sinks.
#include "core/Logging.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSupport.h"
#include "core/RegistryKeys.h"

namespace pw::core {
namespace {

using TimePoint = std::chrono::system_clock::time_point;

// A local time as a time point (the files are named after local dates).
TimePoint LocalTime(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

// Records everything a sink is told.
class RecordingSink : public LoggingEvents {
public:
    struct Event {
        LoggingEventEnum event;
        LoggingLevelEnum level;
        Variant value;
    };
    void NewEvent(LoggingEventEnum event, LoggingLevelEnum level, const Variant& value) override {
        events.push_back({event, level, value});
    }
    std::vector<Event> events;
};

class ThrowingSink : public LoggingEvents {
public:
    void NewEvent(LoggingEventEnum, LoggingLevelEnum, const Variant&) override { throw std::runtime_error("gone"); }
};

class LoggingTest : public ::testing::Test {
protected:
    Registry MakeRegistry() const { return Registry(scratch_ / "pellworth.reg"); }

    void Configure(LogFileTypeEnum type, LoggingLevelEnum level) const {
        const Registry registry = MakeRegistry();
        ASSERT_EQ(registry.SetString(LoggingKey(), "FilePath", Folder()), S_OK);
        ASSERT_EQ(registry.SetDword(LoggingKey(), "FileType", type), S_OK);
        ASSERT_EQ(registry.SetDword(LoggingKey(), "LogLevel", level), S_OK);
    }

    std::string Folder() const { return scratch_ / "logs"; }
    std::string LogFile(std::string_view name) const { return Folder() + "/" + std::string(name); }

    std::unique_ptr<Logging> Make() {
        ::mkdir(Folder().c_str(), 0750);
        return std::make_unique<Logging>(MakeRegistry(), [this] { return now_; });
    }

    test::ScratchDirectory scratch_;
    TimePoint now_ = LocalTime(2026, 12, 8, 18, 17, 11);
};

TEST_F(LoggingTest, FilterTableLetsThroughExactlyTheConfiguredLevels) {
    // configured level -> the line levels 0..8 that pass
    const std::pair<int, std::string> table[] = {
        {0, "........."}, {1, "XXXXXXXXX"}, {2, "..XXXX..."}, {3, "...XXX..."},
        {4, "....XX..."}, {5, ".....X..."}, {6, "XXXXXXXXX"}, {8, "XXXXXXXXX"},
    };
    for (const auto& [configured, expected] : table) {
        std::string got;
        for (int level = 0; level <= 8; ++level) {
            got += Logging::Passes(static_cast<LoggingLevelEnum>(configured), static_cast<LoggingLevelEnum>(level))
                       ? 'X'
                       : '.';
        }
        EXPECT_EQ(got, expected) << "configured level " << configured;
    }
}

TEST_F(LoggingTest, EscapingNeverLetsAPeerForgeALine) {
    EXPECT_EQ(Logging::EscapeAll("a=b \r\n\x7F\xC3\xA9~!<>"), "a\\3Db \\0D\\0A\\7F\\C3\\A9~!<>");
    EXPECT_EQ(Logging::EscapeControls("MAIL FROM:<x>\r\n2026-01-01 - forged\ttab \xC3\xA9="),
              "MAIL FROM:<x>\\0D\\0A2026-01-01 - forged\\09tab \xC3\xA9=");
}

TEST_F(LoggingTest, FileNamesFollowTheFourNamings) {
    const TimePoint when = LocalTime(2026, 3, 7);  // a Saturday in week 9 (weeks begin on Sunday)
    EXPECT_EQ(Logging::FileName(LogFileNone, when), "");
    EXPECT_EQ(Logging::FileName(LogFileContinuous, when), "LogFile.log");
    EXPECT_EQ(Logging::FileName(LogFileDaily, when), "03072026.log");
    EXPECT_EQ(Logging::FileName(LogFileWeekly, when), "092026.log");
    EXPECT_EQ(Logging::FileName(LogFileMonthly, when), "032026.log");
    // 1 January 2026 is a Thursday: the days before the first Sunday are week 00.
    EXPECT_EQ(Logging::FileName(LogFileWeekly, LocalTime(2026, 1, 1)), "002026.log");
    EXPECT_EQ(Logging::FileName(LogFileWeekly, LocalTime(2026, 1, 4)), "012026.log");
}

TEST_F(LoggingTest, NormalLinesCarryPrefixTimeAndCrLf) {
    Configure(LogFileDaily, LogLevelNormal);
    auto logging = Make();
    EXPECT_EQ(logging->LogMessage(LogLevelNormal, "first"), S_OK);
    EXPECT_EQ(logging->LogMessage(LogLevelVerbose, "filtered out"), S_OK);
    EXPECT_EQ(logging->LogMessage(LogLevelCritical, "second\r\nforged"), S_OK);
    EXPECT_EQ(test::ReadFileText(LogFile("12082026.log")),
              "Normal: 2026-12-08 18:17:11 - first\r\n"
              "Critical: 2026-12-08 18:17:11 - second\\0D\\0Aforged\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(LogFile("12082026.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0040u) << "no access for others, read for the group at most";
}

TEST_F(LoggingTest, DebugLinesCarryTheThreadIdAndAreEscapedWhole) {
    Configure(LogFileContinuous, LogLevelDebug);
    auto logging = Make();
    ASSERT_EQ(logging->LogMessage(LogLevelDebug, "CR LF\r\nx=y"), S_OK);
    const std::string expected =
        "Debug: 2026-12-08 18:17:11 " + std::to_string(::gettid()) + " - CR LF\\0D\\0Ax\\3Dy\r\n";
    EXPECT_EQ(test::ReadFileText(LogFile("LogFile.log")), expected);
}

TEST_F(LoggingTest, WarningLevelDropsNormalLinesFromFileAndSinks) {
    Configure(LogFileContinuous, LogLevelWarning);
    auto logging = Make();
    auto sink = std::make_shared<RecordingSink>();
    logging->Advise(sink);
    logging->LogMessage(LogLevelNormal, "quiet");
    logging->LogMessage(LogLevelCritical, "loud");
    EXPECT_EQ(test::ReadFileText(LogFile("LogFile.log")), "Critical: 2026-12-08 18:17:11 - loud\r\n");
    ASSERT_EQ(sink->events.size(), 1u);
    EXPECT_EQ(sink->events[0].event, LogEventMessage);
    EXPECT_EQ(sink->events[0].level, LogLevelCritical);
    EXPECT_EQ(sink->events[0].value, Variant::Text("2026-12-08 18:17:11 - loud"));
}

TEST_F(LoggingTest, DailyFileChangesAfterMidnightAndAppendsOnReopen) {
    Configure(LogFileDaily, LogLevelNormal);
    auto logging = Make();
    now_ = LocalTime(2026, 12, 8, 23, 59, 59);
    logging->LogMessage(LogLevelNormal, "before midnight");
    now_ = LocalTime(2026, 12, 9, 0, 0, 1);
    logging->LogMessage(LogLevelNormal, "after midnight");
    EXPECT_EQ(test::ReadFileText(LogFile("12082026.log")), "Normal: 2026-12-08 23:59:59 - before midnight\r\n");
    EXPECT_EQ(test::ReadFileText(LogFile("12092026.log")), "Normal: 2026-12-09 00:00:01 - after midnight\r\n");

    // A new object (a restart) appends to the day's file instead of truncating it.
    logging = Make();
    logging->LogMessage(LogLevelNormal, "after restart");
    EXPECT_EQ(test::ReadFileText(LogFile("12092026.log")),
              "Normal: 2026-12-09 00:00:01 - after midnight\r\nNormal: 2026-12-09 00:00:01 - after restart\r\n");
}

// A quiet log whose next line comes on the same day of another month (or year) goes to that day's
// file, not to the one still open.
TEST_F(LoggingTest, SameDayOfAnotherMonthOrYearGetsItsOwnFile) {
    Configure(LogFileDaily, LogLevelNormal);
    auto logging = Make();
    const std::vector<std::pair<TimePoint, std::string>> days = {{LocalTime(2026, 3, 9), "03092026.log"},
                                                                 {LocalTime(2026, 4, 9), "04092026.log"},
                                                                 {LocalTime(2027, 4, 9), "04092027.log"}};
    for (const auto& [when, name] : days) {
        now_ = when;
        logging->LogMessage(LogLevelNormal, name);
    }
    for (const auto& [when, name] : days) {
        EXPECT_EQ(test::ReadFileText(LogFile(name)), "Normal: " + name.substr(4, 4) + "-" + name.substr(0, 2) + "-" +
                                                         name.substr(2, 2) + " 12:00:00 - " + name + "\r\n");
    }
}

TEST_F(LoggingTest, UnopenableFolderFailsTheCallButStillReachesSinks) {
    Configure(LogFileDaily, LogLevelNormal);
    auto logging = Make();
    ASSERT_EQ(logging->SetLogFolder(scratch_ / "missing/folder"), S_OK);
    auto sink = std::make_shared<RecordingSink>();
    logging->Advise(sink);
    EXPECT_EQ(logging->LogMessage(LogLevelNormal, "nowhere to go"), HresultFromWin32(win32::kFileNotFound));
    EXPECT_EQ(sink->events.size(), 1u);
    // In-process callers go on.
    SetProcessLogging(std::shared_ptr<Logging>(logging.release()));
    EXPECT_NO_THROW(Log(LogLevelCritical, "still fine"));
    SetProcessLogging(nullptr);
}

TEST_F(LoggingTest, PlantedSymlinkIsNeverFollowed) {
    Configure(LogFileContinuous, LogLevelNormal);
    auto logging = Make();
    test::WriteFileText(scratch_ / "victim", "precious");
    ASSERT_EQ(::symlink((scratch_ / "victim").c_str(), LogFile("LogFile.log").c_str()), 0);
    EXPECT_TRUE(Failed(logging->LogMessage(LogLevelNormal, "overwrite?")));
    EXPECT_EQ(test::ReadFileText(scratch_ / "victim"), "precious");
}

TEST_F(LoggingTest, SettingsAreReadAtCreationAndWrittenByEachPut) {
    Configure(LogFileWeekly, LogLevelCritical);
    auto logging = Make();
    EXPECT_EQ(logging->LogFolder(), Folder());
    EXPECT_EQ(logging->LogFileType(), LogFileWeekly);
    EXPECT_EQ(logging->LogMessageLevel(), LogLevelCritical);

    EXPECT_EQ(logging->SetLogFileType(LogFileMonthly), S_OK);
    EXPECT_EQ(logging->SetLogMessageLevel(LogLevelDebug), S_OK);
    EXPECT_EQ(logging->SetLogFolder("/var/log/elsewhere"), S_OK);
    EXPECT_EQ(logging->SetLogFileType(static_cast<LogFileTypeEnum>(9)), E_INVALIDARG);
    const Registry registry = MakeRegistry();
    EXPECT_EQ(registry.GetDword(LoggingKey(), "FileType"), 4u);
    EXPECT_EQ(registry.GetDword(LoggingKey(), "LogLevel"), 1u);
    EXPECT_EQ(registry.GetString(LoggingKey(), "FilePath"), "/var/log/elsewhere");

    // Changing the naming closes the open file: the next line goes to the new name.
    logging->SetLogFolder(Folder());
    logging->SetLogMessageLevel(LogLevelNormal);
    logging->LogMessage(LogLevelNormal, "monthly");
    logging->SetLogFileType(LogFileContinuous);
    logging->LogMessage(LogLevelNormal, "continuous");
    EXPECT_EQ(test::ReadFileText(LogFile("122026.log")), "Normal: 2026-12-08 18:17:11 - monthly\r\n");
    EXPECT_EQ(test::ReadFileText(LogFile("LogFile.log")), "Normal: 2026-12-08 18:17:11 - continuous\r\n");
}

TEST_F(LoggingTest, SessionCountersAndSinksSeeEveryStartAndEnd) {
    auto logging = Make();
    auto sink = std::make_shared<RecordingSink>();
    const auto cookie = logging->Advise(sink);
    logging->Advise(std::make_shared<ThrowingSink>());  // a broken client never stops the others
    logging->LogEvent(LogEventSMTPServer, LogLevelEventStart, Variant::I4(0));
    logging->LogEvent(LogEventSMTPServer, LogLevelEventStart, Variant::I4(0));
    logging->LogEvent(LogEventSMTPServer, LogLevelEventEnd, Variant::I4(0));
    logging->LogEvent(LogEventRouter, LogLevelEventStart, Variant::Text("not counted"));
    EXPECT_EQ(logging->SMTPServerSessions(), 1);
    EXPECT_EQ(logging->POP3ServerSessions(), 0);
    ASSERT_EQ(sink->events.size(), 4u);
    EXPECT_EQ(sink->events[0].value, Variant::I4(1));
    EXPECT_EQ(sink->events[1].value, Variant::I4(2));
    EXPECT_EQ(sink->events[2].value, Variant::I4(1));
    EXPECT_EQ(sink->events[3].value, Variant::Text("not counted"));

    logging->Unadvise(cookie);
    logging->LogEvent(LogEventIMAPServer, LogLevelEventStart, Variant::I4(0));
    EXPECT_EQ(sink->events.size(), 4u);
    EXPECT_EQ(logging->IMAPServerSessions(), 1);
}

TEST_F(LoggingTest, ServerActiveAnswersFromTheListenerDirectory) {
    class TwoListeners : public ListenerDirectory {
    public:
        std::size_t ListenerCount() const override { return 2; }
        bool ListenerInfo(std::size_t index, ServerActivity& info) const override {
            if (index >= 2) return false;
            info = {index == 0 ? SMTPServerType : POP3ServerType, 0, static_cast<std::uint16_t>(index == 0 ? 25 : 110),
                    S_OK};
            return true;
        }
    };
    auto logging = Make();
    ServerActivity info;
    EXPECT_EQ(logging->NumberServers(), 0);
    EXPECT_EQ(logging->ServerActive(0, info), S_FALSE);
    logging->SetListenerDirectory(std::make_shared<TwoListeners>());
    EXPECT_EQ(logging->NumberServers(), 2);
    EXPECT_EQ(logging->ServerActive(1, info), S_OK);
    EXPECT_EQ(info.type, POP3ServerType);
    EXPECT_EQ(info.port, 110);
    EXPECT_EQ(logging->ServerActive(2, info), S_FALSE);
    EXPECT_EQ(logging->ServerActive(-1, info), S_FALSE);
}

TEST_F(LoggingTest, ConcurrentLinesNeverInterleave) {
    Configure(LogFileContinuous, LogLevelNormal);
    auto logging = Make();
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) logging->LogMessage(LogLevelNormal, "thread " + std::to_string(t) + " line");
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string text = test::ReadFileText(LogFile("LogFile.log"));
    std::size_t lines = 0;
    for (std::size_t pos = 0; (pos = text.find("\r\n", pos)) != std::string::npos; pos += 2) ++lines;
    EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kLines));
    for (int t = 0; t < kThreads; ++t) {
        const std::string line = "Normal: 2026-12-08 18:17:11 - thread " + std::to_string(t) + " line\r\n";
        std::size_t count = 0;
        for (std::size_t pos = 0; (pos = text.find(line, pos)) != std::string::npos; pos += line.size()) ++count;
        EXPECT_EQ(count, static_cast<std::size_t>(kLines));
    }
}

}  // namespace
}  // namespace pw::core
