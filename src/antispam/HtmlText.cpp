// HtmlText: markup, entity and obfuscation removal in linear passes (see HtmlText.h).
#include "antispam/HtmlText.h"

#include "antispam/AntispamLimits.h"
#include "platform/Text.h"

#include <array>
#include <bitset>
#include <cstdint>

namespace pw::antispam {

namespace {

// ISO 8859-1's named characters, 0xA0 onwards (HTML 4).
constexpr std::array<std::string_view, 96> kLatin1Entities = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",   "ordf",
    "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",   "acute",  "micro",
    "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave",
    "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",
    "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",
    "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute",
    "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave",
    "iacute", "icirc",  "iuml",   "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide",
    "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != prefix[i]) return false;
    }
    return true;
}

// "<name>" or "<name" followed by a blank and attributes.
bool OpensBlock(std::string_view tag, std::string_view name) {
    if (!StartsNoCase(tag.substr(1), name)) return false;
    const char after = tag.size() > name.size() + 1 ? tag[name.size() + 1] : '\0';
    return after == '>' || after == ' ' || after == '\t' || after == '\r' || after == '\n';
}

// The next "</name>" (any case) at or after a position, remembered: every later search of the same
// block kind starts past the previous result, so all of them together read the text once.
class CloseFinder {
public:
    CloseFinder(std::string_view text, std::string_view close) : text_(text), close_(close) {}
    std::size_t From(std::size_t position) {
        if (known_ && (found_ == std::string_view::npos || found_ >= position) && searchedFrom_ <= position) return found_;
        searchedFrom_ = position;
        known_ = true;
        found_ = std::string_view::npos;
        for (std::size_t at = text_.find('<', position); at != std::string_view::npos; at = text_.find('<', at + 1)) {
            if (StartsNoCase(text_.substr(at), close_)) {
                found_ = at;
                break;
            }
        }
        return found_;
    }

private:
    std::string_view text_;
    std::string_view close_;
    bool known_ = false;
    std::size_t searchedFrom_ = 0;
    std::size_t found_ = std::string_view::npos;
};

// The byte an entity name stands for, or -1.
int EntityByte(std::string_view name) {
    if (name.empty()) return -1;
    if (EqualsNoCase(name, "lt")) return '<';
    if (EqualsNoCase(name, "gt")) return '>';
    if (EqualsNoCase(name, "amp")) return '&';
    if (EqualsNoCase(name, "quot")) return '"';
    if (name[0] == '#') {
        const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
        const std::string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty()) return -1;
        std::uint32_t value = 0;
        for (const char c : digits) {
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) return -1;
            value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
            if (value > 255) return -1;
        }
        return static_cast<int>(value);
    }
    for (std::size_t i = 0; i < kLatin1Entities.size(); ++i) {
        if (kLatin1Entities[i] == name) return static_cast<int>(0xA0 + i);
    }
    return -1;
}

}  // namespace

std::string StripHtmlMarkup(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    const std::size_t lastClose = html.rfind('>');
    CloseFinder styleEnd(html, "</style>");
    CloseFinder titleEnd(html, "</title>");
    bool titleSeen = false;
    std::size_t i = 0;
    while (i < html.size()) {
        const std::size_t open = html.find('<', i);
        if (open == std::string_view::npos || lastClose == std::string_view::npos || open > lastClose) {
            out.append(html.substr(i));
            break;
        }
        out.append(html.substr(i, open - i));
        const std::size_t close = html.find('>', open);
        const std::string_view tag = html.substr(open, close - open + 1);
        i = close + 1;
        if (OpensBlock(tag, "style")) {
            if (const std::size_t end = styleEnd.From(i); end != std::string_view::npos) i = end + 8;
            continue;
        }
        if (!titleSeen && OpensBlock(tag, "title")) {
            titleSeen = true;
            if (const std::size_t end = titleEnd.From(i); end != std::string_view::npos) i = end + 8;
            continue;
        }
        if (EqualsNoCase(tag, "<br>") || EqualsNoCase(tag, "<br/>") || EqualsNoCase(tag, "<br />")) {
            out += ' ';
            continue;
        }
        const std::size_t equals = tag.find('=');
        if ((StartsNoCase(tag, "<img") || StartsNoCase(tag, "<a ")) && equals != std::string_view::npos) {
            out += ' ';
            out.append(tag.substr(0, equals + 1));
            out += "\"> ";
        }
    }
    return out;
}

std::string DecodeEntities(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t semicolon = text.substr(i + 1, kMaxEntityName + 1).find(';');
        const int byte = semicolon == std::string_view::npos ? -1 : EntityByte(text.substr(i + 1, semicolon));
        if (byte < 0) {
            out += '&';
            continue;
        }
        out += static_cast<char>(byte);
        i += semicolon + 1;
    }
    return out;
}

std::string HtmlToText(std::string_view html) { return DecodeEntities(StripHtmlMarkup(html)); }

std::string RemoveCharacters(std::string_view text, std::string_view characters) {
    std::bitset<256> drop;
    for (const char c : characters) drop.set(static_cast<unsigned char>(c));
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (!drop.test(static_cast<unsigned char>(c))) out += c;
    }
    return out;
}

}  // namespace pw::antispam
