// Fuzz target: template substitution with hostile values. The input is split at NUL bytes into a
// template text and the values of the placeholders a notice fills from the triggering message. The
// substitution must take every value as it is (never replacing a placeholder a value brought in),
// so the result is bounded by the text plus one value per "$" in the text; the caps must hold; and a
// message composed from a template that quotes everything and attaches the original must stay
// within the caps too.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzScratch.h"
#include "templates/MessageTemplate.h"

namespace {

using namespace pw;

const std::vector<std::string>& Placeholders() {
    static const std::vector<std::string> names = {"$SUBJECT$", "$HEADER$", "$SENDER$", "$MSGDATE$", "$REASON$", "$FAILEDRECIPIENTS$"};
    return names;
}

const templates::MessageTemplate& QuotingTemplate() {
    static const templates::MessageTemplate loaded = [] {
        const std::string path = fuzz::ScratchDirectory() + "/quoting.xml";
        std::ofstream(path) << "<t><subject>$SUBJECT$ $HEADER$</subject><plaintext>$HEADER$ $SUBJECT$ $MSGDATE$ $SENDER$ "
                               "$REASON$ $FAILEDRECIPIENTS$ $HEADER$</plaintext><htmltext>$HEADER$</htmltext>"
                               "<attach_message>yes</attach_message></t>";
        templates::MessageTemplate made;
        if (!made.Load(path)) __builtin_trap();
        return made;
    }();
    return loaded;
}

std::vector<std::string_view> Split(std::string_view data) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const std::size_t end = data.find('\0');
        pieces.push_back(data.substr(0, end));
        if (end == std::string_view::npos) return pieces;
        data.remove_prefix(end + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto pieces = Split(input);
    const std::string_view text = pieces.front();
    std::map<std::string, std::string> values;
    std::size_t longest = 0;
    for (std::size_t i = 0; i < Placeholders().size(); ++i) {
        const std::string_view value = i + 1 < pieces.size() ? pieces[i + 1] : std::string_view("$HEADER$$SUBJECT$");
        values[Placeholders()[i]] = std::string(value);
        longest = std::max(longest, value.size());
    }

    const std::string result = templates::Substitute(text, values);
    std::size_t dollars = 0;
    for (const char c : text) dollars += c == '$';
    if (result.size() > text.size() + dollars * longest) __builtin_trap();
    if (templates::Substitute(text, {}) != text) __builtin_trap();

    for (const std::size_t limit : {std::size_t{0}, std::size_t{7}, templates::kMaxTemplateLineValue}) {
        const std::string value = templates::BoundedValue(input, limit);
        const std::string lines = templates::BoundedLines(input, limit);
        if (value.size() > limit && value.size() != input.size()) __builtin_trap();
        if (lines.size() > limit && lines.size() != input.size()) __builtin_trap();
        if (input.substr(0, value.size()) != value || input.substr(0, lines.size()) != lines) __builtin_trap();
    }

    // The caps the notices apply, then a whole message: each quoted value is bounded, and so is the
    // original it attaches (whole only when small, else its header).
    std::map<std::string, std::string> capped;
    for (const auto& [name, value] : values) {
        capped[name] = name == "$HEADER$" ? templates::BoundedLines(value, templates::kMaxQuotedHeader)
                                          : templates::BoundedValue(value, templates::kMaxTemplateLineValue);
    }
    const std::string original(pieces.back());
    auto message = templates::ComposeFromTemplate(QuotingTemplate(), capped, original);
    if (!message) __builtin_trap();
    const std::size_t quoted = 5 * templates::kMaxQuotedHeader + 6 * templates::kMaxTemplateLineValue;
    // Quoted-printable at most triples a byte and adds a soft break per line; the rest is structure.
    const std::size_t bound = 3 * (2 * quoted) + 4 * templates::kMaxAttachedOriginal + 64 * 1024;
    if (message->SaveToString().size() > bound) __builtin_trap();
    return 0;
}
