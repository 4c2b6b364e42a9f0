// MimeSyntax: the rules every reader of a stored message shares, so that one message has one shape
// whichever reader opens it -- where a header ends, which lines are multipart delimiters, and what the
// parameters of a Content-Type or Content-Disposition field are.
//
// Header end: an empty line, ended by CR LF or a bare LF, after a line ended by LF (or at the very
// start). Readers that split lines at a lone CR too may count CR CR as one. Delimiter lines (RFC 2046
// section 5.1.1): "--" BOUNDARY, then "--" for the close delimiter, then only blanks and tabs.
// Parameters: split at ";" outside quotes, comments and angle brackets; names lower case; quoted
// values unquoted; RFC 2231 sections joined and percent-decoded, their charset reported, not applied.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pw::mime {

enum class LoneCr { NoLineEnd, EndsLine };

// The offset just after the empty line that ends the header starting at `from`; npos when the bytes
// hold none. `scanned`: the bytes before it were already searched without finding one (a reader that
// appends chunks passes what it had), so only the new bytes and the three before them are looked at.
std::size_t FindHeaderEnd(std::string_view data, std::size_t from = 0, std::size_t scanned = 0,
                          LoneCr loneCr = LoneCr::NoLineEnd);

enum class DelimiterKind { None, Delimiter, Close };

// What a line (its content, without the line break) is for the multipart of `boundary`.
DelimiterKind ClassifyDelimiterLine(std::string_view line, std::string_view boundary);

struct MimeParameter {
    std::string name;     // lower case, without RFC 2231 section marks
    std::string value;    // unquoted; for a sectioned one the joined, percent-decoded bytes
    std::string charset;  // of an RFC 2231 value ("utf-8''..."), "" when none was written
    bool sectioned = false;  // written the RFC 2231 way ("name*=", "name*0=")
};

// The parameters after a field's main value ("a=b; c=\"d;e\"; f*0*=utf-8''%41"). A plain value gives
// way to an RFC 2231 one of the same name; sectioned ones follow the plain ones.
std::vector<MimeParameter> ParseParameters(std::string_view text);
// The value of the first parameter of that name (any case); "" when there is none.
std::string ParameterValue(const std::vector<MimeParameter>& parameters, std::string_view name);

struct TextPiece {
    std::string_view text;
    char end;  // the separator after it, '\0' for the last piece
};

// Splits at any of `separators` outside double quotes (with backslash escapes), angle brackets and
// comments.
std::vector<TextPiece> SplitAtAnyOutside(std::string_view text, std::string_view separators);
// The value trimmed, and when it starts with a double quote the text up to the closing one, escapes
// taken out (into `storage`).
std::string_view Unquote(std::string_view value, std::string& storage);

}  // namespace pw::mime
