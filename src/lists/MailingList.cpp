// MailingList: the list's settings, its member database's place and its tokens.
#include "lists/MailingList.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "platform/HResult.h"
#include "platform/Text.h"
#include "store/StoreTypes.h"

namespace pw::lists {

namespace {

std::string Hex(const unsigned char* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0f];
    }
    return text;
}

}  // namespace

MailingList::MailingList(std::shared_ptr<store::MailBox> mailbox) : mailbox_(std::move(mailbox)) {
    if (!mailbox_ || mailbox_->MailBoxType() != store::MailingListMailBoxType) {
        throw ComError(E_INVALIDARG, "Not a mailing list: " + (mailbox_ ? mailbox_->Address() : std::string("(none)")));
    }
}

std::string MailingList::DataSource() const {
    const std::string configured = Text("ml:datasource");
    if (!configured.empty()) return configured;
    std::string directory = mailbox_->Storage().Path();
    if (!directory.empty() && directory.back() != '/') directory += '/';
    return directory + Name() + ".mdb";
}

std::unique_ptr<MLMembers> MailingList::Members() const { return std::make_unique<MLMembers>(DataSource()); }

bool MailingList::IsContributor(std::string_view address) const {
    const std::string wanted = MLMembers::Normalise(address);
    if (wanted.empty()) return false;
    const std::string list = Contributors();
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = list.find_first_of(";,", start);
        const std::string_view entry = std::string_view(list).substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (MLMembers::Normalise(entry) == wanted) return true;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}

std::string MailingList::Secret() {
    std::string secret = Text(kSecretKey);
    if (secret.size() == kSecretBytes * 2) return secret;
    // Made under the directory's lock: two routers that both find none agree on the one written first.
    mailbox_->UpdateProperty(kSecretKey, [](const Variant& stored) {
        if (stored.IsText() && stored.AsText().size() == kSecretBytes * 2) return stored;
        unsigned char bytes[kSecretBytes];
        if (RAND_bytes(bytes, static_cast<int>(kSecretBytes)) != 1) throw ComError(E_FAIL, "No random bytes for a list secret");
        const std::string made = Hex(bytes, kSecretBytes);
        OPENSSL_cleanse(bytes, sizeof bytes);
        return Variant::Text(made);
    });
    secret = Text(kSecretKey);
    if (secret.size() != kSecretBytes * 2) throw ComError(E_FAIL, "The list " + Address() + " has no secret");
    return secret;
}

std::string MailingList::Mac(std::string_view action, std::string_view text) {
    const std::string secret = Secret();
    // The fields are joined by a byte no address or list name holds, so no two inputs share a text.
    const std::string data = ToLowerAscii(action) + '\n' + ToLowerAscii(Address()) + '\n' + std::string(text);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(data.data()),
              data.size(), mac, &length)) {
        throw ComError(E_FAIL, "The token of a list could not be made");
    }
    return Hex(mac, length).substr(0, kTokenDigits);
}

bool MailingList::CheckMac(std::string_view action, std::string_view text, std::string_view mac) {
    if (mac.size() != kTokenDigits) return false;
    const std::string expected = Mac(action, text);
    const std::string offered = ToLowerAscii(mac);
    return CRYPTO_memcmp(expected.data(), offered.data(), kTokenDigits) == 0;
}

std::string MailingList::Token(std::string_view action, std::string_view address) { return Mac(action, MLMembers::Normalise(address)); }

bool MailingList::CheckToken(std::string_view action, std::string_view address, std::string_view token) {
    const std::string normal = MLMembers::Normalise(address);
    return !normal.empty() && CheckMac(action, normal, token);
}

}  // namespace pw::lists
