// Address: parsing and validity of e-mail addresses.
#include "mime/Address.h"

#include <algorithm>

#include "platform/Text.h"

namespace pw::mime {

const Guid kAddressClassId{0x5D0E7A13, 0x93B4, 0x4F6C, {0xA8, 0x1D, 0x26, 0x7F, 0xC3, 0x40, 0x9B, 0x5E}};

namespace {

constexpr std::string_view kDomainForbidden = "!#$%^&*()<>,;:\\[] +=?/|}{~`";

// The address is written between angle brackets in SMTP commands and header fields: an angle
// bracket would end it early there, a line break would start a command or header field of the sender's making.
bool BreaksBrackets(std::string_view part) {
    return std::any_of(part.begin(), part.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c == '<' || c == '>' || c < 0x20 || c == 0x7F;
    });
}

std::string Lower(std::string_view text) { return ToLowerAscii(TrimAscii(text)); }

std::string StripParentheses(std::string_view text) {
    text = TrimAscii(text);
    if (text.size() >= 2 && text.front() == '(' && text.back() == ')') text = text.substr(1, text.size() - 2);
    return std::string(TrimAscii(text));
}

}  // namespace

bool ParseAddress(std::string_view text, ParsedAddress& parsed) {
    parsed = ParsedAddress{};
    std::string rest(TrimAscii(text));
    // A quoted display name is taken out first; what remains holds the address.
    const std::size_t open = rest.find('"');
    if (open != std::string::npos) {
        const std::size_t close = rest.find('"', open + 1);
        if (close != std::string::npos) {
            parsed.name = rest.substr(open + 1, close - open - 1);
            rest = std::string(TrimAscii(rest.substr(0, open) + rest.substr(close + 1)));
        }
    }
    std::string_view mailbox;
    const std::size_t angle = rest.find('<');
    if (angle != std::string::npos) {
        if (parsed.name.empty()) parsed.name = std::string(TrimAscii(std::string_view(rest).substr(0, angle)));
        mailbox = std::string_view(rest).substr(angle + 1);
        const std::size_t closeAngle = mailbox.find('>');
        if (closeAngle != std::string_view::npos) {
            parsed.comment = StripParentheses(mailbox.substr(closeAngle + 1));
            mailbox = mailbox.substr(0, closeAngle);
        }
    } else {
        mailbox = rest;
        const std::size_t blank = mailbox.find_first_of(" \t");
        if (blank != std::string_view::npos) {
            parsed.comment = StripParentheses(mailbox.substr(blank + 1));
            mailbox = mailbox.substr(0, blank);
        }
    }
    if (std::count(mailbox.begin(), mailbox.end(), '@') > 1) return false;
    const std::size_t at = mailbox.find('@');
    parsed.local = Lower(mailbox.substr(0, at));
    parsed.domain = at == std::string_view::npos ? std::string("localhost") : Lower(mailbox.substr(at + 1));
    parsed.domainWritten = at != std::string_view::npos;
    return !parsed.local.empty();
}

std::string Address::GetAddress() const {
    if (parsed_.local.empty()) return {};
    return parsed_.domain.empty() ? parsed_.local : parsed_.local + "@" + parsed_.domain;
}

void Address::SetAddress(std::string_view text) {
    text_ = std::string(text);
    set_ = true;
    parsed_ok_ = ParseAddress(text, parsed_);
}

void Address::SetDomain(std::string_view domain) { parsed_.domain = Lower(domain); }

std::string Address::FullAddress() const {
    const std::string mailbox = "<" + GetAddress() + ">";
    if (parsed_.name.empty()) return mailbox;
    std::string name;
    for (const char c : parsed_.name) {
        if (c == '"' || c == '\\') name += '\\';
        if (c != '\r' && c != '\n') name += c;
    }
    return "\"" + name + "\" " + mailbox;
}

AddressValidity Address::Valid() const {
    if (!set_ || TrimAscii(text_).empty()) return AddressNotSet;
    if (!parsed_ok_) return AddressInvalid;
    if (parsed_.local.empty()) return AddressNoLocalPart;
    if (parsed_.domain.empty()) return AddressNoDomain;
    const std::string_view trimmed = TrimAscii(text_);
    if (std::count(trimmed.begin(), trimmed.end(), '"') % 2 != 0) return AddressNotBalanced;
    if (parsed_.domain.find_first_of(kDomainForbidden) != std::string::npos) return AddressInvalidChars;
    if (BreaksBrackets(parsed_.local) || BreaksBrackets(parsed_.domain)) return AddressInvalidChars;
    return AddressValid;
}

}  // namespace pw::mime
