// CommandText: the command text of a message and the words of its lines.
#include "templates/CommandText.h"

#include "platform/Text.h"

namespace pw::templates {

std::optional<std::string> CommandText(const mime::Message& message) {
    if (!message.IsMimeEncoded()) return message.BodyText();
    if (!message.Headers().IsMultipart()) {
        if (!EqualsNoCase(message.Headers().ContentType(), "text") || !EqualsNoCase(message.Headers().ContentSubType(), "plain")) {
            return std::nullopt;
        }
        return mime::DecodeBody(message.Headers().ContentTransferEncoding(), message.BodyText());
    }
    const auto position = message.SearchForPart("text/plain", {});
    const auto part = position.empty() ? nullptr : message.GetPart(position);
    if (!part) return std::nullopt;
    return part->DecodedBody();
}

std::vector<std::string> CommandWords(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        const std::size_t end = line.find_first_of(" \t", at);
        if (at < line.size()) words.emplace_back(line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        at = end == std::string_view::npos ? line.size() : end;
    }
    return words;
}

}  // namespace pw::templates
