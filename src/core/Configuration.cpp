// Configuration: loading with restore and defaults, saving with backup.
#include "core/Configuration.h"

#include "core/LanguageTexts.h"

namespace pw::core {

namespace {

// The fallback when the catalogue has no text 219.
constexpr std::string_view kDefaultPublicPrefix = "Public Folders";
constexpr std::int32_t kDefaultTimeout = 360;
// IMAP over TLS from the first byte (RFC 8314); written switched off, for it needs a certificate.
constexpr std::uint16_t kDefaultSmtpsPort = 465;
constexpr std::uint16_t kDefaultPop3sPort = 995;
constexpr std::uint16_t kDefaultImapsPort = 993;

HRESULT ReadStreamBytes(const DirStorage& root, std::string_view name, std::vector<std::byte>& bytes) {
    std::unique_ptr<FileStream> stream;
    HRESULT hr = root.OpenStream(name, STGM_READ | STGM_SHARE_DENY_WRITE, stream);
    if (Succeeded(hr)) hr = ReadToEnd(*stream, bytes);
    return hr;
}

HRESULT ParseFile(const DirStorage& root, std::string_view name, ConfigTree& tree) {
    std::vector<std::byte> bytes;
    if (const HRESULT hr = ReadStreamBytes(root, name, bytes); Failed(hr)) return hr;
    MemoryStream stream(std::move(bytes));
    return tree.ReadFrom(stream);
}

// Copies the backup over the configuration file, in blocks as the restore always has.
HRESULT RestoreFromBackup(const DirStorage& root) {
    std::unique_ptr<FileStream> backup;
    if (const HRESULT hr = root.OpenStream(kConfigBackupName, STGM_READ | STGM_SHARE_DENY_WRITE, backup); Failed(hr)) {
        return hr;
    }
    MemoryStream copy;
    if (const HRESULT hr = CopyStream(*backup, copy, kRestoreBlockSize); Failed(hr)) return hr;
    return root.ReplaceStream(kConfigFileName, copy.Bytes());
}

// Keeps what a damaged configuration file held before the restore replaces it.
void KeepDamagedCopy(const DirStorage& root) {
    std::vector<std::byte> bytes;
    // Only a courtesy for whoever looks into the damage: the restore goes ahead without it.
    if (Succeeded(ReadStreamBytes(root, kConfigFileName, bytes))) (void)root.ReplaceStream(kConfigDamagedName, bytes);
}

}  // namespace

ConfigTree& ServerConfig() {
    static ConfigTree tree;
    return tree;
}

Variant PortValue(std::uint16_t port) { return Variant::UI2(static_cast<std::uint16_t>((port >> 8) | (port << 8))); }

std::uint16_t PortFromValue(const Variant& value) {
    const auto stored = static_cast<std::uint16_t>(value.AsInt64());
    return static_cast<std::uint16_t>((stored >> 8) | (stored << 8));
}

void WriteConfigurationDefaults(ConfigTree& tree) {
    const auto guard = tree.Lock();
    struct Listener {
        std::string_view prefix;
        std::uint16_t port;
    };
    for (const Listener& listener : {Listener{"sys:smtp:0:", 25}, Listener{"sys:pop3:0:", 110},
                                     Listener{"sys:imap4:0:", 143}}) {
        const std::string prefix(listener.prefix);
        tree.Set(prefix + "enabled", Variant::Switch(true));
        tree.Set(prefix + "ip", Variant::I4(0));
        tree.Set(prefix + "port", PortValue(listener.port));
        tree.Set(prefix + "timeout", Variant::I4(kDefaultTimeout));
        if (listener.port == 25) tree.Set(prefix + "pop3auth", Variant::Switch(true));
    }
    // Instance 1 of each protocol is its implicit-TLS port (RFC 8314), ready to be switched on once a
    // certificate is configured. Only a new store gets them: an existing one keeps the instances it has.
    for (const Listener& listener : {Listener{"sys:smtp:1:", kDefaultSmtpsPort}, Listener{"sys:pop3:1:", kDefaultPop3sPort},
                                     Listener{"sys:imap4:1:", kDefaultImapsPort}}) {
        const std::string prefix(listener.prefix);
        tree.Set(prefix + "enabled", Variant::Switch(false));
        tree.Set(prefix + "ip", Variant::I4(0));
        tree.Set(prefix + "port", PortValue(listener.port));
        tree.Set(prefix + "timeout", Variant::I4(kDefaultTimeout));
        tree.Set(prefix + "ssl", Variant::Switch(true));
    }
    // Submission over TLS takes mail from the server's own users only.
    tree.Set("sys:smtp:1:smtpauth", Variant::Switch(true));
    tree.Set("sys:smtp:1:smtpauthrequired", Variant::Switch(true));
    const std::string prefix = LoadText(219);
    tree.Set("sys:public:prefix", Variant::Text(prefix.empty() ? kDefaultPublicPrefix : prefix));
}

bool LoadConfiguration(ConfigTree& tree, const DirStorage& root) {
    const auto guard = tree.Lock();
    if (!root.Exists()) return false;
    const HRESULT first = ParseFile(root, kConfigFileName, tree);
    if (Succeeded(first)) return true;
    if (first != STG_E_FILENOTFOUND) KeepDamagedCopy(root);

    const HRESULT restored = RestoreFromBackup(root);
    if (Failed(restored)) {
        // A new store has neither file: it starts from the defaults, which the first save records.
        if (first == STG_E_FILENOTFOUND && restored == STG_E_FILENOTFOUND) WriteConfigurationDefaults(tree);
        return false;
    }
    return Succeeded(ParseFile(root, kConfigFileName, tree));
}

bool SaveConfiguration(ConfigTree& tree, const DirStorage& root) {
    const auto guard = tree.Lock();
    if (!tree.IsDirty()) return true;
    MemoryStream content;
    if (Failed(tree.WriteTo(content))) return false;

    std::vector<std::byte> current;
    const HRESULT read = ReadStreamBytes(root, kConfigFileName, current);
    if (Succeeded(read) && Failed(root.ReplaceStream(kConfigBackupName, current))) return false;
    if (Failed(read) && read != STG_E_FILENOTFOUND) return false;

    if (Failed(root.ReplaceStream(kConfigFileName, content.Bytes()))) return false;
    tree.SetDirty(false);
    return true;
}

}  // namespace pw::core
