// AuthDns: the DNS look-ups of the checks of one message, through the server's own resolver, all of
// them within one budget.
//
// Every query of a message's checks (SPF's records and the names its mechanisms name, DKIM keys,
// DMARC records) shares one deadline, kDnsBudget after the first: a dead or slow resolver costs a
// message that much at most, and what could not be asked in time is a temporary failure, never a
// refusal. Answers are read with the resolver's own bounds; only records of the type asked count.
// Thread safety: one object per message and thread.
#pragma once

#include "dns/DnsResolver.h"
#include "mailauth/MailAuthLimits.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pw::core {
class ConfigTree;
}

namespace pw::mailauth {

enum class DnsResult { Answered, NoData, NoSuchDomain, Failed };

// What the checks ask of DNS; AuthDns asks the servers, tests and fuzz targets answer themselves.
class DnsLookups {
public:
    virtual ~DnsLookups() = default;
    // The text of each TXT record at the name, its strings joined (over kMaxTxtRecord: left out).
    virtual DnsResult Txt(const std::string& name, std::vector<std::string>& records) = 0;
    // The data of each A (4 bytes) or AAAA (16 bytes) record.
    virtual DnsResult Addresses(const std::string& name, std::uint16_t type, std::vector<std::vector<std::uint8_t>>& addresses) = 0;
    // The names of MX (the exchanges) or PTR records.
    virtual DnsResult Names(const std::string& name, std::uint16_t type, std::vector<std::string>& names) = 0;
    // How many queries failed (DNS failure or the budget), so far.
    virtual std::size_t Failures() const = 0;
};

class AuthDns final : public DnsLookups {
public:
    // The configured servers ("sys:dns:%d:server", else the system's).
    explicit AuthDns(const core::ConfigTree& config, std::chrono::milliseconds budget = kDnsBudget);
    // Servers given (tests and fuzzing); with none, every query fails at once.
    AuthDns(std::vector<std::uint32_t> servers, std::chrono::milliseconds budget);

    DnsResult Txt(const std::string& name, std::vector<std::string>& records) override;
    DnsResult Addresses(const std::string& name, std::uint16_t type, std::vector<std::vector<std::uint8_t>>& addresses) override;
    DnsResult Names(const std::string& name, std::uint16_t type, std::vector<std::string>& names) override;
    std::size_t Failures() const override { return failures_; }

    // The budget is spent: every further query fails without asking.
    bool Spent() const;

private:
    DnsResult Ask(const std::string& name, std::uint16_t type);
    void StartClock();

    dns::DnsResolver resolver_;
    std::chrono::milliseconds budget_;
    bool started_ = false;
    std::size_t failures_ = 0;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
};

}  // namespace pw::mailauth
