// SevenBitDowngrade: the walk over a message's entities and the re-encoding of 8-bit leaves.
#include "mime/SevenBitDowngrade.h"

#include <algorithm>

#include "mime/Codecs.h"
#include "mime/HeaderBlock.h"
#include "mime/MimeLimits.h"
#include "mime/MimeSyntax.h"
#include "platform/Text.h"

namespace pw::mime {

namespace {

std::string DowngradeEntity(std::string_view entity, std::size_t depth);

// The header with every Content-Transfer-Encoding field (and its continuation lines) taken out and
// `encoding` added as the last field; MIME-Version added for the message itself when it has none.
std::string WithEncoding(std::string_view header, std::string_view encoding, bool topLevel) {
    // `header` ends with its empty line.
    std::size_t blank = header.size();
    if (blank >= 2 && header.substr(blank - 2) == "\r\n") blank -= 2;
    else if (blank >= 1 && header[blank - 1] == '\n') blank -= 1;
    const std::string_view fields = header.substr(0, blank);
    std::string out;
    bool dropping = false;
    bool hasVersion = false;
    for (std::size_t at = 0; at < fields.size();) {
        std::size_t end = fields.find('\n', at);
        end = end == std::string_view::npos ? fields.size() : end + 1;
        const std::string_view line = fields.substr(at, end - at);
        at = end;
        if (line[0] != ' ' && line[0] != '\t') {
            dropping = StartsWithNoCase(line, "Content-Transfer-Encoding:");
            hasVersion = hasVersion || StartsWithNoCase(line, "MIME-Version:");
        }
        if (!dropping) out.append(line);
    }
    if (!out.empty() && !out.ends_with('\n')) out += "\r\n";
    if (topLevel && !hasVersion) out += "MIME-Version: 1.0\r\n";
    out += "Content-Transfer-Encoding: " + std::string(encoding) + "\r\n";
    return out + std::string(header.substr(blank));
}

// The body of a multipart: the preamble, delimiter lines and epilogue as they are, each part
// downgraded. The line break before a delimiter belongs to the delimiter (RFC 2046), not the part.
std::string DowngradeMultipart(std::string_view body, std::string_view boundary, std::size_t depth) {
    std::string out;
    std::size_t copied = 0;                           // bytes of `body` already in `out`
    std::size_t partStart = std::string_view::npos;  // where the part under way began
    bool closed = false;
    for (std::size_t at = 0; at < body.size() && !closed;) {
        std::size_t end = body.find('\n', at);
        end = end == std::string_view::npos ? body.size() : end + 1;
        std::string_view line = body.substr(at, end - at);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        const DelimiterKind kind = ClassifyDelimiterLine(line, boundary);
        if (kind != DelimiterKind::None) {
            if (partStart != std::string_view::npos) {
                std::size_t partEnd = at;
                if (partEnd > 0 && body[partEnd - 1] == '\n') --partEnd;
                if (partEnd > 0 && body[partEnd - 1] == '\r') --partEnd;
                partEnd = std::max(partEnd, partStart);
                out += DowngradeEntity(body.substr(partStart, partEnd - partStart), depth + 1);
                copied = partEnd;
            }
            out.append(body.substr(copied, end - copied));  // the preamble or line break, and the delimiter
            copied = end;
            partStart = end;
            closed = kind == DelimiterKind::Close;
        }
        at = end;
    }
    // An unclosed last part is a part all the same; what follows the close delimiter stays as it is.
    if (!closed && partStart != std::string_view::npos) return out + DowngradeEntity(body.substr(partStart), depth + 1);
    return out.append(body.substr(copied));
}

std::string DowngradeEntity(std::string_view entity, std::size_t depth) {
    if (!HasEightBitBytes(entity) || depth > kMaxPartDepth) return std::string(entity);
    const std::size_t headerEnd = FindHeaderEnd(entity);
    if (headerEnd == std::string_view::npos) return std::string(entity);  // all header: nothing to re-encode
    const std::string_view header = entity.substr(0, headerEnd);
    const std::string_view body = entity.substr(headerEnd);
    if (!HasEightBitBytes(body)) return std::string(entity);
    HeaderBlock fields;
    (void)fields.Parse(header);
    const std::string type = fields.Field("Content-Type");
    const std::size_t semicolon = type.find(';');
    const std::string mainType = ToLowerAscii(TrimAscii(std::string_view(type).substr(0, semicolon)));
    if (mainType.starts_with("multipart/") && semicolon != std::string::npos) {
        const std::string boundary = ParameterValue(ParseParameters(std::string_view(type).substr(semicolon + 1)), "boundary");
        if (!boundary.empty()) return std::string(header) + DowngradeMultipart(body, boundary, depth);
    }
    // A message part is 7bit or 8bit itself (RFC 2046): the message inside is what changes.
    if (mainType == "message/rfc822") return WithEncoding(header, "7bit", false) + DowngradeEntity(body, depth + 1);
    const std::string encoding = ToLowerAscii(TrimAscii(fields.Field("Content-Transfer-Encoding")));
    if (encoding == "base64" || encoding == "quoted-printable") return std::string(entity);
    std::string encoded = EncodeQuotedPrintable(body);
    // The encoder ends every line; a body that did not end with one must not gain one.
    if (!body.ends_with('\n') && encoded.ends_with("\r\n")) encoded.resize(encoded.size() - 2);
    return WithEncoding(header, "quoted-printable", depth == 0) + encoded;
}

}  // namespace

bool HasEightBitBytes(std::string_view bytes) {
    return std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

std::string DowngradeToSevenBit(std::string_view message) { return DowngradeEntity(message, 0); }

}  // namespace pw::mime
