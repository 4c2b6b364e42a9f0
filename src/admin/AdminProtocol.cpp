// AdminProtocol: request parsing and value encoding of the administration endpoint.
#include "admin/AdminProtocol.h"

#include "mime/Codecs.h"

#include "admin/AdminLimits.h"
#include "admin/ObjectModel.h"
#include "platform/Text.h"

#include <cmath>
#include <limits>

namespace pw::admin {

namespace {

// Integers a double carries exactly; beyond them a 64-bit value travels as text.
constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;

bool ParseOp(std::string_view text, RequestOp& op) {
    static constexpr std::pair<std::string_view, RequestOp> kOps[] = {
        {"get", RequestOp::Get},         {"put", RequestOp::Put},       {"call", RequestOp::Call},
        {"create", RequestOp::Create},   {"release", RequestOp::Release}, {"advise", RequestOp::Advise},
        {"unadvise", RequestOp::Unadvise}};
    for (const auto& [name, value] : kOps) {
        if (text == name) {
            op = value;
            return true;
        }
    }
    return false;
}

bool IsIntegerType(VarType type) {
    switch (type) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT: case VT_ERROR:
        return true;
    default:
        return false;
    }
}

// A typed value {"vt": n, "value": v}: the value read as that VARTYPE, by the same rules as text.
bool DecodeTyped(VarType type, const Json& value, Variant& out, std::string& error) {
    const auto mismatch = [&](std::string_view what) {
        error = Format("the value of a VARTYPE %u must be %s", {std::uint64_t{type}, what});
        return false;
    };
    switch (type) {
    case VT_EMPTY: out = Variant(); return true;
    case VT_NULL: out = Variant::Null(); return true;
    case VT_BSTR:
        if (value.is_null()) {
            out = Variant::NullText();
            return true;
        }
        if (!value.is_string()) return mismatch("a text or null");
        out = Variant::Text(value.get<std::string>());
        return true;
    case VT_BOOL:
        if (!value.is_boolean()) return mismatch("true or false");
        out = Variant::Bool(value.get<bool>());
        return true;
    case VT_R4: case VT_R8: case VT_DATE:
        if (!value.is_number()) return mismatch("a number");
        if (type == VT_DATE) {
            out = Variant::DateValue(value.get<double>());
            return true;
        }
        break;  // through the text, which checks a single's range
    case VT_CY:
        if (!value.is_string() && !value.is_number()) return mismatch("a number or its text");
        break;
    default:
        if (!IsIntegerType(type)) {
            error = Format("VARTYPE %u is not accepted in a request", {std::uint64_t{type}});
            return false;
        }
        if (!value.is_number_integer() && !value.is_string()) return mismatch("an integer or its text");
        break;
    }
    const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    const HRESULT hr = type == VT_ERROR ? Variant::FromText(VT_UI4, text, out) : Variant::FromText(type, text, out);
    if (Failed(hr)) {
        error = Format("%s is not a value of VARTYPE %u", {std::string_view(text), std::uint64_t{type}});
        return false;
    }
    if (type == VT_ERROR) out = Variant::Error(static_cast<HRESULT>(static_cast<std::uint32_t>(out.AsInt64())));
    return true;
}

Json IntegerJson(const Variant& value, bool isUnsigned) {
    if (isUnsigned) {
        std::string text;
        (void)value.ToText(text);
        const std::uint64_t number = std::stoull(text);
        if (number > static_cast<std::uint64_t>(kExactInDouble)) return text;
        return number;
    }
    const std::int64_t number = value.AsInt64();
    if (number > kExactInDouble || number < -kExactInDouble) return std::to_string(number);
    return number;
}

}  // namespace

bool ParseRequest(std::string_view line, Request& request, std::string& error) {
    request = Request{};
    bool tooDeep = false;
    const auto depthCheck = [&tooDeep](int depth, Json::parse_event_t, Json&) {
        if (static_cast<std::size_t>(depth) > kMaxJsonDepth) tooDeep = true;
        return !tooDeep;
    };
    Json parsed = Json::parse(line.begin(), line.end(), depthCheck, false);
    if (tooDeep) {
        error = Format("the request nests deeper than %u levels", {std::uint64_t{kMaxJsonDepth}});
        return false;
    }
    if (parsed.is_discarded()) {
        error = "the line is not JSON";
        return false;
    }
    if (!parsed.is_object()) {
        error = "a request is a JSON object";
        return false;
    }
    if (const auto id = parsed.find("id"); id != parsed.end()) request.id = *id;
    const auto op = parsed.find("op");
    if (op == parsed.end() || !op->is_string() || !ParseOp(op->get_ref<const std::string&>(), request.op)) {
        error = "\"op\" must be one of get, put, call, create, release, advise, unadvise";
        return false;
    }
    const auto object = parsed.find("object");
    if (object == parsed.end()) {
        error = "\"object\" is missing";
        return false;
    }
    if (object->is_string()) {
        request.progId = object->get<std::string>();
        if (request.progId.empty()) {
            error = "\"object\" is an empty ProgID";
            return false;
        }
    } else if (object->is_number_unsigned()) {
        request.handle = object->get<std::uint64_t>();
    } else {
        error = "\"object\" must be a ProgID or a handle number";
        return false;
    }
    if (const auto member = parsed.find("member"); member != parsed.end()) {
        if (!member->is_string()) {
            error = "\"member\" must be a text";
            return false;
        }
        request.member = member->get<std::string>();
    }
    const bool needsMember = request.op == RequestOp::Get || request.op == RequestOp::Put || request.op == RequestOp::Call;
    if (needsMember && request.member.empty()) {
        error = "\"member\" is missing";
        return false;
    }
    if (const auto args = parsed.find("args"); args != parsed.end()) {
        if (!args->is_array()) {
            error = "\"args\" must be an array";
            return false;
        }
        request.args = *args;
    }
    if (request.op == RequestOp::Put && request.args.empty()) {
        error = "a put takes its new value as the last of \"args\"";
        return false;
    }
    return true;
}

Json EncodeVariant(const Variant& value, const ObjectEncoder& objects) {
    const VarType type = value.Type();
    Json json = Json::object();
    switch (type) {
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        const auto object = value.AsObject();
        if (const auto* array = dynamic_cast<const ArrayValue*>(object.get())) {
            json["vt"] = static_cast<int>(kArrayFlag | array->ElementType());
            json["value"] = Json::array();
            for (const Variant& item : array->Items()) json["value"].push_back(EncodeVariant(item, objects));
            return json;
        }
        if (const auto* stream = dynamic_cast<const StreamValue*>(object.get())) {
            json["vt"] = static_cast<int>(VT_UNKNOWN);
            json["stream"] = mime::EncodeBase64(stream->Bytes(), false);
            return json;
        }
        return object ? objects(object) : Json(nullptr);
    }
    default: break;
    }
    json["vt"] = static_cast<int>(type);
    switch (type) {
    case VT_EMPTY:
    case VT_NULL: break;
    case VT_BSTR:
        json["value"] = value.IsNullText() ? Json(nullptr) : Json(value.AsText());
        break;
    case VT_BOOL: json["value"] = value.IsTrue(); break;
    case VT_R4:
    case VT_R8:
    case VT_DATE: {
        const double number = value.AsDouble();
        json["value"] = std::isfinite(number) ? Json(number) : Json(nullptr);
        break;
    }
    case VT_CY: {
        std::string text;
        (void)value.ToText(text);
        json["value"] = text;
        break;
    }
    case VT_ERROR: json["value"] = static_cast<std::uint32_t>(value.AsInt64()); break;
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
        json["value"] = IntegerJson(value, true);
        break;
    default:
        if (IsIntegerType(type)) {
            json["value"] = IntegerJson(value, false);
        } else {
            json["value"] = nullptr;  // a type the protocol has no form for yet
        }
        break;
    }
    return json;
}

bool DecodeVariant(const Json& json, Variant& value, const HandleResolver& handles, std::string& error,
                   bool& unknownHandle) {
    unknownHandle = false;
    if (json.is_string()) {
        value = Variant::Text(json.get<std::string>());
        return true;
    }
    if (json.is_boolean()) {
        value = Variant::Bool(json.get<bool>());
        return true;
    }
    if (json.is_number_integer()) {
        if (json.is_number_unsigned() && json.get<std::uint64_t>() > static_cast<std::uint64_t>(INT32_MAX)) {
            value = Variant::R8(static_cast<double>(json.get<std::uint64_t>()));
            return true;
        }
        const std::int64_t number = json.get<std::int64_t>();
        if (number >= INT32_MIN && number <= INT32_MAX) {
            value = Variant::I4(static_cast<std::int32_t>(number));
        } else {
            value = Variant::R8(static_cast<double>(number));
        }
        return true;
    }
    if (json.is_number()) {
        value = Variant::R8(json.get<double>());
        return true;
    }
    if (json.is_null()) {
        value = Variant::Null();
        return true;
    }
    if (!json.is_object()) {
        error = "a bare JSON array is no value; an array is {\"vt\": 8192 + its items' VARTYPE, \"value\": [...]}";
        return false;
    }
    const auto vt = json.find("vt");
    if (vt == json.end() || !vt->is_number_unsigned() || vt->get<std::uint64_t>() > 0xFFFF) {
        error = "a typed value needs \"vt\", a VARTYPE number";
        return false;
    }
    if ((vt->get<std::uint64_t>() & kArrayFlag) != 0) {
        const auto element = static_cast<VarType>(vt->get<std::uint64_t>() & ~std::uint64_t{kArrayFlag});
        const auto items = json.find("value");
        if (items == json.end() || !items->is_array()) {
            error = "an array's \"value\" is a JSON array";
            return false;
        }
        if (items->size() > kMaxArrayItems) {
            error = Format("an array holds at most %u items", {std::uint64_t{kMaxArrayItems}});
            return false;
        }
        if ((element & kArrayFlag) != 0 || element == VT_DISPATCH || element == VT_UNKNOWN || element == VT_EMPTY || element == VT_NULL) {
            error = "an array holds scalar values";
            return false;
        }
        std::vector<Variant> values;
        values.reserve(items->size());
        for (const Json& item : *items) {
            Variant one;
            if (!DecodeVariant(item, one, handles, error, unknownHandle)) return false;
            Variant converted;
            if (one.Type() == VT_DISPATCH || one.Type() == VT_UNKNOWN || Failed(ConvertArgument(one, element, converted))) {
                error = Format("the items of this array are all of VARTYPE %u", {std::uint64_t{element}});
                return false;
            }
            values.push_back(std::move(converted));
        }
        value = Variant::Object(std::make_shared<ArrayValue>(element, std::move(values)), VT_UNKNOWN);
        return true;
    }
    const auto type = static_cast<VarType>(vt->get<std::uint64_t>());
    if (type == VT_UNKNOWN && json.contains("stream")) {
        const Json& text = json["stream"];
        const auto bytes = text.is_string() ? mime::DecodeBase64Strict(text.get<std::string>()) : std::nullopt;
        if (!bytes) {
            error = "\"stream\" must be base64 text";
            return false;
        }
        value = Variant::Object(std::make_shared<StreamValue>(*bytes), VT_UNKNOWN);
        return true;
    }
    if (type == VT_DISPATCH || type == VT_UNKNOWN) {
        const auto handle = json.find("handle");
        if (handle == json.end() || handle->is_null()) {
            value = Variant::Object(nullptr, type);
            return true;
        }
        if (!handle->is_number_unsigned()) {
            error = "\"handle\" must be a handle number";
            return false;
        }
        auto object = handles(handle->get<std::uint64_t>());
        if (!object) {
            unknownHandle = true;
            error = Format("no object has the handle %u on this connection", {handle->get<std::uint64_t>()});
            return false;
        }
        value = Variant::Object(std::move(object), type);
        return true;
    }
    const auto inner = json.find("value");
    if (inner == json.end()) {
        if (type == VT_EMPTY || type == VT_NULL) {
            value = type == VT_EMPTY ? Variant() : Variant::Null();
            return true;
        }
        error = "a typed value needs \"value\"";
        return false;
    }
    return DecodeTyped(type, *inner, value, error);
}

Json Greeting(std::string_view version) {
    Json greeting = Json::object();
    greeting["server"] = "Pellworth";
    greeting["version"] = std::string(version);
    greeting["protocol"] = kProtocolVersion;
    return greeting;
}

Json Reply(const Json& id, HRESULT hr, const Json& result, const Json& out, std::string_view error) {
    Json reply = Json::object();
    reply["id"] = id;
    reply["hr"] = static_cast<std::uint32_t>(hr);
    reply["result"] = result;
    reply["out"] = out;
    if (Failed(hr)) reply["error"] = std::string(error);
    return reply;
}

}  // namespace pw::admin
