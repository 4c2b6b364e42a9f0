// MimeMembers: the message classes for administration clients: "Pellworth.Message" (its header
// fields, body text, priority and encoded words; the spam filters score it) and "Pellworth.Address".
//
// A value put into a header field is one line: a CR or LF in it would start a field of its own in
// the message written (a client composing mail from what others typed must not be made to add a Bcc).
// The parts' tree (positions, MessagePart) is not served here.
#include "admin/AdminProtocol.h"
#include "admin/ObjectModel.h"
#include "mime/Address.h"
#include "mime/Codecs.h"
#include "mime/Message.h"
#include "platform/Stream.h"

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
    members.push_back(Member<M>("HeaderOnly", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool(self.HeaderOnly()); }));
    members.push_back(Member<M>("HeaderOnly", K::Put, {VT_BOOL}, [](M& self, A args, const Caller&, CallResult&) { self.SetHeaderOnly(args[0].IsTrue()); }));
    members.push_back(Member<M>("RawBody", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::Bool(self.RawBody()); }));
    members.push_back(Member<M>("RawBody", K::Put, {VT_BOOL}, [](M& self, A args, const Caller&, CallResult&) { self.SetRawBody(args[0].IsTrue()); }));
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
    RegisterAddress();
}

}  // namespace pw::admin
