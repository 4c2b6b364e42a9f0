// StoreMembers: the member tables of the store's classes -- MessageStore, Domains, Domain, MailBoxes,
// MailBox, Folders, Folder, Envelopes, Envelope -- over the objects of src/store/.
//
// Store objects are opened per use and write their property changes at Update, as the automation
// objects do; the names they are given are checked by the store itself (no "/", no "." or "..", no
// control characters), so a hostile name is refused there and nothing is made. A lookup that finds
// nothing answers S_FALSE with no object.
#include "admin/AdminLimits.h"
#include "admin/AdminProtocol.h"
#include "admin/ClientFiles.h"
#include "admin/ObjectModel.h"
#include "admin/PasswordCheck.h"
#include "admin/TreePositions.h"
#include "admin/Settings.h"
#include "core/ConfigTree.h"
#include "lists/ListTypes.h"
#include "store/Domain.h"
#include "store/Envelope.h"
#include "store/Envelopes.h"
#include "store/Folder.h"
#include "store/MailBox.h"
#include "store/MessageStore.h"
#include "store/Recipients.h"
#include "platform/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <limits>
#include <type_traits>
#include <unistd.h>

namespace pw::admin {

MemberInfo MailingListMember();  // ListMembers.cpp

namespace {

using K = MemberKind;
using A = std::span<Variant>;

constexpr std::string_view kListDataSourceKey = "ml:datasource";

std::string CanonicalKey(std::string_view key) {
    std::string canonical;
    for (const std::string_view component : core::SplitKey(key)) {
        if (!canonical.empty()) canonical += ':';
        canonical += component;
    }
    return canonical;
}

std::string Text(const Variant& value) { return value.AsText(); }

// The store's own keys ("_Password", "_Type", "_MLSecret", an envelope's "_Sender", the IMAP
// state): a name whose first component begins with "_". Their members check what they write; a
// client writing them as properties could change a mailbox's kind or a list's token secret.
bool IsInternalKey(std::string_view canonical) { return !canonical.empty() && canonical.front() == '_'; }

// What lets its holder in: the enciphered password and the list's token secret.
bool IsSecretKey(std::string_view canonical) {
    const std::string_view first = canonical.substr(0, canonical.find(':'));
    return EqualsNoCase(first, store::kPasswordKey) || EqualsNoCase(first, lists::kSecretKey);
}

// Internal keys are changed only by root or the server's user, the password by its own member only.
void CheckPropertyChange(std::string_view canonical, const Caller& caller) {
    const std::string_view first = canonical.substr(0, canonical.find(':'));
    if (EqualsNoCase(first, store::kPasswordKey)) throw ComError(E_ACCESSDENIED, "set a password with Password");
    if (IsInternalKey(canonical) && !caller.mayUseFiles) {
        throw ComError(E_ACCESSDENIED, "only root or the server's user may change the store's own \"_\" properties");
    }
}

// An object, or S_FALSE and no object when there is none.
template <typename T>
void ObjectResult(CallResult& call, std::shared_ptr<T> object) {
    if (!object) call.hr = S_FALSE;
    call.result = Variant::Object(std::move(object));
}

// A collection's Item: a number is a place in the listing (from 0), a text is a name.
template <typename C>
void CollectionItem(C& self, const Variant& index, CallResult& call) {
    if (index.IsText()) {
        ObjectResult(call, self.Item(std::string_view(index.AsText())));
        return;
    }
    if (!index.IsNumeric() || index.AsInt64() < 0) throw ComError(E_INVALIDARG, "an index is a number from 0 or a name");
    ObjectResult(call, self.Item(static_cast<std::size_t>(index.AsInt64())));
}

// Next of a walk: one object per call, as a client gets one object back through an out value; the
// outs are the object (none after the last) and how many were fetched. S_FALSE after the last.
template <typename C>
void NextObject(C& self, const Variant& count, CallResult& call) {
    if (count.AsInt64() != 1) throw ComError(E_INVALIDARG, "Next fetches one object at a time");
    auto next = self.Next();
    const bool fetched = next != nullptr;
    call.out = {Variant::Object(std::move(next)), Variant::UI4(fetched ? 1 : 0)};
    if (!fetched) call.hr = S_FALSE;
}

// A property tree as an object of its own (IProperties): a store object's over its own opening of
// the object (its changes written by its Update, merged with what the file holds then), or an
// envelope's over the envelope itself (written by either's Update).
class PropertiesBase : public Unknown {
public:
    virtual const store::Properties& Values() = 0;
    TreePositions& Positions() { return positions_; }

private:
    TreePositions positions_;
};

template <typename O>
class PropertiesObject : public PropertiesBase {
public:
    explicit PropertiesObject(std::shared_ptr<O> owner) : owner_(std::move(owner)) {}
    O& Owner() { return *owner_; }
    const store::Properties& Values() override { return owner_->GetProperties(); }

private:
    std::shared_ptr<O> owner_;
};

// An envelope's values reach the transports' commands (the sender, ORCPT, NOTIFY): one line each.
void CheckEnvelopeValue(const Variant& value) {
    if (!value.IsText()) return;
    for (const char c : value.AsText()) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) throw ComError(E_INVALIDARG, "an envelope's value holds no control character");
    }
}

template <typename O>
void RegisterProperties() {
    using P = PropertiesObject<O>;
    constexpr bool envelope = std::is_same_v<O, store::Envelope>;
    const auto item = [](P& self, A args, const Caller& caller, CallResult& call) {
        if (IsSecretKey(CanonicalKey(Text(args[0]))) && !caller.mayUseFiles) {
            throw ComError(E_ACCESSDENIED, "only root or the server's user may read a password or a secret");
        }
        if (!self.Owner().GetProperties().Get(Text(args[0]), call.result)) call.hr = S_FALSE;
    };
    std::vector<MemberInfo> members = {
        Member<P>("Item", K::Get, {VT_BSTR}, item),
        Member<P>("Item", K::Put, {VT_BSTR, VT_VARIANT}, [](P& self, A args, const Caller& caller, CallResult&) {
            // Compared as the tree finds them: ":_Password" and "ml::datasource" are the same keys.
            const std::string key = CanonicalKey(Text(args[0]));
            // The password is enciphered by its own member, never written as given.
            CheckPropertyChange(key, caller);
            // A list's member database is a file the server opens and makes wherever this names.
            if (EqualsNoCase(key, kListDataSourceKey) && !caller.mayUseFiles) {
                throw ComError(E_ACCESSDENIED, "only root or the server's user may move a list's member database");
            }
            if (args[1].Type() == VT_DISPATCH || args[1].Type() == VT_UNKNOWN) throw ComError(DISP_E_TYPEMISMATCH, "a property holds no object");
            if constexpr (envelope) CheckEnvelopeValue(args[1]);
            if (!self.Owner().GetProperties().SetItem(Text(args[0]), args[1])) throw ComError(E_INVALIDARG, "\"" + Text(args[0]) + "\" names no property");
        }),
        Member<P>("CountChildren", K::Get, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::I4(static_cast<std::int32_t>(self.Owner().GetProperties().CountChildren(Text(args[0]))));
        }),
        Member<P>("Remove", K::Method, {VT_BSTR}, [](P& self, A args, const Caller& caller, CallResult& call) {
            // Without its password a mailbox no longer logs in, the store root has no administrator.
            CheckPropertyChange(CanonicalKey(Text(args[0])), caller);
            if (!self.Owner().GetProperties().Remove(Text(args[0]))) call.hr = S_FALSE;
        }),
        Member<P>("Update", K::Method, {}, [](P& self, A, const Caller&, CallResult&) { self.Owner().Update(); }),
        Member<P>("GetPosition", K::Method, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::I4(self.Positions().Add(self.Owner().GetProperties().GetPosition(Text(args[0]))));
            if (call.result.AsI4() == 0) call.hr = S_FALSE;
        }),
        Member<P>("GetFirstChildPosition", K::Method, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::I4(self.Positions().Add(self.Owner().GetProperties().GetFirstChildPosition(Text(args[0]))));
            if (call.result.AsI4() == 0) call.hr = S_FALSE;
        }),
        // Outs: the position moved on (0 after the last child) and the child's full key. A secret's
        // value is shown only to root and the server's user.
        Member<P>("GetNextChild", K::Method, {VT_I4}, [](P& self, A args, const Caller& caller, CallResult& call) {
            const std::int32_t number = args[0].AsI4();
            auto position = self.Positions().Find(number);
            std::string key;
            if (!position || !self.Owner().GetProperties().GetNextChild(*position, key, call.result)) {
                call.hr = S_FALSE;
                call.out = {Variant::I4(0), Variant::NullText()};
                return;
            }
            if (IsSecretKey(CanonicalKey(key)) && !caller.mayUseFiles) call.result = Variant();
            call.out = {Variant::I4(self.Positions().Move(number, std::move(*position))), Variant::Text(key)};
        }),
        // Every setting of another property tree; the store's own "_" values describe their object
        // and are never taken, a list's database only by root or the server's user.
        Member<P>("Copy", K::Method, {VT_DISPATCH}, [](P& self, A args, const Caller& caller, CallResult&) {
            auto* other = dynamic_cast<PropertiesBase*>(args[0].AsObject().get());
            if (!other) throw ComError(DISP_E_TYPEMISMATCH, "Copy takes a Properties object");
            std::vector<core::ConfigTree::Record> records;
            for (auto& record : other->Values().Tree().Records()) {
                const std::string key = CanonicalKey(record.key);
                if (record.value.IsEmpty() || IsInternalKey(key)) continue;
                if (EqualsNoCase(key, kListDataSourceKey) && !caller.mayUseFiles) {
                    throw ComError(E_ACCESSDENIED, "only root or the server's user may move a list's member database");
                }
                if constexpr (envelope) CheckEnvelopeValue(record.value);
                records.push_back(std::move(record));
            }
            for (auto& record : records) self.Owner().GetProperties().SetItem(record.key, std::move(record.value));
        }),
    };
    if constexpr (!envelope) {
        members.push_back(Member<P>("Refresh", K::Method, {}, [](P& self, A, const Caller&, CallResult&) { self.Owner().Refresh(); }));
    }
    RegisterMembers<P>("Properties", std::move(members));
}

// A store stream's name: a bare name, never one of the files the store keeps for itself (the
// counter "_uid", a hidden new object, a record, a content, an agent, which has its own members) nor
// the server's own files in the root ("pellworth.cfg", its lock and socket). A stream made over one of
// those would lose mail or settings.
std::string StoreStreamName(const Variant& value) {
    const std::string name = Text(value);
    bool plain = !name.empty() && name.size() <= kMaxStoreStreamName && name.front() != '.' && name.front() != '_';
    for (const char c : name) plain = plain && c != '/' && c != '\\' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
    const std::string lower = ToLowerAscii(name);
    for (const std::string_view own : {store::kRecordExtension, store::kContentExtension, store::kAgentExtension}) {
        plain = plain && !(lower.size() >= own.size() && lower.compare(lower.size() - own.size(), own.size(), own) == 0);
    }
    plain = plain && !StartsWithNoCase(lower, "pellworth.");
    if (!plain) throw ComError(STG_E_INVALIDNAME, "\"" + name + "\" is not a store stream's name");
    return name;
}

// The access (STGM_READ, STGM_WRITE, STGM_READWRITE) and share (STGM_SHARE_*) fields of a storage mode.
constexpr std::uint32_t kAccessBits = 0x3;
constexpr std::uint32_t kShareBits = 0x70;

// Store streams are the files other parts keep beside an object (a domain's DKIM key, a list's
// member database): files, so only root and the server's user reach them.
void CheckStoreStreamCaller(const Caller& caller) {
    if (!caller.mayUseFiles) throw ComError(E_ACCESSDENIED, "only root or the server's user may reach a store stream");
}

PersistStream& AgentArgument(const Variant& value) {
    auto* agent = dynamic_cast<PersistStream*>(value.AsObject().get());
    if (!agent) throw ComError(DISP_E_TYPEMISMATCH, "an agent is an object that saves itself");
    return *agent;
}

// What every store object answers: its name, comment, place, properties' update and password.
template <typename T>
std::vector<MemberInfo> StoreObjectMembers() {
    return {
        Member<T>("Name", K::Get, {}, [](T& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Name()); }),
        Member<T>("Comment", K::Get, {}, [](T& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Comment()); }),
        Member<T>("Comment", K::Put, {VT_BSTR}, [](T& self, A args, const Caller&, CallResult&) { self.SetComment(Text(args[0])); }),
        Member<T>("Namespace", K::Get, {}, [](T& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Namespace()); }),
        Member<T>("CreateDate", K::Get, {}, [](T& self, A, const Caller&, CallResult& call) { call.result = Variant::DateValue(self.CreateDate()); }),
        Member<T>("Update", K::Method, {}, [](T& self, A, const Caller&, CallResult&) { self.Update(); }),
        Member<T>("Password", K::Put, {VT_BSTR}, [](T& self, A args, const Caller&, CallResult&) { self.SetPassword(Text(args[0])); }),
        Member<T>("IsPassword", K::Method, {VT_BSTR}, [](T& self, A args, const Caller&, CallResult& call) {
            call.hr = CheckPassword(self, Text(args[0])) ? S_OK : S_FALSE;
        }),
        Member<T>("FindFolder", K::Method, {VT_BSTR}, [](T& self, A args, const Caller&, CallResult& call) {
            ObjectResult(call, self.FindFolder(Text(args[0])));
        }),
        Member<T>("StoreObjectType", K::Method, {VT_BSTR}, [](T& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::I4(self.StoreObjectType(Text(args[0])));
        }),
        // The stream's content as it is now; with bCreate a new, empty stream (an existing one is
        // replaced, as STGM_CREATE does). grfMode gives the sharing; only access and share bits.
        Member<T>("GetStoreStream", K::Method, {VT_BSTR, VT_BOOL, VT_UI4}, [](T& self, A args, const Caller& caller, CallResult& call) {
            CheckStoreStreamCaller(caller);
            const std::string name = StoreStreamName(args[0]);
            const auto mode = static_cast<std::uint32_t>(args[2].AsInt64());
            if ((mode & ~(kAccessBits | kShareBits)) != 0) throw ComError(E_INVALIDARG, "grfMode takes only access and share bits");
            // Read back whatever access was asked for: the reply carries the content.
            const bool create = args[1].IsTrue();
            std::unique_ptr<FileStream> stream = self.GetStoreStream(name, create, (mode & kShareBits) | (create ? STGM_READWRITE : STGM_READ));
            std::vector<std::byte> bytes;
            ElementInfo info;
            ThrowIfFailed(stream->Stat(info), "store stream " + name);
            if (info.size > kMaxStoreStream) throw ComError(E_OUTOFMEMORY, "the store stream is larger than a reply carries (4 MiB)");
            ThrowIfFailed(ReadToEnd(*stream, bytes), "store stream " + name);
            if (bytes.size() > kMaxStoreStream) throw ComError(E_OUTOFMEMORY, "the store stream is larger than a reply carries (4 MiB)");
            call.result = Variant::Object(std::make_shared<StreamValue>(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())), VT_UNKNOWN);
        }),
        Member<T>("RemoveStoreStream", K::Method, {VT_BSTR}, [](T& self, A args, const Caller& caller, CallResult&) {
            CheckStoreStreamCaller(caller);
            self.RemoveStoreStream(StoreStreamName(args[0]));
        }),
        // An agent (an object that saves itself) kept in the object's directory under its class.
        Member<T>("SaveAgent", K::Method, {VT_UNKNOWN}, [](T& self, A args, const Caller&, CallResult&) { self.SaveAgent(AgentArgument(args[0])); }),
        Member<T>("LoadAgent", K::Method, {VT_UNKNOWN}, [](T& self, A args, const Caller&, CallResult&) { self.LoadAgent(AgentArgument(args[0])); }),
        Member<T>("RemoveAgentStream", K::Method, {VT_BSTR}, [](T& self, A args, const Caller&, CallResult& call) {
            const auto id = Guid::Parse(Text(args[0]));
            if (!id) throw ComError(E_INVALIDARG, "a class identifier is {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}");
            const HRESULT hr = self.RemoveAgentStream(*id);
            if (Failed(hr)) throw ComError(hr, "can not remove the agent");
            call.hr = hr;
        }),
        Member<T>("Properties", K::Get, {}, [](T& self, A, const Caller&, CallResult& call) {
            // An object of its own over the same directory, as a store object is opened per use.
            call.result = Variant::Object(std::make_shared<PropertiesObject<store::StoreObject>>(store::OpenStoreObject<T>(self.Storage(), self.RootPath())));
        }),
    };
}

void CheckPattern(const std::string& pattern) {
    if (pattern.size() > kMaxMatchPattern) throw ComError(E_INVALIDARG, "a pattern has at most 255 bytes");
    if (static_cast<std::size_t>(std::count(pattern.begin(), pattern.end(), '*')) > kMaxPatternStars) {
        throw ComError(E_INVALIDARG, "a pattern has at most 3 \"*\"");
    }
}

template <typename C>
std::vector<MemberInfo> CollectionMembers() {
    return {
        // The walk of Next keeps to the names that match ("*", "?"; "" for all).
        Member<C>("MatchPattern", K::Get, {}, [](C& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Pattern()); }),
        Member<C>("MatchPattern", K::Put, {VT_BSTR}, [](C& self, A args, const Caller&, CallResult&) {
            CheckPattern(Text(args[0]));
            self.SetPattern(Text(args[0]));
        }),
        // A walk of its own over the same children (and pattern), with its own Next and Reset.
        Member<C>("_NewEnum", K::Get, {}, [](C& self, A, const Caller&, CallResult& call) {
            auto walk = std::make_shared<C>(self.Parent(), self.RootPath());
            walk->SetPattern(self.Pattern());
            call.result = Variant::Object(std::move(walk), VT_UNKNOWN);
        }),
        Member<C>("Count", K::Get, {}, [](C& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(static_cast<std::int32_t>(self.Count())); }),
        Member<C>("Item", K::Get, {VT_VARIANT}, [](C& self, A args, const Caller&, CallResult& call) { CollectionItem(self, args[0], call); }),
        Member<C>("Remove", K::Method, {VT_BSTR}, [](C& self, A args, const Caller&, CallResult&) { self.Remove(Text(args[0])); }),
        Member<C>("Rename", K::Method, {VT_BSTR, VT_BSTR}, [](C& self, A args, const Caller&, CallResult&) { self.Rename(Text(args[0]), Text(args[1])); }),
        Member<C>("Reset", K::Method, {}, [](C& self, A, const Caller&, CallResult&) { self.Reset(); }),
        Member<C>("Next", K::Method, {VT_UI4}, [](C& self, A args, const Caller&, CallResult& call) { NextObject(self, args[0], call); }),
    };
}

template <typename T>
void Register(std::string name, std::vector<MemberInfo> members, std::vector<MemberInfo> more) {
    for (auto& member : more) members.push_back(std::move(member));
    RegisterMembers<T>(std::move(name), std::move(members));
}

void RegisterMessageStore() {
    using S = store::MessageStore;
    Register<S>("MessageStore", StoreObjectMembers<S>(), {
        Member<S>("Domains", K::Get, {}, [](S& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.GetDomains()); }),
        Member<S>("Folders", K::Get, {}, [](S& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.GetFolders()); }),
        Member<S>("InFolder", K::Get, {}, [](S& self, A, const Caller&, CallResult& call) { ObjectResult(call, self.InFolder()); }),
        Member<S>("OutFolder", K::Get, {}, [](S& self, A, const Caller&, CallResult& call) { ObjectResult(call, self.OutFolder()); }),
        Member<S>("FindDomain", K::Method, {VT_BSTR}, [](S& self, A args, const Caller&, CallResult& call) { ObjectResult(call, self.FindDomain(Text(args[0]))); }),
        Member<S>("FindMailBox", K::Method, {VT_BSTR}, [](S& self, A args, const Caller&, CallResult& call) { ObjectResult(call, self.FindMailBox(Text(args[0]))); }),
        Member<S>("FindEnvelope", K::Method, {VT_BSTR}, [](S& self, A args, const Caller&, CallResult& call) { ObjectResult(call, self.FindEnvelope(Text(args[0]))); }),
        Member<S>("CreateFolder", K::Method, {VT_BSTR, VT_I4}, [](S& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::Object(self.CreateFolder(Text(args[0]), args[1].AsI4()));
        }),
    });
}

void RegisterDomains() {
    using C = store::Domains;
    Register<C>("Domains", CollectionMembers<C>(), {
        Member<C>("Add", K::Method, {VT_BSTR}, [](C& self, A args, const Caller&, CallResult& call) { call.result = Variant::Object(self.Add(Text(args[0]))); }),
    });
    using D = store::Domain;
    Register<D>("Domain", StoreObjectMembers<D>(), {
        Member<D>("MailBoxes", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.GetMailBoxes()); }),
        Member<D>("Folders", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.GetFolders()); }),
        Member<D>("UnknownEmail", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.UnknownEmail()); }),
        Member<D>("UnknownEmail", K::Put, {VT_I4}, [](D& self, A args, const Caller&, CallResult&) { self.SetUnknownEmail(args[0].AsI4()); }),
        Member<D>("DeleteIfUnable", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool(self.DeleteIfUnable()); }),
        Member<D>("DeleteIfUnable", K::Put, {VT_BOOL}, [](D& self, A args, const Caller&, CallResult&) { self.SetDeleteIfUnable(args[0].IsTrue()); }),
        Member<D>("UnknownEmailAddress", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.UnknownEmailAddress()); }),
        Member<D>("UnknownEmailAddress", K::Put, {VT_BSTR}, [](D& self, A args, const Caller&, CallResult&) { self.SetUnknownEmailAddress(Text(args[0])); }),
    });
}

void RegisterMailBoxes() {
    using C = store::MailBoxes;
    Register<C>("MailBoxes", CollectionMembers<C>(), {
        Member<C>("Add", K::Method, {VT_BSTR, VT_I4}, [](C& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::Object(self.Add(Text(args[0]), args[1].AsI4()));
        }),
    });
    using M = store::MailBox;
    Register<M>("MailBox", StoreObjectMembers<M>(), {
        Member<M>("InFolder", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { ObjectResult(call, self.InFolder()); }),
        Member<M>("Folders", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.GetFolders()); }),
        Member<M>("MailBoxType", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.MailBoxType()); }),
        Member<M>("Address", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Address()); }),
        Member<M>("Domain", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.DomainName()); }),
        MailingListMember(),
    });
}

void RegisterFolders() {
    using C = store::Folders;
    Register<C>("Folders", CollectionMembers<C>(), {
        Member<C>("Add", K::Method, {VT_BSTR, VT_I4}, [](C& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::Object(self.Add(Text(args[0]), args[1].AsI4()));
        }),
        Member<C>("FindFolder", K::Method, {VT_BSTR}, [](C& self, A args, const Caller&, CallResult& call) { ObjectResult(call, self.FindFolder(Text(args[0]))); }),
    });
    using F = store::Folder;
    Register<F>("Folder", StoreObjectMembers<F>(), {
        Member<F>("FolderType", K::Get, {}, [](F& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.FolderType()); }),
        Member<F>("Envelopes", K::Get, {}, [](F& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.GetEnvelopes()); }),
        Member<F>("Folders", K::Get, {}, [](F& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.GetFolders()); }),
    });
}

PersistStream& PersistArgument(const Variant& value) {
    auto* object = dynamic_cast<PersistStream*>(value.AsObject().get());
    if (!object) throw ComError(DISP_E_TYPEMISMATCH, "the argument is no object with a content (a Message)");
    return *object;
}

// An envelope's recipients, changed on the envelope itself and written by its Update.
class RecipientsObject : public Unknown {
public:
    explicit RecipientsObject(std::shared_ptr<store::Envelope> envelope) : envelope_(std::move(envelope)) {}
    store::Recipients& List() { return envelope_->GetRecipients(); }

private:
    std::shared_ptr<store::Envelope> envelope_;
};

// An address or sender the transports will write into their commands: one line of printable text.
std::string EnvelopeText(const Variant& value, const char* what) {
    std::string text = Text(value);
    if (text.size() > kMaxEnvelopeText) throw ComError(E_INVALIDARG, std::string(what) + " is too long");
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) throw ComError(E_INVALIDARG, std::string(what) + " holds a control character");
    }
    return text;
}

void RegisterRecipients() {
    using R = RecipientsObject;
    const auto index = [](R& self, const Variant& value) {
        if (value.AsI4() < 0 || static_cast<std::size_t>(value.AsI4()) >= self.List().Count()) throw ComError(E_INVALIDARG, "no recipient has that index");
        return static_cast<std::size_t>(value.AsI4());
    };
    RegisterMembers<R>("Recipients", {
        Member<R>("Item", K::Get, {VT_I4}, [index](R& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::Text(self.List().Item(index(self, args[0])));
        }),
        Member<R>("Count", K::Get, {}, [](R& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(static_cast<std::int32_t>(self.List().Count())); }),
        Member<R>("Add", K::Method, {VT_BSTR}, [](R& self, A args, const Caller&, CallResult&) {
            const std::string address = EnvelopeText(args[0], "a recipient");
            if (address.empty()) throw ComError(E_INVALIDARG, "a recipient is an address");
            if (self.List().Count() >= kMaxEnvelopeRecipients) throw ComError(E_INVALIDARG, "the envelope has as many recipients as it may");
            self.List().Add(address);
        }),
        Member<R>("Remove", K::Method, {VT_BSTR}, [](R& self, A args, const Caller&, CallResult& call) {
            if (!self.List().Remove(Text(args[0]))) call.hr = S_FALSE;
        }),
        Member<R>("Clear", K::Method, {}, [](R& self, A, const Caller&, CallResult&) { self.List().Clear(); }),
        // The recipients as they are now, as an array of texts (a recipient is a text, so the walk
        // is the list itself).
        Member<R>("_NewEnum", K::Get, {}, [](R& self, A, const Caller&, CallResult& call) {
            std::vector<Variant> items;
            for (std::size_t i = 0; i < self.List().Count(); ++i) items.push_back(Variant::Text(self.List().Item(i)));
            call.result = Variant::Object(std::make_shared<ArrayValue>(VT_BSTR, std::move(items)), VT_UNKNOWN);
        }),
        Member<R>("RemoveAt", K::Method, {VT_I4}, [index](R& self, A args, const Caller&, CallResult&) { self.List().RemoveAt(index(self, args[0])); }),
    });
}

const store::Envelope& EnvelopeArgument(const Variant& value) {
    auto* envelope = dynamic_cast<store::Envelope*>(value.AsObject().get());
    if (!envelope) throw ComError(DISP_E_TYPEMISMATCH, "the argument is no Envelope");
    return *envelope;
}

// A copy takes what is published: an envelope not yet written has no content to copy.
const store::Envelope& PublishedEnvelope(const Variant& value) {
    const store::Envelope& envelope = EnvelopeArgument(value);
    if (envelope.UID() == 0) throw ComError(E_INVALIDARG, "the envelope is not published yet (Update it first)");
    return envelope;
}

bool SameFolder(const store::Envelope& envelope, const store::Envelopes& envelopes) {
    return envelope.FolderStorage().Path() == envelopes.Folder().Path();
}

void RegisterEnvelopes() {
    using C = store::Envelopes;
    RegisterMembers<C>("Envelopes", {
        Member<C>("Count", K::Get, {}, [](C& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(static_cast<std::int32_t>(self.Count())); }),
        Member<C>("Item", K::Get, {VT_I4}, [](C& self, A args, const Caller&, CallResult& call) {
            if (args[0].AsI4() < 0) throw ComError(E_INVALIDARG, "an index is a number from 0");
            ObjectResult(call, self.Item(static_cast<std::size_t>(args[0].AsI4())));
        }),
        Member<C>("NextUID", K::Get, {}, [](C& self, A, const Caller&, CallResult& call) { call.result = Variant::R8(self.NextUID()); }),
        Member<C>("FindEnvelope", K::Method, {VT_R8}, [](C& self, A args, const Caller&, CallResult& call) { ObjectResult(call, self.FindEnvelope(args[0].AsDouble())); }),
        Member<C>("Add", K::Method, {}, [](C& self, A, const Caller&, CallResult& call) { call.result = Variant::Object(self.Add()); }),
        Member<C>("Next", K::Method, {VT_UI4}, [](C& self, A args, const Caller&, CallResult& call) { NextObject(self, args[0], call); }),
        Member<C>("RemoveEnvelope", K::Method, {VT_R8}, [](C& self, A args, const Caller&, CallResult& call) {
            if (!self.RemoveEnvelope(args[0].AsDouble())) call.hr = S_FALSE;
        }),
        Member<C>("Reset", K::Method, {}, [](C& self, A, const Caller&, CallResult&) { self.Reset(); }),
        Member<C>("_NewEnum", K::Get, {}, [](C& self, A, const Caller&, CallResult& call) {
            call.result = Variant::Object(std::make_shared<C>(self.Folder(), self.RootPath()), VT_UNKNOWN);
        }),
        // The envelope given, when it is one of this folder's.
        Member<C>("Remove", K::Method, {VT_DISPATCH}, [](C& self, A args, const Caller&, CallResult& call) {
            const store::Envelope& envelope = EnvelopeArgument(args[0]);
            if (envelope.UID() == 0 || !self.FindEnvelope(envelope.UID()) || !SameFolder(envelope, self)) {
                throw ComError(E_INVALIDARG, "the envelope is not one of this folder's");
            }
            if (!self.RemoveEnvelope(envelope.UID())) call.hr = S_FALSE;
        }),
        // Writes the envelope given as the folder's record of its id: one of this folder's, published.
        Member<C>("Replace", K::Method, {VT_DISPATCH}, [](C& self, A args, const Caller&, CallResult&) {
            auto* envelope = dynamic_cast<store::Envelope*>(args[0].AsObject().get());
            if (!envelope) throw ComError(DISP_E_TYPEMISMATCH, "the argument is no Envelope");
            if (!envelope->IsPublished() || !SameFolder(*envelope, self) || !self.FindEnvelope(envelope->UID())) {
                throw ComError(E_INVALIDARG, "the envelope is not a published one of this folder");
            }
            envelope->Update();
        }),
        // A published copy, record and content, of an envelope of any folder.
        Member<C>("CopyFrom", K::Method, {VT_DISPATCH}, [](C& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::Object(self.CopyFrom(PublishedEnvelope(args[0])));
        }),
    });
    using E = store::Envelope;
    RegisterMembers<E>("Envelope", {
        Member<E>("Sender", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Sender()); }),
        Member<E>("Sender", K::Put, {VT_BSTR}, [](E& self, A args, const Caller&, CallResult&) { self.SetSender(EnvelopeText(args[0], "the sender")); }),
        Member<E>("ReceivedFrom", K::Put, {VT_BSTR}, [](E& self, A args, const Caller&, CallResult&) {
            self.SetReceivedFrom(EnvelopeText(args[0], "the sending host"));
        }),
        Member<E>("Route", K::Put, {VT_BSTR}, [](E& self, A args, const Caller&, CallResult&) { self.SetRoute(EnvelopeText(args[0], "the route")); }),
        Member<E>("Priority", K::Put, {VT_I4}, [](E& self, A args, const Caller&, CallResult&) {
            if (args[0].AsI4() < store::EnvelopePriorityNone || args[0].AsI4() > store::EnvelopePriorityLowest) throw ComError(E_INVALIDARG, "Priority is from 0 to 5");
            self.SetPriority(args[0].AsI4());
        }),
        Member<E>("LastReadDate", K::Put, {VT_DATE}, [](E& self, A args, const Caller&, CallResult&) { self.SetLastReadDate(args[0].AsDouble()); }),
        Member<E>("Properties", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) {
            call.result = Variant::Object(std::make_shared<PropertiesObject<E>>(self.shared_from_this()));
        }),
        Member<E>("Recipients", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) {
            call.result = Variant::Object(std::make_shared<RecipientsObject>(self.shared_from_this()));
        }),
        // The content into a message object (GetContent) or from one (PutContent).
        Member<E>("GetContent", K::Method, {VT_DISPATCH}, [](E& self, A args, const Caller&, CallResult&) { self.GetContent(PersistArgument(args[0])); }),
        Member<E>("PutContent", K::Method, {VT_DISPATCH}, [](E& self, A args, const Caller&, CallResult&) { self.PutContent(PersistArgument(args[0])); }),
        // Publishes a new envelope (its id drawn then), replaces the record of a published one.
        Member<E>("Update", K::Method, {}, [](E& self, A, const Caller&, CallResult&) { self.Update(); }),
        Member<E>("ReceivedFrom", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.ReceivedFrom()); }),
        Member<E>("Route", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Route()); }),
        Member<E>("Priority", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.Priority()); }),
        Member<E>("CreateDate", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::DateValue(self.CreateDate()); }),
        Member<E>("LastReadDate", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::DateValue(self.LastReadDate()); }),
        Member<E>("UID", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::R8(self.UID()); }),
        Member<E>("ContentSize", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) {
            call.result = Variant::I4(static_cast<std::int32_t>(std::min<std::uint64_t>(self.ContentSize(), std::numeric_limits<std::int32_t>::max())));
        }),
        Member<E>("ContentID", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.ContentID()); }),
        Member<E>("Namespace", K::Get, {}, [](E& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Namespace()); }),
        // The content as a stream value. A stream made anew would empty a message: content is
        // written by PutContent, so bCreate is refused.
        Member<E>("StreamOnContent", K::Method, {VT_BOOL, VT_UI4}, [](E& self, A args, const Caller&, CallResult& call) {
            if (args[0].IsTrue()) throw ComError(E_INVALIDARG, "a content is written with PutContent, not through a new stream");
            if (!self.IsPublished()) throw ComError(E_INVALIDARG, "the envelope has no content yet");
            std::unique_ptr<FileStream> content = self.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
            ElementInfo info;
            ThrowIfFailed(content->Stat(info), "the message content can not be read");
            if (info.size > kMaxContentStream) throw ComError(E_OUTOFMEMORY, "the content is larger than a reply carries (32 MiB)");
            std::vector<std::byte> bytes;
            ThrowIfFailed(ReadToEnd(*content, bytes), "the message content can not be read");
            if (bytes.size() > kMaxContentStream) throw ComError(E_OUTOFMEMORY, "the content is larger than a reply carries (32 MiB)");
            call.result = Variant::Object(std::make_shared<StreamValue>(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())), VT_UNKNOWN);
        }),
        // This envelope takes the record and content of another (written into its own file), or
        // gives its own to another.
        Member<E>("CopyFrom", K::Method, {VT_DISPATCH}, [](E& self, A args, const Caller&, CallResult&) {
            const store::Envelope& source = PublishedEnvelope(args[0]);
            if (&source == &self) return;
            self.CopyFrom(source);
        }),
        Member<E>("CopyTo", K::Method, {VT_DISPATCH}, [](E& self, A args, const Caller&, CallResult&) {
            auto* target = dynamic_cast<store::Envelope*>(args[0].AsObject().get());
            if (!target) throw ComError(DISP_E_TYPEMISMATCH, "the argument is no Envelope");
            if (self.UID() == 0) throw ComError(E_INVALIDARG, "the envelope is not published yet (Update it first)");
            if (target == &self) return;
            target->CopyFrom(self);
        }),
        Member<E>("ExportContent", K::Method, {VT_BSTR}, [](E& self, A args, const Caller& caller, CallResult&) {
            const std::string path = Text(args[0]);
            UniqueFd fd = CreateClientFile(caller, path);
            std::unique_ptr<FileStream> content = self.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
            std::vector<std::byte> bytes;
            ThrowIfFailed(ReadToEnd(*content, bytes), "the message content can not be read");
            WriteClientFile(std::move(fd), path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        }),
    });
}

}  // namespace

void RegisterStoreMembers() {
    RegisterRecipients();
    RegisterProperties<store::StoreObject>();
    RegisterProperties<store::Envelope>();
    RegisterMessageStore();
    RegisterDomains();
    RegisterMailBoxes();
    RegisterFolders();
    RegisterEnvelopes();
}

}  // namespace pw::admin
