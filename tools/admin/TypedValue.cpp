// TypedValue: command-line value syntax.
#include "TypedValue.h"

#include "core/Configuration.h"
#include "platform/Text.h"

namespace pw::admin {

namespace {

constexpr VarType kTypedForms[] = {VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_INT,
                                   VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BOOL, VT_BSTR, VT_ERROR};

}  // namespace

HRESULT ParseTypedValue(std::string_view typed, Variant& value) {
    const std::size_t colon = typed.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view type = typed.substr(0, colon);
        const std::string_view text = typed.substr(colon + 1);
        if (EqualsNoCase(type, "port")) {
            Variant port;
            if (const HRESULT hr = Variant::FromText(VT_UI2, text, port); Failed(hr)) return hr;
            value = core::PortValue(port.AsUI2());
            return S_OK;
        }
        for (const VarType candidate : kTypedForms) {
            if (EqualsNoCase(type, VarTypeName(candidate))) return Variant::FromText(candidate, text, value);
        }
    }
    value = Variant::Text(typed);
    return S_OK;
}

std::string FormatTypedValue(std::string_view key, const Variant& value) {
    const std::size_t colon = key.find_last_of(':');
    const std::string_view last = colon == std::string_view::npos ? key : key.substr(colon + 1);
    if (value.Type() == VT_UI2 && EqualsNoCase(last, "port")) {
        return "port:" + std::to_string(core::PortFromValue(value));
    }
    std::string text;
    if (Failed(value.ToText(text))) text = "(object)";
    if (value.Type() == VT_DATE) {
        const std::size_t space = text.find(' ');
        if (space != std::string::npos) text[space] = 'T';
    }
    return std::string(VarTypeName(value.Type())) + ":" + text;
}

}  // namespace pw::admin
