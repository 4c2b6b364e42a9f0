// ClassRegistry: the in-process registry of automation classes -- class identifier and program
// identifier ("Pellworth.MailBox", also with ".1") to a factory.
//
// Every automation object derives from Unknown and is held by std::shared_ptr: reference counted and
// released by its last user. Objects that persist themselves (agents, objects stored in property
// trees) also implement PersistStream; SaveObject / LoadObject write and read them as a persisted
// object is laid out in a stream: the 16-byte class identifier, then the object's own data. Each
// subsystem registers its classes at process start (the service calls their Register functions;
// there are no static initialisers), and registration writes their records into the registry file.
// Thread safety: registration happens before the workers start; lookups are safe from any thread.
#pragma once

#include "platform/Guid.h"
#include "platform/HResult.h"
#include "platform/Stream.h"
#include "platform/Unknown.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::platform {

// An object that can write itself to a stream and read itself back.
class PersistStream {
public:
    virtual ~PersistStream() = default;
    virtual Guid ClassId() const = 0;
    [[nodiscard]] virtual HRESULT Load(Stream& stream) = 0;
    [[nodiscard]] virtual HRESULT Save(Stream& stream) = 0;
};

struct ClassInfo {
    Guid clsid;
    std::string progId;  // version-independent, "" for classes created only by identifier
    std::string name;    // "MailBox"
    std::function<std::shared_ptr<Unknown>()> factory;
};

class ClassRegistry {
public:
    static ClassRegistry& Instance();

    // Registering an identifier again replaces the earlier entry.
    void Register(ClassInfo info);
    std::shared_ptr<Unknown> Create(const Guid& clsid) const;
    // Accepts "Pellworth.MailBox" and "Pellworth.MailBox.1", without regard to case.
    std::optional<Guid> ClsidFromProgId(std::string_view progId) const;
    bool IsRegistered(const Guid& clsid) const;
    std::vector<ClassInfo> Classes() const;

private:
    mutable std::mutex lock_;
    std::vector<ClassInfo> classes_;
};

// Writes the object's class identifier and its data; a null object is the null identifier alone.
[[nodiscard]] HRESULT SaveObject(const std::shared_ptr<Unknown>& object, Stream& stream);
// Reads what SaveObject wrote. The null identifier gives a null object. A class that is not
// registered fails with REGDB_E_CLASSNOTREG: its data can not be skipped, because only the class
// knows how long it is.
[[nodiscard]] HRESULT LoadObject(Stream& stream, std::shared_ptr<Unknown>& object);

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
