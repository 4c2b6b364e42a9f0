// AntispamMembers: the spam filters for administration clients -- PhraseFilter, CharSetFilter and the
// sender lists (FriendlySendersList, EnemySendersList, NoRespondToList) over the files of the store
// root.
//
// Each "create" gives an object of its own over the running server's store root. Every change is
// saved by the filter itself before the reply (locked re-read, change, atomic replacement), so the
// routers use it for the next message. Reads see the file as it is now, except that the phrase
// filter is read again only by Count, Spamicity and changes, as a long list must not be read once per
// GetAt of a client's walk. A damaged file is never changed: the change fails with the filter's
// E_FAIL. A list's FileName moves it to another file of the store root only -- a bare name -- and
// only for root or the server's user.
#include "admin/ObjectModel.h"
#include "admin/Settings.h"
#include "antispam/AntispamLimits.h"
#include "antispam/CharSetFilter.h"
#include "antispam/PhraseFilter.h"
#include "antispam/SendersList.h"
#include "mime/Message.h"
#include "platform/ClassRegistry.h"

#include <cmath>
#include <iterator>

namespace pw::admin {

mime::Message& MessageArgument(const Variant& value);  // MimeMembers.cpp

namespace {

using K = MemberKind;
using A = std::span<Variant>;

const Guid kPhraseFilterClassId = *Guid::Parse("{A8AD596B-B1A9-478E-807A-71471FF7E3AB}");
const Guid kFriendlySendersListClassId = *Guid::Parse("{7D6AAFC8-2809-476A-9B1A-6C8C35687408}");
const Guid kEnemySendersListClassId = *Guid::Parse("{6DAD23CE-226C-4371-92CC-6B9628BE81E8}");
const Guid kNoRespondToListClassId = *Guid::Parse("{B354F692-72FE-4C6F-8755-CB184D0E1D5D}");

// A filter's HRESULT: a failure becomes the reply's error with its text, S_FALSE stays the result.
void Outcome(CallResult& call, HRESULT hr, const std::string& failure) {
    if (Failed(hr)) throw ComError(hr, failure);
    call.hr = hr;
}

class PhraseFilterObject : public Unknown {
public:
    explicit PhraseFilterObject(DirStorage root) : root_(std::move(root)) {}
    // The filter as last read: read at the first use, again by Count (so that a client's walk of
    // Count and GetAt sees one list, and a long list is not read per phrase) and after each change.
    antispam::PhraseFilter& Current() {
        if (!loaded_) Reload();
        return filter_;
    }
    antispam::PhraseFilter& Reload() {
        const HRESULT hr = filter_.Load(root_);
        if (Failed(hr)) throw ComError(hr, "the phrase filter can not be read");
        loaded_ = true;
        return filter_;
    }
    void Change(const std::function<HRESULT(antispam::PhraseSettings&)>& change) {
        // The change reads the file again under its lock, and the filter after it.
        const HRESULT hr = Current().Change(change);
        if (hr == E_FAIL) throw ComError(E_FAIL, "the phrase filter's file can not be read; it is left as it is");
        if (hr == E_INVALIDARG) throw ComError(E_INVALIDARG, "no such phrase, or the phrase list is full");
        if (Failed(hr)) throw ComError(hr, "the phrase filter can not be changed");
    }

private:
    DirStorage root_;
    antispam::PhraseFilter filter_;
    bool loaded_ = false;
};

class CharSetFilterObject : public Unknown {
public:
    explicit CharSetFilterObject(DirStorage root) : root_(std::move(root)) {}
    // The filter as its file is now: read again only when the file was replaced.
    antispam::CharSetFilter& Current() {
        if (filter_.Loaded() && filter_.Refresh()) return filter_;
        const HRESULT hr = filter_.Load(root_);
        if (Failed(hr)) throw ComError(hr, "the charset filter's file can not be read");
        return filter_;
    }

private:
    DirStorage root_;
    antispam::CharSetFilter filter_;
};

class SendersListObject : public Unknown {
public:
    SendersListObject(DirStorage root, std::string_view fileName) : root_(std::move(root)) { Open(std::string(fileName)); }
    // The list as its file is now; a damaged file leaves it absent.
    antispam::SendersList& Current() {
        if (!list_->Loaded() || !list_->Refresh()) (void)list_->Load(root_);
        if (!list_->Loaded()) throw ComError(E_FAIL, "the list file " + list_->FileName() + " can not be read");
        return *list_;
    }
    antispam::SendersList& List() { return *list_; }
    void Open(std::string fileName) {
        list_ = std::make_unique<antispam::SendersList>(std::move(fileName));
        (void)list_->Load(root_);
    }

private:
    DirStorage root_;
    std::unique_ptr<antispam::SendersList> list_;
};

// The three lists differ in their file and class name; the no-respond list has AddDefaults too.
class FriendlyListObject final : public SendersListObject {
public:
    explicit FriendlyListObject(DirStorage root) : SendersListObject(std::move(root), antispam::kFriendlySendersFileName) {}
};
class EnemyListObject final : public SendersListObject {
public:
    explicit EnemyListObject(DirStorage root) : SendersListObject(std::move(root), antispam::kEnemySendersFileName) {}
};
class NoRespondListObject final : public SendersListObject {
public:
    explicit NoRespondListObject(DirStorage root) : SendersListObject(std::move(root), antispam::kNoRespondToFileName) {}
};

bool IsFileName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
    for (const char c : name) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    }
    return true;
}

void RegisterPhraseFilter() {
    using P = PhraseFilterObject;
    const auto setting = [](bool antispam::PhraseSettings::*field) {
        return std::pair{
            [field](P& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool(self.Current().Settings().*field); },
            [field](P& self, A args, const Caller&, CallResult&) {
                const bool on = args[0].IsTrue();
                self.Change([&](antispam::PhraseSettings& settings) {
                    settings.*field = on;
                    return S_OK;
                });
            }};
    };
    const auto html = setting(&antispam::PhraseSettings::ignoreHtmlTags);
    const auto obfuscation = setting(&antispam::PhraseSettings::ignoreObfuscationChars);
    RegisterMembers<P>("PhraseFilter", {
        Member<P>("IgnoreHTMLTags", K::Get, {}, html.first),
        Member<P>("IgnoreHTMLTags", K::Put, {VT_BOOL}, html.second),
        Member<P>("IgnoreObfuscationChars", K::Get, {}, obfuscation.first),
        Member<P>("IgnoreObfuscationChars", K::Put, {VT_BOOL}, obfuscation.second),
        Member<P>("ObfuscationChars", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) {
            call.result = Variant::Text(self.Current().Settings().obfuscationChars);
        }),
        Member<P>("ObfuscationChars", K::Put, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) {
            const std::string chars = args[0].AsText();
            if (chars.size() > antispam::kMaxObfuscationChars) throw ComError(E_INVALIDARG, "at most 256 obfuscation characters");
            self.Change([&](antispam::PhraseSettings& settings) {
                settings.obfuscationChars = chars;
                return S_OK;
            });
        }),
        Member<P>("Count", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) {
            call.result = Variant::I4(static_cast<std::int32_t>(self.Reload().Settings().phrases.size()));
        }),
        Member<P>("Add", K::Method, {VT_BSTR, VT_R8, VT_BOOL}, [](P& self, A args, const Caller&, CallResult& call) {
            const std::string text = args[0].AsText();
            const double score = args[1].AsDouble();
            const bool wholeWord = args[2].IsTrue();
            if (text.empty() || text.size() > antispam::kMaxPhraseText) throw ComError(E_INVALIDARG, "a phrase has 1 to 1000 bytes");
            if (!std::isfinite(score)) throw ComError(E_INVALIDARG, "a score is a finite number");
            std::size_t index = 0;
            self.Change([&](antispam::PhraseSettings& settings) {
                if (settings.phrases.size() >= antispam::kMaxPhrases) return E_INVALIDARG;
                index = settings.phrases.size();
                settings.phrases.push_back({text, score, wholeWord});
                return S_OK;
            });
            call.result = Variant::I4(static_cast<std::int32_t>(index));
        }),
        Member<P>("RemoveAt", K::Method, {VT_I4}, [](P& self, A args, const Caller&, CallResult&) {
            const std::int32_t index = args[0].AsI4();
            self.Change([&](antispam::PhraseSettings& settings) {
                if (index < 0 || static_cast<std::size_t>(index) >= settings.phrases.size()) return E_INVALIDARG;
                settings.phrases.erase(settings.phrases.begin() + index);
                return S_OK;
            });
        }),
        Member<P>("RemoveAll", K::Method, {}, [](P& self, A, const Caller&, CallResult&) {
            self.Change([](antispam::PhraseSettings& settings) {
                settings.phrases.clear();
                return S_OK;
            });
        }),
        // The score, and "phrase=score, ..." of the phrases that counted as the out value.
        Member<P>("Spamicity", K::Method, {VT_DISPATCH, VT_BSTR}, [](P& self, A args, const Caller&, CallResult& call) {
            const antispam::PhraseScore score = self.Reload().Spamicity(MessageArgument(args[0]));
            call.result = Variant::R8(score.total);
            call.out = {Variant::Text(score.results)};
        }),
        Member<P>("GetAt", K::Method, {VT_I4}, [](P& self, A args, const Caller&, CallResult& call) {
            const auto& phrases = self.Current().Settings().phrases;
            const std::int32_t index = args[0].AsI4();
            if (index < 0 || static_cast<std::size_t>(index) >= phrases.size()) throw ComError(E_INVALIDARG, "no phrase has that index");
            const auto& phrase = phrases[static_cast<std::size_t>(index)];
            call.out = {Variant::Text(phrase.text), Variant::R8(phrase.score), Variant::Bool(phrase.wholeWord)};
        }),
    });
}

void RegisterCharSetFilter() {
    using C = CharSetFilterObject;
    RegisterMembers<C>("CharSetFilter", {
        Member<C>("Count", K::Get, {}, [](C& self, A, const Caller&, CallResult& call) {
            call.result = Variant::I4(static_cast<std::int32_t>(self.Current().Count()));
        }),
        Member<C>("Item", K::Get, {VT_I4}, [](C& self, A args, const Caller&, CallResult& call) {
            const auto& names = self.Current().Names();
            if (args[0].AsI4() < 0 || static_cast<std::size_t>(args[0].AsI4()) >= names.size()) throw ComError(E_INVALIDARG, "no charset has that index");
            call.result = Variant::Text(names[static_cast<std::size_t>(args[0].AsI4())]);
        }),
        Member<C>("Add", K::Method, {VT_BSTR}, [](C& self, A args, const Caller&, CallResult& call) {
            Outcome(call, self.Current().Add(args[0].AsText()), "can not add the charset \"" + args[0].AsText() + "\"");
        }),
        Member<C>("Remove", K::Method, {VT_BSTR}, [](C& self, A args, const Caller&, CallResult& call) {
            Outcome(call, self.Current().Remove(args[0].AsText()), "can not remove the charset \"" + args[0].AsText() + "\"");
        }),
        // The score; the out value names the listed set that matched, else stays as given.
        Member<C>("Spamicity", K::Method, {VT_DISPATCH, VT_BSTR}, [](C& self, A args, const Caller&, CallResult& call) {
            std::string results = args[1].AsText();
            call.result = Variant::R8(self.Current().Spamicity(MessageArgument(args[0]), results));
            call.out = {Variant::Text(results)};
        }),
        Member<C>("RemoveAll", K::Method, {}, [](C& self, A, const Caller&, CallResult& call) {
            Outcome(call, self.Current().RemoveAll(), "can not clear the charset filter");
        }),
    });
}

std::vector<MemberInfo> SendersListMembers() {
    using S = SendersListObject;
    return {
        Member<S>("Count", K::Get, {}, [](S& self, A, const Caller&, CallResult& call) {
            call.result = Variant::I4(static_cast<std::int32_t>(self.Current().Count()));
        }),
        Member<S>("FileName", K::Get, {}, [](S& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.List().FileName()); }),
        Member<S>("FileName", K::Put, {VT_BSTR}, [](S& self, A args, const Caller& caller, CallResult&) {
            if (!caller.mayUseFiles) throw ComError(E_ACCESSDENIED, "only root or the server's user may point a list at another file");
            if (!IsFileName(args[0].AsText())) throw ComError(E_INVALIDARG, "a list's file is a bare name in the store root");
            self.Open(args[0].AsText());
        }),
        Member<S>("Add", K::Method, {VT_BSTR}, [](S& self, A args, const Caller&, CallResult& call) {
            // An address that stands for no key is passed over, as the list itself does.
            Outcome(call, self.Current().Add(args[0].AsText()), "can not add \"" + args[0].AsText() + "\"");
        }),
        Member<S>("IsInList", K::Method, {VT_BSTR}, [](S& self, A args, const Caller&, CallResult& call) {
            call.hr = self.Current().IsInList(args[0].AsText()) ? S_OK : S_FALSE;
        }),
        Member<S>("Remove", K::Method, {VT_BSTR}, [](S& self, A args, const Caller&, CallResult& call) {
            Outcome(call, self.Current().Remove(args[0].AsText()), "can not remove \"" + args[0].AsText() + "\"");
        }),
        Member<S>("Reset", K::Method, {}, [](S& self, A, const Caller&, CallResult&) { self.Current().Reset(); }),
        // One entry per call: a BSTR out value carries one text. Out: the entry (null at the end) and
        // the number fetched.
        Member<S>("Next", K::Method, {VT_UI4}, [](S& self, A args, const Caller&, CallResult& call) {
            if (args[0].AsInt64() != 1) throw ComError(E_INVALIDARG, "Next fetches one entry at a time");
            const auto entries = self.Current().Next(1);
            call.out = {entries.empty() ? Variant::NullText() : Variant::Text(entries.front()),
                        Variant::UI4(static_cast<std::uint32_t>(entries.size()))};
        }),
    };
}

void RegisterSendersLists() {
    RegisterMembers<FriendlyListObject>("FriendlySendersList", SendersListMembers());
    RegisterMembers<EnemyListObject>("EnemySendersList", SendersListMembers());
    auto members = SendersListMembers();
    members.push_back(Member<SendersListObject>("AddDefaults", K::Method, {}, [](SendersListObject& self, A, const Caller&, CallResult& call) {
        const std::vector<std::string_view> defaults(std::begin(antispam::kNoRespondDefaults), std::end(antispam::kNoRespondDefaults));
        Outcome(call, self.Current().AddAll(defaults), "can not add the defaults");
    }));
    RegisterMembers<NoRespondListObject>("NoRespondToList", std::move(members));
}

}  // namespace

std::vector<ClassInfo> FilterClassInfos() {
    return {
        {kPhraseFilterClassId, "Pellworth.PhraseFilter", "PhraseFilter", {}},
        {antispam::kCharSetFilterClassId, "Pellworth.CharSetFilter", "CharSetFilter", {}},
        {kFriendlySendersListClassId, "Pellworth.FriendlySendersList", "FriendlySendersList", {}},
        {kEnemySendersListClassId, "Pellworth.EnemySendersList", "EnemySendersList", {}},
        {kNoRespondToListClassId, "Pellworth.NoRespondToList", "NoRespondToList", {}},
    };
}

// The filters' classes over the running server's store root, and their member tables.
void RegisterFilterClasses(const DirStorage& root) {
    RegisterPhraseFilter();
    RegisterCharSetFilter();
    RegisterSendersLists();
    const std::function<std::shared_ptr<Unknown>()> factories[] = {
        [root] { return std::make_shared<PhraseFilterObject>(root); },
        [root] { return std::make_shared<CharSetFilterObject>(root); },
        [root] { return std::make_shared<FriendlyListObject>(root); },
        [root] { return std::make_shared<EnemyListObject>(root); },
        [root] { return std::make_shared<NoRespondListObject>(root); },
    };
    std::vector<ClassInfo> classes = FilterClassInfos();
    for (std::size_t i = 0; i < classes.size(); ++i) {
        classes[i].factory = factories[i];
        ClassRegistry::Instance().Register(std::move(classes[i]));
    }
    RegisterAddressMapClass();
}

}  // namespace pw::admin
