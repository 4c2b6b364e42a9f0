// ImapDates: dates as IMAP writes and reads them -- RFC 3501's date-time of INTERNALDATE and APPEND,
// and the month names SEARCH's dates share.
//
// The store keeps dates as local automation dates. What goes out is always UTC with "+0000": a local
// time labelled +0000 would be a wrong date in every client.
// Thread safety: pure functions.
#pragma once

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
// The quoted date-time of a stored date in UTC, "\"09-Dec-2026 22:05:01 +0000\""; "\"\"" for none.
std::string InternalDateText(Date date);

}  // namespace pw::imap
