// Xtext: the encoding of the delivery-status parameters ENVID and ORCPT on the SMTP command line
// ("+" and two upper-case hexadecimal digits for "+", "=", controls, blanks and bytes above 126).
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pw::mime {

// nullopt when the text is not xtext: a byte outside "!" to "~", "=", or a "+" not followed by two
// upper-case hexadecimal digits. Decoded bytes may be anything but NUL, CR and LF, which would end
// a header line of the notice that quotes them.
std::optional<std::string> DecodeXtext(std::string_view text);
std::string EncodeXtext(std::string_view text);

}  // namespace pw::mime
