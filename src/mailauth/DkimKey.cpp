// DkimKey: making, storing and reading a domain's DKIM key.
#include "mailauth/DkimKey.h"

#include "core/Logging.h"
#include "mailauth/MailAuthLimits.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pw::mailauth {

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

std::string Base64(const unsigned char* data, int length) {
    std::vector<unsigned char> out(4 * ((static_cast<std::size_t>(length) + 2) / 3) + 1);
    const int written = EVP_EncodeBlock(out.data(), data, length);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(written));
}

std::string DomainDirectory(const store::Domain& domain) { return domain.Storage().Path(); }

std::string KeyPath(const store::Domain& domain, const std::string& file) {
    return !file.empty() && file.front() == '/' ? file : DomainDirectory(domain) + "/" + file;
}

[[noreturn]] void Fail(std::string_view what) {
    throw ComError(E_FAIL, what);
}

// Writes the key aside with mode 0600 and the directory's owner, flushes it and renames it over. The
// key is a file of the store, so its calls go through the storage layer's seam (FileSystem.h) like
// every other store file's: a test's failing call or power cut reaches it too.
void StoreKeyFile(const std::string& directory, const std::string& path, std::string_view pem) {
    FileSystem& fs = FileSystem::Current();
    struct stat owner {};
    if (fs.Stat(directory.c_str(), owner) != 0) Fail("the domain's directory can not be read: " + std::string(std::strerror(errno)));
    const std::string temporary = path + ".new";
    fs.Unlink(temporary.c_str());
    StorageFd fd(fs.Open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) Fail("the key file can not be made: " + std::string(std::strerror(errno)));
    bool written = fs.ChangeMode(fd.Get(), 0600) == 0;
    if (::geteuid() == 0 && ::fchown(fd.Get(), owner.st_uid, owner.st_gid) != 0) written = false;
    for (std::size_t done = 0; written && done < pem.size();) {
        const ssize_t n = fs.Write(fd.Get(), pem.data() + done, pem.size() - done);
        if (n <= 0) written = false; else done += static_cast<std::size_t>(n);
    }
    written = written && fs.Fsync(fd.Get()) == 0;
    written = fs.Close(fd.Release()) == 0 && written;
    if (!written || fs.Rename(temporary.c_str(), path.c_str(), 0) != 0) {
        const std::string reason = std::strerror(errno);
        fs.Unlink(temporary.c_str());
        Fail("the key file can not be written: " + reason);
    }
    if (const StorageFd dir(fs.Open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir) fs.Fsync(dir.Get());
}

}  // namespace

bool ValidSelector(std::string_view selector) {
    if (selector.empty() || selector.size() > kMaxSelector || selector.front() == '.' || selector.back() == '.') return false;
    if (selector.find("..") != std::string_view::npos) return false;
    for (const char c : selector) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::optional<std::string> DkimDnsRecord(std::string_view privateKeyPem) {
    Bio in(BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size())));
    if (!in) return std::nullopt;
    Key key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    if (!key) return std::nullopt;
    if (EVP_PKEY_is_a(key.get(), "ED25519")) {
        // RFC 8463: the raw 32-byte public key, not a SubjectPublicKeyInfo.
        unsigned char raw[32];
        std::size_t length = sizeof raw;
        if (EVP_PKEY_get_raw_public_key(key.get(), raw, &length) != 1) return std::nullopt;
        return "v=DKIM1; k=ed25519; p=" + Base64(raw, static_cast<int>(length));
    }
    if (!EVP_PKEY_is_a(key.get(), "RSA")) return std::nullopt;
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key.get(), &der);
    if (length <= 0) return std::nullopt;
    const std::string encoded = Base64(der, length);
    OPENSSL_free(der);
    return "v=DKIM1; k=rsa; p=" + encoded;
}

MadeKey MakeDkimKey(store::Domain& domain, std::string_view selector, int bits, KeyKind kind) {
    if (!ValidSelector(selector)) throw ComError(E_INVALIDARG, "not a valid selector: " + std::string(selector));
    const bool rsa = kind == KeyKind::Rsa;
    if (rsa && (bits < kMinKeyBits || bits > kMaxKeyBits)) {
        throw ComError(E_INVALIDARG, Format("the key size must be %d to %d bits", {std::int64_t{kMinKeyBits}, std::int64_t{kMaxKeyBits}}));
    }
    const std::string other = domain.GetProperties().Text(rsa ? kDkimEd25519SelectorKey : kDkimSelectorKey);
    if (EqualsNoCase(other, selector)) {
        throw ComError(E_INVALIDARG, "the selector " + std::string(selector) + " names the domain's " + (rsa ? "Ed25519" : "RSA") + " key");
    }
    Key key(rsa ? EVP_RSA_gen(static_cast<unsigned>(bits)) : EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) Fail(rsa ? "OpenSSL could not make an RSA key" : "OpenSSL could not make an Ed25519 key");
    Bio out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) Fail("the key could not be written as PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    const std::string pem(data, static_cast<std::size_t>(size));
    const auto record = DkimDnsRecord(pem);
    if (!record) Fail("the public key could not be encoded");

    const std::string file = "dkim-" + std::string(selector) + ".key";
    const std::string path = KeyPath(domain, file);
    StoreKeyFile(DomainDirectory(domain), path, pem);
    domain.GetProperties().SetItem(rsa ? kDkimSelectorKey : kDkimEd25519SelectorKey, Variant::Text(selector));
    domain.GetProperties().SetItem(rsa ? kDkimKeyFileKey : kDkimEd25519KeyFileKey, Variant::Text(file));
    domain.Update();
    return {std::string(selector) + "._domainkey." + ToLowerAscii(domain.Name()), *record, path};
}

std::optional<SigningKey> ReadSigningKey(const store::Domain& domain, KeyKind kind) {
    const bool rsa = kind == KeyKind::Rsa;
    const std::string selector = domain.GetProperties().Text(rsa ? kDkimSelectorKey : kDkimEd25519SelectorKey);
    const std::string file = domain.GetProperties().Text(rsa ? kDkimKeyFileKey : kDkimEd25519KeyFileKey);
    if (selector.empty() || file.empty()) return std::nullopt;
    if (!ValidSelector(selector)) {
        core::Log(core::LogLevelWarning, "DKIM: the selector of " + domain.Name() + " is not valid; its mail goes unsigned");
        return std::nullopt;
    }
    const std::string path = KeyPath(domain, file);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string pem;
    if (fd >= 0) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && pem.size() <= kMaxKeyFile;) pem.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
    }
    if (fd < 0 || pem.empty() || pem.size() > kMaxKeyFile) {
        core::Log(core::LogLevelWarning, "DKIM: the key file " + path + " of " + domain.Name() + " can not be read; its mail goes unsigned");
        return std::nullopt;
    }
    return SigningKey{selector, std::move(pem)};
}

}  // namespace pw::mailauth
