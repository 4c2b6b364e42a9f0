// MessageTextWriter: line ends and dot-stuffing of message text on the wire.
#include "mime/MessageTextWriter.h"

namespace pw::mime {

bool MessageTextWriter::Take(std::string_view data, std::string& out) {
    for (const char c : data) {
        if (done_) return false;
        if (c == '\n' && afterCr_) {
            afterCr_ = false;
            continue;
        }
        afterCr_ = c == '\r';
        if (c == '\r' || c == '\n') {
            EndLine(out);
            continue;
        }
        if (atLineStart_ && stuffDots_ && c == '.') out += '.';
        atLineStart_ = false;
        lineEmpty_ = false;
        out += c;
    }
    return !done_;
}

void MessageTextWriter::Finish(std::string& out) {
    if (done_) return;
    if (!atLineStart_) out += "\r\n";
    // A header without its empty line still ends with one before the (empty) body.
    if (bodyLines_ && inHeader_) out += "\r\n";
    done_ = true;
}

void MessageTextWriter::EndLine(std::string& out) {
    out += "\r\n";
    if (bodyLines_) {
        if (inHeader_) {
            if (lineEmpty_) inHeader_ = false;
            if (!inHeader_ && *bodyLines_ <= 0) done_ = true;
        } else if (++sentBody_ >= *bodyLines_) {
            done_ = true;
        }
    }
    atLineStart_ = true;
    lineEmpty_ = true;
}

}  // namespace pw::mime
