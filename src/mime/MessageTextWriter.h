// MessageTextWriter: stored message bytes as the text of a mail protocol -- SMTP DATA (RFC 5321
// 4.5.2), POP3 RETR and TOP (RFC 1939), and later IMAP.
//
// One pass over the bytes, block by block: every line end of the stored text -- CR LF, a lone CR or a
// lone LF -- goes out as CR LF, a CR LF split across two blocks is still one line end, and a dot that
// starts a line is doubled (dot-stuffing; optional). Lines of any length go out whole. With a body
// line count (TOP) the header and that many body lines are written and the rest is ignored. The
// terminating "." line is the protocol's own.
// Thread safety: one writer per transfer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pw::mime {

class MessageTextWriter {
public:
    // bodyLines: with a value, only the header, its empty line and that many body lines.
    explicit MessageTextWriter(std::optional<long> bodyLines = std::nullopt, bool stuffDots = true)
        : bodyLines_(bodyLines), stuffDots_(stuffDots) {}

    // Appends the wire form of data to out; false once the wanted lines are all out.
    bool Take(std::string_view data, std::string& out);
    // Ends an open last line with CR LF (and gives a header without its empty line one, under a
    // body line count).
    void Finish(std::string& out);

private:
    void EndLine(std::string& out);

    std::optional<long> bodyLines_;
    bool stuffDots_ = true;
    bool atLineStart_ = true;
    bool lineEmpty_ = true;
    // The last byte was a CR that ended a line: an LF right after it belongs to the same line end.
    bool afterCr_ = false;
    bool inHeader_ = true;
    bool done_ = false;
    long sentBody_ = 0;
};

}  // namespace pw::mime
