// M5Descriptors: what the structure parser tells IMAP about a message -- one part descriptor per MIME
// part and one envelope descriptor per message (the stored one and each embedded message/rfc822).
//
// Descriptors are plain values owned by their M5Message; the byte ranges are offsets into its stored
// bytes. Type, subtype, charset and transfer encoding are lower case; other values are as written
// (unfolded, parameter quotes removed). Header texts for display (Subject, address names) are decoded
// to UTF-8: encoded words by their charset, 8-bit bytes of no declared charset as UTF-8 when valid,
// else as Windows-1252.
// Thread safety: values; the functions are pure.
#pragma once

#include "mime/HeaderBlock.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pw::m5 {

inline constexpr std::size_t kM5NoPart = static_cast<std::size_t>(-1);

struct M5Range {
    std::size_t offset = 0;
    std::size_t length = 0;
    std::size_t End() const { return offset + length; }
};

struct M5Parameter {
    std::string name;  // lower case
    std::string value;
};

struct M5PartDesc {
    std::size_t number = 0;          // depth-first, 0 for the message itself
    std::size_t parent = kM5NoPart;  // kM5NoPart for the message itself
    std::string type = "text";
    std::string subType = "plain";
    std::string charset = "us-ascii";
    std::optional<unsigned> codePage;  // of the charset; none for a name the table does not know
    std::string encoding = "7bit";
    std::string boundary;
    std::vector<M5Parameter> parameters;  // of Content-Type, charset and boundary included
    std::string disposition;              // "inline", "attachment" or "" when there is no such field
    std::vector<M5Parameter> dispositionParameters;
    std::string description, id, language, location, md5;
    bool multipart = false;
    std::vector<std::size_t> children;  // part numbers; a message/rfc822 part has its message as child
    std::size_t envelope = kM5NoPart;   // a message/rfc822 part: its embedded message's envelope
    M5Range header;                     // the fields, without the blank line that ends them
    M5Range body;                       // after the blank line, up to the line break before the next delimiter

    // The value of a Content-Type parameter, "" when there is none.
    std::string Parameter(std::string_view name) const;
    std::string DispositionParameter(std::string_view name) const;
};

struct M5Address {
    std::string name;     // display name, decoded to UTF-8
    std::string rawName;  // as written (quotes taken off), encoded words kept: what IMAP's ENVELOPE sends
    std::string local;
    std::string domain;
};

// One entry of an address list as IMAP's ENVELOPE lists it: an address, or where a group starts
// (its name, as written with quotes taken off, in address.rawName) or ends.
struct M5ListedAddress {
    enum class Kind { Address, GroupStart, GroupEnd };
    Kind kind = Kind::Address;
    M5Address address;
};

struct M5EnvelopeDesc {
    std::size_t part = 0;  // the part whose header this is (0, or the embedded message's root part)
    M5Range header;
    // The fields of known names in the order read (name as the table spells it, unfolded raw value);
    // a second Subject or Sender is left out.
    std::vector<std::pair<std::string, std::string>> fields;
    std::string subject;  // decoded to UTF-8
    std::vector<M5Address> from, sender, replyTo, to, cc, bcc;

    // The first field of that name (any case), "" when there is none.
    std::string Field(std::string_view name) const;
};

// "a=b; c=\"d;e\"" (what follows the value of a Content-Type or Content-Disposition field), with
// RFC 2231 sections and charsets joined and converted to UTF-8.
std::vector<M5Parameter> M5ParseParameters(std::string_view text);
// Fills a part from its header; a child of multipart/digest defaults to message/rfc822.
void M5DescribePart(const mime::HeaderBlock& header, bool digestChild, M5PartDesc& part);
void M5DescribeEnvelope(const mime::HeaderBlock& header, M5EnvelopeDesc& envelope, std::vector<std::string>& diagnostics);
// Header text for display: encoded words decoded, everything converted to UTF-8.
std::string M5DecodeHeaderText(std::string_view raw);
// The addresses of a list, group names and ends dropped; an address without "@" has the domain
// "localhost", one without a local part is left out.
std::vector<M5Address> M5ParseAddressList(std::string_view value);
// The same list with its groups kept (a group never closed ends with the list), and what an address
// lacks left empty: its domain when it has no "@", its local part when nothing stands before the "@".
std::vector<M5ListedAddress> M5ParseGroupedAddressList(std::string_view value);
// The text with its comments ("(...)", nested, outside double quotes) taken out.
std::string M5WithoutComments(std::string_view text);

}  // namespace pw::m5
