// M5Message: one stored message, its bytes held once, walked into part and envelope descriptors.
//
// The walk makes one pass over the bytes: every line is looked at once, and a line that starts with
// "--" is compared with the boundaries of the multiparts open around it (innermost first). A
// delimiter is "--BOUNDARY" alone on its line once trailing blanks are trimmed, a closing delimiter
// "--BOUNDARY--"; a line that goes on with other text is body text. A delimiter of an outer multipart
// ends the parts open inside it. Lines end at CR LF, LF or a lone CR; a header ends at its first
// empty line (or, when a part has no blank line, at a delimiter). Odd structure is reported as a
// diagnostic and parsing goes on: data before the first delimiter, data after the outermost closing
// delimiter, a closing delimiter missing (the part ends with the data). A message/rfc822 part holds its
// embedded message as its one child, with an envelope of its own. At the nesting limit of M5Limits.h
// a multipart or embedded message is one part and the walk goes on; past the other limits it stops;
// what it found stands.
// A body is read in pieces, decoded by its transfer encoding or raw; decoding happens in memory, one
// part at a time, and raw or identity reads hand out the stored bytes without a copy.
// Thread safety: one thread at a time.
#pragma once

#include "m5/M5Descriptors.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pw::m5 {

enum class M5Delivery { Decoded, Raw };

class M5Message {
public:
    // headerOnly: the message's own header, no walk of its body.
    M5Message(std::string bytes, bool headerOnly);
    M5Message(const M5Message&) = delete;
    M5Message& operator=(const M5Message&) = delete;

    bool LimitReached() const { return limitReached_; }
    std::string_view Bytes() const { return bytes_; }
    const std::vector<M5PartDesc>& Parts() const { return parts_; }
    const std::vector<M5EnvelopeDesc>& Envelopes() const { return envelopes_; }
    const std::vector<std::string>& Diagnostics() const { return diagnostics_; }

    // The lines of a part's stored body, as BODYSTRUCTURE counts them: its line breaks (CR LF, LF or a
    // lone CR), and one more when it ends in text without one. Counted on demand, in one pass over
    // the body.
    std::size_t BodyLines(std::size_t part) const;
    // The part an IMAP section number names ("1.2.3"): numbers count the children of a multipart, a
    // message/rfc822 part named by an earlier number is entered as its embedded message (so is a stored
    // message of that type after "1"), and "1" of a message that is not multipart is its body, the
    // part itself. kM5NoPart when there is no such part.
    std::size_t FindSection(std::string_view section) const;

    // The next piece of a part's body: up to buffer.size() bytes into buffer, how many into `read`
    // (0 at the end). Reading another part, or the same one another way, starts at its beginning.
    void Read(std::size_t part, M5Delivery delivery, std::span<std::byte> buffer, std::size_t& read);
    // The whole body at once.
    std::string Body(std::size_t part, M5Delivery delivery);

private:
    struct Line {
        std::size_t start;
        std::size_t contentEnd;
        std::size_t next;
    };
    struct Open {
        std::size_t part;
        std::string boundary;  // while the multipart waits for delimiters, else ""
        bool sawDelimiter = false;
        std::size_t epilogue = 0;  // after its closing delimiter's line
    };
    struct Delimiter {
        std::size_t open;  // index in open_
        bool closing;
    };

    Line LineAt(std::size_t pos) const;
    std::size_t LineBreakBefore(std::size_t start) const;
    bool FindDelimiter(const Line& line, Delimiter& found) const;
    void Walk(bool headerOnly);
    // Parses the header at pos into a new part (and, for message/rfc822, the embedded message's root
    // part after it); returns where body scanning goes on, or kM5NoPart when a limit stopped the walk.
    std::size_t StartEntity(std::size_t pos, std::size_t parent, bool digestChild);
    std::size_t NewPart(std::size_t pos, std::size_t parent, bool digestChild, bool& stopped);
    void EndAbove(std::size_t keep, std::size_t end);
    void Stop(std::size_t at);

    std::string bytes_;
    std::vector<M5PartDesc> parts_;
    std::vector<M5EnvelopeDesc> envelopes_;
    std::vector<std::string> diagnostics_;
    std::vector<Open> open_;
    bool limitReached_ = false;
    bool headerCut_ = false;  // the last header read ended at a delimiter, without a blank line

    // The body being read.
    std::size_t readPart_ = kM5NoPart;
    M5Delivery readDelivery_ = M5Delivery::Raw;
    std::string decoded_;
    std::string_view reading_;
    std::size_t readAt_ = 0;
};

}  // namespace pw::m5
