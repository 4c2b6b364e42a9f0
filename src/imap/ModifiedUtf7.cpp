// ModifiedUtf7: the encoder and the checking decoder of mailbox names.
#include "imap/ModifiedUtf7.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "imap/ImapLimits.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
constexpr char32_t kReplacement = 0xFFFD;

bool Printable(char32_t c) { return c >= 0x20 && c <= 0x7E; }

int AlphabetValue(char c) {
    const auto at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The next code point of UTF-8 text; a byte that starts no valid sequence gives U+FFFD and is skipped
// alone, so that a damaged stored name still goes out as something a client can show.
char32_t NextCodePoint(std::string_view text, std::size_t& at) {
    char32_t c = kReplacement;
    const std::size_t length = DecodeUtf8(text, at, c);
    at += length == 0 ? 1 : length;
    return length == 0 ? kReplacement : c;
}

void EncodeRun(const std::vector<char16_t>& units, std::string& out) {
    out += '&';
    std::uint32_t bits = 0;
    int count = 0;
    for (const char16_t unit : units) {
        bits = (bits << 16) | unit;
        count += 16;
        while (count >= 6) {
            count -= 6;
            out += kAlphabet[(bits >> count) & 0x3F];
        }
    }
    if (count > 0) out += kAlphabet[(bits << (6 - count)) & 0x3F];
    out += '-';
}

DecodedMailboxName Failure(std::string diagnostic, bool bad, std::string logLine = {}) {
    DecodedMailboxName result;
    result.diagnostic = std::move(diagnostic);
    result.bad = bad;
    result.logLine = std::move(logLine);
    return result;
}

// The UTF-16 units of one run's base64, or nullopt with the failure in `failure`.
std::optional<std::vector<char16_t>> RunUnits(std::string_view run, std::string_view whole, DecodedMailboxName& failure) {
    std::vector<char16_t> units;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : run) {
        const int value = AlphabetValue(c);
        if (value < 0) {
            failure = Failure(std::string("Invalid character '") + c + "' in modified UTF-7 sequence", true);
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 16) {
            count -= 16;
            const auto unit = static_cast<char16_t>(bits >> count);
            bits &= (1u << count) - 1;
            if (Printable(unit)) {
                failure = Failure("Printable ASCII encoded as modified UTF-7 in mailbox name", true,
                                  Format("DeUtf7:  Invalid ASCII code (%u) in modified base64 sequence \"%s\"",
                                         {std::uint64_t{unit}, whole}));
                return std::nullopt;
            }
            units.push_back(unit);
        }
    }
    // What is left over must be padding: fewer than six bits, all zero.
    if (count >= 6 || bits != 0) {
        failure = Failure("Mailbox path is syntactically invalid", true);
        return std::nullopt;
    }
    return units;
}

// UTF-16 with every surrogate paired, as UTF-8; false when it is not valid UTF-16.
bool AppendUtf16(const std::vector<char16_t>& units, std::string& out) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xDC00 && c <= 0xDFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        }
        AppendUtf8(out, c);
    }
    return true;
}

}  // namespace

std::string EncodeModifiedUtf7(std::string_view utf8) {
    std::string out;
    std::vector<char16_t> run;
    std::size_t at = 0;
    while (at < utf8.size()) {
        const char32_t c = NextCodePoint(utf8, at);
        if (Printable(c)) {
            if (!run.empty()) EncodeRun(run, out);
            run.clear();
            out += static_cast<char>(c);
            if (c == '&') out += '-';
        } else if (c < 0x10000) {
            run.push_back(static_cast<char16_t>(c));
        } else {
            run.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            run.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    if (!run.empty()) EncodeRun(run, out);
    return out;
}

DecodedMailboxName DecodeMailboxName(std::string_view text, bool utf8) {
    if (!utf8) return DecodeModifiedUtf7(text);
    DecodedMailboxName result;
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8(text, at, c);
        if (length == 0) {
            result.diagnostic = "Mailbox name is not valid UTF-8";
            result.bad = true;
            return result;
        }
        at += length;
    }
    result.name = std::string(text);
    return result;
}

DecodedMailboxName DecodeModifiedUtf7(std::string_view text) {
    DecodedMailboxName result;
    std::size_t at = 0;
    bool runJustEnded = false;
    while (at < text.size()) {
        if (text[at] != '&') {
            result.name += text[at++];
            runJustEnded = false;
        } else if (at + 1 < text.size() && text[at + 1] == '-') {
            result.name += '&';
            at += 2;
            runJustEnded = false;
        } else {
            if (runJustEnded) {
                return Failure("Superfluous UTF-7 shift in mailbox path", true,
                               Format("DeUtf7:  Superfluous UTF-7 shift in \"%s\"", {text}));
            }
            const std::size_t end = text.find('-', at + 1);
            if (end == std::string_view::npos) {
                return Failure("Unterminated modified UTF-7 sequence in mailbox path", true,
                               Format("DeUtf7:  Unterminated UTF-7 sequence in \"%s\"", {text}));
            }
            const std::string_view run = text.substr(at + 1, end - at - 1);
            if (run.size() * 6 / 8 >= kMaxUtf7RunBytes) {
                return Failure("Unicode sequence longer than allowed mailbox name", false,
                               Format("DeUtf7:  Base64 sequence too long (%u bytes)", {std::uint64_t{run.size() * 6 / 8}}));
            }
            const auto units = RunUnits(run, text, result);
            if (!units) return result;
            if (!AppendUtf16(*units, result.name)) return Failure("Mailbox path is syntactically invalid", true);
            at = end + 1;
            runJustEnded = true;
        }
        if (result.name.size() > kMaxMailboxNameBytes) return Failure("Mailbox name is too long", false);
    }
    return result;
}

}  // namespace pw::imap
