// AuthDns: budgeted look-ups for the checks of one message.
#include "mailauth/AuthDns.h"

namespace pw::mailauth {

namespace {

constexpr std::uint16_t kTypeAAAA = 28;

}  // namespace

AuthDns::AuthDns(const core::ConfigTree& config, std::chrono::milliseconds budget) : budget_(budget) {
    resolver_.AddConfiguredServers(config);
}

AuthDns::AuthDns(std::vector<std::uint32_t> servers, std::chrono::milliseconds budget) : budget_(budget) {
    for (const std::uint32_t server : servers) resolver_.AddServerAddress(server);
}

void AuthDns::StartClock() {
    if (started_) return;
    started_ = true;
    deadline_ = std::chrono::steady_clock::now() + budget_;
    resolver_.SetDeadline(deadline_);
}

bool AuthDns::Spent() const { return started_ && std::chrono::steady_clock::now() >= deadline_; }

DnsResult AuthDns::Ask(const std::string& name, std::uint16_t type) {
    StartClock();
    const bool asked = !Spent() && !resolver_.Servers().empty() && resolver_.Query(name, type);
    if (asked && resolver_.LastStatus() == dns::DnsStatus::NoSuchDomain) return DnsResult::NoSuchDomain;
    if (asked && resolver_.LastStatus() == dns::DnsStatus::Answered) return DnsResult::Answered;
    ++failures_;
    return DnsResult::Failed;
}

DnsResult AuthDns::Txt(const std::string& name, std::vector<std::string>& records) {
    records.clear();
    const DnsResult result = Ask(name, dns::kTypeTXT);
    if (result != DnsResult::Answered) return result;
    const dns::DnsAnswer& answer = *resolver_.LastAnswer();
    for (const dns::DnsRecord& record : answer.answers) {
        if (record.type != dns::kTypeTXT) continue;
        const auto data = answer.Data(record);
        std::string text;
        // Character-strings, each a length byte and that many bytes, joined (RFC 7208 3.3, RFC 6376 3.6.2.2).
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t length = data[at];
            if (at + 1 + length > data.size()) break;
            text.append(reinterpret_cast<const char*>(data.data() + at + 1), length);
            at += 1 + length;
        }
        if (text.size() <= kMaxTxtRecord) records.push_back(std::move(text));
    }
    return records.empty() ? DnsResult::NoData : DnsResult::Answered;
}

DnsResult AuthDns::Addresses(const std::string& name, std::uint16_t type, std::vector<std::vector<std::uint8_t>>& addresses) {
    addresses.clear();
    const DnsResult result = Ask(name, type);
    if (result != DnsResult::Answered) return result;
    const std::size_t size = type == kTypeAAAA ? 16 : 4;
    const dns::DnsAnswer& answer = *resolver_.LastAnswer();
    for (const dns::DnsRecord& record : answer.answers) {
        const auto data = answer.Data(record);
        if (record.type == type && data.size() == size) addresses.emplace_back(data.begin(), data.end());
    }
    return addresses.empty() ? DnsResult::NoData : DnsResult::Answered;
}

DnsResult AuthDns::Names(const std::string& name, std::uint16_t type, std::vector<std::string>& names) {
    names.clear();
    const DnsResult result = Ask(name, type);
    if (result != DnsResult::Answered) return result;
    const dns::DnsAnswer& answer = *resolver_.LastAnswer();
    for (const dns::DnsRecord& record : answer.answers) {
        if (record.type != type) continue;
        // An MX record's exchange follows its 2-byte preference.
        const std::size_t skip = type == dns::kTypeMX ? 2 : 0;
        if (record.dataLength < skip + 1) continue;
        if (auto target = answer.NameAt(record.dataOffset + skip)) names.push_back(std::move(*target));
    }
    return names.empty() ? DnsResult::NoData : DnsResult::Answered;
}

}  // namespace pw::mailauth
