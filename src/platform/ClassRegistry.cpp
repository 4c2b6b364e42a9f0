// ClassRegistry: class lookup by identifier and program identifier, and object persistence.
#include "platform/ClassRegistry.h"

#include "platform/Text.h"

namespace pw::platform {

ClassRegistry& ClassRegistry::Instance() {
    static ClassRegistry registry;
    return registry;
}

void ClassRegistry::Register(ClassInfo info) {
    std::lock_guard lock(lock_);
    for (ClassInfo& existing : classes_) {
        if (existing.clsid == info.clsid) {
            existing = std::move(info);
            return;
        }
    }
    classes_.push_back(std::move(info));
}

std::shared_ptr<Unknown> ClassRegistry::Create(const Guid& clsid) const {
    std::function<std::shared_ptr<Unknown>()> factory;
    {
        std::lock_guard lock(lock_);
        for (const ClassInfo& info : classes_) {
            if (info.clsid == clsid) factory = info.factory;
        }
    }
    return factory ? factory() : nullptr;
}

std::optional<Guid> ClassRegistry::ClsidFromProgId(std::string_view progId) const {
    if (progId.ends_with(".1")) progId.remove_suffix(2);
    std::lock_guard lock(lock_);
    for (const ClassInfo& info : classes_) {
        if (!info.progId.empty() && EqualsNoCase(info.progId, progId)) return info.clsid;
    }
    return std::nullopt;
}

bool ClassRegistry::IsRegistered(const Guid& clsid) const {
    std::lock_guard lock(lock_);
    for (const ClassInfo& info : classes_) {
        if (info.clsid == clsid) return true;
    }
    return false;
}

std::vector<ClassInfo> ClassRegistry::Classes() const {
    std::lock_guard lock(lock_);
    return classes_;
}

HRESULT SaveObject(const std::shared_ptr<Unknown>& object, Stream& stream) {
    if (!object) {
        const auto bytes = Guid{}.ToBytes();
        return stream.Write(bytes);
    }
    auto* persist = dynamic_cast<PersistStream*>(object.get());
    if (!persist) return E_NOINTERFACE;
    const auto bytes = persist->ClassId().ToBytes();
    if (const HRESULT hr = stream.Write(bytes); Failed(hr)) return hr;
    return persist->Save(stream);
}

HRESULT LoadObject(Stream& stream, std::shared_ptr<Unknown>& object) {
    object.reset();
    std::array<std::byte, Guid::kBinarySize> bytes{};
    if (const HRESULT hr = ReadExact(stream, bytes); Failed(hr)) return hr;
    const Guid clsid = Guid::FromBytes(bytes);
    if (clsid.IsNull()) return S_OK;
    std::shared_ptr<Unknown> created = ClassRegistry::Instance().Create(clsid);
    if (!created) return REGDB_E_CLASSNOTREG;
    auto* persist = dynamic_cast<PersistStream*>(created.get());
    if (!persist) return E_NOINTERFACE;
    if (const HRESULT hr = persist->Load(stream); Failed(hr)) return hr;
    object = std::move(created);
    return S_OK;
}

}  // namespace pw::platform
