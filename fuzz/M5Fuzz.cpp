// Fuzz target: the IMAP structure parser opens any bytes as a message, and everything it reports holds
// together -- every part and envelope descriptor can be fetched, every byte range lies inside the
// message (a child's inside its parent's body), parts come in depth-first order, and every body reads
// to its end both decoded and raw, within the growth limit, and the first bytes taken as an IMAP
// section number name a part of the message or none. The IMAP structures written from it (ENVELOPE,
// BODY, BODYSTRUCTURE) are well formed: quotes closed, literals whole, parentheses balanced.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "imap/BodyStructure.h"
#include "m5/M5Limits.h"
#include "m5/M5Session.h"

namespace {

using namespace pw::m5;

constexpr std::size_t kSectionBytes = 12;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// Parentheses balance outside quoted strings and literals, and every string and literal is whole.
bool WellFormed(std::string_view text) {
    long depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\') ++i;
            }
            if (i >= text.size()) return false;
        } else if (c == '{') {
            const std::size_t close = text.find("}\r\n", i);
            if (close == std::string_view::npos) return false;
            const std::size_t length = std::stoul(std::string(text.substr(i + 1, close - i - 1)));
            const std::size_t end = close + 3 + length;  // past the literal's data
            if (end > text.size()) return false;
            i = end - 1;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth < 0) {
            return false;
        }
    }
    return depth == 0;
}

void ReadToEnd(M5MessageHandle message, std::size_t part, M5Delivery delivery, std::size_t limit) {
    std::byte buffer[4096];
    std::size_t total = 0;
    for (std::size_t read = 0;;) {
        Check(M5ReadPart(message, part, delivery, buffer, read) == M5STS_SUCCESS);
        if (read == 0) break;
        total += read;
    }
    // Decoding never grows a body past its limit (plus the CR LF a final quoted-printable line gets).
    Check(total <= kMaxDecodedGrowth * limit + 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static M5SessionHandle session = [] {
        M5SessionHandle opened;
        Check(M5OpenSession(kM5ImapSessionName, M5_FLAG_CONVERT, opened) == M5STS_SUCCESS);
        return opened;
    }();
    M5MessageHandle message;
    const M5Status status = M5OpenMessageBytes(session, std::string(reinterpret_cast<const char*>(data), size), message);
    Check(status == M5STS_SUCCESS || status == M5STS_LIMIT_REACHED);
    std::size_t count = 0;
    Check(M5GetPartCount(message, count) == M5STS_SUCCESS && count >= 1);
    const M5EnvelopeDesc* envelope = nullptr;
    Check(M5OpenEnvelope(message, envelope) == M5STS_SUCCESS && envelope->header.End() <= size);
    for (std::size_t number = 0; number < count; ++number) {
        const M5PartDesc* part = nullptr;
        Check(M5GetMimeDesc(message, number, part) == M5STS_SUCCESS && part->number == number);
        Check(part->header.End() <= part->body.offset && part->body.End() <= size);
        if (number != 0) {
            const M5PartDesc* parent = nullptr;
            Check(part->parent < number && M5GetMimeDesc(message, part->parent, parent) == M5STS_SUCCESS);
            Check(part->header.offset >= parent->body.offset && part->body.End() <= parent->body.End());
        }
        for (const std::size_t child : part->children) Check(child > number && child < count);
        if (part->envelope != kM5NoPart) {
            Check(M5GetEmbeddedEnvelopeDesc(message, number, envelope) == M5STS_SUCCESS);
            Check(envelope->part == part->children.at(0));
        }
        std::size_t lines = 0;
        Check(M5GetPartLines(message, number, lines) == M5STS_SUCCESS && lines <= part->body.length);
        ReadToEnd(message, number, M5Delivery::Decoded, part->body.length);
        ReadToEnd(message, number, M5Delivery::Raw, part->body.length);
    }
    for (const bool extended : {false, true}) {
        std::string structure;
        std::string call;
        Check(pw::imap::WriteBodyStructure(message, 0, extended, structure, call) == M5STS_SUCCESS && WellFormed(structure));
    }
    Check(M5OpenEnvelope(message, envelope) == M5STS_SUCCESS && WellFormed(pw::imap::EnvelopeStructure(*envelope)));
    // The first bytes as an IMAP section number: a part of the message, or none.
    std::size_t found = 0;
    const std::string section(reinterpret_cast<const char*>(data), size < kSectionBytes ? size : kSectionBytes);
    if (M5FindSection(message, section, found) == M5STS_SUCCESS) Check(found < count);
    Check(M5CloseMessage(message) == M5STS_SUCCESS);
    Check(M5CloseMessage(message) == M5STS_INVALID_HANDLE);
    return 0;
}
