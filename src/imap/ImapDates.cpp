// ImapDates: RFC 3501 date-times in and out.
#include "imap/ImapDates.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

#include "platform/Text.h"

namespace pw::imap {

namespace {

int Digits(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return -1;
    return std::stoi(std::string(text));
}

std::optional<int> MonthIndex(std::string_view name) {
    for (int i = 0; i < 12; ++i) {
        if (EqualsNoCase(kMonthNames[i], name)) return i;
    }
    return std::nullopt;
}

std::optional<Day> DayOf(int year, int monthIndex, int day) {
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(monthIndex + 1)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok()) return std::nullopt;
    return std::chrono::sys_days(date).time_since_epoch().count();
}

}  // namespace

std::optional<Day> ParseSearchDate(std::string_view text) {
    const std::vector<std::string> parts = SplitAtAny(text, "-");
    if (parts.size() != 3 || parts[0].size() > 2 || parts[2].size() != 4) return std::nullopt;
    const auto month = MonthIndex(parts[1]);
    const int day = Digits(parts[0]);
    const int year = Digits(parts[2]);
    if (!month || day < 1 || year < 0) return std::nullopt;
    return DayOf(year, *month, day);
}

Day UtcDay(Date date) {
    const std::time_t t = TimeTFromDate(date);
    return static_cast<Day>(t >= 0 ? t / kSecondsPerDay : (t - kSecondsPerDay + 1) / kSecondsPerDay);
}

std::optional<Day> HeaderDateDay(std::string_view field) {
    std::vector<std::string> words = SplitAtAny(field, " \t,");
    if (!words.empty() && words[0].find_first_of("0123456789") == std::string::npos) words.erase(words.begin());  // "Wed"
    if (words.size() < 3 || words[0].size() > 2 || words[2].size() > 4) return std::nullopt;
    const auto month = MonthIndex(words[1]);
    const int day = Digits(words[0]);
    int year = Digits(words[2]);
    if (!month || day < 1 || year < 0) return std::nullopt;
    if (words[2].size() <= 2) year += year < 50 ? 2000 : 1900;  // RFC 5322's obsolete two-digit years
    else if (words[2].size() == 3) year += 1900;
    return DayOf(year, *month, day);
}

std::optional<Date> ParseDateTime(std::string_view text) {
    if (!text.empty() && text[0] == ' ') text.remove_prefix(1);
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos || text.size() != dash + 24) return std::nullopt;
    const int day = Digits(text.substr(0, dash));
    const std::string_view month = text.substr(dash + 1, 3);
    const int year = Digits(text.substr(dash + 5, 4));
    const int hour = Digits(text.substr(dash + 10, 2));
    const int minute = Digits(text.substr(dash + 13, 2));
    const int second = Digits(text.substr(dash + 16, 2));
    const char sign = text[dash + 19];
    const int zone = Digits(text.substr(dash + 20, 4));
    const int monthIndex = MonthIndex(month).value_or(12);
    if (text[dash + 4] != '-' || text[dash + 9] != ' ' || text[dash + 12] != ':' || text[dash + 15] != ':' ||
        text[dash + 18] != ' ' || (sign != '+' && sign != '-') || monthIndex == 12 || day < 1 || day > 31 ||
        year < 1900 || hour > 23 || minute > 59 || second > 60 || zone < 0 || hour < 0 || minute < 0 || second < 0) {
        return std::nullopt;
    }
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = monthIndex;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    const long offset = (zone / 100 * 60 + zone % 100) * 60L * (sign == '-' ? -1 : 1);
    return DateFromTimeT(::timegm(&fields) - offset);
}

std::string InternalDateText(Date date) {
    if (date == 0) return "\"\"";
    const std::time_t t = TimeTFromDate(date);
    std::tm utc{};
    if (::gmtime_r(&t, &utc) == nullptr) return "\"\"";
    return Format("\"%2.2u-%s-%u %2.2u:%2.2u:%2.2u +0000\"",
                  {static_cast<std::uint64_t>(utc.tm_mday), kMonthNames[utc.tm_mon], static_cast<std::uint64_t>(utc.tm_year + 1900),
                   static_cast<std::uint64_t>(utc.tm_hour), static_cast<std::uint64_t>(utc.tm_min),
                   static_cast<std::uint64_t>(utc.tm_sec)});
}

}  // namespace pw::imap
