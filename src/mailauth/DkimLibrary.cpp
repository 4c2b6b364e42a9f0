// DkimLibrary: the shared libopendkim handle and its key lookup.
#include "mailauth/DkimLibrary.h"

#include "mailauth/MailAuthLimits.h"

#include <cstring>
#include <mutex>

namespace pw::mailauth {

namespace {

// The fields a signature covers when the message has them (RFC 6376 5.4.1's list, and the list
// fields mailing lists add).
const char* kSignedHeaders[] = {"from", "sender", "reply-to", "subject", "date", "message-id", "to", "cc",
                                "mime-version", "content-type", "content-transfer-encoding", "content-id",
                                "content-description", "in-reply-to", "references", "list-id", "list-help",
                                "list-unsubscribe", "list-unsubscribe-post", "list-subscribe", "list-post",
                                "list-owner", "list-archive", nullptr};
const char* kOversignedHeaders[] = {"from", nullptr};

DKIM_CBSTAT LookupKey(DKIM* dkim, DKIM_SIGINFO* sig, u_char* buf, size_t buflen) {
    const auto* lookup = static_cast<const DkimKeyLookup*>(dkim_get_user_context(dkim));
    const unsigned char* selector = dkim_sig_getselector(sig);
    const unsigned char* domain = dkim_sig_getdomain(sig);
    if (!lookup || !*lookup || !selector || !domain || buflen == 0) return DKIM_CBSTAT_ERROR;
    const std::string name = std::string(reinterpret_cast<const char*>(selector)) + "._domainkey." + reinterpret_cast<const char*>(domain);
    std::string record;
    switch ((*lookup)(name, record)) {
        case KeyLookupStatus::NotFound: return DKIM_CBSTAT_NOTFOUND;
        case KeyLookupStatus::Failed: return DKIM_CBSTAT_TRYAGAIN;
        case KeyLookupStatus::Found: break;
    }
    if (record.size() >= buflen) return DKIM_CBSTAT_ERROR;
    std::memcpy(buf, record.data(), record.size());
    buf[record.size()] = '\0';
    return DKIM_CBSTAT_CONTINUE;
}

// Signatures past the first few are ignored before any key is asked for: a message with thousands
// of them costs no more lookups or RSA operations than one with a few.
DKIM_CBSTAT Prescreen(DKIM*, DKIM_SIGINFO** sigs, int count) {
    for (int i = static_cast<int>(kMaxVerifiedSignatures); i < count; ++i) dkim_sig_ignore(sigs[i]);
    return DKIM_CBSTAT_CONTINUE;
}

DKIM_LIB* MakeLibrary() {
    DKIM_LIB* lib = dkim_init(nullptr, nullptr);
    if (!lib) return nullptr;
    unsigned flags = DKIM_LIBFLAGS_FIXCRLF;
    unsigned minBits = kMinVerifiedKeyBits;
    dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_FLAGS, &flags, sizeof flags);
    dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_SIGNHDRS, kSignedHeaders, sizeof(const char**));
    dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_OVERSIGNHDRS, kOversignedHeaders, sizeof(const char**));
    dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_MINKEYBITS, &minBits, sizeof minBits);
    dkim_set_key_lookup(lib, LookupKey);
    dkim_set_prescreen(lib, Prescreen);
    return lib;
}

}  // namespace

DKIM_LIB* DkimLibrary() {
    static std::once_flag once;
    static DKIM_LIB* library = nullptr;
    std::call_once(once, [] { library = MakeLibrary(); });
    return library;
}

}  // namespace pw::mailauth
