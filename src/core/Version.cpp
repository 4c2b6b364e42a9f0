// Version: built from the project's version (see CMakeLists.txt).
#include "core/Version.h"

#include "platform/Text.h"

#ifndef PW_VERSION_MAJOR
#define PW_VERSION_MAJOR 0
#define PW_VERSION_MINOR 0
#define PW_VERSION_PATCH 0
#define PW_VERSION_BUILD 0
#endif

namespace pw::core {

std::string VersionText() {
    return Format("%d.%d.%d.%d", {std::int64_t{PW_VERSION_MAJOR}, std::int64_t{PW_VERSION_MINOR}, std::int64_t{PW_VERSION_PATCH},
                                  std::int64_t{PW_VERSION_BUILD}});
}

}  // namespace pw::core
