// MimeMembers: the message classes for administration clients: "Pellworth.Message" (its header
// fields, body text, priority and encoded words; the spam filters score it) and "Pellworth.Address".
//
// A value put into a header field is one line: a CR or LF in it would start a field of its own in
// the message written (a client composing mail from what others typed must not be made to add a Bcc).
// A part's position is a number: its place in the message's parts in document order, 1 for the
// first top-level part, 0 for none (adding or removing a part renumbers those after it). A part is
// added only where the tree stays a tree no deeper than a message may be read: never below itself.
#include "admin/AdminLimits.h"
#include "admin/AdminProtocol.h"
#include "admin/ClientFiles.h"
#include "admin/ObjectModel.h"
#include "mime/Address.h"
#include "mime/Codecs.h"
#include "mime/Message.h"
#include "mime/MessagePart.h"
#include "mime/MimeLimits.h"
#include "platform/Stream.h"

#include <algorithm>

namespace pw::admin {

namespace {

using K = MemberKind;
using A = std::span<Variant>;
using M = mime::Message;

std::string FieldValue(const Variant& value) {
    std::string text = value.AsText();
    if (text.find_first_of("\r\n") != std::string::npos) throw ComError(E_INVALIDARG, "a header field's value is one line");
    return text;
}

void AddField(std::vector<MemberInfo>& members, const char* name, std::string (M::*get)() const, void (M::*put)(std::string_view)) {
    members.push_back(Member<M>(name, K::Get, {}, [get](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Text((self.*get)()); }));
    members.push_back(Member<M>(name, K::Put, {VT_BSTR}, [put](M& self, A args, const Caller&, CallResult&) { (self.*put)(FieldValue(args[0])); }));
}

void AddSwitch(std::vector<MemberInfo>& members, const char* name, bool (M::*get)() const, void (M::*put)(bool)) {
    members.push_back(Member<M>(name, K::Get, {}, [get](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool((self.*get)()); }));
    members.push_back(Member<M>(name, K::Put, {VT_BOOL}, [put](M& self, A args, const Caller&, CallResult&) { (self.*put)(args[0].IsTrue()); }));
}

std::string FieldName(const Variant& value) {
    std::string name = value.AsText();
    if (name.empty()) throw ComError(E_INVALIDARG, "a header field has a name");
    for (const char c : name) {
        if (c <= 0x20 || c == ':' || c == 0x7f) throw ComError(E_INVALIDARG, "\"" + name + "\" is no header field name");
    }
    return name;
}

using P = mime::MessagePart;

// The parts in document order (depth first), each with its path; bounded by what a message holds.
std::vector<mime::PartPosition> PartPaths(const M& message) {
    std::vector<mime::PartPosition> paths;
    std::vector<mime::PartPosition> pending;
    for (auto at = message.RootPartPosition(); !at.empty(); at = message.NextPartPosition(at)) pending.push_back(at);
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty() && paths.size() <= mime::kMaxParts) {
        mime::PartPosition at = std::move(pending.back());
        pending.pop_back();
        std::vector<mime::PartPosition> children;
        for (auto child = message.FirstChildPartPosition(at); !child.empty(); child = message.NextPartPosition(child)) children.push_back(child);
        pending.insert(pending.end(), children.rbegin(), children.rend());
        paths.push_back(std::move(at));
    }
    return paths;
}

std::int32_t NumberOf(const M& message, const mime::PartPosition& path) {
    if (path.empty()) return 0;
    const auto paths = PartPaths(message);
    const auto found = std::find(paths.begin(), paths.end(), path);
    return found == paths.end() ? 0 : static_cast<std::int32_t>(found - paths.begin() + 1);
}

// The path of a position; an empty path for 0 (the message itself, where that is allowed).
mime::PartPosition PathOf(const M& message, const Variant& number, bool zeroAllowed) {
    const std::int32_t n = number.AsI4();
    if (n == 0 && zeroAllowed) return {};
    const auto paths = PartPaths(message);
    if (n <= 0 || static_cast<std::size_t>(n) > paths.size()) throw ComError(E_INVALIDARG, "no part has that position");
    return paths[static_cast<std::size_t>(n) - 1];
}

std::size_t Height(const P& part, std::size_t& count) {
    std::size_t height = 0;
    if (++count > mime::kMaxParts) return mime::kMaxPartDepth + 1;
    for (const auto& child : part.Parts()) height = std::max(height, Height(*child, count));
    return height + 1;
}

bool Holds(const P& part, const P* wanted) {
    if (&part == wanted) return true;
    for (const auto& child : part.Parts()) {
        if (Holds(*child, wanted)) return true;
    }
    return false;
}

// A part may go below parent only when parent is not within it (a cycle would make saving the
// message endless) and the tree stays within the depth and size the server reads a message to
// (a multipart part one level above the reader's limit), so what it writes it can read back.
void CheckAddedPart(const M& message, const mime::PartPosition& parent, const std::shared_ptr<P>& part) {
    const auto parentPart = message.GetPart(parent);
    if (parentPart && Holds(*part, parentPart.get())) throw ComError(E_INVALIDARG, "a part can not go below itself");
    for (const auto& path : PartPaths(message)) {
        if (message.GetPart(path) == part) throw ComError(E_INVALIDARG, "the part is in this message already");
    }
    std::size_t count = PartPaths(message).size();
    if (parent.size() + Height(*part, count) >= mime::kMaxPartDepth || count > mime::kMaxParts) {
        throw ComError(E_INVALIDARG, "the message would be deeper or larger than a message may be");
    }
}

std::shared_ptr<P> PartArgument(const Variant& value) {
    auto part = std::dynamic_pointer_cast<P>(value.AsObject());
    if (!part) throw ComError(DISP_E_TYPEMISMATCH, "the argument is no MessagePart");
    return part;
}

const std::string& StreamArgument(const Variant& value) {
    const auto* stream = dynamic_cast<const StreamValue*>(value.AsObject().get());
    if (!stream) throw ComError(DISP_E_TYPEMISMATCH, "the argument is no stream");
    return stream->Bytes();
}

// An optional VARIANT argument: its text, or "" when it is empty or missing.
std::string Optional(const Variant& value) { return value.IsEmpty() || value.Type() == VT_NULL || value.Type() == VT_ERROR ? std::string() : FieldValue(value); }

void AddPartMembers(std::vector<MemberInfo>& members) {
    members.push_back(Member<M>("CountChildParts", K::Method, {VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::I4(static_cast<std::int32_t>(self.CountChildParts(PathOf(self, args[0], true))));
    }));
    members.push_back(Member<M>("RootPartPosition", K::Method, {}, [](M& self, A, const Caller&, CallResult& call) {
        call.result = Variant::I4(NumberOf(self, self.RootPartPosition()));
    }));
    members.push_back(Member<M>("NextPartPosition", K::Method, {VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::I4(NumberOf(self, self.NextPartPosition(PathOf(self, args[0], false))));
    }));
    members.push_back(Member<M>("FirstChildPartPosition", K::Method, {VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::I4(NumberOf(self, self.FirstChildPartPosition(PathOf(self, args[0], false))));
    }));
    members.push_back(Member<M>("GetPart", K::Method, {VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::Object(self.GetPart(PathOf(self, args[0], false)));
    }));
    // Below the part at Parent (0: the top level); the new part's position.
    members.push_back(Member<M>("AddPart", K::Method, {VT_I4, VT_DISPATCH}, [](M& self, A args, const Caller&, CallResult& call) {
        const mime::PartPosition parent = PathOf(self, args[0], true);
        const auto part = PartArgument(args[1]);
        CheckAddedPart(self, parent, part);
        call.result = Variant::I4(NumberOf(self, self.AddPart(parent, part)));
    }));
    members.push_back(Member<M>("RemovePart", K::Method, {VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
        if (!self.RemovePart(PathOf(self, args[0], false))) call.hr = S_FALSE;
    }));
    // The first part after startPosition (0: from the beginning) of that type; 0 when none.
    members.push_back(Member<M>("SearchForPart", K::Method, {VT_BSTR, VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::I4(NumberOf(self, self.SearchForPart(args[0].AsText(), PathOf(self, args[1], true))));
        if (call.result.AsI4() == 0) call.hr = S_FALSE;
    }));
    members.push_back(Member<M>("AddMultipartPart", K::Method, {VT_I4, VT_BSTR, VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
        const mime::PartPosition parent = PathOf(self, args[0], true);
        if (parent.size() + 1 >= mime::kMaxPartDepth || PartPaths(self).size() >= mime::kMaxParts) {
            throw ComError(E_INVALIDARG, "the message would be deeper or larger than a message may be");
        }
        call.result = Variant::I4(NumberOf(self, self.AddMultipartPart(parent, FieldValue(args[1]), FieldValue(args[2]))));
    }));
    members.push_back(Member<M>("SetMultipartContentType", K::Method, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult&) {
        self.SetMultipartContentType(FieldValue(args[0]));
    }));
}

void RegisterMessagePart() {
    std::vector<MemberInfo> members = {
        Member<P>("Header", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.HeaderText()); }),
        Member<P>("Header", K::Put, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) { self.SetHeaderText(args[0].AsText()); }),
        Member<P>("MimeBoundry", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.MimeBoundry()); }),
        Member<P>("HeaderField", K::Get, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::Text(self.HeaderField(FieldName(args[0])));
        }),
        Member<P>("HeaderField", K::Put, {VT_BSTR, VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) {
            self.SetHeaderField(FieldName(args[0]), FieldValue(args[1]));
        }),
        Member<P>("CountHeaderFields", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) {
            call.result = Variant::I4(static_cast<std::int32_t>(self.CountHeaderFields()));
        }),
        Member<P>("HeaderFieldAt", K::Get, {VT_BSTR, VT_I4}, [](P& self, A args, const Caller&, CallResult& call) {
            if (args[1].AsI4() < 0) throw ComError(E_INVALIDARG, "an index is a number from 0");
            call.result = Variant::Text(self.HeaderFieldAt(FieldName(args[0]), static_cast<std::size_t>(args[1].AsI4())));
        }),
        Member<P>("ContentType", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.ContentType()); }),
        Member<P>("ContentSubType", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.ContentSubType()); }),
        Member<P>("ContentSubTypeParameters", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) {
            call.result = Variant::Text(self.ContentSubTypeParameters());
        }),
        Member<P>("SetContentType", K::Method, {VT_BSTR, VT_BSTR, VT_VARIANT}, [](P& self, A args, const Caller&, CallResult&) {
            self.SetContentType(FieldValue(args[0]), FieldValue(args[1]), Optional(args[2]));
        }),
        Member<P>("ContentTransferEncoding", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) {
            call.result = Variant::Text(self.ContentTransferEncoding());
        }),
        Member<P>("ContentTransferEncoding", K::Put, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) {
            self.SetContentTransferEncoding(FieldValue(args[0]));
        }),
        Member<P>("ContentDescription", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.ContentDescription()); }),
        Member<P>("ContentDescription", K::Put, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) { self.SetContentDescription(FieldValue(args[0])); }),
        Member<P>("ContentID", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.ContentID()); }),
        Member<P>("ContentID", K::Put, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) { self.SetContentID(FieldValue(args[0])); }),
        Member<P>("ContentDisposition", K::Get, {}, [](P& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.ContentDisposition()); }),
        Member<P>("SetContentDisposition", K::Method, {VT_BSTR, VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) {
            self.SetContentDisposition(FieldValue(args[0]), FieldValue(args[1]));
        }),
        Member<P>("SetMultipartContentType", K::Method, {VT_BSTR, VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) {
            self.SetMultipartContentType(FieldValue(args[0]), FieldValue(args[1]));
        }),
        // The decoded body, as the stream value the reply carries (a stream argument is a copy).
        Member<P>("DecodeToStream", K::Method, {}, [](P& self, A, const Caller&, CallResult& call) {
            call.result = Variant::Object(std::make_shared<StreamValue>(self.DecodedBody()), VT_UNKNOWN);
        }),
        Member<P>("DecodeToFile", K::Method, {VT_BSTR}, [](P& self, A args, const Caller& caller, CallResult&) {
            const std::string path = args[0].AsText();
            UniqueFd fd = CreateClientFile(caller, path);
            WriteClientFile(std::move(fd), path, self.DecodedBody());
        }),
        Member<P>("AttachFile", K::Method, {VT_BSTR, VT_VARIANT, VT_VARIANT, VT_VARIANT}, [](P& self, A args, const Caller& caller, CallResult&) {
            const std::string path = args[0].AsText();
            CheckClientPath(caller, path);
            self.AttachFile(path, Optional(args[1]), Optional(args[2]), Optional(args[3]));
        }),
        Member<P>("AttachText", K::Method, {VT_BSTR, VT_VARIANT, VT_VARIANT, VT_VARIANT}, [](P& self, A args, const Caller&, CallResult&) {
            self.AttachText(args[0].AsText(), Optional(args[1]), Optional(args[2]), Optional(args[3]));
        }),
        // The bytes as a stream value (or a text); lenBuffer says how many of them.
        Member<P>("AttachRaw", K::Method, {VT_VARIANT, VT_I4}, [](P& self, A args, const Caller&, CallResult&) {
            const std::string bytes = args[0].IsText() ? args[0].AsText() : StreamArgument(args[0]);
            if (args[1].AsI4() < 0 || static_cast<std::size_t>(args[1].AsI4()) > bytes.size()) throw ComError(E_INVALIDARG, "lenBuffer is more than the buffer holds");
            self.AttachRaw(std::string_view(bytes).substr(0, static_cast<std::size_t>(args[1].AsI4())));
        }),
        Member<P>("AttachStream", K::Method, {VT_UNKNOWN}, [](P& self, A args, const Caller&, CallResult&) { self.AttachRaw(StreamArgument(args[0])); }),
        Member<P>("AttachString", K::Method, {VT_BSTR}, [](P& self, A args, const Caller&, CallResult&) { self.AttachString(args[0].AsText()); }),
    };
    RegisterMembers<P>("MessagePart", std::move(members));
}

void RegisterMessage() {
    std::vector<MemberInfo> members;
    AddField(members, "To", &M::To, &M::SetTo);
    AddField(members, "From", &M::From, &M::SetFrom);
    AddField(members, "Subject", &M::Subject, &M::SetSubject);
    AddField(members, "CC", &M::CC, &M::SetCC);
    AddField(members, "Date", &M::Date, &M::SetDate);
    AddField(members, "ReplyTo", &M::ReplyTo, &M::SetReplyTo);
    AddField(members, "MessageID", &M::MessageID, &M::SetMessageID);
    AddSwitch(members, "HeaderOnly", &M::HeaderOnly, &M::SetHeaderOnly);
    AddSwitch(members, "RawBody", &M::RawBody, &M::SetRawBody);
    members.push_back(Member<M>("HeaderField", K::Get, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::Text(self.HeaderField(FieldName(args[0])));
    }));
    members.push_back(Member<M>("HeaderField", K::Put, {VT_BSTR, VT_BSTR}, [](M& self, A args, const Caller&, CallResult&) {
        self.SetHeaderField(FieldName(args[0]), FieldValue(args[1]));
    }));
    members.push_back(Member<M>("HeaderFieldAt", K::Get, {VT_BSTR, VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
        if (args[1].AsI4() < 0) throw ComError(E_INVALIDARG, "an index is a number from 0");
        call.result = Variant::Text(self.HeaderFieldAt(FieldName(args[0]), static_cast<std::size_t>(args[1].AsI4())));
    }));
    members.push_back(Member<M>("CountHeaderFields", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) {
        call.result = Variant::I4(static_cast<std::int32_t>(self.CountHeaderFields()));
    }));
    members.push_back(Member<M>("CountHeaderField", K::Get, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::I4(static_cast<std::int32_t>(self.CountHeaderField(FieldName(args[0]))));
    }));
    members.push_back(Member<M>("Header", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Header()); }));
    members.push_back(Member<M>("IsMimeEncoded", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool(self.IsMimeEncoded()); }));
    members.push_back(Member<M>("Size", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) {
        call.result = Variant::I4(static_cast<std::int32_t>(std::min<std::size_t>(self.Size(), 0x7fffffff)));
    }));
    members.push_back(Member<M>("CountParts", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) {
        call.result = Variant::I4(static_cast<std::int32_t>(self.CountParts()));
    }));
    members.push_back(Member<M>("BodyText", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.BodyText()); }));
    members.push_back(Member<M>("BodyText", K::Put, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult&) { self.SetBodyText(args[0].AsText()); }));
    members.push_back(Member<M>("ContentType", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.ContentType()); }));
    members.push_back(Member<M>("ContentSubType", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) {
        call.result = Variant::Text(self.ContentSubType());
    }));
    members.push_back(Member<M>("ContentSubTypeParameters", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) {
        call.result = Variant::Text(self.ContentSubTypeParameters());
    }));
    members.push_back(Member<M>("ContentTransferEncoding", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) {
        call.result = Variant::Text(self.ContentTransferEncoding());
    }));
    members.push_back(Member<M>("Priority", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.Priority()); }));
    members.push_back(Member<M>("Priority", K::Put, {VT_I4}, [](M& self, A args, const Caller&, CallResult&) {
        if (args[0].AsI4() < mime::PriorityNone || args[0].AsI4() > mime::PriorityLowest) throw ComError(E_INVALIDARG, "Priority is from 0 to 5");
        self.SetPriority(static_cast<mime::MessagePriority>(args[0].AsI4()));
    }));
    members.push_back(Member<M>("MakeMessageID", K::Method, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::Text(self.MakeMessageID(FieldValue(args[0])));
    }));
    members.push_back(Member<M>("EncodeWord", K::Method, {VT_BSTR, VT_I4, VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
        const std::int32_t type = args[1].AsI4();
        if (type != mime::EncodedWordTypeB && type != mime::EncodedWordTypeQ) throw ComError(E_INVALIDARG, "EncodingType is 1 (B) or 2 (Q)");
        call.result = Variant::Text(self.EncodeWord(FieldValue(args[0]), static_cast<mime::EncodedWordType>(type), args[2].AsText()));
    }));
    // The decoded bytes (in the word's charset); the outs are the charset and the encoding type.
    members.push_back(Member<M>("DecodeWord", K::Method, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
        const mime::DecodedWord word = self.DecodeWord(args[0].AsText());
        call.result = Variant::Text(word.text);
        call.out = {Variant::Text(word.charset), Variant::I4(word.type)};
    }));
    members.push_back(Member<M>("SetContentType", K::Method, {VT_BSTR, VT_BSTR, VT_BSTR}, [](M& self, A args, const Caller&, CallResult&) {
        self.SetContentType(FieldValue(args[0]), FieldValue(args[1]), FieldValue(args[2]));
    }));
    members.push_back(Member<M>("ContentTransferEncoding", K::Put, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult&) {
        self.SetContentTransferEncoding(FieldValue(args[0]));
    }));
    // The whole header block, parsed as a message's header is.
    members.push_back(Member<M>("Header", K::Put, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult&) { self.SetHeader(args[0].AsText()); }));
    members.push_back(Member<M>("IsEncodedWord", K::Method, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
        call.hr = self.IsEncodedWord(args[0].AsText()) ? S_OK : S_FALSE;
    }));
    members.push_back(Member<M>("CountAttachments", K::Method, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
        call.result = Variant::I4(static_cast<std::int32_t>(self.CountAttachments(args[0].AsText())));
    }));
    // The header of a message from a stream value; the body stays as it was.
    members.push_back(Member<M>("LoadHeader", K::Method, {VT_UNKNOWN}, [](M& self, A args, const Caller&, CallResult&) {
        const auto* value = dynamic_cast<const StreamValue*>(args[0].AsObject().get());
        if (!value) throw ComError(DISP_E_TYPEMISMATCH, "LoadHeader takes a stream");
        MemoryStream stream(std::vector<std::byte>(reinterpret_cast<const std::byte*>(value->Bytes().data()),
                                                   reinterpret_cast<const std::byte*>(value->Bytes().data()) + value->Bytes().size()));
        ThrowIfFailed(self.LoadHeader(stream), "the header can not be read");
    }));
    AddPartMembers(members);
    RegisterMembers<M>("Message", std::move(members));
}

// An address: its parts are header text too, one line each.
void RegisterAddress() {
    using D = mime::Address;
    RegisterMembers<D>("Address", {
        Member<D>("Address", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.GetAddress()); }),
        Member<D>("Address", K::Put, {VT_BSTR}, [](D& self, A args, const Caller&, CallResult&) { self.SetAddress(FieldValue(args[0])); }),
        Member<D>("Name", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Name()); }),
        Member<D>("Name", K::Put, {VT_BSTR}, [](D& self, A args, const Caller&, CallResult&) { self.SetName(FieldValue(args[0])); }),
        Member<D>("Domain", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Domain()); }),
        Member<D>("Domain", K::Put, {VT_BSTR}, [](D& self, A args, const Caller&, CallResult&) { self.SetDomain(FieldValue(args[0])); }),
        Member<D>("Comment", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.Comment()); }),
        Member<D>("Comment", K::Put, {VT_BSTR}, [](D& self, A args, const Caller&, CallResult&) { self.SetComment(FieldValue(args[0])); }),
        Member<D>("FullAddress", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::Text(self.FullAddress()); }),
        Member<D>("Valid", K::Get, {}, [](D& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(static_cast<std::int32_t>(self.Valid())); }),
    });
}

}  // namespace

// The message an object argument names, or a type mismatch.
mime::Message& MessageArgument(const Variant& value) {
    auto* message = dynamic_cast<mime::Message*>(value.AsObject().get());
    if (!message) throw ComError(DISP_E_TYPEMISMATCH, "the argument is no Message");
    return *message;
}

void RegisterMimeMembers() {
    RegisterMessage();
    RegisterMessagePart();
    RegisterAddress();
}

}  // namespace pw::admin
