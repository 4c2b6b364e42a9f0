// Fuzz target: the spam filters read message text from anyone and list files an administrator (or a
// damaged disk) wrote. The first byte picks the reader; none may crash, read outside its input or
// take more than linear time. Promises checked: a list file that parses writes back to bytes that
// parse to the same entries; what a phrase file reads as writes back to a file that reads clean and
// writes back unchanged; HTML removal never makes the text longer than its replacements allow.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "antispam/CharSetFilter.h"
#include "antispam/HtmlText.h"
#include "antispam/PhraseFilter.h"
#include "antispam/SendersList.h"

namespace {

using namespace pw::antispam;

void SendersFile(std::string_view bytes) {
    const auto entries = ParseSendersFile(bytes);
    if (!entries) return;
    if (ParseSendersFile(SerialiseSendersFile(*entries)) != entries) __builtin_trap();
}

void PhraseFile(std::string_view bytes) {
    PhraseFileState state = PhraseFileState::Clean;
    const std::string written = SerialisePhraseFile(ParsePhraseFile(bytes, state));
    // Switches other than 0 and 1 are written as 1; after that one round the file is stable.
    PhraseFileState again = PhraseFileState::Clean;
    if (SerialisePhraseFile(ParsePhraseFile(written, again)) != written || again != PhraseFileState::Clean) __builtin_trap();
}

void Patterns(std::string_view text) {
    const std::size_t split = text.find('\0');
    const std::string_view pattern = text.substr(0, split);
    const std::string_view subject = split == std::string_view::npos ? std::string_view() : text.substr(split + 1);
    WildcardMatch(pattern, subject);
    const SenderEntry entry = NormaliseSender(pattern);
    if (!entry.key.empty() && entry.name.empty() && entry.key.find_first_of("*?") != std::string::npos) __builtin_trap();
}

void Message(std::string_view content) {
    pw::mime::Message message;
    (void)message.LoadBytes(std::string(content));
    PhraseSettings settings;
    settings.ignoreObfuscationChars = true;
    settings.stopAtThreshold = false;
    settings.phrases = {{"free", 1, true}, {"a", 0.5, false}, {"aa", 0.25, false}, {"\xA0", 1, false}};
    PhraseScorer(settings).Score(message);
    for (const auto& charset : DeclaredCharsets(message)) CanonicalCharset(charset);
}

void Html(std::string_view html) {
    const std::string text = StripHtmlMarkup(html);
    // Only "<img"/"<a " tags grow, by five bytes each ("  \"> " around what they keep).
    if (text.size() > html.size() * 2 + 5) __builtin_trap();
    DecodeEntities(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 6) {
    case 0: SendersFile(input); break;
    case 1: PhraseFile(input); break;
    case 2: ParseCharsetFile(input); break;
    case 3: Patterns(input); break;
    case 4: Message(input); break;
    default: Html(input); break;
    }
    return 0;
}
