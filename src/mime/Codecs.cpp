// Codecs: Base64, quoted-printable, uuencode and encoded words.
#include "mime/Codecs.h"

#include <array>

#include "mime/MimeLimits.h"
#include "platform/Text.h"

namespace pw::mime {

namespace {

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kHex = "0123456789ABCDEF";
// uuencode lines carry 45 bytes ("M").
constexpr std::size_t kUuLineBytes = 45;

constexpr std::array<int, 256> Base64Values() {
    std::array<int, 256> values{};
    for (auto& v : values) v = -1;
    for (std::size_t i = 0; i < kBase64Alphabet.size(); ++i) values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int>(i);
    return values;
}
constexpr auto kBase64Values = Base64Values();

// Splits text into lines at LF, dropping the CR of a CR LF. The last line has no break after it
// (`last` tells whether the text ended with one).
template <typename Each>
void ForEachLine(std::string_view text, Each each) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool broken = end != std::string_view::npos;
        if (!broken) end = text.size();
        std::size_t stop = end;
        if (broken && stop > start && text[stop - 1] == '\r') --stop;
        each(text.substr(start, stop - start), broken);
        start = broken ? end + 1 : text.size();
    }
}

bool IsQpLiteral(unsigned char c) { return (c >= '!' && c <= '<') || (c >= '>' && c <= '~'); }

char UuChar(unsigned value) { return value == 0 ? '`' : static_cast<char>(32 + (value & 63)); }
unsigned UuValue(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - 32) & 63; }

std::string EncodeQpLine(std::string_view line) {
    std::string out;
    std::size_t length = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        const bool blank = c == ' ' || c == '\t';
        const bool last = i + 1 == line.size();
        std::string token;
        if (IsQpLiteral(c) || (blank && !last && length < kQuotedPrintableSoftLimit)) {
            token.assign(1, static_cast<char>(c));
        } else {
            token = {'=', kHex[c >> 4], kHex[c & 15]};
        }
        if (length + token.size() > kQuotedPrintableSoftLimit) {
            out += "=\r\n";
            length = 0;
        }
        out += token;
        length += token.size();
    }
    return out;
}

}  // namespace

std::string EncodeBase64(std::string_view data, bool lineBreaks) {
    std::string out;
    out.reserve(data.size() * 4 / 3 + data.size() / 57 * 2 + 4);
    std::size_t column = 0;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, data.size() - i);
        unsigned value = static_cast<unsigned char>(data[i]) << 16;
        if (n > 1) value |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (n > 2) value |= static_cast<unsigned char>(data[i + 2]);
        if (lineBreaks && column == kBase64LineLength) {
            out += "\r\n";
            column = 0;
        }
        out += kBase64Alphabet[(value >> 18) & 63];
        out += kBase64Alphabet[(value >> 12) & 63];
        out += n > 1 ? kBase64Alphabet[(value >> 6) & 63] : '=';
        out += n > 2 ? kBase64Alphabet[value & 63] : '=';
        column += 4;
    }
    return out;
}

namespace {

// Six bits at a time in, a byte out whenever eight have gathered: what both decoders share.
class Base64Bytes {
public:
    explicit Base64Bytes(std::size_t encoded) { out_.reserve(encoded * 3 / 4); }
    void Add(int sixBits) {
        value_ = (value_ << 6) | static_cast<unsigned>(sixBits);
        bits_ += 6;
        if (bits_ >= 8) {
            bits_ -= 8;
            out_ += static_cast<char>((value_ >> bits_) & 0xFF);
        }
    }
    std::string Take() { return std::move(out_); }

private:
    std::string out_;
    unsigned value_ = 0;
    int bits_ = 0;
};

}  // namespace

std::string DecodeBase64(std::string_view text) {
    Base64Bytes bytes(text.size());
    for (const char c : text) {
        if (c == '=') break;
        const int v = kBase64Values[static_cast<unsigned char>(c)];
        if (v >= 0) bytes.Add(v);
    }
    return bytes.Take();
}

std::optional<std::string> DecodeBase64Strict(std::string_view text) {
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    // One character left over carries fewer than 8 bits: no byte, so no Base64.
    if (text.size() % 4 == 1) return std::nullopt;
    Base64Bytes bytes(text.size());
    for (const char c : text) {
        const int v = kBase64Values[static_cast<unsigned char>(c)];
        if (v < 0) return std::nullopt;
        bytes.Add(v);
    }
    return bytes.Take();
}

std::string EncodeQuotedPrintable(std::string_view data) {
    std::string out;
    ForEachLine(data, [&](std::string_view line, bool) {
        out += EncodeQpLine(line);
        out += "\r\n";
    });
    return out;
}

std::string DecodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachLine(text, [&](std::string_view line, bool broken) {
        // Blanks at the end of a line were added in transport (RFC 2045 6.7 rule 3).
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        bool soft = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] != '=') {
                out += line[i];
                continue;
            }
            if (i + 1 == line.size()) {
                soft = true;
                break;
            }
            const int high = i + 2 < line.size() ? HexValue(line[i + 1]) : -1;
            const int low = i + 2 < line.size() ? HexValue(line[i + 2]) : -1;
            if (high < 0 || low < 0) {
                out += '=';  // not an escape: kept as it stands
                continue;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (broken && !soft) out += "\r\n";
    });
    return out;
}

std::string EncodeUuencode(std::string_view data, std::string_view fileName) {
    std::string out = "begin 666 " + std::string(fileName) + "\r\n";
    for (std::size_t i = 0; i < data.size(); i += kUuLineBytes) {
        const std::string_view chunk = data.substr(i, kUuLineBytes);
        out += UuChar(static_cast<unsigned>(chunk.size()));
        for (std::size_t j = 0; j < chunk.size(); j += 3) {
            unsigned value = 0;
            for (std::size_t k = 0; k < 3; ++k) {
                value <<= 8;
                if (j + k < chunk.size()) value |= static_cast<unsigned char>(chunk[j + k]);
            }
            for (int shift = 18; shift >= 0; shift -= 6) out += UuChar((value >> shift) & 63);
        }
        out += "\r\n";
    }
    out += "`\r\nend\r\n";
    return out;
}

std::string DecodeUuencode(std::string_view text) {
    std::string out;
    bool inData = false;
    bool done = false;
    ForEachLine(text, [&](std::string_view line, bool) {
        if (done) return;
        if (!inData) {
            inData = line.substr(0, 6) == "begin ";
            return;
        }
        if (line == "end" || line.empty()) {
            done = line == "end";
            return;
        }
        const std::size_t count = UuValue(line[0]);
        std::size_t produced = 0;
        // The count decides: characters a relay stripped as trailing blanks (old encoders wrote a
        // blank for zero) count as zero.
        for (std::size_t i = 1; produced < count; i += 4) {
            unsigned value = 0;
            for (std::size_t k = 0; k < 4; ++k) value = (value << 6) | (i + k < line.size() ? UuValue(line[i + k]) : 0);
            for (int shift = 16; shift >= 0 && produced < count; shift -= 8, ++produced) {
                out += static_cast<char>((value >> shift) & 0xFF);
            }
        }
    });
    return out;
}

namespace {

bool IsUuencode(std::string_view encoding) {
    return EqualsNoCase(encoding, "uuencode") || EqualsNoCase(encoding, "x-uuencode") || EqualsNoCase(encoding, "uue") ||
           EqualsNoCase(encoding, "x-uue");
}

}  // namespace

std::string EncodeBody(std::string_view encoding, std::string_view data, std::string_view fileName) {
    encoding = TrimAscii(encoding);
    if (EqualsNoCase(encoding, "base64")) return EncodeBase64(data);
    if (EqualsNoCase(encoding, "quoted-printable")) return EncodeQuotedPrintable(data);
    if (IsUuencode(encoding)) return EncodeUuencode(data, fileName.empty() ? "file" : fileName);
    return std::string(data);
}

std::string DecodeBody(std::string_view encoding, std::string_view text) {
    encoding = TrimAscii(encoding);
    if (EqualsNoCase(encoding, "base64")) return DecodeBase64(text);
    if (EqualsNoCase(encoding, "quoted-printable")) return DecodeQuotedPrintable(text);
    if (IsUuencode(encoding)) return DecodeUuencode(text);
    return std::string(text);
}

std::string EncodeWord(std::string_view charset, EncodedWordType type, std::string_view raw) {
    std::string out = "=?" + std::string(charset) + (type == EncodedWordTypeQ ? "?Q?" : "?B?");
    if (type != EncodedWordTypeQ) return out + EncodeBase64(raw, false) + "?=";
    for (const char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out += '_';
        } else if (c > ' ' && c < 0x7F && c != '=' && c != '?' && c != '_' && c != '"') {
            out += static_cast<char>(c);
        } else {
            out += {'=', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out + "?=";
}

bool IsEncodedWord(std::string_view word) {
    if (word.size() < 8 || word.substr(0, 2) != "=?" || word.substr(word.size() - 2) != "?=") return false;
    const std::string_view inner = word.substr(2, word.size() - 4);
    const std::size_t first = inner.find('?');
    if (first == std::string_view::npos || first == 0) return false;
    const std::size_t second = inner.find('?', first + 1);
    if (second != first + 2) return false;
    const char type = inner[first + 1];
    return (type == 'B' || type == 'b' || type == 'Q' || type == 'q') && inner.find('?', second + 1) == std::string_view::npos;
}

DecodedWord DecodeWord(std::string_view word) {
    DecodedWord decoded;
    if (!IsEncodedWord(word)) return decoded;
    const std::string_view inner = word.substr(2, word.size() - 4);
    const std::size_t first = inner.find('?');
    decoded.charset = std::string(inner.substr(0, first));
    const char type = inner[first + 1];
    const std::string_view text = inner.substr(first + 3);
    if (type == 'B' || type == 'b') {
        decoded.type = EncodedWordTypeB;
        decoded.text = DecodeBase64(text);
    } else {
        decoded.type = EncodedWordTypeQ;
        // "_" is a blank, written "=20" so that a blank ending the word ("Hello_?=") is not taken
        // for transport padding and dropped by the body decoder.
        std::string underscoresAsBlanks;
        for (const char c : text) {
            if (c == '_') {
                underscoresAsBlanks += "=20";
            } else {
                underscoresAsBlanks += c;
            }
        }
        decoded.text = DecodeQuotedPrintable(underscoresAsBlanks);
    }
    return decoded;
}

}  // namespace pw::mime
