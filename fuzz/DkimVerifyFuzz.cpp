// Fuzz target: the verification path of incoming mail -- a message (and, when its first line is one,
// the key record it is checked against) through DKIM verification, the Authentication-Results field
// made of the outcome, and the rewrite that puts the field in front of the stored content.
//
// A hostile message costs bounded time and memory (the run's -timeout and -rss_limit_mb catch what
// does not) and yields at most kMaxVerifiedSignatures outcomes; the field is one header field (every
// line after the first starts with a tab, no control character, no empty line); the rewrite keeps the
// body byte for byte. Keys come from a lookup of the target's own: selector "none" has no key,
// "temp" fails temporarily, every other name gets the seed corpus's key -- no DNS is ever asked.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mailauth/DkimVerifier.h"
#include "mailauth/HeaderFields.h"
#include "mailauth/InboundCheck.h"
#include "mailauth/MailAuthLimits.h"

using namespace pw;
using namespace pw::mailauth;

namespace {

// The public half of the key the seed corpus was signed with (1024 bits, made for this target only).
constexpr std::string_view kSeedKey =
    "v=DKIM1; k=rsa; p=MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDJvf9LNPqIZ4of5k121HRGdI+akRhXxgfkMLxLzjlOkhYWwZ+HsK8Kg7kYuKRx"
    "NxYHH07K6wxGM3aEg534X1rhzMJlfrpoAhJX2vnXtMpFl6WSYTYCcUqbU9ydzMhNyLajlnjbukZunuHj0dNkDVwk6GX2D9URgryWwCIcHHpgVQIDAQAB";

MemoryStream StreamOf(std::string_view text) {
    const auto* start = reinterpret_cast<const std::byte*>(text.data());
    return MemoryStream(std::vector<std::byte>(start, start + text.size()));
}

std::string TextOf(const MemoryStream& stream) {
    return std::string(reinterpret_cast<const char*>(stream.Bytes().data()), stream.Bytes().size());
}

void CheckField(std::string_view field) {
    if (field.size() < 2 || field.substr(field.size() - 2) != "\r\n") __builtin_trap();
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        if (c == '\n') {
            if (i == 0 || field[i - 1] != '\r') __builtin_trap();
            if (i + 1 < field.size() && field[i + 1] != '\t') __builtin_trap();
        } else if (c == '\r') {
            if (i + 1 >= field.size() || field[i + 1] != '\n') __builtin_trap();
        } else if (c < 0x20 && c != '\t') {
            __builtin_trap();
        } else if (c == 0x7f) {
            __builtin_trap();
        }
    }
}

// What follows the first empty line, when the header ends within the checked bound.
std::string_view BodyOf(std::string_view message) {
    std::size_t at = 0;
    while (at < message.size() && at < kMaxCheckedHeaderBytes) {
        const std::size_t end = message.find('\n', at);
        if (end == std::string_view::npos) return {};
        const std::string_view line = message.substr(at, end + 1 - at);
        if (line == "\r\n" || line == "\n") return message.substr(end + 1);
        at = end + 1;
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string key(kSeedKey);
    if (input.starts_with("v=DKIM1")) {
        const std::size_t end = input.find('\n');
        key = std::string(input.substr(0, end));
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    }
    const DkimKeyLookup keys = [&key](const std::string& name, std::string& record) {
        if (name.starts_with("none.")) return KeyLookupStatus::NotFound;
        if (name.starts_with("temp.")) return KeyLookupStatus::Failed;
        record = key;
        return KeyLookupStatus::Found;
    };

    MemoryStream content = StreamOf(input);
    InboundResults results;
    results.dkim = VerifyDkim(keys, content);
    if (results.dkim.size() > kMaxVerifiedSignatures) __builtin_trap();
    const HeaderFields header = ReadHeaderFields(input, kMaxCheckedHeaderBytes, kMaxCheckedHeaderFields);
    if (header.fields.size() > kMaxCheckedHeaderFields) __builtin_trap();
    const auto from = header.Values("From");
    if (from.size() == 1) {
        if (const auto author = AuthorDomain(from.front())) results.dmarc.fromDomain = *author;
    }
    results.spf.domain = results.dmarc.fromDomain;
    results.field = AuthenticationResultsField("mx.example", results);
    CheckField(results.field);

    MemoryStream stored = StreamOf(input);
    InsertAtTop(stored, results.field, "mx.example");
    const std::string rewritten = TextOf(stored);
    const std::string_view body = BodyOf(input);
    if (rewritten.size() < body.size() || std::string_view(rewritten).substr(rewritten.size() - body.size()) != body) __builtin_trap();
    if (rewritten.find(results.field) == std::string::npos) __builtin_trap();
    return 0;
}
