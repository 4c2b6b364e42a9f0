// SpamCommands: pellworth-admin's sender lists, charset filter and phrase filter commands, and
// SpamAssassin's learning from the store's "Bayesian Learn" folders (`spam learn`).
//
// They edit the files the router reads through the same classes (src/antispam), so they are safe
// while a server runs: every change is one locked re-read, change and atomic replacement of the file,
// and the routers read the new file before the next message. A damaged file is never changed; the
// tool says so and exits 1. While a server holds the store its filter objects make the changes
// (the server is the store's one writer); the listings and the scores read the files.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "AdminSupport.h"
#include "EndpointClient.h"
#include "antispam/AntispamLimits.h"
#include "antispam/CharSetFilter.h"
#include "antispam/PhraseFilter.h"
#include "antispam/SendersList.h"
#include "antispam/SpamAssassinLearn.h"
#include "store/MessageStore.h"
#include "mime/Message.h"
#include "platform/Text.h"

namespace pw::admin {

namespace {

// The most of a message file `phrases score` reads.
constexpr std::size_t kMaxScoredMessage = 64 << 20;

std::unique_ptr<antispam::SendersList> ListByName(std::string_view name) {
    if (name == "friendly") return std::make_unique<antispam::FriendlySendersList>();
    if (name == "enemy") return std::make_unique<antispam::EnemySendersList>();
    if (name == "norespond") return std::make_unique<antispam::NoRespondToList>();
    return nullptr;
}

void Check(HRESULT hr, const std::string& what) {
    if (Failed(hr)) throw Failure{what + ": " + HresultText(hr)};
}

// The list loaded; a damaged one stops the command.
void LoadList(antispam::SendersList& list, const DirStorage& root) {
    const HRESULT hr = list.Load(root);
    if (hr == E_FAIL) throw Failure{"the list " + root.ElementPath(list.FileName()) + " is damaged; it is left as it is"};
    Check(hr, "can not read " + root.ElementPath(list.FileName()));
}

void ChangeList(HRESULT hr, const antispam::SendersList& list, const DirStorage& root, std::string_view text) {
    const std::string path = root.ElementPath(list.FileName());
    if (hr == E_INVALIDARG) throw Failure{"not taken (too long, or holding a control character): " + std::string(text)};
    if (hr == E_FAIL) throw Failure{"the list " + path + " is damaged or full; it is left as it is"};
    Check(hr, "can not change " + path);
}

const char* ListProgId(std::string_view name) {
    if (name == "friendly") return "Pellworth.FriendlySendersList";
    if (name == "enemy") return "Pellworth.EnemySendersList";
    return "Pellworth.NoRespondToList";
}

// A change through the running server's object `progId`; nullopt when no server runs. The reply's
// HRESULT, a failure thrown with the server's text.
std::optional<HRESULT> ServerChange(const char* progId, std::string_view op, std::string_view member, const std::vector<Variant>& args,
                                    Variant* result = nullptr) {
    auto server = EndpointClient::IfServerRuns(StoreRoot(true));
    if (!server) return std::nullopt;
    EndpointReply reply = server->Request(op, Json(progId), member, args);
    if (reply.hr == E_INVALIDARG) throw Failure{"not taken: " + reply.error};
    if (Failed(reply.hr)) throw Failure{"the server could not make the change: " + reply.error + " (" + HresultText(reply.hr) + ")"};
    if (result) *result = std::move(reply.result);
    return reply.hr;
}

int Senders(Arguments args) {
    if (args.size() < 2) return -1;
    auto list = ListByName(args[0]);
    if (!list) return -1;
    const std::string_view command = args[1];
    if (args.size() == 3 && (command == "add" || command == "remove")) {
        if (const auto hr = ServerChange(ListProgId(args[0]), "call", command == "add" ? "Add" : "Remove", {Variant::Text(std::string(args[2]))})) {
            if (*hr == S_FALSE && command == "add") throw Failure{"not an address or a pattern with a name: " + std::string(args[2])};
            if (*hr == S_FALSE) throw Failure{"not on the list: " + std::string(args[2])};
            return 0;
        }
    }
    if (args.size() == 3 && (command == "add" || command == "remove" || command == "check")) {
        const DirStorage root = StoreRoot(command != "check");
        LoadList(*list, root);
        if (command == "check") {
            std::printf("%s\n", list->IsInList(args[2]) ? "yes" : "no");
            return 0;
        }
        const HRESULT hr = command == "add" ? list->Add(args[2]) : list->Remove(args[2]);
        if (hr == S_FALSE && command == "add") throw Failure{"not an address or a pattern with a name: " + std::string(args[2])};
        if (hr == S_FALSE) throw Failure{"not on the list: " + std::string(args[2])};
        ChangeList(hr, *list, root, args[2]);
        return 0;
    }
    if (args.size() == 2 && command == "list") {
        LoadList(*list, StoreRoot(false));
        list->Reset();
        for (auto texts = list->Next(256); !texts.empty(); texts = list->Next(256)) {
            for (const auto& text : texts) std::printf("%s\n", text.c_str());
        }
        return 0;
    }
    if (args.size() == 2 && command == "defaults") {
        auto* noRespond = dynamic_cast<antispam::NoRespondToList*>(list.get());
        if (!noRespond) throw Failure{"only the norespond list has defaults"};
        if (ServerChange(ListProgId(args[0]), "call", "AddDefaults", {})) return 0;
        const DirStorage root = StoreRoot(true);
        LoadList(*noRespond, root);
        ChangeList(noRespond->AddDefaults(), *noRespond, root, "the defaults");
        return 0;
    }
    return -1;
}

int Charset(Arguments args) {
    antispam::CharSetFilter filter;
    const auto load = [&](bool create) {
        const DirStorage root = StoreRoot(create);
        if (Failed(filter.Load(root))) {
            throw Failure{"the charset filter's file " + root.ElementPath(filter.FileName()) + " is damaged; it is left as it is"};
        }
        return root;
    };
    const auto change = [&](HRESULT hr, std::string_view name) {
        if (hr == E_INVALIDARG) throw Failure{"not a charset name: " + std::string(name)};
        if (hr == E_FAIL) throw Failure{"the charset filter is damaged or full; it is left as it is"};
        Check(hr, "can not change the charset filter");
    };
    if ((args.size() == 2 && (args[0] == "add" || args[0] == "remove")) || (args.size() == 1 && args[0] == "clear")) {
        const std::string member = args[0] == "add" ? "Add" : args[0] == "remove" ? "Remove" : "RemoveAll";
        std::vector<Variant> values;
        if (args.size() == 2) values.push_back(Variant::Text(std::string(args[1])));
        if (const auto hr = ServerChange("Pellworth.CharSetFilter", "call", member, values)) {
            if (*hr == S_FALSE) throw Failure{std::string(args[0] == "add" ? "already listed: " : "not listed: ") + std::string(args[1])};
            return 0;
        }
    }
    if (args.size() == 2 && args[0] == "add") {
        load(true);
        const HRESULT hr = filter.Add(args[1]);
        if (hr == S_FALSE) throw Failure{"already listed: " + std::string(args[1])};
        change(hr, args[1]);
        return 0;
    }
    if (args.size() == 2 && args[0] == "remove") {
        load(true);
        const HRESULT hr = filter.Remove(args[1]);
        if (hr == S_FALSE) throw Failure{"not listed: " + std::string(args[1])};
        change(hr, args[1]);
        return 0;
    }
    if (args.size() == 1 && args[0] == "clear") {
        load(true);
        change(filter.RemoveAll(), {});
        return 0;
    }
    if (args.size() == 1 && args[0] == "list") {
        load(false);
        for (const auto& name : filter.Names()) std::printf("%s\n", name.c_str());
        return 0;
    }
    return -1;
}

std::optional<bool> Switch(std::string_view text) {
    if (text == "true") return true;
    if (text == "false") return false;
    return std::nullopt;
}

std::optional<double> Score(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || errno != 0 || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<std::size_t> Index(std::string_view text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    return static_cast<std::size_t>(std::strtoul(std::string(text).c_str(), nullptr, 10));
}

void ChangePhrases(antispam::PhraseFilter& filter, const std::function<HRESULT(antispam::PhraseSettings&)>& change) {
    const HRESULT hr = filter.Change(change);
    if (hr == E_FAIL) throw Failure{"the phrase filter's file can not be read; it is left as it is"};
    if (hr == E_INVALIDARG) throw Failure{"no such phrase, or the phrase list is full"};
    Check(hr, "can not change the phrase filter");
}

int PhraseScore(antispam::PhraseFilter& filter, std::string_view path) {
    std::ifstream file{std::string(path), std::ios::binary};
    if (!file) throw Failure{"can not read " + std::string(path)};
    std::string content(kMaxScoredMessage + 1, '\0');
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(file.gcount()));
    if (content.size() > kMaxScoredMessage) throw Failure{std::string(path) + " is larger than a message the tool scores"};
    mime::Message message;
    (void)message.LoadBytes(std::move(content));  // a damaged message is scored by the parts it has
    const antispam::PhraseScore score = filter.Spamicity(message);
    std::printf("%.2f\n%s\n", score.total, score.results.c_str());
    return 0;
}

void PrintPhrases(const antispam::PhraseSettings& settings) {
    std::printf("ignore-html %s\nignore-obfuscation %s\nobfuscation-chars %s\nstop-at-threshold %s\n",
                settings.ignoreHtmlTags ? "true" : "false", settings.ignoreObfuscationChars ? "true" : "false",
                settings.obfuscationChars.c_str(), settings.stopAtThreshold ? "true" : "false");
    for (std::size_t i = 0; i < settings.phrases.size(); ++i) {
        const auto& phrase = settings.phrases[i];
        std::printf("%zu\t%.2f\t%s\t%s\n", i, phrase.score, phrase.wholeWord ? "whole-word" : "anywhere", phrase.text.c_str());
    }
}

// The phrase filter's changes through the running server; -1 for what it does not change, 1 when
// no server runs.
int ServerPhrases(Arguments args) {
    constexpr const char* kFilter = "Pellworth.PhraseFilter";
    if (args[0] == "add" && (args.size() == 3 || (args.size() == 4 && args[3] == "--whole-word"))) {
        const auto score = Score(args[2]);
        if (!score) throw Failure{"not a score: " + std::string(args[2])};
        Variant index;
        if (!ServerChange(kFilter, "call", "Add", {Variant::Text(std::string(args[1])), Variant::R8(*score), Variant::Bool(args.size() == 4)}, &index)) return 1;
        std::printf("%d\n", index.AsI4());
        return 0;
    }
    if (args[0] == "remove" && args.size() == 2) {
        const auto index = Index(args[1]);
        if (!index || *index > 0x7fffffff) throw Failure{"not an index: " + std::string(args[1])};
        return ServerChange(kFilter, "call", "RemoveAt", {Variant::I4(static_cast<std::int32_t>(*index))}) ? 0 : 1;
    }
    if (args[0] == "clear" && args.size() == 1) return ServerChange(kFilter, "call", "RemoveAll", {}) ? 0 : 1;
    if (args[0] == "set" && args.size() == 3) {
        const std::string value(args[2]);
        if (args[1] == "obfuscation-chars") return ServerChange(kFilter, "put", "ObfuscationChars", {Variant::Text(value)}) ? 0 : 1;
        const auto on = Switch(value);
        if (!on || (args[1] != "ignore-html" && args[1] != "ignore-obfuscation")) return -1;
        return ServerChange(kFilter, "put", args[1] == "ignore-html" ? "IgnoreHTMLTags" : "IgnoreObfuscationChars", {Variant::Bool(*on)}) ? 0 : 1;
    }
    return -1;
}

int Phrases(Arguments args) {
    if (args.empty()) return -1;
    if (args[0] != "list" && args[0] != "score") {
        const int status = ServerPhrases(args);
        if (status <= 0) return status;
    }
    antispam::PhraseFilter filter;
    const bool changes = args[0] != "list" && args[0] != "score";
    Check(filter.Load(StoreRoot(changes)), "can not read the phrase filter");
    if (args[0] == "list" && args.size() == 1) {
        PrintPhrases(filter.Settings());
        return 0;
    }
    if (args[0] == "score" && args.size() == 2) return PhraseScore(filter, args[1]);
    if (args[0] == "add" && (args.size() == 3 || (args.size() == 4 && args[3] == "--whole-word"))) {
        const std::string text(args[1]);
        const auto score = Score(args[2]);
        if (!score) throw Failure{"not a score: " + std::string(args[2])};
        if (text.empty() || text.size() > antispam::kMaxPhraseText) throw Failure{"a phrase has 1 to 1000 bytes"};
        std::size_t index = 0;
        ChangePhrases(filter, [&](antispam::PhraseSettings& settings) {
            if (settings.phrases.size() >= antispam::kMaxPhrases) return E_INVALIDARG;
            index = settings.phrases.size();
            settings.phrases.push_back({text, *score, args.size() == 4});
            return S_OK;
        });
        std::printf("%zu\n", index);
        return 0;
    }
    if (args[0] == "remove" && args.size() == 2) {
        const auto index = Index(args[1]);
        if (!index) throw Failure{"not an index: " + std::string(args[1])};
        ChangePhrases(filter, [&](antispam::PhraseSettings& settings) {
            if (*index >= settings.phrases.size()) return E_INVALIDARG;
            settings.phrases.erase(settings.phrases.begin() + static_cast<std::ptrdiff_t>(*index));
            return S_OK;
        });
        return 0;
    }
    if (args[0] == "clear" && args.size() == 1) {
        ChangePhrases(filter, [](antispam::PhraseSettings& settings) {
            settings.phrases.clear();
            return S_OK;
        });
        return 0;
    }
    if (args[0] == "set" && args.size() == 3) {
        const std::string value(args[2]);
        if (args[1] == "obfuscation-chars") {
            if (value.size() > antispam::kMaxObfuscationChars) throw Failure{"at most 256 obfuscation characters"};
            ChangePhrases(filter, [&](antispam::PhraseSettings& settings) {
                settings.obfuscationChars = value;
                return S_OK;
            });
            return 0;
        }
        const auto on = Switch(value);
        if (!on || (args[1] != "ignore-html" && args[1] != "ignore-obfuscation")) return -1;
        ChangePhrases(filter, [&](antispam::PhraseSettings& settings) {
            (args[1] == "ignore-html" ? settings.ignoreHtmlTags : settings.ignoreObfuscationChars) = *on;
            return S_OK;
        });
        return 0;
    }
    return -1;
}

int Spam(Arguments args) {
    if (args.size() != 1 || args[0] != "learn") return -1;
    const auto messageStore = store::MessageStore::Open(StoreRoot(false).Path());
    const antispam::LearnCounts counts = antispam::Learn(*messageStore, antispam::ReadSpamAssassinPaths(Registry::System()));
    std::printf("learned %zu spam and %zu good messages\n", counts.spamLearned, counts.goodLearned);
    if (counts.failed != 0) throw Failure{std::to_string(counts.failed) + " messages could not be learned; they stay in their folders"};
    return 0;
}

}  // namespace

int SpamCommand(Arguments args) { return Spam(args); }
int SendersCommand(Arguments args) { return Senders(args); }
int CharsetCommand(Arguments args) { return Charset(args); }
int PhrasesCommand(Arguments args) { return Phrases(args); }

}  // namespace pw::admin
