// HeaderBlock: reading, unfolding and safe writing of header fields.
#include "mime/HeaderBlock.h"

#include "mime/MimeLimits.h"
#include "mime/MimeSyntax.h"
#include "platform/Text.h"

namespace pw::mime {

namespace {

bool IsContinuation(std::string_view line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

// The name of a field line: the text before its colon, when that text is a valid field name.
std::string FieldName(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return {};
    const std::string_view name = line.substr(0, colon);
    for (const char c : name) {
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F) return {};
    }
    return std::string(name);
}

// The value of a Content-Type-like field split at its first ";".
std::string_view MainValue(std::string_view value) {
    const std::size_t semicolon = value.find(';');
    return TrimAscii(value.substr(0, semicolon));
}

}  // namespace

bool HeaderBlock::Parse(std::string_view text) {
    fields_.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        const std::string_view line = text.substr(start, end - start);
        std::string_view bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.remove_suffix(1);
        if (bare.size() > kMaxHeaderLine) return false;
        if (bare.empty()) break;  // the blank line ends the header
        if (IsContinuation(line) && !fields_.empty()) {
            fields_.back().raw += line;
        } else {
            if (fields_.size() == kMaxHeaderFields) return false;
            fields_.push_back({FieldName(line), std::string(line)});
        }
        start = end;
    }
    return true;
}

std::string HeaderBlock::Text() const {
    std::string text;
    for (const auto& field : fields_) {
        text += field.raw;
        // A field read without a final line break (a header cut short) still ends its line.
        if (text.empty() || text.back() != '\n') text += "\r\n";
    }
    return text;
}

std::size_t HeaderBlock::CountField(std::string_view name) const {
    std::size_t count = 0;
    for (const auto& field : fields_) count += EqualsNoCase(field.name, name) ? 1 : 0;
    return count;
}

std::string HeaderBlock::Unfold(std::string_view raw) {
    const std::size_t colon = raw.find(':');
    std::string_view value = colon == std::string_view::npos ? raw : raw.substr(colon + 1);
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
        if (c == '\n') {
            // A fold: the line break and the blank or tab after it become one blank.
            if (i + 1 < value.size() && (value[i + 1] == ' ' || value[i + 1] == '\t')) {
                out += ' ';
                ++i;
            }
            continue;
        }
        out += c;
    }
    return std::string(TrimAscii(out));
}

std::string HeaderBlock::Field(std::string_view name, std::size_t which) const {
    for (const auto& field : fields_) {
        if (EqualsNoCase(field.name, name) && which-- == 0) return Unfold(field.raw);
    }
    return {};
}

std::string HeaderBlock::MakeLine(std::string_view name, std::string_view value) {
    std::string line = std::string(name) + ": ";
    bool lineBreak = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\r' || c == '\n') {
            lineBreak = true;
            continue;
        }
        if (lineBreak) {
            // Each line of a multi-line value becomes a continuation line; empty lines vanish.
            line += "\r\n\t";
            lineBreak = false;
            if (c == ' ' || c == '\t') continue;
        }
        line += c;
    }
    return line + "\r\n";
}

void HeaderBlock::SetField(std::string_view name, std::string_view value) {
    if (TrimAscii(value).empty()) {
        RemoveField(name);
        return;
    }
    for (auto& field : fields_) {
        if (EqualsNoCase(field.name, name)) {
            field = {std::string(name), MakeLine(name, value)};
            return;
        }
    }
    AddField(name, value);
}

void HeaderBlock::AddField(std::string_view name, std::string_view value) {
    // A name is the caller's text too: anything that could end it or the line is dropped.
    std::string safeName;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) > ' ' && static_cast<unsigned char>(c) < 0x7F && c != ':') safeName += c;
    }
    if (safeName.empty()) return;
    fields_.push_back({safeName, MakeLine(safeName, value)});
}

void HeaderBlock::RemoveField(std::string_view name) {
    std::erase_if(fields_, [&](const FieldLine& field) { return EqualsNoCase(field.name, name); });
}

std::string HeaderBlock::ContentType() const {
    if (!Has("Content-Type")) return "text";
    const std::string value = Field("Content-Type");
    const std::string_view main = MainValue(value);
    return ToLowerAscii(TrimAscii(main.substr(0, main.find('/'))));
}

std::string HeaderBlock::ContentSubType() const {
    if (!Has("Content-Type")) return "plain";
    const std::string value = Field("Content-Type");
    const std::string_view main = MainValue(value);
    const std::size_t slash = main.find('/');
    return slash == std::string_view::npos ? std::string() : ToLowerAscii(TrimAscii(main.substr(slash + 1)));
}

std::string HeaderBlock::ContentSubTypeParameters() const {
    const std::string value = Field("Content-Type");
    const std::size_t semicolon = value.find(';');
    return semicolon == std::string::npos ? std::string() : std::string(TrimAscii(std::string_view(value).substr(semicolon + 1)));
}

void HeaderBlock::SetContentType(std::string_view type, std::string_view subType, std::string_view parameters) {
    std::string value = std::string(type) + "/" + std::string(subType);
    if (!TrimAscii(parameters).empty()) value += "; " + std::string(TrimAscii(parameters));
    SetField("Content-Type", value);
}

// The type decides, not a parameter: "application/zip; name=\"multipart-notes.zip\"" is one part.
bool HeaderBlock::IsMultipart() const { return Has("Content-Type") && ContentType() == "multipart"; }

// Read as every reader reads it: "x=\"a;boundary=b\"" and "xboundary=" are not the boundary, and one
// written in RFC 2231 sections ("boundary*0=", "boundary*1=") is.
std::string HeaderBlock::Boundary() const {
    const std::string boundary = ParameterValue(ParseParameters(ContentSubTypeParameters()), "boundary");
    return boundary.size() > kMaxBoundary ? std::string() : boundary;
}

std::string HeaderBlock::Parameter(std::string_view field, std::string_view parameter) const {
    const std::string value = Field(field);
    const std::string lower = ToLowerAscii(value);
    const std::string wanted = ToLowerAscii(parameter) + "=";
    std::size_t at = 0;
    while ((at = lower.find(wanted, at)) != std::string::npos) {
        // A whole parameter name only: "name=" must not match inside "filename=".
        if (at == 0 || lower[at - 1] == ';' || lower[at - 1] == ' ' || lower[at - 1] == '\t') break;
        at += wanted.size();
    }
    if (at == std::string::npos) return {};
    std::string_view rest = std::string_view(value).substr(at + wanted.size());
    rest = TrimAscii(rest);
    if (!rest.empty() && rest.front() == '"') {
        const std::size_t close = rest.find('"', 1);
        return std::string(rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    }
    return std::string(TrimAscii(rest.substr(0, rest.find(';'))));
}

}  // namespace pw::mime
