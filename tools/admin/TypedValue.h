// TypedValue: values as a person types them on the admin tool's command line, and as it prints them.
//
// "TYPE:TEXT" with TYPE one of the VARTYPE names (i2, i4, ui2, r8, bool, date, str, ...): "i4:360",
// "bool:true" (VT_BOOL -1), "date:2026-12-08T18:00". "port:25" is a TCP port, stored as VT_UI2 in
// network byte order the way listeners read it. Text without a known type is a text.
#pragma once

#include "platform/Variant.h"

#include <string>
#include <string_view>

namespace pw::admin {

HRESULT ParseTypedValue(std::string_view typed, Variant& value);
// "i4:360", "str:Public Folders", "empty:" for a grouping node. A port (a VT_UI2 value of a key whose
// last component is "port") is shown as "port:25", the form that sets it.
std::string FormatTypedValue(std::string_view key, const Variant& value);

}  // namespace pw::admin
