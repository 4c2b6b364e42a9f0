// PhraseFilter: weighted phrases searched in a message's subject and text parts, after optional
// removal of HTML markup and of obfuscation characters; administrators edit it and score messages
// with it (the router does not run it).
//
// The file, "PhraseFilter.dat" in the store root (little-endian): u32 1; u32 IgnoreHTMLTags;
// u32 IgnoreObfuscationChars; u32 length and the obfuscation characters; u32 stop-at-threshold;
// u32 reserved (kept as read); then per phrase u32 length, the bytes, a double score and u32 WholeWord,
// up to the end. A file shorter than its settings or with another first value reads as the defaults
// and no phrases; a last phrase cut short is dropped. Changes are saved at once (ListFile); a file
// whose settings could not be read, or with a phrase over a bound, is not changed (E_FAIL).
// Scoring: each text is trimmed, its tabs, CR and LF made blanks and its blank runs one blank; all
// phrases are then found in one pass (PhraseMatcher, ASCII case ignored, overlapping occurrences each
// counted). A WholeWord occurrence counts only between the text's ends or blanks. With the stop flag,
// a text's scoring ends as soon as its sum reaches 100, and the message's once the total does.
// Thread safety: one object per thread.
#pragma once

#include "antispam/PhraseMatcher.h"
#include "mime/Message.h"
#include "platform/DirStorage.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::antispam {

inline constexpr std::string_view kPhraseFilterFileName = "PhraseFilter.dat";
inline constexpr std::string_view kDefaultObfuscationChars = "!*-&%#$_";
// The sum at which a text (and the message) is spam enough to stop looking, with the stop flag.
inline constexpr double kPhraseStopScore = 100.0;

struct Phrase {
    std::string text;
    double score = 0;
    bool wholeWord = false;
};

struct PhraseSettings {
    bool ignoreHtmlTags = true;
    bool ignoreObfuscationChars = false;
    std::string obfuscationChars = std::string(kDefaultObfuscationChars);
    bool stopAtThreshold = true;
    std::uint32_t reserved = 0;
    std::vector<Phrase> phrases;
};

enum class PhraseFileState { Clean, LastRecordDropped, Unreadable };

// The settings and phrases of a file's bytes and how well they read.
PhraseSettings ParsePhraseFile(std::string_view bytes, PhraseFileState& state);
std::string SerialisePhraseFile(const PhraseSettings& settings);

// The score of a message and the "phrase=score, ..." text of the phrases that counted.
struct PhraseScore {
    double total = 0;
    std::string results;
};

// Scores messages against settings that outlive it.
class PhraseScorer {
public:
    explicit PhraseScorer(const PhraseSettings& settings);
    PhraseScore Score(const mime::Message& message) const;

private:
    // Adds one text's occurrences; false when the stop rule ends the message's scoring.
    bool ScoreText(std::string_view text, double& total, std::vector<double>& perPhrase, std::vector<bool>& counted) const;
    std::string Prepare(std::string_view text, bool html) const;

    const PhraseSettings& settings_;
    PhraseMatcher matcher_;
};

class PhraseFilter {
public:
    // Reads the file of the store root (a missing one gives the defaults). S_OK, or the storage error.
    [[nodiscard]] HRESULT Load(const DirStorage& root);
    const PhraseSettings& Settings() const { return settings_; }
    PhraseFileState State() const { return state_; }

    // One change of the file as it is now (see the file comment); `change` returns S_OK to write.
    [[nodiscard]] HRESULT Change(const std::function<HRESULT(PhraseSettings&)>& change);

    PhraseScore Spamicity(const mime::Message& message) const;

private:
    DirStorage root_;
    bool attached_ = false;
    PhraseSettings settings_;
    PhraseFileState state_ = PhraseFileState::Clean;
};

}  // namespace pw::antispam
