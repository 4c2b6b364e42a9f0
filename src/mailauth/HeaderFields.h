// HeaderFields: the fields of a message header as the authentication checks need them -- each
// field's name and its value unfolded -- and the domain of an address field.
//
// Reads up to the first empty line (CR LF or bare LF) and never more than `limit` bytes or
// `maxFields` fields; `complete` says whether the header ended within them. Nothing is decoded: the
// checks compare what the sender wrote.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::mailauth {

struct HeaderField {
    std::string name;
    std::string value;  // unfolded, leading and trailing blanks trimmed
};

struct HeaderFields {
    std::vector<HeaderField> fields;
    bool complete = false;  // the empty line that ends the header was met within the bounds

    // The values of every field of this name (case ignored), in order.
    std::vector<std::string> Values(std::string_view name) const;
};

HeaderFields ReadHeaderFields(std::string_view message, std::size_t limit, std::size_t maxFields);

// The domain (lower case) of the one address of a From field value; nullopt when it holds no
// address or more than one (RFC 7489 6.6.1: such a message has no single author domain).
std::optional<std::string> AuthorDomain(std::string_view fromValue);

}  // namespace pw::mailauth
