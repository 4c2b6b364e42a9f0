// SpfCheck: libspf2 over the message's budgeted DNS.
#include "mailauth/SpfCheck.h"

#include "core/Logging.h"
#include "dns/DnsMessage.h"
#include "platform/Text.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
extern "C" {
#include <spf2/spf.h>
}

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace pw::mailauth {

namespace {

constexpr std::uint16_t kTypeAAAA = 28;

void LogSpf(const char* file, int line, const char* text) {
    (void)file;
    (void)line;
    if (text) core::Log(core::LogLevelDebug, std::string("SPF: ") + text);
}

// libspf2 prints to stderr unless told otherwise; a server's library code never does.
void QuietLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        SPF_warning_handler = LogSpf;
        SPF_info_handler = LogSpf;
        SPF_debug_handler = nullptr;
    });
}

SPF_dns_rr_t* Answer(SPF_dns_server_t* server, const char* domain, ns_type type, DnsResult result) {
    switch (result) {
        case DnsResult::NoSuchDomain: return SPF_dns_rr_new_nxdomain(server, domain);
        case DnsResult::NoData: return SPF_dns_rr_new_init(server, domain, type, 0, NO_DATA);
        case DnsResult::Failed: return SPF_dns_rr_new_init(server, domain, type, 0, TRY_AGAIN);
        case DnsResult::Answered: break;
    }
    return SPF_dns_rr_new_init(server, domain, type, 0, NETDB_SUCCESS);
}

// Puts `count` items of data into the answer; false (and the answer is a failure) when memory fails.
template <typename Fill>
SPF_dns_rr_t* Filled(SPF_dns_server_t* server, const char* domain, ns_type type, std::size_t count, Fill fill) {
    SPF_dns_rr_t* rr = Answer(server, domain, type, DnsResult::Answered);
    if (!rr) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        if (!fill(rr, static_cast<int>(i))) {
            SPF_dns_rr_free(rr);
            return Answer(server, domain, type, DnsResult::Failed);
        }
    }
    rr->num_rr = static_cast<int>(count);
    return rr;
}

SPF_dns_rr_t* Lookup(SPF_dns_server_t* server, const char* domain, ns_type type, int) {
    auto& dns = *static_cast<DnsLookups*>(server->hook);
    const std::string name = domain ? domain : "";
    switch (static_cast<int>(type)) {
        case ns_t_a:
        case kTypeAAAA: {
            std::vector<std::vector<std::uint8_t>> addresses;
            const DnsResult result = dns.Addresses(name, static_cast<std::uint16_t>(type), addresses);
            if (result != DnsResult::Answered) return Answer(server, domain, type, result);
            return Filled(server, domain, type, addresses.size(), [&](SPF_dns_rr_t* rr, int i) {
                const std::size_t size = type == ns_t_a ? sizeof(in_addr) : sizeof(in6_addr);
                if (SPF_dns_rr_buf_realloc(rr, i, size) != SPF_E_SUCCESS) return false;
                std::memcpy(type == ns_t_a ? static_cast<void*>(&rr->rr[i]->a) : static_cast<void*>(&rr->rr[i]->aaaa),
                            addresses[static_cast<std::size_t>(i)].data(), size);
                return true;
            });
        }
        case ns_t_mx:
        case ns_t_ptr:
        case ns_t_txt: {
            std::vector<std::string> texts;
            const DnsResult result = type == ns_t_txt ? dns.Txt(name, texts) : dns.Names(name, static_cast<std::uint16_t>(type), texts);
            if (result != DnsResult::Answered) return Answer(server, domain, type, result);
            return Filled(server, domain, type, texts.size(), [&](SPF_dns_rr_t* rr, int i) {
                const std::string& text = texts[static_cast<std::size_t>(i)];
                if (SPF_dns_rr_buf_realloc(rr, i, text.size() + 1) != SPF_E_SUCCESS) return false;
                std::memcpy(rr->rr[i]->txt, text.c_str(), text.size() + 1);
                return true;
            });
        }
        default:
            // Type 99 (SPF) is retired (RFC 7208 3.1): not asked, so it costs no budget.
            return Answer(server, domain, type, DnsResult::NoData);
    }
}

struct ServerFree {
    void operator()(SPF_server_t* server) const { SPF_server_free(server); }
};
struct RequestFree {
    void operator()(SPF_request_t* request) const { SPF_request_free(request); }
};
struct ResponseFree {
    void operator()(SPF_response_t* response) const { SPF_response_free(response); }
};

SpfResult FromLibrary(SPF_result_t result) {
    switch (result) {
        case SPF_RESULT_PASS: return SpfResult::Pass;
        case SPF_RESULT_FAIL: return SpfResult::Fail;
        case SPF_RESULT_SOFTFAIL: return SpfResult::SoftFail;
        case SPF_RESULT_NEUTRAL: return SpfResult::Neutral;
        case SPF_RESULT_NONE: return SpfResult::None;
        case SPF_RESULT_TEMPERROR: return SpfResult::TempError;
        default: return SpfResult::PermError;
    }
}

// SPF_request_query_mailfrom without its first step, which passes every loopback client whatever the
// domain publishes: here the record decides for every address (RFC 7208 knows no exception), so a
// local process that may not relay can not pass for any sender it likes. The rest is the library's
// own sequence: the record of the current domain (a missing or unreadable one sets the result), then
// its evaluation.
SpfResult Evaluate(SPF_server_t* server, SPF_request_t* request) {
    std::unique_ptr<SPF_response_t, ResponseFree> response(SPF_response_new(request));
    if (!response) return SpfResult::TempError;
    request->cur_dom = request->use_helo ? request->helo_dom : request->env_from_dp;
    SPF_record_t* record = nullptr;
    if (const SPF_errcode_t error = SPF_server_get_record(server, request, response.get(), &record); error != SPF_E_SUCCESS) {
        if (record) SPF_record_free(record);
        // The library leaves a DNS failure here without a result of its own.
        if (error == SPF_E_DNS_ERROR) return SpfResult::TempError;
        SPF_i_done(response.get(), response->result, response->reason, error);
        return FromLibrary(SPF_response_result(response.get()));
    }
    response->spf_record_exp = record;
    SPF_record_interpret(record, request, response.get(), 0);
    response->spf_record_exp = nullptr;
    SPF_record_free(record);
    return FromLibrary(SPF_response_result(response.get()));
}

// A record the library could not finish because DNS failed (an include, a mechanism's name) is a
// temporary failure, not the sender's error, though the library may call it either.
SpfResult Evaluated(SPF_server_t* server, SPF_request_t* request, const DnsLookups& dns) {
    const std::size_t failedBefore = dns.Failures();
    const SpfResult result = Evaluate(server, request);
    return result == SpfResult::PermError && dns.Failures() != failedBefore ? SpfResult::TempError : result;
}

}  // namespace

std::string_view SpfResultText(SpfResult result) {
    switch (result) {
        case SpfResult::None: return "none";
        case SpfResult::Neutral: return "neutral";
        case SpfResult::Pass: return "pass";
        case SpfResult::Fail: return "fail";
        case SpfResult::SoftFail: return "softfail";
        case SpfResult::TempError: return "temperror";
        case SpfResult::PermError: return "permerror";
    }
    return "none";
}

SpfOutcome CheckSpf(DnsLookups& dns, std::string_view clientAddress, std::string_view helo, std::string_view sender) {
    QuietLibrary();
    SpfOutcome outcome;
    const std::size_t at = sender.rfind('@');
    outcome.helo = sender.empty() || at == std::string_view::npos;
    outcome.domain = ToLowerAscii(outcome.helo ? helo : sender.substr(at + 1));
    if (outcome.domain.empty()) return outcome;  // nothing to check: "none"

    SPF_dns_server_t layer{};
    layer.lookup = Lookup;
    layer.name = "pellworth";
    layer.hook = &dns;  // no destroy: the layer is ours and lives on the stack
    std::unique_ptr<SPF_server_t, ServerFree> server(SPF_server_new_dns(&layer, 0));
    if (!server) return {SpfResult::TempError, outcome.domain, outcome.helo};
    std::unique_ptr<SPF_request_t, RequestFree> request(SPF_request_new(server.get()));
    const std::string address(clientAddress), heloName(helo);
    const std::string from = outcome.helo ? "postmaster@" + outcome.domain : std::string(sender);
    const bool six = address.find(':') != std::string::npos;
    if (!request || (six ? SPF_request_set_ipv6_str(request.get(), address.c_str()) : SPF_request_set_ipv4_str(request.get(), address.c_str())) != SPF_E_SUCCESS) {
        outcome.result = SpfResult::PermError;
        return outcome;
    }
    if (!heloName.empty()) SPF_request_set_helo_dom(request.get(), heloName.c_str());
    if (SPF_request_set_env_from(request.get(), from.c_str()) != 0) {
        outcome.result = SpfResult::PermError;
        return outcome;
    }
    outcome.result = Evaluated(server.get(), request.get(), dns);
    return outcome;
}

}  // namespace pw::mailauth
