// Version: the program's version as "%d.%d.%d.%d" (major, minor, patch, build), as the start-up message
// and the Received lines of accepted mail show it.
#pragma once

#include <string>

namespace pw::core {

std::string VersionText();
// The product name peers see in Received lines.
inline constexpr const char* kProductName = "Quillon Email Server";

}  // namespace pw::core
