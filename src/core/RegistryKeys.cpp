// RegistryKeys: key paths and the readers of the general values.
#include "core/RegistryKeys.h"

namespace pw::core {

std::string ProductKey(std::string_view product, std::string_view section) {
    return "HKEY_LOCAL_MACHINE\\Software\\Quillon\\" + std::string(product) + "\\" + std::string(section);
}

std::string SuiteGeneralKey() { return ProductKey(kSuiteProduct, "General"); }
std::string ServerGeneralKey() { return ProductKey(kServerProduct, "General"); }
std::string DebugKey() { return ProductKey(kSuiteProduct, "Debug"); }
std::string LoggingKey() { return ProductKey(kServerProduct, "Logging"); }

std::uint32_t ReadLanguage(const Registry& registry) {
    return registry.GetDword(SuiteGeneralKey(), "Language").value_or(kDefaultLanguage);
}

std::optional<std::string> ReadMessageStorePath(const Registry& registry) {
    auto path = registry.GetString(ServerGeneralKey(), "MessageStore");
    if (!path || path->empty()) return std::nullopt;
    if (path->back() != '/') *path += '/';
    return path;
}

std::uint32_t ReadDebugSwitch(const Registry& registry, std::string_view name) {
    return registry.GetDword(DebugKey(), name).value_or(0);
}

}  // namespace pw::core
