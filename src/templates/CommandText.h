// CommandText: how the services that take commands by mail (the list server, the command processor)
// read them -- the text of a message and the words of a line -- so that both read a message alike.
// Thread safety: pure functions.
#pragma once

#include "mime/Message.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::templates {

// The command text: the first text/plain part, decoded, or the body of a message that is not MIME;
// nullopt for a MIME message without a plain part. The whole text: the caller bounds it.
std::optional<std::string> CommandText(const mime::Message& message);
// The words of a line, split at blanks and tabs.
std::vector<std::string> CommandWords(std::string_view line);

}  // namespace pw::templates
