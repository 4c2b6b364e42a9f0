// DmarcCheck: libopendmarc on records we fetch.
#include "mailauth/DmarcCheck.h"

#include "platform/Text.h"

#include <sys/types.h>
#include <opendmarc/dmarc.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <sys/stat.h>

// Exported by libopendmarc but left out of its header: the organizational domain of a name.
extern "C" int opendmarc_get_tld(u_char* domain, u_char* tld, size_t tld_len);

namespace pw::mailauth {

namespace {

constexpr const char* kPublicSuffixList = "/usr/share/publicsuffix/public_suffix_list.dat";

void SetUpLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENDMARC_LIB_T settings{};
        struct stat info {};
        if (::stat(kPublicSuffixList, &info) == 0) {
            settings.tld_type = OPENDMARC_TLD_TYPE_MOZILLA;
            std::strncpy(reinterpret_cast<char*>(settings.tld_source_file), kPublicSuffixList, sizeof settings.tld_source_file - 1);
        }
        opendmarc_policy_library_init(&settings);
    });
}

struct PolicyFree {
    void operator()(DMARC_POLICY_T* policy) const { opendmarc_policy_connect_shutdown(policy); }
};

u_char* Bytes(std::string& text) { return reinterpret_cast<u_char*>(text.data()); }

std::string OrganizationalDomain(std::string domain) {
    u_char tld[256] = {};
    if (opendmarc_get_tld(Bytes(domain), tld, sizeof tld) != 0 || tld[0] == '\0') return domain;
    return reinterpret_cast<const char*>(tld);
}

// The one DMARC record among TXT records (RFC 7489 6.6.3: more than one, or none, is no record).
std::optional<std::string> DmarcRecord(const std::vector<std::string>& records) {
    std::optional<std::string> found;
    for (const std::string& record : records) {
        if (!StartsWithNoCase(TrimAscii(record), "v=DMARC1")) continue;
        if (found) return std::nullopt;
        found = record;
    }
    return found;
}

int SpfForDmarc(SpfResult result) {
    switch (result) {
        case SpfResult::Pass: return DMARC_POLICY_SPF_OUTCOME_PASS;
        case SpfResult::Fail:
        case SpfResult::SoftFail: return DMARC_POLICY_SPF_OUTCOME_FAIL;
        case SpfResult::TempError: return DMARC_POLICY_SPF_OUTCOME_TMPFAIL;
        default: return DMARC_POLICY_SPF_OUTCOME_NONE;
    }
}

int DkimForDmarc(DkimResult result) {
    switch (result) {
        case DkimResult::Pass: return DMARC_POLICY_DKIM_OUTCOME_PASS;
        case DkimResult::Fail: return DMARC_POLICY_DKIM_OUTCOME_FAIL;
        case DkimResult::TempError: return DMARC_POLICY_DKIM_OUTCOME_TMPFAIL;
        default: return DMARC_POLICY_DKIM_OUTCOME_NONE;
    }
}

}  // namespace

std::string_view DmarcResultText(DmarcResult result) {
    switch (result) {
        case DmarcResult::None: return "none";
        case DmarcResult::Pass: return "pass";
        case DmarcResult::Fail: return "fail";
        case DmarcResult::TempError: return "temperror";
        case DmarcResult::PermError: return "permerror";
    }
    return "none";
}

DmarcOutcome CheckDmarc(DnsLookups& dns, std::string_view clientAddress, const std::optional<std::string>& fromDomain,
                        const SpfOutcome& spf, const std::vector<DkimOutcome>& dkim) {
    DmarcOutcome outcome;
    if (!fromDomain || fromDomain->empty()) return outcome;
    outcome.fromDomain = *fromDomain;
    SetUpLibrary();

    std::vector<std::string> records;
    std::optional<std::string> record;
    std::string organizational;
    switch (dns.Txt("_dmarc." + outcome.fromDomain, records)) {
        case DnsResult::Failed: outcome.result = DmarcResult::TempError; return outcome;
        case DnsResult::Answered: record = DmarcRecord(records); break;
        default: break;
    }
    if (!record) {
        organizational = OrganizationalDomain(outcome.fromDomain);
        if (EqualsNoCase(organizational, outcome.fromDomain)) return outcome;
        switch (dns.Txt("_dmarc." + organizational, records)) {
            case DnsResult::Failed: outcome.result = DmarcResult::TempError; return outcome;
            case DnsResult::Answered: record = DmarcRecord(records); break;
            default: break;
        }
        if (!record) return outcome;
    }

    std::string address(clientAddress), from = outcome.fromDomain;
    std::unique_ptr<DMARC_POLICY_T, PolicyFree> policy(opendmarc_policy_connect_init(
        Bytes(address), address.find(':') != std::string::npos ? DMARC_POLICY_IP_TYPE_IPV6 : DMARC_POLICY_IP_TYPE_IPV4));
    if (!policy || opendmarc_policy_store_from_domain(policy.get(), Bytes(from)) != DMARC_PARSE_OKAY) {
        outcome.result = DmarcResult::PermError;
        return outcome;
    }
    std::string spfDomain = spf.domain, human = std::string(SpfResultText(spf.result));
    if (!spfDomain.empty()) {
        opendmarc_policy_store_spf(policy.get(), Bytes(spfDomain), SpfForDmarc(spf.result),
                                   spf.helo ? DMARC_POLICY_SPF_ORIGIN_HELO : DMARC_POLICY_SPF_ORIGIN_MAILFROM, Bytes(human));
    }
    for (const DkimOutcome& signature : dkim) {
        if (signature.domain.empty()) continue;
        std::string domain = signature.domain, selector = signature.selector, text = std::string(DkimResultText(signature.result));
        opendmarc_policy_store_dkim(policy.get(), Bytes(domain), selector.empty() ? nullptr : Bytes(selector), DkimForDmarc(signature.result), Bytes(text));
    }
    std::string recordText = *record;
    if (opendmarc_policy_store_dmarc(policy.get(), Bytes(recordText), Bytes(from), organizational.empty() ? nullptr : Bytes(organizational)) != DMARC_PARSE_OKAY) {
        outcome.result = DmarcResult::PermError;
        return outcome;
    }
    switch (opendmarc_get_policy_to_enforce(policy.get())) {
        case DMARC_POLICY_PASS: outcome.result = DmarcResult::Pass; return outcome;
        case DMARC_POLICY_REJECT: outcome.policy = 'r'; break;
        case DMARC_POLICY_QUARANTINE: outcome.policy = 'q'; break;
        case DMARC_POLICY_NONE: outcome.policy = 'n'; break;
        default: return outcome;  // no usable policy
    }
    outcome.result = DmarcResult::Fail;
    return outcome;
}

}  // namespace pw::mailauth
