// DkimVerifier: libopendkim over a stored message.
#include "mailauth/DkimVerifier.h"

#include "mailauth/DkimLibrary.h"
#include "mailauth/HeaderFields.h"
#include "mailauth/MailAuthLimits.h"
#include "platform/Text.h"

#include <memory>

namespace pw::mailauth {

namespace {

constexpr std::size_t kBlock = 64 * 1024;

struct DkimFree {
    void operator()(DKIM* dkim) const { dkim_free(dkim); }
};

// A name from a signature, kept only when it is a plain domain name (it goes into a header field).
std::string PlainName(const unsigned char* text) {
    if (!text) return {};
    const std::string name(reinterpret_cast<const char*>(text));
    if (name.empty() || name.size() > 255) return {};
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!ok) return {};
    }
    return name;
}

// Where libopendkim sees the header end: at the first empty line, in the line ends its first line
// uses (CR LF, else a bare LF) -- with CR LF lines a bare LF ends nothing.
std::size_t LibraryHeaderEnd(const std::string& head) {
    const std::size_t firstEnd = head.find('\n');
    if (firstEnd == std::string::npos) return std::string::npos;
    const bool crlf = firstEnd > 0 && head[firstEnd - 1] == '\r';
    return head.find(crlf ? "\r\n\r\n" : "\n\n");
}

DkimResult SignatureResult(DKIM_SIGINFO* sig) {
    if ((dkim_sig_getflags(sig) & DKIM_SIGFLAG_PASSED) != 0 && dkim_sig_getbh(sig) == DKIM_SIGBH_MATCH) return DkimResult::Pass;
    switch (dkim_sig_geterror(sig)) {
        case DKIM_SIGERROR_KEYFAIL: return DkimResult::TempError;
        case DKIM_SIGERROR_OK:
        case DKIM_SIGERROR_BADSIG: return DkimResult::Fail;
        default: break;
    }
    // Processed with a key but the body hash differs: the message was changed.
    if ((dkim_sig_getflags(sig) & DKIM_SIGFLAG_PROCESSED) != 0 && dkim_sig_getbh(sig) == DKIM_SIGBH_MISMATCH) return DkimResult::Fail;
    return DkimResult::PermError;
}

}  // namespace

std::string_view DkimResultText(DkimResult result) {
    switch (result) {
        case DkimResult::None: return "none";
        case DkimResult::Pass: return "pass";
        case DkimResult::Fail: return "fail";
        case DkimResult::Neutral: return "neutral";
        case DkimResult::TempError: return "temperror";
        case DkimResult::PermError: return "permerror";
    }
    return "none";
}

DkimKeyLookup KeysFromDns(DnsLookups& dns) {
    return [&dns](const std::string& name, std::string& record) {
        std::vector<std::string> records;
        switch (dns.Txt(name, records)) {
            case DnsResult::Answered: break;
            case DnsResult::Failed: return KeyLookupStatus::Failed;
            default: return KeyLookupStatus::NotFound;
        }
        record = records.front();
        return KeyLookupStatus::Found;
    };
}

std::vector<DkimOutcome> VerifyDkim(const DkimKeyLookup& keys, Stream& content) {
    std::vector<std::byte> block(kBlock);
    std::string head;
    bool ended = false;
    // The header first, within its bounds; only a header that ends within them is verified.
    while (head.size() <= kMaxCheckedHeaderBytes) {
        std::size_t got = 0;
        const HRESULT hr = content.Read(block, got);
        if (hr == STG_E_ENDOFFILE || got == 0) {
            ended = true;
            break;
        }
        ThrowIfFailed(hr, "reading the message content");
        head.append(reinterpret_cast<const char*>(block.data()), got);
        if (LibraryHeaderEnd(head) != std::string::npos) break;
    }
    const HeaderFields header = ReadHeaderFields(head, kMaxCheckedHeaderBytes, kMaxCheckedHeaderFields);
    const bool signedMessage = !header.Values("DKIM-Signature").empty();
    if (!signedMessage) return {};
    if (!header.complete) return {{DkimResult::PermError, {}, {}}};
    // libopendkim (2.11) reads past its buffer on a header field holding a NUL byte, which RFC 5322
    // never allows in a header anyway: such a message is not handed to it.
    const std::size_t headerEnd = LibraryHeaderEnd(head);
    if (headerEnd == std::string::npos || head.find('\0') < headerEnd) return {{DkimResult::PermError, {}, {}}};

    DKIM_LIB* lib = DkimLibrary();
    DKIM_STAT status = DKIM_STAT_OK;
    std::unique_ptr<DKIM, DkimFree> dkim(lib ? dkim_verify(lib, reinterpret_cast<const unsigned char*>("pellworth"), nullptr, &status) : nullptr);
    if (!dkim) return {{DkimResult::TempError, {}, {}}};
    dkim_set_user_context(dkim.get(), const_cast<DkimKeyLookup*>(&keys));
    status = dkim_chunk(dkim.get(), reinterpret_cast<unsigned char*>(head.data()), head.size());
    while (status == DKIM_STAT_OK && !ended) {
        std::size_t got = 0;
        const HRESULT hr = content.Read(block, got);
        if (hr == STG_E_ENDOFFILE || got == 0) break;
        ThrowIfFailed(hr, "reading the message content");
        status = dkim_chunk(dkim.get(), reinterpret_cast<unsigned char*>(block.data()), got);
    }
    if (status == DKIM_STAT_OK) status = dkim_chunk(dkim.get(), nullptr, 0);
    if (status == DKIM_STAT_OK || status == DKIM_STAT_NOSIG) status = dkim_eom(dkim.get(), nullptr);
    DKIM_SIGINFO** sigs = nullptr;
    int count = 0;
    if (dkim_getsiglist(dkim.get(), &sigs, &count) != DKIM_STAT_OK || count == 0) {
        // Signature fields were there but none could even be read.
        return {{status == DKIM_STAT_CBTRYAGAIN ? DkimResult::TempError : DkimResult::PermError, {}, {}}};
    }
    std::vector<DkimOutcome> outcomes;
    for (int i = 0; i < count && outcomes.size() < kMaxVerifiedSignatures; ++i) {
        if ((dkim_sig_getflags(sigs[i]) & DKIM_SIGFLAG_IGNORE) != 0) continue;
        outcomes.push_back({SignatureResult(sigs[i]), PlainName(dkim_sig_getdomain(sigs[i])), PlainName(dkim_sig_getselector(sigs[i]))});
    }
    if (outcomes.empty()) outcomes.push_back({DkimResult::PermError, {}, {}});
    return outcomes;
}

}  // namespace pw::mailauth
