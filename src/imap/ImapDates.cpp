// ImapDates: RFC 3501 date-times in and out.
#include "imap/ImapDates.h"

#include <cstdint>
#include <ctime>

#include "platform/Text.h"

namespace pw::imap {

namespace {

int Digits(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return -1;
    return std::stoi(std::string(text));
}

}  // namespace

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
    int monthIndex = 0;
    while (monthIndex < 12 && !EqualsNoCase(kMonthNames[monthIndex], month)) ++monthIndex;
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
