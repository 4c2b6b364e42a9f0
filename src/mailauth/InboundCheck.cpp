// InboundCheck: the checks of one incoming message and the field that reports them.
#include "mailauth/InboundCheck.h"

#include "core/ConfigTree.h"
#include "core/Logging.h"
#include "mailauth/HeaderFields.h"
#include "mailauth/MailAuthLimits.h"
#include "platform/Text.h"

#include <algorithm>
#include <vector>

namespace pw::mailauth {

namespace {

constexpr std::size_t kBlock = 64 * 1024;

// A property value (RFC 8601 2.2): as it stands when it is a plain token or address, else a quoted
// string; control characters never reach the header.
std::string PropertyValue(std::string_view text) {
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("!#$%&'*+-/=?^_`{|}~.@").find(c) != std::string_view::npos;
    };
    if (!text.empty() && std::all_of(text.begin(), text.end(), plain)) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) continue;
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string ReadAll(Stream& content, std::size_t limit) {
    std::string text;
    std::vector<std::byte> block(kBlock);
    while (text.size() < limit) {
        std::size_t got = 0;
        const HRESULT hr = content.Read(block, got);
        if (hr == STG_E_ENDOFFILE || got == 0) break;
        ThrowIfFailed(hr, "reading the message content");
        text.append(reinterpret_cast<const char*>(block.data()), got);
    }
    return text;
}

// Does an Authentication-Results value claim to come from `authservId` (its first word, before
// any version number and the ";")?
bool ClaimsToBeOurs(std::string_view value, std::string_view authservId) {
    std::string_view id = TrimAscii(value.substr(0, value.find(';')));
    id = id.substr(0, id.find_first_of(" \t\r\n("));
    return EqualsNoCase(id, authservId);
}

// The header as the sender wrote it, without the fields that claim to be ours; the lines of each
// field kept byte for byte. `length` is how many bytes of `head` the header covers.
std::string FilteredHeader(std::string_view head, std::string_view authservId, std::size_t& length) {
    std::string kept;
    std::size_t at = 0;
    bool dropping = false;
    while (at < head.size()) {
        const std::size_t end = head.find('\n', at);
        if (end == std::string_view::npos) break;
        const std::string_view line = head.substr(at, end + 1 - at);
        if (line == "\r\n" || line == "\n") {
            length = at;
            return kept;
        }
        at = end + 1;
        const bool continuation = line.front() == ' ' || line.front() == '\t';
        if (!continuation) {
            const std::size_t colon = line.find(':');
            dropping = colon != std::string_view::npos && EqualsNoCase(TrimAscii(line.substr(0, colon)), "Authentication-Results") &&
                       ClaimsToBeOurs(head.substr(at - line.size() + colon + 1), authservId);
        }
        if (!dropping) kept += line;
    }
    length = 0;  // no end of header within the bound: nothing is filtered
    return {};
}

void Move(Stream& content, std::uint64_t from, std::uint64_t to, std::uint64_t count) {
    std::vector<std::byte> block(kBlock);
    const auto step = [&](std::uint64_t offset, std::uint64_t size) {
        std::size_t got = 0;
        ThrowIfFailed(content.Seek(static_cast<std::int64_t>(from + offset), SeekOrigin::Begin), "moving the message content");
        const HRESULT hr = content.Read(std::span(block.data(), static_cast<std::size_t>(size)), got);
        if (Failed(hr) || got != size) throw ComError(Failed(hr) ? hr : E_FAIL, "moving the message content");
        ThrowIfFailed(content.Seek(static_cast<std::int64_t>(to + offset), SeekOrigin::Begin), "moving the message content");
        ThrowIfFailed(content.Write(std::span<const std::byte>(block.data(), got)), "moving the message content");
    };
    if (to > from) {
        // Backwards, so no byte is overwritten before it moved.
        for (std::uint64_t left = count; left > 0;) {
            const std::uint64_t size = std::min<std::uint64_t>(left, block.size());
            left -= size;
            step(left, size);
        }
    } else {
        for (std::uint64_t done = 0; done < count;) {
            const std::uint64_t size = std::min<std::uint64_t>(count - done, block.size());
            step(done, size);
            done += size;
        }
    }
}

}  // namespace

InboundResults RunChecks(const InboundFacts& facts, DnsLookups& dns, Stream& content) {
    InboundResults results;
    ThrowIfFailed(content.Seek(0, SeekOrigin::Begin), "rewinding the message content");
    const std::string head = ReadAll(content, kMaxCheckedHeaderBytes);
    const HeaderFields header = ReadHeaderFields(head, kMaxCheckedHeaderBytes, kMaxCheckedHeaderFields);
    const auto from = header.Values("From");
    const std::optional<std::string> author = from.size() == 1 ? AuthorDomain(from.front()) : std::nullopt;

    results.spf = CheckSpf(dns, facts.clientAddress, facts.helo, facts.sender);
    ThrowIfFailed(content.Seek(0, SeekOrigin::Begin), "rewinding the message content");
    results.dkim = VerifyDkim(KeysFromDns(dns), content);
    results.dmarc = CheckDmarc(dns, facts.clientAddress, author, results.spf, results.dkim);
    results.field = AuthenticationResultsField(facts.authservId, results);
    return results;
}

std::string AuthenticationResultsField(std::string_view authservId, const InboundResults& results) {
    std::string field = "Authentication-Results: " + PropertyValue(authservId);
    field += ";\r\n\tspf=" + std::string(SpfResultText(results.spf.result));
    if (!results.spf.domain.empty()) field += (results.spf.helo ? " smtp.helo=" : " smtp.mailfrom=") + PropertyValue(results.spf.domain);
    if (results.dkim.empty()) field += ";\r\n\tdkim=none";
    for (const DkimOutcome& signature : results.dkim) {
        field += ";\r\n\tdkim=" + std::string(DkimResultText(signature.result));
        if (!signature.domain.empty()) field += " header.d=" + signature.domain;
        if (!signature.selector.empty()) field += " header.s=" + signature.selector;
    }
    field += ";\r\n\tdmarc=" + std::string(DmarcResultText(results.dmarc.result));
    if (results.dmarc.result == DmarcResult::Fail) {
        const std::string_view policy = results.dmarc.policy == 'r' ? "reject" : results.dmarc.policy == 'q' ? "quarantine" : "none";
        field += " (p=" + std::string(policy) + ")";
    }
    if (!results.dmarc.fromDomain.empty()) field += " header.from=" + PropertyValue(results.dmarc.fromDomain);
    return field + "\r\n";
}

void InsertAtTop(Stream& content, std::string_view field, std::string_view authservId) {
    ThrowIfFailed(content.Seek(0, SeekOrigin::Begin), "rewinding the message content");
    const std::string head = ReadAll(content, kMaxCheckedHeaderBytes);
    std::uint64_t size = 0;
    ThrowIfFailed(content.Seek(0, SeekOrigin::End, &size), "measuring the message content");
    std::size_t replaced = 0;
    const std::string kept = FilteredHeader(head, authservId, replaced);
    // Below the Received field the intake wrote first, so this hop's trace fields stay together and
    // the message still starts with its newest Received line; above everything the sender wrote.
    std::size_t ours = 0;
    if (StartsWithNoCase(kept, "Received:")) {
        for (std::size_t end = kept.find('\n'); end != std::string::npos; end = kept.find('\n', end + 1)) {
            ours = end + 1;
            if (ours >= kept.size() || (kept[ours] != ' ' && kept[ours] != '\t')) break;
        }
    }
    const std::string top = kept.substr(0, ours) + std::string(field) + kept.substr(ours);
    const std::uint64_t rest = size - replaced;
    if (top.size() > replaced) {
        ThrowIfFailed(content.SetSize(size + top.size() - replaced), "growing the message content");
    }
    Move(content, replaced, top.size(), rest);
    if (top.size() < replaced) ThrowIfFailed(content.SetSize(size - replaced + top.size()), "shrinking the message content");
    ThrowIfFailed(content.Seek(0, SeekOrigin::Begin), "rewinding the message content");
    ThrowIfFailed(content.Write(top), "writing the message header");
}

bool CheckInbound(std::string_view authservId, Stream& content, store::Envelope& envelope, const core::ConfigTree& config) {
    Variant setting;
    const std::int32_t action = config.Get(kDmarcActionKey, setting) && !setting.IsEmpty() ? setting.AsI4() : DmarcActionMark;
    const auto& properties = envelope.GetProperties();
    const InboundFacts facts{std::string(authservId), envelope.ReceivedFrom(), properties.Text("SMTP_HELO"), envelope.Sender()};
    AuthDns dns(config);
    const InboundResults results = RunChecks(facts, dns, content);
    const bool failed = results.dmarc.result == DmarcResult::Fail;
    core::Log(core::LogLevelVerbose, "Mail authentication of the message from <" + facts.sender + "> (" + facts.clientAddress +
                                         "): spf=" + std::string(SpfResultText(results.spf.result)) +
                                         " dmarc=" + std::string(DmarcResultText(results.dmarc.result)));
    if (failed && action == DmarcActionRefuse && results.dmarc.policy == 'r') {
        core::Log(core::LogLevelNormal, "The message from <" + facts.sender + "> fails the DMARC reject policy of " +
                                            results.dmarc.fromDomain + " and is refused");
        return false;
    }
    InsertAtTop(content, results.field, authservId);
    if (failed && action != DmarcActionNone && (results.dmarc.policy == 'r' || results.dmarc.policy == 'q')) {
        envelope.GetProperties().SetItem(kDmarcSpamKey, Variant::I4(1));
    }
    return true;
}

}  // namespace pw::mailauth
