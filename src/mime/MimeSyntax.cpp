// MimeSyntax: header ends, delimiter lines and field parameters, read one way for every reader.
#include "mime/MimeSyntax.h"

#include "platform/Text.h"

#include <algorithm>
#include <map>

namespace pw::mime {

namespace {

constexpr std::size_t kNone = std::string_view::npos;
// The longest empty-line ending ("\r\n\r\n") less one: how far back a resumed search starts.
constexpr std::size_t kResumeOverlap = 3;
// RFC 2231 section numbers longer than this are taken as no section at all.
constexpr std::size_t kMaxSectionDigits = 4;

// The length of the line break at `at`: CR LF, LF, or a lone CR where that ends lines; 0 when none.
std::size_t LineBreakAt(std::string_view data, std::size_t at, LoneCr loneCr) {
    if (at >= data.size()) return 0;
    if (data[at] == '\n') return 1;
    if (data[at] != '\r') return 0;
    if (at + 1 < data.size() && data[at + 1] == '\n') return 2;
    return loneCr == LoneCr::EndsLine ? 1 : 0;
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool escape = text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0;
        if (!escape) {
            out += text[i];
            continue;
        }
        out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
    }
    return out;
}

// One RFC 2231 parameter in sections ("name*0*=utf-8''a%20", "name*1=b"): number -> value, extended.
using Sections = std::map<unsigned, std::pair<std::string, bool>>;

// Joins the sections in number order; the charset comes from the first one when it is extended.
MimeParameter JoinSections(std::string name, const Sections& sections) {
    MimeParameter joined{std::move(name), {}, {}, true};
    bool first = true;
    for (const auto& [number, section] : sections) {
        std::string_view value = section.first;
        if (!section.second) {
            joined.value += value;
            first = false;
            continue;
        }
        if (first) {
            const std::size_t quote1 = value.find('\'');
            const std::size_t quote2 = quote1 == kNone ? quote1 : value.find('\'', quote1 + 1);
            if (quote2 != kNone) {
                joined.charset = std::string(value.substr(0, quote1));
                value = value.substr(quote2 + 1);
            }
        }
        joined.value += PercentDecode(value);
        first = false;
    }
    return joined;
}

// "name*", "name*0", "name*0*": the section number, or -1 when the marks are not a section.
long SectionNumber(std::string_view marks, bool extended) {
    if (extended && !marks.empty()) marks.remove_suffix(1);
    if (marks.empty() && extended) return 0;  // "name*=" is one extended section
    if (marks.empty() || marks.size() > kMaxSectionDigits) return -1;
    if (!std::all_of(marks.begin(), marks.end(), [](char c) { return c >= '0' && c <= '9'; })) return -1;
    return std::stol(std::string(marks));
}

}  // namespace

std::size_t FindHeaderEnd(std::string_view data, std::size_t from, std::size_t scanned, LoneCr loneCr) {
    if (from > data.size()) return kNone;
    if (const std::size_t blank = LineBreakAt(data, from, loneCr); blank != 0) return from + blank;
    const std::string_view breaks = loneCr == LoneCr::EndsLine ? "\r\n" : "\n";
    const std::size_t start = std::max(from, scanned > kResumeOverlap ? scanned - kResumeOverlap : 0);
    for (std::size_t pos = data.find_first_of(breaks, start); pos != kNone; pos = data.find_first_of(breaks, pos + 1)) {
        const std::size_t first = LineBreakAt(data, pos, loneCr);
        if (first == 0) continue;
        if (const std::size_t second = LineBreakAt(data, pos + first, loneCr); second != 0) return pos + first + second;
        pos += first - 1;
    }
    return kNone;
}

DelimiterKind ClassifyDelimiterLine(std::string_view line, std::string_view boundary) {
    if (boundary.empty() || !line.starts_with("--")) return DelimiterKind::None;
    line.remove_prefix(2);
    if (!line.starts_with(boundary)) return DelimiterKind::None;
    line.remove_prefix(boundary.size());
    const bool close = line.starts_with("--");
    if (close) line.remove_prefix(2);
    // Only linear white space may follow: "--B text" and "--B-- text" are body lines.
    if (line.find_first_not_of(" \t") != kNone) return DelimiterKind::None;
    return close ? DelimiterKind::Close : DelimiterKind::Delimiter;
}

std::vector<TextPiece> SplitAtAnyOutside(std::string_view text, std::string_view separators) {
    std::vector<TextPiece> pieces;
    bool quoted = false;
    int angle = 0;
    int comment = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && (quoted || comment > 0)) {
            ++i;
            continue;
        }
        if (quoted) {
            quoted = c != '"';
            continue;
        }
        if (c == '"' && comment == 0) quoted = true;
        else if (c == '(') ++comment;
        else if (c == ')' && comment > 0) --comment;
        else if (comment > 0) continue;
        else if (c == '<') ++angle;
        else if (c == '>' && angle > 0) --angle;
        else if (angle == 0 && separators.find(c) != kNone) {
            pieces.push_back({text.substr(start, i - start), c});
            start = i + 1;
        }
    }
    pieces.push_back({text.substr(start), '\0'});
    return pieces;
}

std::string_view Unquote(std::string_view value, std::string& storage) {
    value = TrimAscii(value);
    if (value.size() < 2 || value.front() != '"') return value;
    storage.clear();
    for (std::size_t i = 1; i < value.size(); ++i) {
        if (value[i] == '"') break;
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        storage += value[i];
    }
    return storage;
}

std::vector<MimeParameter> ParseParameters(std::string_view text) {
    std::vector<MimeParameter> plain;
    std::vector<std::pair<std::string, Sections>> sectioned;
    std::map<std::string, std::size_t> sectionedIndex;  // name -> index in sectioned
    std::string storage;
    for (const TextPiece& piece : SplitAtAnyOutside(text, ";")) {
        const std::size_t equals = piece.text.find('=');
        if (equals == kNone) continue;
        std::string name = ToLowerAscii(TrimAscii(piece.text.substr(0, equals)));
        if (name.empty()) continue;
        std::string value(Unquote(piece.text.substr(equals + 1), storage));
        const std::size_t star = name.find('*');
        if (star == std::string::npos) {
            plain.push_back({std::move(name), std::move(value), {}, false});
            continue;
        }
        const bool extended = name.back() == '*';
        const long number = SectionNumber(std::string_view(name).substr(star + 1), extended);
        if (number < 0) continue;
        const std::string base = name.substr(0, star);
        const auto [found, added] = sectionedIndex.emplace(base, sectioned.size());
        if (added) sectioned.emplace_back(base, Sections{});
        sectioned[found->second].second.emplace(static_cast<unsigned>(number), std::make_pair(std::move(value), extended));
    }
    std::erase_if(plain, [&](const MimeParameter& parameter) { return sectionedIndex.contains(parameter.name); });
    for (auto& [name, sections] : sectioned) plain.push_back(JoinSections(std::move(name), sections));
    return plain;
}

std::string ParameterValue(const std::vector<MimeParameter>& parameters, std::string_view name) {
    for (const auto& parameter : parameters) {
        if (EqualsNoCase(parameter.name, name)) return parameter.value;
    }
    return {};
}

}  // namespace pw::mime
