// AutomationDate: the automation DATE -- days since 30 December 1899 as a double, local time.
//
// The integer part counts days (negative before the epoch), the fraction is the time of day; for
// negative dates the fraction still counts forward from midnight (-1.25 is 29 December 1899, 06:00),
// as automation clients expect. A DATE outside the automation range (the years 100 to 9999) reads as
// the nearest end of it, one that is not a number as the epoch. Conversions go through the
// broken-down calendar fields so that local time, including daylight saving, comes from the C library.
// Thread safety: pure functions (localtime_r, mktime).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace pw::platform {

using Date = double;

// A DATE counts days: a time in seconds is this fraction of one.
inline constexpr long kSecondsPerDay = 86400;
// Half a second as a DATE: added to a DATE difference before it is cut down to whole days or minutes,
// so that one that floating point left a hair short of a whole unit still counts it.
inline constexpr double kHalfSecond = 0.5 / kSecondsPerDay;

// Calendar fields of a DATE, seconds rounded to the nearest second.
struct DateFields {
    int year = 1899;
    int month = 12;  // 1..12
    int day = 30;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 6;  // 0 = Sunday
};

Date DateFromFields(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
DateFields FieldsFromDate(Date date);

// Local time.
Date DateFromTimeT(std::time_t t);
std::time_t TimeTFromDate(Date date);
Date Now();

// "YYYY-MM-DD HH:MM:SS", and back (the time part and the seconds are optional, "T" may separate).
std::string DateToIsoText(Date date);
std::optional<Date> DateFromIsoText(std::string_view text);

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
