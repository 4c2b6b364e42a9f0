// Fuzz target: spamd's answer is whatever came back over a socket -- spamd's, or anything listening
// on that port. Reading it must never fail loudly, and a report it takes must be fit for a header:
// bounded, printable ASCII, no empty, blank-ended or over-long lines, so folding it can never start a field.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "spamd/SpamdClient.h"

using namespace pw::spamd;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    pw::antispam::SpamAssassinVerdict verdict;
    std::string failure;
    if (!ParseSpamdResponse(input, verdict, failure)) {
        if (failure.empty()) __builtin_trap();
        return 0;
    }
    const std::string& report = verdict.report;
    if (report.size() > kMaxSpamdReport) __builtin_trap();
    std::size_t lineLength = 0;
    if (!report.empty() && (report.front() == '\n' || report.back() == '\n' || report.back() == ' ')) __builtin_trap();
    for (std::size_t i = 0; i < report.size(); ++i) {
        const auto c = static_cast<unsigned char>(report[i]);
        if (c == '\n') {
            if (report[i - 1] == ' ' || report[i + 1] == '\n') __builtin_trap();
            lineLength = 0;
            continue;
        }
        if (c < 0x20 || c >= 0x7F || ++lineLength > kMaxSpamdReportLine) __builtin_trap();
    }
    return 0;
}
