// BodyStructure: ENVELOPE, BODY and BODYSTRUCTURE writers.
#include "imap/BodyStructure.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "imap/ImapStrings.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

using m5::M5PartDesc;
using m5::M5Status;

constexpr std::string_view kEmptyTextPart = "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 0 0)";

// RFC 3501's address: a group's start is (NIL NIL "name" NIL), its end (NIL NIL NIL NIL); an
// address that lacks its local part or domain names what is missing rather than leave it NIL, which
// would read as a group marker.
std::string AddressText(const m5::M5ListedAddress& entry) {
    using Kind = m5::M5ListedAddress::Kind;
    const m5::M5Address& address = entry.address;
    if (entry.kind == Kind::GroupEnd) return "(NIL NIL NIL NIL)";
    if (entry.kind == Kind::GroupStart) return "(NIL NIL " + ImapString(address.rawName) + " NIL)";
    std::string out = "(" + ImapNString(address.rawName) + " NIL ";
    out += ImapString(address.local.empty() ? std::string_view("unspecified-mailbox") : std::string_view(address.local));
    out += " ";
    out += ImapString(address.domain.empty() ? std::string_view("unspecified-domain") : std::string_view(address.domain));
    return out + ")";
}

// The addresses of every field of that name (a header may repeat one), groups kept.
std::vector<m5::M5ListedAddress> AddressesOf(const m5::M5EnvelopeDesc& envelope, std::string_view name) {
    std::vector<m5::M5ListedAddress> list;
    for (const auto& [fieldName, value] : envelope.fields) {
        if (fieldName != name) continue;
        auto more = m5::M5ParseGroupedAddressList(value);
        list.insert(list.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    return list;
}

std::string AddressList(const std::vector<m5::M5ListedAddress>& addresses) {
    if (addresses.empty()) return "NIL";
    std::string out = "(";
    for (const m5::M5ListedAddress& entry : addresses) out += AddressText(entry);
    return out + ")";
}

std::string Quoted(std::string_view text) { return ImapString(text); }

// IMAP without UTF8=ACCEPT carries no 8-bit text; clients decode RFC 2231 themselves.
std::string Parameter(const m5::M5Parameter& parameter) {
    const std::string name = ToUpperAscii(parameter.name);
    const bool eightBit = std::any_of(parameter.value.begin(), parameter.value.end(),
                                      [](char c) { return static_cast<unsigned char>(c) > 0x7F || c == '\r' || c == '\n'; });
    if (!eightBit) return Quoted(name) + " " + Quoted(parameter.value);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded = "utf-8''";
    for (const char c : parameter.value) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || std::strchr("!#$&+-.^_`|~", c) != nullptr) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        }
    }
    return Quoted(name + "*") + " " + Quoted(encoded);
}

std::string ParameterList(const std::vector<m5::M5Parameter>& parameters) {
    if (parameters.empty()) return "NIL";
    std::string out = "(";
    for (const m5::M5Parameter& parameter : parameters) {
        if (out.size() > 1) out += " ";
        out += Parameter(parameter);
    }
    return out + ")";
}

// A text part always names its charset.
std::string TypeParameters(const M5PartDesc& part) {
    if (part.type != "text" || !part.Parameter("charset").empty()) return ParameterList(part.parameters);
    std::vector<m5::M5Parameter> parameters{{"charset", part.charset.empty() ? "us-ascii" : part.charset}};
    parameters.insert(parameters.end(), part.parameters.begin(), part.parameters.end());
    return ParameterList(parameters);
}

std::string Disposition(const M5PartDesc& part) {
    if (part.disposition.empty()) return "NIL";
    return "(" + Quoted(ToUpperAscii(part.disposition)) + " " + ParameterList(part.dispositionParameters) + ")";
}

std::string Extension(const M5PartDesc& part, bool multipart) {
    std::string out = " ";
    out += multipart ? ParameterList(part.parameters) : ImapNString(part.md5);
    out += " " + Disposition(part) + " " + ImapNString(part.language) + " " + ImapNString(part.location);
    return out;
}

class Writer {
public:
    Writer(m5::M5MessageHandle message, bool extended, std::string& failedCall)
        : message_(message), extended_(extended), failedCall_(failedCall) {}

    M5Status Part(std::size_t number, std::string& out) {
        const M5PartDesc* part = nullptr;
        if (const M5Status status = m5::M5GetMimeDesc(message_, number, part); status != m5::M5STS_SUCCESS) {
            failedCall_ = "M5GetMimeDesc";
            return status;
        }
        return part->multipart ? Multipart(*part, out) : Single(*part, out);
    }

private:
    M5Status Multipart(const M5PartDesc& part, std::string& out) {
        out += "(";
        if (part.children.empty()) out += kEmptyTextPart;
        for (const std::size_t child : part.children) {
            if (const M5Status status = Part(child, out); status != m5::M5STS_SUCCESS) return status;
        }
        out += " " + Quoted(ToUpperAscii(part.subType));
        if (extended_) out += Extension(part, true);
        out += ")";
        return m5::M5STS_SUCCESS;
    }

    M5Status Single(const M5PartDesc& part, std::string& out) {
        out += "(" + Quoted(ToUpperAscii(part.type)) + " " + Quoted(ToUpperAscii(part.subType)) + " " + TypeParameters(part);
        out += " " + ImapNString(part.id) + " " + ImapNString(part.description) + " " + Quoted(ToUpperAscii(part.encoding));
        out += " " + std::to_string(part.body.length);
        const bool message = part.type == "message" && part.subType == "rfc822";
        if (message) {
            if (const M5Status status = Embedded(part, out); status != m5::M5STS_SUCCESS) return status;
        }
        if (message || part.type == "text") {
            std::size_t lines = 0;
            if (const M5Status status = m5::M5GetPartLines(message_, part.number, lines); status != m5::M5STS_SUCCESS) {
                failedCall_ = "M5GetPartLines";
                return status;
            }
            out += " " + std::to_string(lines);
        }
        if (extended_) out += Extension(part, false);
        out += ")";
        return m5::M5STS_SUCCESS;
    }

    // The envelope and body of the message a message/rfc822 part holds.
    M5Status Embedded(const M5PartDesc& part, std::string& out) {
        const m5::M5EnvelopeDesc* envelope = nullptr;
        if (part.children.empty() || m5::M5GetEmbeddedEnvelopeDesc(message_, part.number, envelope) != m5::M5STS_SUCCESS) {
            out += " " + std::string(kEmptyEnvelope) + " " + std::string(kEmptyTextPart);
            return m5::M5STS_SUCCESS;
        }
        out += " " + EnvelopeStructure(*envelope) + " ";
        return Part(part.children.front(), out);
    }

    m5::M5MessageHandle message_;
    bool extended_;
    std::string& failedCall_;
};

}  // namespace

std::string EnvelopeStructure(const m5::M5EnvelopeDesc& envelope) {
    const std::string from = AddressList(AddressesOf(envelope, "From"));
    const std::string sender = AddressList(AddressesOf(envelope, "Sender"));
    const std::string replyTo = AddressList(AddressesOf(envelope, "Reply-To"));
    std::string out = "(" + ImapNString(envelope.Field("Date")) + " " + ImapNString(envelope.Field("Subject"));
    out += " " + from + " " + (sender == "NIL" ? from : sender) + " " + (replyTo == "NIL" ? from : replyTo);
    for (const std::string_view name : {"To", "Cc", "Bcc"}) out += " " + AddressList(AddressesOf(envelope, name));
    out += " " + ImapNString(envelope.Field("In-Reply-To")) + " " + ImapNString(envelope.Field("Message-Id")) + ")";
    return out;
}

m5::M5Status WriteBodyStructure(m5::M5MessageHandle message, std::size_t part, bool extended, std::string& out,
                                std::string& failedCall) {
    Writer writer(message, extended, failedCall);
    return writer.Part(part, out);
}

}  // namespace pw::imap
