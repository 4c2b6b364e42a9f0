// M5Descriptors: part and envelope descriptors filled from header blocks.
//
// Header fields are read through mime::HeaderBlock (unfolding) and addresses through
// mime::ParseAddress, parameter lists by mime::ParseParameters (the reading every reader shares; here
// RFC 2231 values are converted to UTF-8 by their charset). Address lists are split here (ParseAddress
// takes one address): at commas outside quotes, angle brackets and comments, with group names ("team: a, b;") dropped for display, or kept for IMAP's ENVELOPE.
#include "m5/M5Descriptors.h"

#include "m5/M5Charsets.h"
#include "m5/M5Limits.h"
#include "mime/Address.h"
#include "mime/Codecs.h"
#include "mime/MimeSyntax.h"
#include "platform/Text.h"

#include <algorithm>
#include <array>

namespace pw::m5 {

namespace {

// The header fields the envelope keeps, spelt as they are reported.
constexpr std::array<std::string_view, 34> kEnvelopeFields = {
    "Attach", "Bcc", "Cc", "Content-Base", "Content-Description", "Content-Disposition", "Content-ID",
    "Content-Language", "Content-Location", "Content-MD5", "Content-Transfer-Encoding", "Content-Type", "Date",
    "Followup-To", "From", "In-Reply-To", "Message-Id", "MIME-Version", "Newsgroups", "X-Priority", "Received",
    "References", "Reply-To", "Return-Path", "Return-Receipt-To", "Sender", "Subject", "To", "User-Agent",
    "X-Attachments", "X-Mailer", "Resent-From", "Resent-To", "Resent-Date",
};

using mime::SplitAtAnyOutside;
using mime::Unquote;
using Piece = mime::TextPiece;

std::vector<std::string_view> SplitOutside(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (const Piece& piece : SplitAtAnyOutside(text, std::string_view(&separator, 1))) pieces.push_back(piece.text);
    return pieces;
}

std::string ToUtf8(std::string_view charset, std::string_view bytes) {
    std::string out;
    if (M5ConvertNamedToUtf8(charset, bytes, out)) return out;
    return M5UndeclaredToUtf8(bytes);
}

// A MIME token (RFC 2045): no blanks, controls or special characters.
bool IsToken(std::string_view text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > ' ' && u < 0x7F && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
    });
}

std::string ValueOf(const std::vector<M5Parameter>& list, std::string_view name) {
    for (const auto& parameter : list) {
        if (EqualsNoCase(parameter.name, name)) return parameter.value;
    }
    return {};
}

// The value before the first ";" (outside quotes) and the parameters after it.
std::pair<std::string, std::vector<M5Parameter>> SplitValue(std::string_view field) {
    const auto pieces = SplitOutside(field, ';');
    std::string value = ToLowerAscii(TrimAscii(pieces.front()));
    const std::size_t first = pieces.front().size();
    return {value, first < field.size() ? M5ParseParameters(field.substr(first + 1)) : std::vector<M5Parameter>{}};
}

// An address without angle brackets with its comments taken out: "a@b (Ann)" and "(Ann) a@b" are
// both a@b, and the first comment is the name old mailers put there.
std::string WithoutComments(std::string_view text, std::string& comment) {
    std::string out;
    bool quoted = false;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size() && (quoted || depth > 0)) {
            if (depth == 0) out.append(text.substr(i, 2));
            ++i;
            continue;
        }
        if (depth == 0 && c == '"') quoted = !quoted;
        if (!quoted && c == '(') {
            if (depth++ == 0) start = i + 1;
            continue;
        }
        if (!quoted && c == ')' && depth > 0) {
            if (--depth == 0 && comment.empty()) comment = std::string(TrimAscii(text.substr(start, i - start)));
            continue;
        }
        if (depth == 0) out += c;
    }
    return out;
}

// One address of a list, its first comment the name when it has none ("a@b (Ann)", as old mailers
// wrote). `keepMissing`: an address without "@" keeps an empty domain rather than "localhost", and one
// without a local part stands, with that part empty.
std::optional<M5Address> ListedAddress(std::string_view piece, bool keepMissing) {
    piece = TrimAscii(piece);
    if (piece.empty()) return std::nullopt;
    mime::ParsedAddress parsed;
    std::string comment;
    const bool parsedWell = piece.find('<') == std::string_view::npos ? mime::ParseAddress(WithoutComments(piece, comment), parsed)
                                                                       : mime::ParseAddress(piece, parsed);
    if (keepMissing && !parsed.domainWritten) parsed.domain.clear();
    if (!parsedWell && !(keepMissing && parsed.local.empty() && !parsed.domain.empty())) return std::nullopt;
    if (parsed.name.empty()) parsed.name = std::move(comment);
    return M5Address{M5DecodeHeaderText(parsed.name), parsed.name, std::move(parsed.local), std::move(parsed.domain)};
}

void AddAddresses(std::string_view value, std::vector<M5Address>& list) {
    auto more = M5ParseAddressList(value);
    list.insert(list.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

}  // namespace

std::string M5PartDesc::Parameter(std::string_view name) const { return ValueOf(parameters, name); }
std::string M5PartDesc::DispositionParameter(std::string_view name) const { return ValueOf(dispositionParameters, name); }

std::string M5EnvelopeDesc::Field(std::string_view name) const {
    for (const auto& [fieldName, value] : fields) {
        if (EqualsNoCase(fieldName, name)) return value;
    }
    return {};
}

std::vector<M5Parameter> M5ParseParameters(std::string_view text) {
    std::vector<M5Parameter> out;
    for (mime::MimeParameter& parameter : mime::ParseParameters(text)) {
        // An RFC 2231 value is in its declared charset, or of none (then read as header bytes are).
        if (!parameter.sectioned) {
            out.push_back({std::move(parameter.name), std::move(parameter.value)});
            continue;
        }
        const bool declared = !parameter.charset.empty();
        out.push_back({std::move(parameter.name),
                       declared ? ToUtf8(parameter.charset, parameter.value) : M5UndeclaredToUtf8(parameter.value)});
    }
    return out;
}

void M5DescribePart(const mime::HeaderBlock& header, bool digestChild, M5PartDesc& part) {
    if (digestChild) {
        part.type = "message";
        part.subType = "rfc822";
    }
    const std::string contentType = header.Field("Content-Type");
    if (!contentType.empty()) {
        auto [value, parameters] = SplitValue(contentType);
        const std::size_t slash = value.find('/');
        // A type without a subtype is no type: the part keeps its default, as MIME readers do.
        if (slash != std::string::npos) {
            const std::string_view type = TrimAscii(std::string_view(value).substr(0, slash));
            const std::string_view subType = TrimAscii(std::string_view(value).substr(slash + 1));
            if (IsToken(type) && IsToken(subType)) {
                part.type = type;
                part.subType = subType;
            }
        }
        part.parameters = std::move(parameters);
    }
    if (const std::string charset = part.Parameter("charset"); !charset.empty()) part.charset = ToLowerAscii(charset);
    part.codePage = M5CodePage(part.charset);
    if (const std::string encoding = ToLowerAscii(TrimAscii(header.Field("Content-Transfer-Encoding"))); !encoding.empty()) {
        part.encoding = encoding;
    }
    part.multipart = part.type == "multipart";
    if (part.multipart) part.boundary = part.Parameter("boundary");
    if (const std::string disposition = header.Field("Content-Disposition"); !disposition.empty()) {
        auto [value, parameters] = SplitValue(disposition);
        part.disposition = std::move(value);
        part.dispositionParameters = std::move(parameters);
    }
    part.description = header.Field("Content-Description");
    part.id = header.Field("Content-ID");
    part.language = header.Field("Content-Language");
    part.location = header.Field("Content-Location");
    part.md5 = header.Field("Content-MD5");
}

void M5DescribeEnvelope(const mime::HeaderBlock& header, M5EnvelopeDesc& envelope, std::vector<std::string>& diagnostics) {
    for (const std::string_view name : kEnvelopeFields) {
        // Field(name, which) searches from the top each time: repeats are capped so a header of
        // thousands of one field stays linear.
        const std::size_t count = std::min(header.CountField(name), kMaxEnvelopeFieldRepeats);
        for (std::size_t which = 0; which < count; ++which) {
            if (which == 1 && name == "Subject") diagnostics.emplace_back("M5 multiple Subjects");
            if (which == 1 && name == "Sender") diagnostics.emplace_back("M5 multiple Sender addresses");
            if (which >= 1 && (name == "Subject" || name == "Sender")) continue;
            envelope.fields.emplace_back(std::string(name), header.Field(name, which));
        }
    }
    envelope.subject = M5DecodeHeaderText(envelope.Field("Subject"));
    const std::pair<std::string_view, std::vector<M5Address>*> addressFields[] = {
        {"From", &envelope.from}, {"Sender", &envelope.sender}, {"Reply-To", &envelope.replyTo},
        {"To", &envelope.to},     {"Cc", &envelope.cc},         {"Bcc", &envelope.bcc},
    };
    for (const auto& [name, list] : addressFields) {
        for (const auto& [fieldName, value] : envelope.fields) {
            if (fieldName == name) AddAddresses(value, *list);
        }
    }
}

std::string M5DecodeHeaderText(std::string_view raw) {
    // Text is converted in runs, not word by word: undeclared bytes between encoded words as one run,
    // and neighbouring encoded words of one charset as one run, so that a character split across two
    // words survives and a long header costs one conversion per run.
    std::string out;
    std::string plain;
    std::string encoded;
    std::string encodedCharset;
    const auto flushPlain = [&] {
        out += M5UndeclaredToUtf8(plain);
        plain.clear();
    };
    const auto flushEncoded = [&] {
        if (!encoded.empty()) out += ToUtf8(encodedCharset, encoded);
        encoded.clear();
    };
    std::size_t at = 0;
    while (at < raw.size()) {
        const std::size_t wordStart = std::min(raw.find_first_not_of(" \t", at), raw.size());
        const std::string_view space = raw.substr(at, wordStart - at);
        std::size_t wordEnd = std::min(raw.find_first_of(" \t", wordStart), raw.size());
        const std::string_view word = raw.substr(wordStart, wordEnd - wordStart);
        if (!word.empty() && mime::IsEncodedWord(word)) {
            mime::DecodedWord decoded = mime::DecodeWord(word);
            // Blanks between two encoded words only separate them (RFC 2047 section 6.2).
            if (encoded.empty() && encodedCharset.empty()) {
                plain += space;
                flushPlain();
            }
            if (!EqualsNoCase(decoded.charset, encodedCharset)) flushEncoded();
            encodedCharset = std::move(decoded.charset);
            encoded += decoded.text;
        } else {
            flushEncoded();
            encodedCharset.clear();
            plain += space;
            plain += word;
        }
        at = wordEnd;
    }
    flushEncoded();
    flushPlain();
    return out;
}

std::string M5WithoutComments(std::string_view text) {
    std::string comment;
    return WithoutComments(text, comment);
}

std::vector<M5Address> M5ParseAddressList(std::string_view value) {
    std::vector<M5Address> list;
    for (std::string_view piece : SplitOutside(value, ',')) {
        // A group: its name before ":" and the ";" that ends it carry no address.
        const auto beforeColon = SplitOutside(piece, ':');
        if (beforeColon.size() > 1) piece = piece.substr(beforeColon.front().size() + 1);
        if (auto address = ListedAddress(SplitOutside(piece, ';').front(), false)) list.push_back(std::move(*address));
    }
    return list;
}

std::vector<M5ListedAddress> M5ParseGroupedAddressList(std::string_view value) {
    using Kind = M5ListedAddress::Kind;
    std::vector<M5ListedAddress> list;
    bool inGroup = false;
    std::string storage;
    for (const Piece& piece : SplitAtAnyOutside(value, ",:;")) {
        // Groups do not nest: a name inside one is dropped, as a stray ";" outside one is.
        if (piece.end == ':') {
            if (!inGroup) list.push_back({Kind::GroupStart, {{}, std::string(Unquote(piece.text, storage)), {}, {}}});
            inGroup = true;
            continue;
        }
        if (auto address = ListedAddress(piece.text, true)) list.push_back({Kind::Address, std::move(*address)});
        if (piece.end == ';' && inGroup) {
            list.push_back({Kind::GroupEnd, {}});
            inGroup = false;
        }
    }
    if (inGroup) list.push_back({Kind::GroupEnd, {}});
    return list;
}

}  // namespace pw::m5
