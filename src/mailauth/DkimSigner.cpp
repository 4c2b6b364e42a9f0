// DkimSigner: signing what leaves.
#include "mailauth/DkimSigner.h"

#include "core/Logging.h"
#include "mailauth/DkimKey.h"
#include "mailauth/DkimLibrary.h"
#include "mailauth/HeaderFields.h"
#include "mailauth/MailAuthLimits.h"
#include "platform/Text.h"

#include <memory>
#include <optional>
#include <vector>

namespace pw::mailauth {

namespace {

constexpr std::size_t kBlock = 64 * 1024;
constexpr std::string_view kFieldName = "DKIM-Signature: ";

struct DkimFree {
    void operator()(DKIM* dkim) const { dkim_free(dkim); }
};

// Reads the content up to the end of its header, at most kMaxSignedHeaderScan bytes.
std::string ReadHead(Stream& content) {
    std::string head;
    std::vector<std::byte> block(kBlock);
    while (head.size() < kMaxSignedHeaderScan && head.find("\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        std::size_t got = 0;
        const HRESULT hr = content.Read(block, got);
        if (hr == STG_E_ENDOFFILE || got == 0) break;
        ThrowIfFailed(hr, "reading the message content");
        head.append(reinterpret_cast<const char*>(block.data()), got);
    }
    ThrowIfFailed(content.Seek(0, SeekOrigin::Begin), "rewinding the message content");
    return head;
}

std::optional<std::string> SenderDomain(std::string_view sender) {
    const std::size_t at = sender.rfind('@');
    if (at == std::string_view::npos || at + 1 == sender.size()) return std::nullopt;
    return ToLowerAscii(sender.substr(at + 1));
}

// Do the two domains align as DMARC's relaxed mode sees it (one is the other or below it)?
bool Aligned(const std::string& a, const std::string& b) {
    return a == b || a.ends_with("." + b) || b.ends_with("." + a);
}

// CR LF for every line end the library wrote, so the field is a field on the wire.
std::string WithCrLf(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

}  // namespace

std::string SignMessage(std::string_view pem, std::string_view selector, std::string_view domain, Stream& content, KeyKind kind) {
    DKIM_LIB* lib = DkimLibrary();
    if (!lib) return {};
    const std::string key(pem), selectorText(selector), domainText(domain);
    DKIM_STAT status = DKIM_STAT_OK;
    const bool ed25519 = kind == KeyKind::Ed25519;
    std::unique_ptr<DKIM, DkimFree> dkim(dkim_sign(lib, reinterpret_cast<const unsigned char*>("pellworth"), nullptr,
                                                   reinterpret_cast<dkim_sigkey_t>(const_cast<char*>(key.c_str())),
                                                   reinterpret_cast<const unsigned char*>(selectorText.c_str()),
                                                   reinterpret_cast<const unsigned char*>(domainText.c_str()), DKIM_CANON_RELAXED,
                                                   DKIM_CANON_RELAXED, ed25519 ? DKIM_SIGN_ED25519SHA256 : DKIM_SIGN_RSASHA256, -1, &status));
    if (!dkim || status != DKIM_STAT_OK) {
        core::Log(core::LogLevelWarning, "DKIM: signing for " + domainText + " could not start (the key may be damaged)");
        return {};
    }
    std::vector<std::byte> block(kBlock);
    for (;;) {
        std::size_t got = 0;
        const HRESULT hr = content.Read(block, got);
        if (hr == STG_E_ENDOFFILE || got == 0) break;
        ThrowIfFailed(hr, "reading the message content");
        status = dkim_chunk(dkim.get(), reinterpret_cast<unsigned char*>(block.data()), got);
        if (status != DKIM_STAT_OK) break;
    }
    ThrowIfFailed(content.Seek(0, SeekOrigin::Begin), "rewinding the message content");
    if (status == DKIM_STAT_OK) status = dkim_chunk(dkim.get(), nullptr, 0);
    if (status == DKIM_STAT_OK) status = dkim_eom(dkim.get(), nullptr);
    unsigned char* field = nullptr;
    std::size_t length = 0;
    if (status == DKIM_STAT_OK) status = dkim_getsighdr_d(dkim.get(), kFieldName.size(), &field, &length);
    if (status != DKIM_STAT_OK || !field) {
        core::Log(core::LogLevelWarning, Format("DKIM: the message could not be signed for %s (status %d)", {std::string_view(domainText), std::int64_t{status}}));
        return {};
    }
    return WithCrLf(std::string(kFieldName) + std::string(reinterpret_cast<const char*>(field), length)) + "\r\n";
}

std::string DkimSignatureFor(const store::MessageStore& messageStore, Stream& content, std::string_view envelopeSender) {
    const std::string head = ReadHead(content);
    std::vector<std::string> candidates;
    const auto header = ReadHeaderFields(head, kMaxSignedHeaderScan, kMaxCheckedHeaderFields);
    // Mail that came in from outside carries the Authentication-Results field our intake added (its
    // name is one of our domains). Passed on (a forward, an alias), it is not ours to sign as its
    // author: a forged From of a local domain would leave here with our valid signature.
    bool fromOutside = false;
    for (const std::string& results : header.Values("Authentication-Results")) {
        std::string_view id = TrimAscii(std::string_view(results).substr(0, results.find(';')));
        id = id.substr(0, id.find_first_of(" \t("));
        if (!id.empty() && messageStore.FindDomain(id)) fromOutside = true;
    }
    std::optional<std::string> author;
    if (const auto from = header.Values("From"); from.size() == 1) author = AuthorDomain(from.front());
    if (author && !fromOutside) candidates.push_back(*author);
    const auto sender = SenderDomain(envelopeSender);
    // From outside, the envelope sender's domain signs only where DMARC would not take it for the
    // author's (a list's own address does; a forged local sender does not).
    if (sender && !(fromOutside && author && Aligned(*sender, *author))) candidates.push_back(*sender);
    for (const std::string& name : candidates) {
        const auto domain = messageStore.FindDomain(name);
        if (!domain) continue;
        const auto key = ReadSigningKey(*domain);
        if (!key) continue;
        std::string fields = SignMessage(key->pem, key->selector, name, content);
        // The second signature, when the domain has an Ed25519 key too: each covers the content
        // without the other (neither lists DKIM-Signature), so a verifier checks them apart.
        if (const auto second = ReadSigningKey(*domain, KeyKind::Ed25519)) {
            fields += SignMessage(second->pem, second->selector, name, content, KeyKind::Ed25519);
        }
        return fields;
    }
    return {};
}

}  // namespace pw::mailauth
