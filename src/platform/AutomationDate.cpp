// AutomationDate: DATE arithmetic on the proleptic Gregorian calendar.
#include "platform/AutomationDate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

namespace pw::platform {

namespace {

// Days from 1970-01-01 to a civil date (Howard Hinnant's algorithm), valid far beyond our range.
long DaysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, int& y, int& m, int& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long yy = static_cast<long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// 1899-12-30 in days from 1970-01-01.
const long kEpochDays = DaysFromCivil(1899, 12, 30);

// The automation range, 1 January 100 to 31 December 9999, each day to its last second.
constexpr double kLastSecondOfDay = double(kSecondsPerDay - 1) / kSecondsPerDay;
constexpr Date kFirstDate = -657434.0 - kLastSecondOfDay;
constexpr Date kLastDate = 2958465.0 + kLastSecondOfDay;

}  // namespace

Date DateFromFields(int year, int month, int day, int hour, int minute, int second) {
    const long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochDays;
    const double fraction = (hour * 3600.0 + minute * 60.0 + second) / kSecondsPerDay;
    // Negative dates keep a forward-counting fraction: day -2 at 06:00 is -2.25, not -1.75.
    return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

DateFields FieldsFromDate(Date date) {
    // A DATE comes from files and clients too: outside the range its days would not fit the integers below.
    date = std::isnan(date) ? 0.0 : std::clamp(date, kFirstDate, kLastDate);
    double dayPart = std::trunc(date);
    double fraction = std::fabs(date - dayPart);
    long seconds = std::lround(fraction * kSecondsPerDay);
    if (seconds >= kSecondsPerDay) {
        seconds -= kSecondsPerDay;
        dayPart += 1;  // the time counts forward from midnight on both sides of the epoch
    }
    const long days = static_cast<long>(dayPart) + kEpochDays;
    DateFields fields;
    CivilFromDays(days, fields.year, fields.month, fields.day);
    fields.hour = static_cast<int>(seconds / 3600);
    fields.minute = static_cast<int>((seconds / 60) % 60);
    fields.second = static_cast<int>(seconds % 60);
    fields.weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    return fields;
}

Date DateFromTimeT(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return DateFromFields(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          local.tm_sec);
}

std::time_t TimeTFromDate(Date date) {
    const DateFields f = FieldsFromDate(date);
    std::tm fields{};
    fields.tm_year = f.year - 1900;
    fields.tm_mon = f.month - 1;
    fields.tm_mday = f.day;
    fields.tm_hour = f.hour;
    fields.tm_min = f.minute;
    fields.tm_sec = f.second;
    std::tm copy = fields;
    const std::time_t asUtc = ::timegm(&copy);
    // mktime reads the time zone again at every call (glibc stats /etc/localtime each time), and a
    // listing of a folder converts a date per message: an hour's offset from UTC is worked out once
    // per thread and kept while the hour and TZ stay the same. Within an hour the offset is one
    // (a zone's changes fall on the hour), so the result is mktime's. A
    // change of the system's zone file is seen at the next hour.
    struct HourOffset {
        int year = -1, month = 0, day = 0, hour = 0;
        std::string zone;
        std::time_t offset = 0;
    };
    thread_local HourOffset last;
    const char* zoneVariable = std::getenv("TZ");
    const std::string_view zone = zoneVariable ? zoneVariable : "";
    if (last.year != f.year || last.month != f.month || last.day != f.day || last.hour != f.hour || last.zone != zone) {
        std::tm hour = fields;
        hour.tm_min = 0;
        hour.tm_sec = 0;
        hour.tm_isdst = -1;
        std::tm hourUtc = hour;
        const std::time_t local = std::mktime(&hour);
        if (local == static_cast<std::time_t>(-1)) {
            std::tm again = fields;
            again.tm_isdst = -1;
            return std::mktime(&again);
        }
        last = {f.year, f.month, f.day, f.hour, std::string(zone), ::timegm(&hourUtc) - local};
    }
    return asUtc - last.offset;
}

Date Now() { return DateFromTimeT(std::time(nullptr)); }

std::string DateToIsoText(Date date) {
    const DateFields f = FieldsFromDate(date);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour, f.minute,
                  f.second);
    return buffer;
}

std::optional<Date> DateFromIsoText(std::string_view text) {
    const std::string copy(text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 0;
    int consumed = 0;
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &consumed) != 3) return std::nullopt;
    std::size_t pos = static_cast<std::size_t>(consumed);
    if (pos < copy.size()) {
        int timeConsumed = 0;
        const int got = std::sscanf(copy.c_str() + pos, "%c%2d:%2d%n", &separator, &hour, &minute, &timeConsumed);
        if (got != 3 || (separator != 'T' && separator != ' ')) return std::nullopt;
        pos += static_cast<std::size_t>(timeConsumed);
        if (pos < copy.size()) {
            int secondConsumed = 0;
            if (std::sscanf(copy.c_str() + pos, ":%2d%n", &second, &secondConsumed) != 1) return std::nullopt;
            pos += static_cast<std::size_t>(secondConsumed);
        }
    }
    if (pos != copy.size()) return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 || hour < 0 ||
        minute < 0 || second < 0) {
        return std::nullopt;
    }
    const Date date = DateFromFields(year, month, day, hour, minute, second);
    const DateFields check = FieldsFromDate(date);
    if (check.month != month || check.day != day) return std::nullopt;  // 31 February and the like
    return date;
}

}  // namespace pw::platform
