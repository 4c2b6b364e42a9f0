// LanguageTexts: the numbered texts of the server -- event-log messages, log lines, level names,
// listener descriptions, the default public-folder prefix -- in the language the registry chooses.
//
// `Language` 7 picks "pellworth-DEU.txt", 10 "pellworth-ESU.txt", 12 "pellworth-FRU.txt", anything
// else "pellworth-ENU.txt", looked up in "lang/" beside the executable, then in
// "../share/pellworth/lang/" (an installed server). A catalogue holds "number<TAB>text" lines; "#"
// starts a comment; "\n", "\t" and "\\" in a text stand for newline, tab and backslash. The catalogue is
// searched first; the program's own table holds only 100 (the service name) and 215 (the product name).
// A missing catalogue is not an error: most texts are then empty and callers use their own fallbacks.
// Texts are formats for pw::Format, which is safe with whatever a catalogue holds.
// Thread safety: Load before the workers start; Text from any thread.
#pragma once

#include "platform/Text.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace pw::core {

std::string CatalogueFileName(std::uint32_t language);

class LanguageTexts {
public:
    static LanguageTexts& Instance();

    // Loads the catalogue of a language from the standard places; false when none was found (the
    // program's own texts stay available).
    bool LoadLanguage(std::uint32_t language);
    // Loads one catalogue file, replacing the texts loaded before.
    bool LoadCatalogue(const std::string& path);
    void ParseCatalogue(std::string_view text);

    // The text of a number; empty when it is found nowhere.
    std::string Text(int number) const;

private:
    mutable std::shared_mutex lock_;
    std::map<int, std::string> catalogue_;
};

// The text of a number from the process's catalogue.
std::string LoadText(int number);
// The text of a number formatted with arguments; `fallback` when the text is empty.
std::string FormatText(int number, std::initializer_list<FormatArg> args, std::string_view fallback = {});

}  // namespace pw::core
