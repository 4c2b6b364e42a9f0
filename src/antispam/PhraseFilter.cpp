// PhraseFilter: the phrase file, its changes and the scoring of a message (see PhraseFilter.h).
#include "antispam/PhraseFilter.h"

#include "antispam/AntispamLimits.h"
#include "antispam/HtmlText.h"
#include "antispam/ListFile.h"
#include "mime/Codecs.h"
#include "platform/Text.h"

#include <cstdio>
#include <unordered_map>

namespace pw::antispam {

namespace {

constexpr std::uint32_t kPhraseHeader = 1;
constexpr std::size_t kMaxPhraseFileBytes = 64 + kMaxObfuscationChars + kMaxPhrases * (16 + kMaxPhraseText);

std::vector<std::string> PhraseTexts(const PhraseSettings& settings) {
    std::vector<std::string> texts;
    for (const auto& phrase : settings.phrases) texts.push_back(phrase.text);
    return texts;
}

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Trimmed, every run of white space one blank.
std::string CollapseWhiteSpace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool pending = false;
    for (const char c : text) {
        if (IsWhite(c)) {
            pending = !out.empty();
            continue;
        }
        if (pending) out += ' ';
        pending = false;
        out += c;
    }
    return out;
}

std::string ScoreValueText(double score) {
    char text[64];
    std::snprintf(text, sizeof text, "%2.2f", score);
    return text;
}

}  // namespace

PhraseSettings ParsePhraseFile(std::string_view bytes, PhraseFileState& state) {
    state = PhraseFileState::Clean;
    PhraseSettings settings;
    if (bytes.empty()) return settings;
    RecordReader reader(bytes);
    const auto header = reader.U32();
    const auto html = reader.U32();
    const auto obfuscation = reader.U32();
    const auto characters = reader.Bytes(kMaxObfuscationChars);
    const auto stop = reader.U32();
    const auto reserved = reader.U32();
    if (header != kPhraseHeader || !html || !obfuscation || !characters || !stop || !reserved) {
        state = PhraseFileState::Unreadable;
        return {};
    }
    settings.ignoreHtmlTags = *html != 0;
    settings.ignoreObfuscationChars = *obfuscation != 0;
    settings.obfuscationChars = std::string(*characters);
    settings.stopAtThreshold = *stop != 0;
    settings.reserved = *reserved;
    while (!reader.AtEnd()) {
        RecordReader probe = reader;
        const auto length = probe.U32();
        if (length && *length > kMaxPhraseText) {
            state = PhraseFileState::Unreadable;
            break;
        }
        if (settings.phrases.size() >= kMaxPhrases) {
            state = PhraseFileState::Unreadable;
            break;
        }
        const auto text = reader.Bytes(kMaxPhraseText);
        const auto score = text ? reader.Double() : std::nullopt;
        const auto wholeWord = score ? reader.U32() : std::nullopt;
        if (!wholeWord) {
            state = PhraseFileState::LastRecordDropped;
            break;
        }
        settings.phrases.push_back({std::string(*text), *score, *wholeWord != 0});
    }
    return settings;
}

std::string SerialisePhraseFile(const PhraseSettings& settings) {
    std::string bytes;
    AppendU32(bytes, kPhraseHeader);
    AppendU32(bytes, settings.ignoreHtmlTags ? 1 : 0);
    AppendU32(bytes, settings.ignoreObfuscationChars ? 1 : 0);
    AppendBytes(bytes, settings.obfuscationChars);
    AppendU32(bytes, settings.stopAtThreshold ? 1 : 0);
    AppendU32(bytes, settings.reserved);
    for (const auto& phrase : settings.phrases) {
        AppendBytes(bytes, phrase.text);
        AppendDouble(bytes, phrase.score);
        AppendU32(bytes, phrase.wholeWord ? 1 : 0);
    }
    return bytes;
}

PhraseScorer::PhraseScorer(const PhraseSettings& settings) : settings_(settings), matcher_(PhraseTexts(settings)) {}

std::string PhraseScorer::Prepare(std::string_view text, bool html) const {
    std::string prepared = html && settings_.ignoreHtmlTags ? HtmlToText(text) : std::string(text);
    if (settings_.ignoreObfuscationChars) prepared = RemoveCharacters(prepared, settings_.obfuscationChars);
    return CollapseWhiteSpace(prepared);
}

bool PhraseScorer::ScoreText(std::string_view text, double& total, std::vector<double>& perPhrase,
                             std::vector<bool>& counted) const {
    const bool stop = settings_.stopAtThreshold;
    double sum = 0;
    matcher_.Match(text, [&](std::size_t index, std::size_t start) {
        const Phrase& phrase = settings_.phrases[index];
        if (phrase.wholeWord) {
            const std::size_t end = start + phrase.text.size();
            if (start > 0 && text[start - 1] != ' ') return true;
            if (end < text.size() && text[end] != ' ') return true;
        }
        sum += phrase.score;
        perPhrase[index] += phrase.score;
        counted[index] = true;
        return !(stop && sum >= kPhraseStopScore);
    });
    total += sum;
    return !(stop && total >= kPhraseStopScore);
}

PhraseScore PhraseScorer::Score(const mime::Message& message) const {
    PhraseScore score;
    std::vector<double> perPhrase(settings_.phrases.size(), 0.0);
    std::vector<bool> counted(settings_.phrases.size(), false);
    const auto scan = [&](std::string_view text, bool html) {
        return ScoreText(Prepare(text, html), score.total, perPhrase, counted);
    };
    std::string subject(TrimAscii(message.Subject()));
    if (mime::IsEncodedWord(subject)) subject = mime::DecodeWord(subject).text;
    bool going = scan(subject, false);
    if (going && message.IsMimeEncoded() && message.CountParts() > 0) {
        // Depth first, a part's children before its next sibling.
        std::vector<std::shared_ptr<mime::MessagePart>> stack;
        for (std::size_t i = message.CountParts(); i-- > 0;) stack.push_back(message.GetPart({i}));
        while (going && !stack.empty()) {
            const auto part = stack.back();
            stack.pop_back();
            if (!part) continue;
            if (!part->Parts().empty()) {
                for (auto child = part->Parts().rbegin(); child != part->Parts().rend(); ++child) stack.push_back(*child);
                continue;
            }
            if (part->ContentType() != "text") continue;
            const std::string subType = part->ContentSubType();
            if (subType == "html" || subType == "htm") going = scan(part->DecodedBody(), true);
            if (subType == "plain") going = scan(part->DecodedBody(), false);
        }
    } else if (going) {
        // A single-part message: its own type says whether the body is HTML.
        const bool html = message.IsMimeEncoded() && message.ContentType() == "text" &&
                          (message.ContentSubType() == "html" || message.ContentSubType() == "htm");
        const std::string body = message.IsMimeEncoded()
                                     ? mime::DecodeBody(message.ContentTransferEncoding(), message.BodyText())
                                     : message.BodyText();
        scan(body, html);
    }
    // One entry per phrase text, in the order of the list.
    std::unordered_map<std::string, std::size_t> entry;
    std::vector<std::pair<std::string, double>> table;
    for (std::size_t i = 0; i < settings_.phrases.size(); ++i) {
        if (!counted[i]) continue;
        const auto [found, added] = entry.emplace(settings_.phrases[i].text, table.size());
        if (added) table.emplace_back(settings_.phrases[i].text, 0.0);
        table[found->second].second += perPhrase[i];
    }
    for (const auto& [text, value] : table) {
        if (!score.results.empty()) score.results += ", ";
        score.results += text + "=" + ScoreValueText(value);
    }
    return score;
}

HRESULT PhraseFilter::Load(const DirStorage& root) {
    root_ = root;
    attached_ = true;
    std::string bytes;
    FileIdentity identity;
    const HRESULT hr = ReadListFile(root_, kPhraseFilterFileName, kMaxPhraseFileBytes, bytes, identity);
    if (hr == STG_E_INSUFFICIENTMEMORY) {
        settings_ = {};
        state_ = PhraseFileState::Unreadable;
        return S_OK;
    }
    if (Failed(hr)) return hr;
    settings_ = ParsePhraseFile(bytes, state_);
    return S_OK;
}

HRESULT PhraseFilter::Change(const std::function<HRESULT(PhraseSettings&)>& change) {
    if (!attached_) return E_FAIL;
    const HRESULT hr = ChangeListFile(root_, kPhraseFilterFileName, kMaxPhraseFileBytes, [&](std::string& bytes) {
        PhraseFileState state = PhraseFileState::Clean;
        PhraseSettings settings = ParsePhraseFile(bytes, state);
        if (state == PhraseFileState::Unreadable) return E_FAIL;
        if (const HRESULT changed = change(settings); changed != S_OK) return changed;
        bytes = SerialisePhraseFile(settings);
        return S_OK;
    });
    if (hr == STG_E_INSUFFICIENTMEMORY) return E_FAIL;
    if (Succeeded(hr)) return Load(root_);
    return hr;
}

PhraseScore PhraseFilter::Spamicity(const mime::Message& message) const { return PhraseScorer(settings_).Score(message); }

}  // namespace pw::antispam
