// Fuzz target: one line from an administration client. Parsing must refuse it with a text or give a
// request whose arguments decode (or are refused) and convert to every argument type a member may
// declare; whatever decodes must encode back to JSON that dumps, and the reply to it too.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "admin/AdminProtocol.h"
#include "admin/ObjectModel.h"

using namespace pw;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    admin::Request request;
    std::string error;
    if (!admin::ParseRequest(line, request, error)) {
        if (error.empty()) __builtin_trap();
        (void)admin::Reply(request.id, E_INVALIDARG, nullptr, admin::Json::array(), error)
            .dump(-1, ' ', false, admin::Json::error_handler_t::replace);
        return 0;
    }
    static constexpr VarType kDeclared[] = {VT_BSTR, VT_I2, VT_I4, VT_UI2, VT_I8, VT_UI8, VT_R4, VT_R8,
                                            VT_DATE, VT_BOOL, VT_CY, VT_VARIANT, VT_DISPATCH};
    admin::Json out = admin::Json::array();
    const admin::ObjectEncoder objects = [](const std::shared_ptr<Unknown>&) { return admin::Json(nullptr); };
    for (const admin::Json& json : request.args) {
        Variant value;
        bool unknownHandle = false;
        if (!admin::DecodeVariant(json, value, [](std::uint64_t) { return std::shared_ptr<Unknown>(); }, error, unknownHandle)) {
            if (error.empty()) __builtin_trap();
            continue;
        }
        out.push_back(admin::EncodeVariant(value, objects));
        for (const VarType type : kDeclared) {
            Variant converted;
            if (Succeeded(admin::ConvertArgument(value, type, converted)) && type != VT_VARIANT && converted.Type() != type &&
                !(type == VT_DISPATCH && converted.Type() == VT_UNKNOWN)) {
                __builtin_trap();  // a conversion that claims success gives the declared type
            }
        }
    }
    (void)admin::Reply(request.id, S_OK, nullptr, out, {}).dump(-1, ' ', false, admin::Json::error_handler_t::replace);
    return 0;
}
