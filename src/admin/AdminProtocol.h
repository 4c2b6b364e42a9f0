// AdminProtocol: the administration endpoint's line protocol -- one JSON object per line.
//
// The server greets with {"server":"Pellworth","version":"a.b.c.d","protocol":1}. A request is
//     {"id": any, "op": "get"|"put"|"call"|"create"|"release"|"advise"|"unadvise",
//      "object": ProgID or handle number, "member": name, "args": [value, ...]}
// (a put's new value is its last argument) and its reply, in request order,
//     {"id", "hr": the HRESULT as an unsigned number, "result", "out": [...], "error" when hr failed}.
// A value keeps its VARTYPE: {"vt": n, "value": ...}. VT_BOOL is true/false, VT_DATE the automation
// date (a number), VT_CY and 64-bit integers beyond 2^53 are text, VT_BSTR is text or null (a null
// text); an object is {"vt": 9, "handle": n, "class": name} and no object is null; a stream is its
// content, {"vt": 13, "stream": base64}; an array {"vt": 0x2000 | element, "value": [...]}. A bare JSON value
// in a request is VT_BSTR (text), VT_I4 (an integer that fits), VT_R8 (any other number) or VT_BOOL.
// After an "advise" on a Logging object (its result is the cookie "unadvise" takes), event lines
// {"event": {"Event", "Level", "Value"}} come between replies, never inside one; when more than
// kMaxQueuedEvents waited, the surplus is dropped and {"dropped": n} says how many.
//
// This file only parses and formats: it never touches an object. Everything it reads is untrusted;
// a malformed line becomes an error text for an E_INVALIDARG reply, never an exception.
// Thread safety: pure functions.
#pragma once

#include "platform/Variant.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::admin {

using Json = nlohmann::ordered_json;

enum class RequestOp { Get, Put, Call, Create, Release, Advise, Unadvise };

struct Request {
    Json id;                             // echoed in the reply; null when the line had none
    RequestOp op = RequestOp::Call;
    std::string progId;                  // the object named by ProgID...
    std::optional<std::uint64_t> handle; // ...or by a handle of this connection
    std::string member;
    Json args = Json::array();           // still JSON: handles are resolved by the connection
};

// Reads one request line. On failure returns false with a text for people in `error`; `request.id`
// holds the request's id whenever the line was a JSON object that had one.
bool ParseRequest(std::string_view line, Request& request, std::string& error);

// A stream as the protocol carries it: its whole content, {"vt": 13, "stream": base64}. An argument
// of that form arrives as a VT_UNKNOWN object of this class; a member that answers one returns it.
class StreamValue final : public Unknown {
public:
    explicit StreamValue(std::string bytes) : bytes_(std::move(bytes)) {}
    const std::string& Bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// An array (a SAFEARRAY of automation): {"vt": 0x2000 | element VARTYPE, "value": [value, ...]}, each
// item in the value form above (bare JSON values allowed in a request). Arrays do not nest; an item
// of a VT_VARIANT array may be any scalar. As an argument it arrives as a VT_UNKNOWN object of this
// class, which no setting or property takes.
inline constexpr std::uint16_t kArrayFlag = 0x2000;

class ArrayValue final : public Unknown {
public:
    ArrayValue(VarType element, std::vector<Variant> items) : element_(element), items_(std::move(items)) {}
    VarType ElementType() const { return element_; }
    const std::vector<Variant>& Items() const { return items_; }

private:
    VarType element_;
    std::vector<Variant> items_;
};

// How objects become JSON (a handle of the connection) and handles objects again.
using ObjectEncoder = std::function<Json(const std::shared_ptr<Unknown>& object)>;
using HandleResolver = std::function<std::shared_ptr<Unknown>(std::uint64_t handle)>;

Json EncodeVariant(const Variant& value, const ObjectEncoder& objects);
// False with a text for people when the JSON is no value of the protocol; DISP_E... kinds of
// failure are reported by the caller as E_INVALIDARG, since the request itself is malformed.
// An unknown handle sets `unknownHandle` (the caller answers E_HANDLE).
bool DecodeVariant(const Json& json, Variant& value, const HandleResolver& handles, std::string& error,
                   bool& unknownHandle);

Json Greeting(std::string_view version);
// The reply to a request (error is written only when hr failed).
Json Reply(const Json& id, HRESULT hr, const Json& result, const Json& out, std::string_view error);

}  // namespace pw::admin
