// HtmlText: the text the phrase filter reads out of an HTML body, and the removal of obfuscation
// characters.
//
// Markup: every STYLE block ("<style ...>" to the next "</style>") and the first TITLE block go with
// their content; a block whose closing tag is missing loses only its opening tag. A tag is "<" to the
// next ">": "<br>" becomes a blank; "<img ...=" and "<a ...=" tags leave a blank, their text up to the
// first "=", a double quote, ">" and a blank (so phrases can find link targets' attribute names);
// every other tag goes. A "<" with no ">" after it is text. Entities ("&name;", at most
// kMaxEntityName bytes): "lt", "gt", "amp", "quot" in any case, the ISO 8859-1 names "nbsp" to
// "yuml" (their byte, 0xA0 to 0xFF), "#N" and "#xH" up to 255; any other entity stays as written.
// Each step is one pass over its input, so the time is linear in the body, hostile or not.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace pw::antispam {

std::string StripHtmlMarkup(std::string_view html);
std::string DecodeEntities(std::string_view text);
// Markup, then entities.
std::string HtmlToText(std::string_view html);
// The text without any byte that occurs in `characters`.
std::string RemoveCharacters(std::string_view text, std::string_view characters);

}  // namespace pw::antispam
