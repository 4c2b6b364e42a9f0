// MessageDate: the date form of "Date:" fields and Received lines, and message identifiers.
//
// "%3s, %d %3s %4d %02d:%02d:%02d %c%02d%02d": English day and month names, local time, and the zone
// from the system's current bias (minutes to add to local time for UTC): "+" when the bias is
// negative (east of Greenwich), "-" otherwise, so a zero bias is written "-0000".
// Thread safety: pure functions (the identifier counter is atomic).
#pragma once

#include "platform/AutomationDate.h"

#include <string>
#include <string_view>

namespace pw::mime {

std::string FormatMessageDate(pw::Date date);
// With a given bias in minutes (tests, and callers that know the zone).
std::string FormatMessageDate(pw::Date date, int biasMinutes);
// The system's current bias in minutes: UTC minus local time.
int CurrentBias();

// "<%e%d.%u@%s>": now as an automation date in exponent form, the thread's id, a process-wide
// counter (so one thread never makes the same identifier twice) and the machine name.
std::string MakeMessageID(std::string_view machine);

}  // namespace pw::mime
