// ImapDates: dates as IMAP writes and reads them -- RFC 3501's date-time of INTERNALDATE and APPEND,
// and SEARCH's dates, compared by day.
//
// The store keeps dates as local automation dates. What goes out is always UTC with "+0000": a local
// time labelled +0000 would be a wrong date in every client.
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/AutomationDate.h"

namespace pw::imap {

inline constexpr std::string_view kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "dd-Mon-yyyy hh:mm:ss +zzzz" (the day may be padded with a blank) as the store's local date;
// nullopt when it is not one.
std::optional<Date> ParseDateTime(std::string_view text);
// SEARCH compares dates by day: days since 1 January 1970.
using Day = std::int64_t;
// "15-Jun-2000" (the day may be one digit); nullopt when it is not one.
std::optional<Day> ParseSearchDate(std::string_view text);
// The UTC day of a stored date.
Day UtcDay(Date date);
// The day a Date header names, as written there ("Wed, 9 Dec 2026 10:00:00 +0100"), time and zone
// disregarded; nullopt when the field holds no date.
std::optional<Day> HeaderDateDay(std::string_view field);
// The quoted date-time of a stored date in UTC, "\"09-Dec-2026 22:05:01 +0000\""; "\"\"" for none.
std::string InternalDateText(Date date);

}  // namespace pw::imap
