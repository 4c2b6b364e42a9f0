// ObjectModel: the member tables of the administration classes and the one dispatcher over them.
//
// Each class the endpoint serves registers a table: its class name ("Settings") and, per member and
// kind (get, put, method), the VARTYPEs of the arguments (a put's new value last; VT_VARIANT takes any
// value) and a handler. Invoke finds the member without regard to case, checks the kind and the
// argument count, converts each argument to its declared VARTYPE as automation does (text to number,
// number to text, ...), calls the handler and turns what it throws into the HRESULT and text of the
// reply. A member that is not in the table does not exist here (DISP_E_UNKNOWNNAME): nothing answers
// with a success it did not earn.
// Thread safety: tables are registered before the endpoint listens; Invoke may run on any thread
// (the objects guard themselves).
#pragma once

#include "platform/Variant.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

namespace pw::admin {

inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000E);
inline constexpr HRESULT E_HANDLE = MakeHresult(0x80070006);

enum class MemberKind { Get, Put, Method };

// Who calls: the peer's rights, for the members that reach files outside the store's objects.
struct Caller {
    std::uint32_t uid = 0;
    std::int64_t pid = 0;      // the peer's process, for the log
    bool mayUseFiles = false;  // root or the server's own user
};

struct CallResult {
    HRESULT hr = S_OK;
    Variant result;
    std::vector<Variant> out;
    std::string error;
};

using MemberHandler = std::function<void(Unknown& self, std::span<Variant> args, const Caller& caller, CallResult& call)>;

struct MemberInfo {
    std::string name;
    MemberKind kind = MemberKind::Method;
    std::vector<VarType> args;
    MemberHandler handler;
};

// A member of class T: the handler receives the object already as T.
template <typename T>
MemberInfo Member(std::string name, MemberKind kind, std::vector<VarType> args,
                  std::function<void(T& self, std::span<Variant> args, const Caller& caller, CallResult& call)> handler) {
    return MemberInfo{std::move(name), kind, std::move(args),
                      [handler = std::move(handler)](Unknown& self, std::span<Variant> a, const Caller& c, CallResult& r) {
                          handler(static_cast<T&>(self), a, c, r);
                      }};
}

// Registers (or replaces) the table of the objects whose dynamic type is `type`.
void RegisterMembers(std::type_index type, std::string className, std::vector<MemberInfo> members);
template <typename T>
void RegisterMembers(std::string className, std::vector<MemberInfo> members) {
    RegisterMembers(std::type_index(typeid(T)), std::move(className), std::move(members));
}

// The class name of an object with a table ("Settings"), else "".
std::string ClassNameOf(const Unknown& object);

CallResult Invoke(const std::shared_ptr<Unknown>& object, std::string_view member, MemberKind kind,
                  std::vector<Variant> args, const Caller& caller);

// The automation conversion of one argument; DISP_E_TYPEMISMATCH when the value has no such form.
HRESULT ConvertArgument(const Variant& in, VarType wanted, Variant& out);

}  // namespace pw::admin
