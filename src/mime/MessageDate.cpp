// MessageDate: date texts and message identifiers.
#include "mime/MessageDate.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

#include "platform/Text.h"

namespace pw::mime {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

int CurrentBias() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return static_cast<int>(-local.tm_gmtoff / 60);
}

std::string FormatMessageDate(pw::Date date) { return FormatMessageDate(date, CurrentBias()); }

std::string FormatMessageDate(pw::Date date, int biasMinutes) {
    const DateFields f = FieldsFromDate(date);
    const int magnitude = std::abs(biasMinutes);
    return Format("%3s, %d %3s %4d %02d:%02d:%02d %c%02d%02d",
                  {std::string_view(kDays[f.weekday % 7]), std::int64_t{f.day}, std::string_view(kMonths[(f.month + 11) % 12]),
                   std::int64_t{f.year}, std::int64_t{f.hour}, std::int64_t{f.minute}, std::int64_t{f.second},
                   std::int64_t{biasMinutes < 0 ? '+' : '-'}, std::int64_t{magnitude / 60}, std::int64_t{magnitude % 60}});
}

std::string MakeMessageID(std::string_view machine) {
    // The date in this form changes every few minutes and thread ids come back after a restart: the
    // counter starts at a random point in each process, so that a restarted server does not repeat
    // the identifiers of its last run.
    static std::atomic<std::uint64_t> counter{[] {
        std::uint64_t seed = 0;
        if (::getrandom(&seed, sizeof seed, 0) != sizeof seed) seed = static_cast<std::uint64_t>(::getpid()) << 32;
        return seed >> 1;  // room to count on
    }()};
    return Format("<%e%d.%u@%s>", {Now(), std::int64_t{::gettid()}, std::uint64_t{++counter}, machine});
}

}  // namespace pw::mime
