// ClientFiles: the files a client may have the server read or write outside the store's objects.
//
// Only root and the server's own user may ask (E_ACCESSDENIED otherwise); the path is absolute,
// names a file and holds no "." or ".." component (E_INVALIDARG). A file written for a client is
// new: made with O_EXCL|O_NOFOLLOW, 0600, never over an existing file or through a link.
#pragma once

#include "admin/ObjectModel.h"
#include "platform/UniqueFd.h"

#include <string>
#include <string_view>

namespace pw::admin {

// Throws unless the caller may reach files and the path is plain (see above).
void CheckClientPath(const Caller& caller, const std::string& path);
// A new file for the server to write (throws ComError).
UniqueFd CreateClientFile(const Caller& caller, const std::string& path);
// Writes all of `bytes` and flushes; on failure removes the file and throws.
void WriteClientFile(UniqueFd fd, const std::string& path, std::string_view bytes);

}  // namespace pw::admin
