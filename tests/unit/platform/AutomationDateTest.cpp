// AutomationDate: the serial numbers automation clients expect (including negative dates, whose time
// of day still counts forward), calendar round trips across leap days, local time and the ISO text.
#include "platform/AutomationDate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <ctime>
#include <optional>
#include <string>

namespace pw {
namespace {

constexpr double kOneSecond = 1.0 / kSecondsPerDay;

bool IsLeap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

std::string FieldsText(const DateFields& f) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d wd%d", f.year, f.month, f.day, f.hour,
                  f.minute, f.second, f.weekday);
    return buffer;
}

// Sets TZ for the lifetime of the object and restores the previous value.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            ::setenv("TZ", previous_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> previous_;
};

TEST(AutomationDateTest, SerialNumbersMatchTheAutomationEpoch) {
    EXPECT_EQ(DateFromFields(1899, 12, 30), 0.0);
    EXPECT_EQ(DateFromFields(1899, 12, 31), 1.0);
    EXPECT_EQ(DateFromFields(1900, 1, 1), 2.0);
    EXPECT_EQ(DateFromFields(1900, 3, 1), 61.0) << "1900 is not a leap year";
    EXPECT_EQ(DateFromFields(2000, 1, 1), 36526.0);
    EXPECT_EQ(DateFromFields(2000, 1, 1, 12), 36526.5);
    EXPECT_EQ(DateFromFields(1899, 12, 29, 6), -1.25);
    EXPECT_EQ(DateFromFields(1899, 12, 28, 18), -2.75);
    EXPECT_EQ(DateFromFields(1899, 12, 29), -1.0);

    const DateFields back = FieldsFromDate(-1.25);
    EXPECT_EQ(FieldsText(back), "1899-12-29 06:00:00 wd5");
    EXPECT_EQ(FieldsText(FieldsFromDate(-2.75)), "1899-12-28 18:00:00 wd4");
    EXPECT_EQ(FieldsText(FieldsFromDate(0)), "1899-12-30 00:00:00 wd6");
    EXPECT_EQ(FieldsText(FieldsFromDate(DateFromFields(2026, 12, 8, 18, 0, 5))), "2026-12-08 18:00:05 wd2");
}

TEST(AutomationDateTest, EveryDayRoundTripsThroughItsFieldsAcrossLeapYearsAndCenturies) {
    for (const auto& [first, last] : {std::pair{1796, 1804}, std::pair{1895, 1905}, std::pair{1996, 2004},
                                     std::pair{2096, 2104}, std::pair{2396, 2401}}) {
        double previous = DateFromFields(first, 1, 1) - 1;
        int previousWeekday = FieldsFromDate(previous).weekday;
        for (int year = first; year <= last; ++year) {
            for (int month = 1; month <= 12; ++month) {
                for (int day = 1; day <= DaysInMonth(year, month); ++day) {
                    const Date midnight = DateFromFields(year, month, day);
                    ASSERT_EQ(midnight, previous + 1) << year << "-" << month << "-" << day << ": no gap, no overlap";
                    const Date afternoon = DateFromFields(year, month, day, 13, 45, 30);
                    const DateFields f = FieldsFromDate(afternoon);
                    ASSERT_EQ(f.year, year);
                    ASSERT_EQ(f.month, month);
                    ASSERT_EQ(f.day, day) << year << "-" << month;
                    ASSERT_EQ(f.hour, 13);
                    ASSERT_EQ(f.minute, 45);
                    ASSERT_EQ(f.second, 30) << year << "-" << month << "-" << day;
                    ASSERT_EQ(f.weekday, (previousWeekday + 1) % 7);
                    previous = midnight;
                    previousWeekday = f.weekday;
                }
            }
        }
    }
    EXPECT_EQ(FieldsText(FieldsFromDate(DateFromFields(2024, 2, 29, 23, 59, 59))), "2024-02-29 23:59:59 wd4");
    EXPECT_EQ(FieldsText(FieldsFromDate(DateFromFields(2000, 2, 29))), "2000-02-29 00:00:00 wd2");
}

TEST(AutomationDateTest, SecondsRoundToTheNearestAndCarryIntoTheNextDay) {
    EXPECT_EQ(FieldsText(FieldsFromDate(DateFromFields(2026, 1, 1, 10, 0, 0) + 0.4 * kOneSecond)),
              "2026-01-01 10:00:00 wd4");
    EXPECT_EQ(FieldsText(FieldsFromDate(DateFromFields(2026, 1, 1, 10, 0, 0) + 0.6 * kOneSecond)),
              "2026-01-01 10:00:01 wd4");
    EXPECT_EQ(FieldsText(FieldsFromDate(DateFromFields(2026, 12, 31, 23, 59, 59) + 0.6 * kOneSecond)),
              "2027-01-01 00:00:00 wd5");
}

TEST(AutomationDateTest, NegativeDatesCarryForwardIntoTheNextDay) {
    // 29 December 1899, 23:59:59.6 is -1.9999954; it rounds to midnight of the 30th, serial 0.
    const Date lateOn29th = DateFromFields(1899, 12, 29, 23, 59, 59) - 0.6 * kOneSecond;
    ASSERT_LT(lateOn29th, -1.99);
    const std::string got = FieldsText(FieldsFromDate(lateOn29th));
    EXPECT_EQ(got, "1899-12-30 00:00:00 wd6");
    EXPECT_EQ(FieldsText(FieldsFromDate(DateFromFields(1800, 6, 30, 23, 59, 59) - 0.6 * kOneSecond)),
              "1800-07-01 00:00:00 wd2");
}

TEST(AutomationDateTest, DatesOutsideTheAutomationRangeReadAsItsNearestEnd) {
    // A property file or a client may hold any double; none may overflow the calendar's integers.
    EXPECT_EQ(DateToIsoText(DateFromFields(100, 1, 1)), "0100-01-01 00:00:00");
    EXPECT_EQ(DateToIsoText(DateFromFields(9999, 12, 31, 23, 59, 59)), "9999-12-31 23:59:59");
    EXPECT_EQ(DateToIsoText(-2.67116e+186), "0100-01-01 23:59:59");
    EXPECT_EQ(DateToIsoText(-HUGE_VAL), "0100-01-01 23:59:59");
    EXPECT_EQ(DateToIsoText(1e300), "9999-12-31 23:59:59");
    EXPECT_EQ(DateToIsoText(HUGE_VAL), "9999-12-31 23:59:59");
    EXPECT_EQ(DateToIsoText(std::nan("")), "1899-12-30 00:00:00");
}

TEST(AutomationDateTest, TimeTRoundTripsInLocalTime) {
    const std::time_t now = std::time(nullptr);
    EXPECT_EQ(TimeTFromDate(DateFromTimeT(now)), now);
    EXPECT_NEAR(Now(), DateFromTimeT(std::time(nullptr)), 60 * kOneSecond);

    std::tm local{};
    ASSERT_NE(::localtime_r(&now, &local), nullptr);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(DateToIsoText(DateFromTimeT(now)), expected);

    // With daylight saving time: Berlin is UTC+2 in summer and UTC+1 in winter.
    if (!std::ifstream("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no time zone data";
    const ScopedTimeZone berlin("Europe/Berlin");
    const std::time_t summer = 1782900000;  // 2026-07-01 10:00:00 UTC
    const std::time_t winter = 1797156000;  // 2026-12-13 10:00:00 UTC
    EXPECT_EQ(DateToIsoText(DateFromTimeT(summer)), "2026-07-01 12:00:00");
    EXPECT_EQ(DateToIsoText(DateFromTimeT(winter)), "2026-12-13 11:00:00");
    for (const std::time_t t : {summer, winter, now, std::time_t{0}, std::time_t{1774746000} /* 2026-03-29 01:00 UTC */}) {
        EXPECT_EQ(TimeTFromDate(DateFromTimeT(t)), t) << t;
    }
    // The conversion keeps an hour's offset: across a year and both changes of the clock it gives
    // what mktime gives, for times that exist and for the hour the spring change skips.
    const std::time_t foldStart = 1792886400;  // 2026-10-25 00:00 UTC: 02:00 to 03:00 comes twice
    for (std::time_t t = 1767225600; t < 1798761600; t += 1877) {  // 2026, every 31 minutes 17 seconds
        const std::time_t back = TimeTFromDate(DateFromTimeT(t));
        // A local time of the hour that comes twice names either instant: the stored date has no zone.
        if (t >= foldStart && t < foldStart + 7200) {
            ASSERT_TRUE(back == t || back == t - 3600 || back == t + 3600) << t;
        } else {
            ASSERT_EQ(back, t) << t;
        }
    }
    for (int minute = 0; minute < 60 * 26; minute += 7) {
        const Date date = DateFromFields(2026, 3, 28, 23, 0) + minute * 60 * kOneSecond;
        const DateFields f = FieldsFromDate(date);
        std::tm fields{};
        fields.tm_year = f.year - 1900;
        fields.tm_mon = f.month - 1;
        fields.tm_mday = f.day;
        fields.tm_hour = f.hour;
        fields.tm_min = f.minute;
        fields.tm_isdst = -1;
        ASSERT_EQ(TimeTFromDate(date), std::mktime(&fields)) << DateToIsoText(date);
    }
}

TEST(AutomationDateTest, IsoTextRoundTripsAndRefusesImpossibleDates) {
    const Date date = DateFromFields(2026, 12, 8, 18, 0, 5);
    EXPECT_EQ(DateToIsoText(date), "2026-12-08 18:00:05");
    EXPECT_EQ(DateFromIsoText("2026-12-08 18:00:05"), date);
    EXPECT_EQ(DateFromIsoText("2026-12-08T18:00"), DateFromFields(2026, 12, 8, 18, 0));
    EXPECT_EQ(DateFromIsoText("2026-12-08"), DateFromFields(2026, 12, 8));
    EXPECT_EQ(DateFromIsoText("2024-02-29"), DateFromFields(2024, 2, 29));
    EXPECT_EQ(DateFromIsoText("1899-12-29 06:00"), -1.25);
    for (const char* text : {"2026-02-30", "2025-02-29", "2100-02-29", "2026-04-31", "2026-13-01", "2026-00-10",
                             "2026-12-00", "2026-12-08 24:00", "2026-12-08T18:60", "2026-12-08 18:00:60",
                             "2026-12-08X18:00", "2026-12-08 18", "2026-12-08 18:00:", "2026-12-08 18:00:05z", "",
                             "abc", "2026/12/08"}) {
        EXPECT_FALSE(DateFromIsoText(text)) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace pw
