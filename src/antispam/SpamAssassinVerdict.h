// SpamAssassinVerdict: what SpamAssassin said of one message, as the router takes it from the
// client the service gives it (src/spamd), so that the router never sees network code.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pw::antispam {

// SpamAssassin judges a message by its first bytes only: what lies beyond is not sent.
inline constexpr std::size_t kSpamAssassinBytes = 51150;
// The header the report goes into, spam or clean, when "sys:spam:sa:report_hdr" is on.
inline constexpr std::string_view kSpamAssassinReportField = "X-SpamAssassin-Report";

struct SpamAssassinVerdict {
    bool spam = false;
    double score = 0;
    double required = 0;
    // Lines without trailing blanks, none empty, printable ASCII: ready to be folded into a header.
    std::string report;
};

}  // namespace pw::antispam
