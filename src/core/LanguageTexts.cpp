// LanguageTexts: catalogue lookup and parsing.
#include "core/LanguageTexts.h"

#include <charconv>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/Process.h"

namespace pw::core {

namespace {

// The program's own table: the only texts that exist without a catalogue.
const std::map<int, std::string>& BuiltInTexts() {
    static const std::map<int, std::string> texts = {
        {100, "Pellworth"},
        {215, "Pellworth Mail Server"},
    };
    return texts;
}

std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[i + 1];
            if (next == 'n' || next == 't' || next == '\\') {
                out += next == 'n' ? '\n' : next == 't' ? '\t' : '\\';
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace

std::string CatalogueFileName(std::uint32_t language) {
    switch (language) {
    case 7: return "pellworth-DEU.txt";
    case 10: return "pellworth-ESU.txt";
    case 12: return "pellworth-FRU.txt";
    default: return "pellworth-ENU.txt";
    }
}

LanguageTexts& LanguageTexts::Instance() {
    static LanguageTexts texts;
    return texts;
}

bool LanguageTexts::LoadLanguage(std::uint32_t language) {
    const std::string directory = ExecutableDirectory();
    const std::string name = CatalogueFileName(language);
    for (const std::string& candidate : {directory + "/lang/" + name, directory + "/../share/pellworth/lang/" + name}) {
        if (LoadCatalogue(candidate)) return true;
    }
    return false;
}

bool LanguageTexts::LoadCatalogue(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream content;
    content << file.rdbuf();
    ParseCatalogue(content.str());
    return true;
}

void LanguageTexts::ParseCatalogue(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // editors may save a byte-order mark
    std::map<int, std::string> parsed;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t tab = line.find('\t');
        if (line.empty() || line.front() == '#' || tab == std::string_view::npos) continue;
        int number = 0;
        const auto [end, error] = std::from_chars(line.data(), line.data() + tab, number);
        if (error != std::errc() || end != line.data() + tab) continue;
        parsed[number] = Unescape(line.substr(tab + 1));
    }
    std::unique_lock guard(lock_);
    catalogue_ = std::move(parsed);
}

std::string LanguageTexts::Text(int number) const {
    {
        std::shared_lock guard(lock_);
        if (const auto it = catalogue_.find(number); it != catalogue_.end()) return it->second;
    }
    const auto& own = BuiltInTexts();
    const auto it = own.find(number);
    return it == own.end() ? std::string() : it->second;
}

std::string LoadText(int number) { return LanguageTexts::Instance().Text(number); }

std::string FormatText(int number, std::initializer_list<FormatArg> args, std::string_view fallback) {
    const std::string text = LoadText(number);
    return Format(text.empty() ? fallback : std::string_view(text), args);
}

}  // namespace pw::core
