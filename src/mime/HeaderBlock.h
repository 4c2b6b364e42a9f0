// HeaderBlock: the header fields of a message or a part, in the order read or added.
//
// Each field is kept as it was read -- name, colon, value, continuation lines, line break -- so a
// loaded header is written back byte for byte. Names compare without regard to case. Field reads
// unfold: a line break followed by a blank or a tab becomes one blank, and the value is trimmed.
// Field writes never let caller data start a new field: a value's line breaks become folds (CR LF and
// a tab) and stray CR or LF bytes are dropped.
// Thread safety: a value; one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pw::mime {

class HeaderBlock {
public:
    // Parses header text (fields up to, and maybe including, the blank line). False when it holds more
    // fields or longer lines than the limits allow; the fields up to there are kept.
    bool Parse(std::string_view text);
    // The fields, each ending in CR LF (or the line break they were read with), without the blank line.
    std::string Text() const;
    bool Empty() const { return fields_.empty(); }

    std::size_t Count() const { return fields_.size(); }
    std::size_t CountField(std::string_view name) const;
    // The unfolded value of the which-th field of that name; "" when there is none.
    std::string Field(std::string_view name, std::size_t which = 0) const;
    bool Has(std::string_view name) const { return CountField(name) != 0; }
    // Replaces the first field of that name, or adds one at the end; an empty value removes every
    // field of that name.
    void SetField(std::string_view name, std::string_view value);
    void AddField(std::string_view name, std::string_view value);
    void RemoveField(std::string_view name);

    // Content-Type, read the MIME way: "text/plain" when the field is missing.
    std::string ContentType() const;     // "text"
    std::string ContentSubType() const;  // "plain"
    // What follows the first ";" of Content-Type, trimmed.
    std::string ContentSubTypeParameters() const;
    void SetContentType(std::string_view type, std::string_view subType, std::string_view parameters);
    std::string ContentTransferEncoding() const { return Field("Content-Transfer-Encoding"); }
    bool IsMultipart() const;
    // The boundary parameter of Content-Type as ParseParameters reads it (quotes, RFC 2231 sections);
    // "" when there is none or it is longer than the limit.
    std::string Boundary() const;
    // The value of a parameter ("name", "filename", "charset") of a field, quotes removed.
    std::string Parameter(std::string_view field, std::string_view parameter) const;

private:
    struct FieldLine {
        std::string name;  // "" for a line that is not a field (kept to be written back)
        std::string raw;   // the whole field with its continuation lines and line breaks
    };
    static std::string Unfold(std::string_view raw);
    static std::string MakeLine(std::string_view name, std::string_view value);

    std::vector<FieldLine> fields_;
};

}  // namespace pw::mime
