// RegistryKeys: where the server's values live in the registry file, and the readers every part uses.
//
// Keys are built from "Software\Quillon\%s\%s" under HKEY_LOCAL_MACHINE: the product part is
// "Tessaline" for values the suite shares (language, debug switches) and "Tessaline\Pellworth" for
// this server's own (store path, logging).
#pragma once

#include "platform/Registry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pw::core {

inline constexpr std::string_view kSuiteProduct = "Tessaline";
inline constexpr std::string_view kServerProduct = "Tessaline\\Pellworth";

// "HKEY_LOCAL_MACHINE\Software\Quillon\<product>\<section>"
std::string ProductKey(std::string_view product, std::string_view section);

// Tessaline\General: `Language` (DWORD, default 9).
std::string SuiteGeneralKey();
// Tessaline\Pellworth\General: `MessageStore`.
std::string ServerGeneralKey();
// Tessaline\Debug: `NoRouters`, `Routers`, `NoTransports`, `NoListeners` and the other diagnostic switches.
std::string DebugKey();
// Tessaline\Pellworth\Logging: `FilePath`, `FileType`, `LogLevel`.
std::string LoggingKey();

inline constexpr std::uint32_t kDefaultLanguage = 9;

std::uint32_t ReadLanguage(const Registry& registry);
// The `MessageStore` path with a trailing "/"; nullopt when the value is missing or empty.
std::optional<std::string> ReadMessageStorePath(const Registry& registry);
// A DWORD of the Debug key, 0 when missing.
std::uint32_t ReadDebugSwitch(const Registry& registry, std::string_view name);

}  // namespace pw::core
