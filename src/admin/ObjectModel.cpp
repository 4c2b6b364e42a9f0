// ObjectModel: member tables and Invoke.
#include "admin/ObjectModel.h"

#include "platform/Text.h"

#include <mutex>
#include <unordered_map>

namespace pw::admin {

namespace {

struct ClassTable {
    std::string className;
    std::vector<MemberInfo> members;
};

std::mutex gTablesLock;
std::unordered_map<std::type_index, std::shared_ptr<const ClassTable>>& Tables() {
    static std::unordered_map<std::type_index, std::shared_ptr<const ClassTable>> tables;
    return tables;
}

std::shared_ptr<const ClassTable> TableOf(const Unknown& object) {
    std::lock_guard guard(gTablesLock);
    const auto found = Tables().find(std::type_index(typeid(object)));
    return found == Tables().end() ? nullptr : found->second;
}

const char* KindName(MemberKind kind) {
    switch (kind) {
    case MemberKind::Get: return "read";
    case MemberKind::Put: return "written";
    case MemberKind::Method: break;
    }
    return "called";
}

}  // namespace

void RegisterMembers(std::type_index type, std::string className, std::vector<MemberInfo> members) {
    auto table = std::make_shared<ClassTable>(ClassTable{std::move(className), std::move(members)});
    std::lock_guard guard(gTablesLock);
    Tables().insert_or_assign(type, std::move(table));
}

std::string ClassNameOf(const Unknown& object) {
    const auto table = TableOf(object);
    return table ? table->className : std::string();
}

HRESULT ConvertArgument(const Variant& in, VarType wanted, Variant& out) {
    if (wanted == VT_VARIANT || in.Type() == wanted) {
        out = in;
        return S_OK;
    }
    if (wanted == VT_DISPATCH || wanted == VT_UNKNOWN) {
        if (in.Type() != VT_DISPATCH && in.Type() != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
        out = in;
        return S_OK;
    }
    if (in.Type() == VT_DISPATCH || in.Type() == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    if (wanted == VT_BSTR && in.Type() == VT_NULL) {
        out = Variant::NullText();
        return S_OK;
    }
    // A date travels as its number; its text form is for people.
    if (wanted == VT_DATE && in.IsNumeric() && in.Type() != VT_BOOL) {
        out = Variant::DateValue(in.AsDouble());
        return S_OK;
    }
    std::string text;
    if (Failed(in.ToText(text))) return DISP_E_TYPEMISMATCH;
    if (in.Type() == VT_BOOL && wanted != VT_BSTR) text = in.IsTrue() ? "-1" : "0";
    if (Failed(Variant::FromText(wanted, text, out))) return DISP_E_TYPEMISMATCH;
    return S_OK;
}

CallResult Invoke(const std::shared_ptr<Unknown>& object, std::string_view member, MemberKind kind,
                  std::vector<Variant> args, const Caller& caller) {
    CallResult call;
    const auto fail = [&call](HRESULT hr, std::string text) {
        call.hr = hr;
        call.error = std::move(text);
        return call;
    };
    const auto table = object ? TableOf(*object) : nullptr;
    if (!table) return fail(DISP_E_UNKNOWNNAME, "the object has no members");
    const MemberInfo* found = nullptr;
    bool named = false;
    for (const MemberInfo& info : table->members) {
        if (!EqualsNoCase(info.name, member)) continue;
        named = true;
        if (info.kind == kind) found = &info;
    }
    if (!named) return fail(DISP_E_UNKNOWNNAME, Format("%s has no member %s", {std::string_view(table->className), member}));
    if (!found) {
        return fail(DISP_E_MEMBERNOTFOUND,
                    Format("%s.%s can not be %s", {std::string_view(table->className), member, std::string_view(KindName(kind))}));
    }
    if (args.size() != found->args.size()) {
        return fail(DISP_E_BADPARAMCOUNT, Format("%s.%s takes %u arguments, not %u",
                                                 {std::string_view(table->className), std::string_view(found->name),
                                                  std::uint64_t{found->args.size()}, std::uint64_t{args.size()}}));
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        Variant converted;
        if (Failed(ConvertArgument(args[i], found->args[i], converted))) {
            return fail(DISP_E_TYPEMISMATCH, Format("argument %u of %s.%s must be a %s",
                                                    {std::uint64_t{i + 1}, std::string_view(table->className),
                                                     std::string_view(found->name), std::string_view(VarTypeName(found->args[i]))}));
        }
        args[i] = std::move(converted);
    }
    try {
        found->handler(*object, args, caller, call);
    } catch (const ComError& error) {
        return fail(error.Code(), error.what());
    } catch (const std::exception& error) {
        return fail(E_FAIL, error.what());
    }
    if (Failed(call.hr) && call.error.empty()) call.error = HresultText(call.hr);
    return call;
}

}  // namespace pw::admin
