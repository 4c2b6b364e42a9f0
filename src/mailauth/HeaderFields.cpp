// HeaderFields: a message header read within bounds.
#include "mailauth/HeaderFields.h"

#include "mime/Address.h"
#include "platform/Text.h"

namespace pw::mailauth {

std::vector<std::string> HeaderFields::Values(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& field : fields) {
        if (EqualsNoCase(field.name, name)) values.push_back(field.value);
    }
    return values;
}

HeaderFields ReadHeaderFields(std::string_view message, std::size_t limit, std::size_t maxFields) {
    HeaderFields header;
    const auto done = [&header](bool complete) {
        header.complete = complete;
        for (auto& field : header.fields) field.value = std::string(TrimAscii(field.value));
        return header;
    };
    const std::string_view text = message.substr(0, limit);
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) return done(false);  // cut off by the bound
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at = end + 1;
        if (line.empty()) return done(true);
        if (line.front() == ' ' || line.front() == '\t') {
            if (!header.fields.empty()) header.fields.back().value += std::string(line);
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;  // not a field; the checks pass it over
        if (header.fields.size() == maxFields) return done(false);
        header.fields.push_back({std::string(TrimAscii(line.substr(0, colon))), std::string(line.substr(colon + 1))});
    }
    return done(false);
}

std::optional<std::string> AuthorDomain(std::string_view fromValue) {
    // A comma outside quotes and angle brackets separates addresses.
    bool quoted = false;
    int angle = 0;
    for (const char c : fromValue) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '<') ++angle;
        if (c == '>') --angle;
        if (c == ',' && angle == 0) return std::nullopt;
    }
    mime::ParsedAddress parsed;
    if (!mime::ParseAddress(TrimAscii(fromValue), parsed) || !parsed.domainWritten || parsed.domain.empty()) return std::nullopt;
    return ToLowerAscii(parsed.domain);
}

}  // namespace pw::mailauth
