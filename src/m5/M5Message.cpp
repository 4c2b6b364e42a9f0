// M5Message: the one-pass walk over a stored message and the reading of part bodies.
//
// The walk is written here rather than taken from mime::Message: IMAP needs the byte ranges of every
// header and body within the stored file, message/rfc822 parts walked as embedded messages, a
// delimiter line that must hold nothing but the boundary (and "--"; mime::ClassifyDelimiterLine, the
// rule mime::Message reads by too), lone CR line ends, and every
// boundary of the open multiparts checked on each line so that the whole walk is one pass.
// Header fields are still parsed by mime::HeaderBlock.
#include "m5/M5Message.h"

#include "m5/M5Decoders.h"
#include "m5/M5Limits.h"
#include "mime/HeaderBlock.h"
#include "mime/MimeSyntax.h"

#include <algorithm>
#include <cstring>

namespace pw::m5 {

namespace {

bool HasLoneCr(std::string_view text) {
    for (std::size_t at = text.find('\r'); at != std::string_view::npos; at = text.find('\r', at + 1)) {
        if (at + 1 == text.size() || text[at + 1] != '\n') return true;
    }
    return false;
}

// HeaderBlock splits lines at LF only; a header written with lone CRs gets CR LF in a copy.
mime::HeaderBlock ParseHeader(std::string_view text) {
    mime::HeaderBlock header;
    if (!HasLoneCr(text)) {
        header.Parse(text);
        return header;
    }
    std::string copy;
    copy.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        copy += text[i];
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) copy += '\n';
    }
    header.Parse(copy);
    return header;
}

bool AllBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// A body ends at the line break before a delimiter. When that line break is the one of the blank line
// after the header (an empty body), the body starts there too, so that it never reaches past its parent;
// so does the empty header of a part that starts on the delimiter line itself.
void EndBody(M5PartDesc& part, std::size_t end) {
    if (part.header.length == 0 && part.header.offset > end) part.header.offset = end;
    part.body.offset = std::max(part.header.End(), std::min(part.body.offset, end));
    part.body.length = std::max(end, part.body.offset) - part.body.offset;
}

}  // namespace

M5Message::M5Message(std::string bytes, bool headerOnly) : bytes_(std::move(bytes)) { Walk(headerOnly); }

M5Message::Line M5Message::LineAt(std::size_t pos) const {
    const std::size_t end = bytes_.find_first_of("\r\n", pos);
    if (end == std::string::npos) return {pos, bytes_.size(), bytes_.size()};
    const bool crLf = bytes_[end] == '\r' && end + 1 < bytes_.size() && bytes_[end + 1] == '\n';
    return {pos, end, end + (crLf ? 2 : 1)};
}

std::size_t M5Message::LineBreakBefore(std::size_t start) const {
    if (start == 0) return 0;
    if (bytes_[start - 1] == '\n' && start >= 2 && bytes_[start - 2] == '\r') return start - 2;
    return start - 1;
}

bool M5Message::FindDelimiter(const Line& line, Delimiter& found) const {
    const std::string_view content = std::string_view(bytes_).substr(line.start, line.contentEnd - line.start);
    if (!content.starts_with("--")) return false;
    for (std::size_t i = open_.size(); i-- > 0;) {
        const mime::DelimiterKind kind = mime::ClassifyDelimiterLine(content, open_[i].boundary);
        if (kind == mime::DelimiterKind::None) continue;
        found = {i, kind == mime::DelimiterKind::Close};
        return true;
    }
    return false;
}

void M5Message::Stop(std::size_t at) {
    limitReached_ = true;
    for (const Open& open : open_) EndBody(parts_[open.part], at);
    open_.clear();
}

void M5Message::EndAbove(std::size_t keep, std::size_t end) {
    while (open_.size() > keep + 1) {
        const Open& open = open_.back();
        EndBody(parts_[open.part], end);
        if (!open.boundary.empty()) diagnostics_.emplace_back("M5 closing MIME boundary missing");
        open_.pop_back();
    }
}

std::size_t M5Message::NewPart(std::size_t pos, std::size_t parent, bool digestChild, bool& stopped) {
    if (parts_.size() >= kMaxParts || open_.size() >= kMaxNesting) {
        Stop(pos);
        stopped = true;
        return kM5NoPart;
    }
    std::size_t headerEnd = bytes_.size();
    std::size_t bodyStart = bytes_.size();
    std::size_t fieldsEnd = bytes_.size();  // where the fields that are read end: the header's end, or a limit
    bool limit = false;
    std::size_t lines = 0;
    headerCut_ = false;
    for (std::size_t at = pos; at < bytes_.size();) {
        const Line line = LineAt(at);
        Delimiter delimiter{};
        if (line.contentEnd == line.start) {
            headerEnd = at;
            bodyStart = line.next;
            break;
        }
        // A part without the blank line: its header ends where the line break before the next
        // delimiter starts, as its body would have.
        if (FindDelimiter(line, delimiter)) {
            headerEnd = bodyStart = std::max(pos, LineBreakBefore(at));
            headerCut_ = true;
            break;
        }
        // Past a header limit the fields are no longer read, but the header still ends at its blank line:
        // a long header must not turn into body text, nor end the walk for the parts after it.
        if (!limit && (++lines > kMaxHeaderLines || line.contentEnd - line.start > kMaxHeaderLine || line.next - pos > kMaxHeaderBytes)) {
            fieldsEnd = at;
            limit = true;
        }
        at = line.next;
    }
    if (!limit) fieldsEnd = headerEnd;
    const std::size_t number = parts_.size();
    M5PartDesc& part = parts_.emplace_back();
    part.number = number;
    part.parent = parent;
    part.header = {pos, headerEnd - pos};
    part.body = {bodyStart, 0};
    const mime::HeaderBlock header = ParseHeader(std::string_view(bytes_).substr(pos, std::min(fieldsEnd, headerEnd) - pos));
    M5DescribePart(header, digestChild, part);
    // At the deepest level a multipart is one part: its delimiters are its body's text, and the walk
    // goes on after it, so that nesting can never hide the parts that follow.
    if (part.multipart && open_.size() + 1 >= kMaxNesting) {
        part.multipart = false;
        limitReached_ = true;
        diagnostics_.emplace_back("M5 nesting limit: a multipart taken as one part");
    }
    if (parent != kM5NoPart) parts_[parent].children.push_back(number);
    if (parent == kM5NoPart || (parts_[parent].type == "message" && !parts_[parent].multipart)) {
        M5EnvelopeDesc& envelope = envelopes_.emplace_back();
        envelope.part = number;
        envelope.header = part.header;
        M5DescribeEnvelope(header, envelope, diagnostics_);
        if (parent != kM5NoPart) parts_[parent].envelope = envelopes_.size() - 1;
    }
    open_.push_back({number, part.multipart ? part.boundary : std::string()});
    if (limit) {
        limitReached_ = true;
        diagnostics_.emplace_back("M5 header limit: the fields past it are not read");
    }
    return number;
}

std::size_t M5Message::StartEntity(std::size_t pos, std::size_t parent, bool digestChild) {
    bool stopped = false;
    std::size_t number = NewPart(pos, parent, digestChild, stopped);
    // An embedded message is walked in place; one in base64 or quoted-printable is only a body here,
    // and a part whose header a delimiter cut short has no body to hold one.
    while (!stopped && !headerCut_ && parts_[number].type == "message" && parts_[number].subType == "rfc822" &&
           M5EncodingOf(parts_[number].encoding) == M5Encoding::Identity) {
        if (open_.size() >= kMaxNesting) {
            // The deepest embedded message is one part, as the deepest multipart is.
            limitReached_ = true;
            diagnostics_.emplace_back("M5 nesting limit: an embedded message taken as one part");
            break;
        }
        number = NewPart(parts_[number].body.offset, number, false, stopped);
    }
    return stopped ? kM5NoPart : parts_[number].body.offset;
}

void M5Message::Walk(bool headerOnly) {
    if (headerOnly) {
        bool stopped = false;
        NewPart(0, kM5NoPart, false, stopped);
        if (!stopped) EndBody(parts_.front(), bytes_.size());
        open_.clear();
        return;
    }
    std::size_t pos = StartEntity(0, kM5NoPart, false);
    while (pos != kM5NoPart && pos < bytes_.size()) {
        const Line line = LineAt(pos);
        Delimiter delimiter{};
        if (!FindDelimiter(line, delimiter)) {
            pos = line.next;
            continue;
        }
        const std::size_t lineBreak = LineBreakBefore(line.start);
        EndAbove(delimiter.open, lineBreak);
        Open& open = open_[delimiter.open];
        const std::size_t multipart = open.part;
        if (!open.sawDelimiter) {
            open.sawDelimiter = true;
            if (lineBreak > parts_[multipart].body.offset) diagnostics_.emplace_back("M5 data before first MIME boundary");
        }
        if (delimiter.closing) {
            open.boundary.clear();
            open.epilogue = line.next;
            pos = line.next;
            continue;
        }
        pos = StartEntity(line.next, multipart, parts_[multipart].subType == "digest");
    }
    if (pos == kM5NoPart) return;
    EndAbove(0, bytes_.size());
    if (open_.empty()) return;
    const Open& root = open_.front();
    EndBody(parts_[root.part], bytes_.size());
    if (!root.boundary.empty()) diagnostics_.emplace_back("M5 closing MIME boundary missing");
    if (root.epilogue != 0 && !AllBlank(std::string_view(bytes_).substr(root.epilogue))) {
        diagnostics_.emplace_back("M5 data beyond closing MIME boundary");
    }
    open_.clear();
}

std::size_t M5Message::BodyLines(std::size_t part) const {
    const M5Range body = parts_[part].body;
    std::size_t lines = 0;
    std::size_t at = body.offset;
    while (at < body.End()) {
        const Line line = LineAt(at);
        if (line.contentEnd >= body.End()) return lines + 1;  // text without a line break ends the body
        ++lines;
        at = line.next;
    }
    return lines;
}

std::size_t M5Message::FindSection(std::string_view section) const {
    std::size_t node = 0;
    std::size_t at = 0;
    // At a message (the top, or the one a message/rfc822 part holds), "1" of a body that is not
    // multipart is that body; below a single part there is nothing to name.
    bool atMessage = true;
    while (at < section.size()) {
        std::size_t end = section.find('.', at);
        if (end == std::string_view::npos) end = section.size();
        const std::string_view digits = section.substr(at, end - at);
        if (digits.empty() || digits.size() > kMaxSectionDigits || digits[0] == '0') return kM5NoPart;
        std::size_t number = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return kM5NoPart;
            number = number * 10 + static_cast<std::size_t>(c - '0');
        }
        // After the first number, a message/rfc822 part's numbers are those of the message it holds.
        // The first never enters: "1" of a stored message that is itself message/rfc822 is its body,
        // the message it holds, and "1.1" that message's first part.
        if (at != 0 && parts_[node].envelope != kM5NoPart && !parts_[node].children.empty()) {
            node = parts_[node].children.front();
            atMessage = true;
        }
        const M5PartDesc& part = parts_[node];
        if (part.multipart && !part.children.empty()) {
            if (number > part.children.size()) return kM5NoPart;
            node = part.children[number - 1];
        } else if (number != 1 || !atMessage) {
            return kM5NoPart;
        }
        atMessage = false;
        at = end + 1;
        if (end + 1 == section.size()) return kM5NoPart;  // a trailing "."
    }
    return section.empty() ? kM5NoPart : node;
}

void M5Message::Read(std::size_t part, M5Delivery delivery, std::span<std::byte> buffer, std::size_t& read) {
    if (part != readPart_ || delivery != readDelivery_) {
        readPart_ = part;
        readDelivery_ = delivery;
        readAt_ = 0;
        decoded_.clear();
        const M5PartDesc& desc = parts_[part];
        reading_ = std::string_view(bytes_).substr(desc.body.offset, desc.body.length);
        const M5Encoding encoding = M5EncodingOf(desc.encoding);
        if (delivery == M5Delivery::Decoded && !desc.multipart) {
            std::vector<std::string> found;
            if (encoding == M5Encoding::Unknown) {
                found.emplace_back("M5 invalid encoding type");
            } else if (encoding != M5Encoding::Identity) {
                decoded_ = M5DecodeBody(encoding, reading_, found);
                reading_ = decoded_;
            }
            // Every read of a part finds its faults again: a message open for long keeps a bounded list.
            for (auto& text : found) {
                if (diagnostics_.size() < kMaxReadDiagnostics) diagnostics_.push_back(std::move(text));
            }
        }
    }
    read = std::min(buffer.size(), reading_.size() - readAt_);
    if (read != 0) std::memcpy(buffer.data(), reading_.data() + readAt_, read);
    readAt_ += read;
}

std::string M5Message::Body(std::size_t part, M5Delivery delivery) {
    readPart_ = kM5NoPart;  // from the beginning, whatever was being read
    std::size_t read = 0;
    Read(part, delivery, {}, read);
    std::string body(reading_);
    readPart_ = kM5NoPart;
    decoded_.clear();
    return body;
}

}  // namespace pw::m5
