// UniqueFd: the kernel's close for descriptors that are no part of the storage layer.
#include "platform/UniqueFd.h"

#include <unistd.h>

namespace pw::platform {

void CloseDescriptor::operator()(int fd) const noexcept { ::close(fd); }

}  // namespace pw::platform
