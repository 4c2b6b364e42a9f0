// Fuzz target: SPF and DMARC records are whatever the sender's DNS publishes. The input's lines are
// the TXT answers the checks get, one per query in turn (an SPF record, then what its includes and
// redirects ask, then the DMARC record); addresses and names come from the target itself, so libspf2's
// macros, mechanisms and limits and libopendmarc's record parser meet hostile text without any DNS.
// A check must end with a result of its own kind, within the run's time-out, whatever the records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mailauth/DmarcCheck.h"
#include "mailauth/SpfCheck.h"

using namespace pw::mailauth;

namespace {

// More queries than SPF's limits allow (ten that ask DNS, each with its MX or PTR names) means the
// library lost count: the target traps.
constexpr std::size_t kMaxQueries = 400;

class ScriptedLookups final : public DnsLookups {
public:
    explicit ScriptedLookups(std::string_view input) {
        std::size_t at = 0;
        while (at <= input.size() && lines_.size() < 64) {
            const std::size_t end = input.find('\n', at);
            lines_.emplace_back(input.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
            if (end == std::string_view::npos) break;
            at = end + 1;
        }
    }

    DnsResult Txt(const std::string&, std::vector<std::string>& records) override {
        Count();
        records.clear();
        if (next_ >= lines_.size()) return DnsResult::NoSuchDomain;
        const std::string& line = lines_[next_++];
        if (line == "!") {
            ++failures_;
            return DnsResult::Failed;
        }
        if (line.size() <= kMaxTxtRecord) records.push_back(line);
        return records.empty() ? DnsResult::NoData : DnsResult::Answered;
    }

    DnsResult Addresses(const std::string&, std::uint16_t type, std::vector<std::vector<std::uint8_t>>& addresses) override {
        Count();
        addresses.clear();
        if (type == 28) return DnsResult::NoData;
        addresses.push_back({192, 0, 2, 1});
        return DnsResult::Answered;
    }

    DnsResult Names(const std::string& name, std::uint16_t, std::vector<std::string>& names) override {
        Count();
        names = {"mx." + name.substr(0, 200), "fuzz.test"};
        return DnsResult::Answered;
    }

    std::size_t Failures() const override { return failures_; }

private:
    void Count() {
        if (++queries_ > kMaxQueries) __builtin_trap();
    }

    std::vector<std::string> lines_;
    std::size_t next_ = 0;
    std::size_t queries_ = 0;
    std::size_t failures_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ScriptedLookups dns(std::string_view(reinterpret_cast<const char*>(data), size));
    const SpfOutcome spf = CheckSpf(dns, "192.0.2.1", "helo.fuzz.test", "user@fuzz.test");
    if (spf.domain != "fuzz.test" || SpfResultText(spf.result).empty()) __builtin_trap();
    const DmarcOutcome dmarc = CheckDmarc(dns, "192.0.2.1", std::string("sub.fuzz.test"), spf, {{DkimResult::Pass, "fuzz.test", "sel"}});
    if (dmarc.result == DmarcResult::Fail && dmarc.policy != 'n' && dmarc.policy != 'q' && dmarc.policy != 'r') __builtin_trap();
    return 0;
}
