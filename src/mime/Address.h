// Address: an e-mail address as people write it ("John <john@example.com>"), parsed and checked.
//
// ParseAddress takes out a display name (quoted, or what stands before "<"), then the local part
// (after "<", before "@") and the domain (after "@", up to ">"), both trimmed and in lower case. An
// address without "@" is local: its domain is "localhost" (`domainWritten` tells the two apart). More
// than one "@" fails, as does an empty local part (its domain is filled in all the same). Without "<",
// the address is the first word and the rest, in parentheses or not, is its comment. Valid checks,
// first match wins: no text, a failing parse, an empty local part or domain, an odd number of double
// quotes, a domain with any of "!#$%^&*()<>,;:\[] +=?/|}{~`", a local part or domain with "<", ">" or
// a control character (it could not be written between angle brackets).
// Thread safety: a value; one thread at a time.
#pragma once

#include "platform/Guid.h"
#include "platform/Unknown.h"

#include <string>
#include <string_view>

namespace pw::mime {

enum AddressValidity {
    AddressValid = 0,
    AddressNoDomain = 1,
    AddressNoLocalPart = 2,
    AddressInvalidChars = 3,
    AddressInvalid = 4,
    AddressNotSet = 5,
    AddressNotBalanced = 6,
};

struct ParsedAddress {
    std::string local;
    std::string domain;
    std::string name;
    std::string comment;
    bool domainWritten = false;  // the text held "@": the domain is not the default
};

// False when the text does not hold an address (see above).
bool ParseAddress(std::string_view text, ParsedAddress& parsed);

extern const Guid kAddressClassId;

class Address : public Unknown {
public:
    Address() = default;
    explicit Address(std::string_view text) { SetAddress(text); }

    // The address itself, "local@domain"; setting it parses the whole text given.
    std::string GetAddress() const;
    void SetAddress(std::string_view text);
    const std::string& Name() const { return parsed_.name; }
    void SetName(std::string_view name) { parsed_.name = std::string(name); }
    const std::string& Domain() const { return parsed_.domain; }
    void SetDomain(std::string_view domain);
    const std::string& Comment() const { return parsed_.comment; }
    void SetComment(std::string_view comment) { parsed_.comment = std::string(comment); }
    // "\"Name\" <local@domain>", or "<local@domain>" without a name.
    std::string FullAddress() const;
    AddressValidity Valid() const;

private:
    std::string text_;
    bool set_ = false;
    bool parsed_ok_ = false;
    ParsedAddress parsed_;
};

}  // namespace pw::mime
