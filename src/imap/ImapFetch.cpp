// ImapSession: FETCH -- one untagged response per selected message, in message-number order.
//
// A message is read only as far as its items need: nothing for UID, FLAGS, INTERNALDATE and
// RFC822.SIZE (the session's entry has them), the header for ENVELOPE and header sections, the walk of
// the whole message for structures and parts. Everything that can fail is done before the first byte
// of a message's response is written, so a message that fails ends the command with NO and leaves no
// half response; what was written for earlier messages stands. Literals are sent from the open
// message file in blocks and announce exactly the bytes that follow: the store replaces a file by
// renaming a new one over it, so the open file never changes under the count.
#include "imap/ImapSession.h"

#include "imap/BodyStructure.h"
#include "imap/ImapDates.h"
#include "imap/ImapStrings.h"
#include "m5/M5Decoders.h"
#include "mime/MimeSyntax.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

// Message file data goes out in blocks of this size.
constexpr std::size_t kLiteralBlock = 64 * 1024;
// A header section is read from the file into memory to pick its fields; never more than this.
constexpr std::uint64_t kMaxHeaderSection = 2 * 1024 * 1024;

struct Range {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// A response being put together: text, and ranges of the message file sent as literal data.
struct Response {
    struct Piece {
        std::string text;
        Range file;  // after the text; length 0 for none
    };
    std::vector<Piece> pieces{1};

    void Text(std::string_view text) { pieces.back().text += text; }
    // "{n}" CR LF and the bytes; "" when there are none. `binary` announces a literal8.
    void Literal(std::string_view data, bool binary) {
        if (data.empty()) return Text("\"\"");
        Text(Format("%s{%lu}\r\n", {std::string_view(binary ? "~" : ""), std::uint64_t{data.size()}}));
        Text(data);
    }
    void FileLiteral(Range range, bool binary) {
        if (range.length == 0) return Text("\"\"");
        Text(Format("%s{%lu}\r\n", {std::string_view(binary ? "~" : ""), range.length}));
        pieces.back().file = range;
        pieces.emplace_back();
    }
};

// What a section's data is: a range of the file, or bytes made for it.
struct SectionData {
    Range range;
    std::optional<std::string> bytes;
};

// One message as FETCH reads it; the parser's handles close with it.
struct FetchedMessage {
    std::unique_ptr<FileStream> file;
    std::uint64_t size = 0;
    std::optional<m5::M5MessageHandle> header;  // the header alone
    std::optional<m5::M5MessageHandle> parsed;  // the whole message walked

    FetchedMessage() = default;
    FetchedMessage(const FetchedMessage&) = delete;
    FetchedMessage& operator=(const FetchedMessage&) = delete;
    ~FetchedMessage() {
        if (header) (void)m5::M5CloseMessage(*header);
        if (parsed) (void)m5::M5CloseMessage(*parsed);
    }
    // The handle whose part 0 is the message's own header.
    m5::M5MessageHandle Structure() const { return parsed ? *parsed : *header; }
};

// Reads a range of the file into memory.
bool ReadRange(FileStream& file, Range range, std::string& bytes) {
    bytes.assign(static_cast<std::size_t>(range.length), '\0');
    if (Failed(file.Seek(static_cast<std::int64_t>(range.offset), SeekOrigin::Begin))) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t got = 0;
        const auto span = std::as_writable_bytes(std::span(bytes.data() + done, bytes.size() - done));
        if (Failed(file.Read(span, got)) || got == 0) return false;
        done += got;
    }
    return true;
}

// The fields of a header block (with their continuation lines) that are named in `fields`, or with
// `exclude` those that are not, and the empty line that ends a header.
std::string PickFields(std::string_view header, const std::vector<std::string>& fields, bool exclude) {
    // Nothing after the empty line is a field; the empty line itself names none, so it is never kept.
    header = header.substr(0, std::min(mime::FindHeaderEnd(header), header.size()));
    std::string out;
    bool keep = false;
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find('\n', at);
        end = end == std::string_view::npos ? header.size() : end + 1;
        const std::string_view line = header.substr(at, end - at);
        at = end;
        if (line[0] != ' ' && line[0] != '\t') {
            const std::size_t colon = line.find(':');
            const std::string_view name = TrimAscii(line.substr(0, colon == std::string_view::npos ? 0 : colon));
            bool named = false;
            for (const std::string& field : fields) named = named || EqualsNoCase(field, name);
            keep = !name.empty() && named != exclude;
        }
        if (keep) {
            out.append(line);
            if (!line.ends_with('\n')) out += "\r\n";
        }
    }
    return out + "\r\n";
}

}  // namespace

void ImapSession::Fetch(const Command& command) {
    std::string diagnostic;
    if (!vector_.Select(command.arguments[0].text, command.uid, diagnostic)) return Bad(diagnostic);
    FetchRefusal refusal;
    const auto request = ParseFetchItems(command.arguments[1], refusal);
    if (!request) {
        if (!refusal.logLine.empty()) Log('E', refusal.logLine);
        return refusal.bad ? Bad(refusal.reply) : No(refusal.reply);
    }
    if ((request->needs & (kNeedsParse | kNeedsHeader)) && !OpenM5()) return No("Server internal error with message");
    std::vector<std::size_t> seen;
    gone_ = 0;
    for (std::size_t i = 0; i < vector_.messages.size(); ++i) {
        if (vector_.messages[i].selected && !FetchOne(*request, i, command.uid, seen)) break;
        if (seen.size() >= kSeenBatch) StoreSeen(seen);
    }
    StoreSeen(seen);
    vector_.Recount();
    if (gone_ != 0) No("[EXPUNGEISSUED] Some of the requested messages no longer exist");
    if (diagnostic_.empty() && !noReply_) SetReply("OK FETCH completed");
}

bool ImapSession::FetchOne(const FetchRequest& request, std::size_t index, bool uidCommand, std::vector<std::size_t>& seen) {
    MessageEntry& entry = vector_.messages[index];
    const auto uid = std::uint64_t{entry.uid};
    FetchedMessage message;

    // Open what the items need.
    if (request.needs & (kNeedsContent | kNeedsHeader | kNeedsParse)) {
        std::string failure;
        message.file = store_.OpenContent(*selected_, entry.uid, failure);
        ElementInfo info;
        if (!message.file && failure == kMessageGone) {
            // Expunged by another session (or POP3): the others are still answered.
            ++gone_;
            return true;
        }
        if (!message.file || Failed(message.file->Stat(info))) {
            Log('E', Format("IMAPUtil-SelectMessage:  M5OpenFiledMessage failed with error code %u.  Name:  \"%s\"",
                            {std::uint64_t{m5::M5STS_READ_ERROR}, std::string_view(message.file ? message.file->Path() : failure)}));
            No(Format("Error interpreting message UID #%u", {uid}));
            return false;
        }
        message.size = info.size;
    }
    const std::string& path = message.file ? message.file->Path() : std::string();
    bool walk = request.needs & kNeedsParse;
    if (!walk && (request.needs & kNeedsHeader)) {
        m5::M5MessageHandle handle;
        const m5::M5Status status = m5::M5ReadEnvelope(*m5_, path, 0, handle);
        if (status != m5::M5STS_SUCCESS && status != m5::M5STS_LIMIT_REACHED) {
            Log('E', Format("M5ReadEnvelope failed with error code %u", {std::uint64_t{status}}));
            Log('E', Format("Message at offset %lu in file:  \"%s\"", {std::uint64_t{0}, std::string_view(path)}));
            No("Error reading message headers");
            return false;
        }
        message.header = handle;
        // A header past the header-only read's limit: only the whole walk finds where it ends.
        walk = status == m5::M5STS_LIMIT_REACHED;
    }
    if (walk) {
        m5::M5MessageHandle handle;
        const m5::M5Status status = m5::M5OpenFiledMessage(*m5_, path, handle);
        if (status != m5::M5STS_SUCCESS && status != m5::M5STS_LIMIT_REACHED) {
            Log('E', Format("IMAPUtil-SelectMessage:  M5OpenFiledMessage failed with error code %u.  Name:  \"%s\"",
                            {std::uint64_t{status}, std::string_view(path)}));
            No(Format("Error interpreting message UID #%u", {uid}));
            return false;
        }
        message.parsed = handle;
    }

    // Where a part, its header or its text lie in the file.
    const auto partOf = [&](std::size_t number) -> const m5::M5PartDesc* {
        const m5::M5PartDesc* part = nullptr;
        return m5::M5GetMimeDesc(message.Structure(), number, part) == m5::M5STS_SUCCESS ? part : nullptr;
    };
    const auto headerOf = [](const m5::M5PartDesc& part) { return Range{part.header.offset, part.body.offset - part.header.offset}; };
    const auto internalError = [&](std::string_view unit, std::string_view call, m5::M5Status status) {
        Log('E', Format("%s:  %s() failed with code %u", {unit, call, std::uint64_t{status}}));
        No(Format("Server internal error with message %s", {std::string_view(uidCommand ? Format("UID %lu", {uid}) : Format("#%lu", {std::uint64_t{index + 1}}))}));
        return false;
    };

    // A body section's data.
    const auto sectionData = [&](const FetchSection& section, SectionData& data) -> bool {
        using Kind = FetchSection::Kind;
        if (section.path.empty()) {
            const m5::M5PartDesc* top = section.kind == Kind::Whole ? nullptr : partOf(0);
            if (section.kind != Kind::Whole && top == nullptr) return internalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
            const std::uint64_t bodyStart = top ? std::min<std::uint64_t>(top->body.offset, message.size) : 0;
            switch (section.kind) {
            case Kind::Whole: data.range = {0, message.size}; return true;
            case Kind::Text: data.range = {bodyStart, message.size - bodyStart}; return true;
            default: data.range = {0, bodyStart}; break;
            }
        } else {
            std::size_t number = m5::kM5NoPart;
            if (m5::M5FindSection(*message.parsed, section.path, number) != m5::M5STS_SUCCESS) return true;  // no such part: ""
            const m5::M5PartDesc* part = partOf(number);
            if (part == nullptr) return internalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
            // HEADER and TEXT of a message/rfc822 part are those of the message it holds.
            const m5::M5PartDesc* inner = part;
            if (part->type == "message" && part->subType == "rfc822" && !part->children.empty()) inner = partOf(part->children.front());
            if (inner == nullptr) return internalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
            switch (section.kind) {
            case Kind::Whole: data.range = {part->body.offset, part->body.length}; return true;
            case Kind::Mime: data.range = headerOf(*part); return true;
            case Kind::Text: data.range = {inner->body.offset, inner->body.length}; return true;
            default: data.range = headerOf(*inner); break;
            }
        }
        if (section.kind == Kind::Header) return true;
        std::string header;
        if (!ReadRange(*message.file, {data.range.offset, std::min(data.range.length, kMaxHeaderSection)}, header)) {
            Log('E', Format("M5ReadEnvelope failed with error code %u", {std::uint64_t{m5::M5STS_READ_ERROR}}));
            No("Error reading message envelope");
            return false;
        }
        data.bytes = PickFields(header, section.fields, section.kind == Kind::HeaderFieldsNot);
        return true;
    };

    // BINARY: the part decoded from its transfer encoding.
    const auto binaryData = [&](const FetchSection& section, SectionData& data) -> bool {
        if (section.path.empty()) {
            data.range = {0, message.size};
            return true;
        }
        std::size_t number = m5::kM5NoPart;
        if (m5::M5FindSection(*message.parsed, section.path, number) != m5::M5STS_SUCCESS) return true;
        const m5::M5PartDesc* part = partOf(number);
        if (part == nullptr) return internalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
        if (!part->multipart && m5::M5EncodingOf(part->encoding) == m5::M5Encoding::Unknown) {
            const std::string which = uidCommand ? Format("UID %lu", {uid}) : Format("number %lu", {std::uint64_t{index + 1}});
            No(Format("[UNKNOWN-CTE] could not decode \"%s\" part of message %s", {std::string_view(section.text), std::string_view(which)}));
            return false;
        }
        std::string decoded;
        if (const m5::M5Status status = m5::M5GetPartBody(*message.parsed, number, m5::M5Delivery::Decoded, decoded);
            status != m5::M5STS_SUCCESS) {
            return internalError("SendMimePart", "M5GetPartBody", status);
        }
        data.bytes = std::move(decoded);
        return true;
    };

    // The items, in the order asked for.
    Response response;
    bool first = true;
    const auto separate = [&] {
        if (!first) response.Text(" ");
        first = false;
    };
    if (uidCommand) {
        separate();
        response.Text(Format("UID %lu", {uid}));
    }
    bool flagsAsked = false;
    for (const FetchItem& item : request.items) {
        const FetchItemId id = item.row->id;
        if (id == FetchItemId::Flags) {
            flagsAsked = true;
            continue;
        }
        if (id == FetchItemId::Uid && uidCommand) continue;
        separate();
        switch (id) {
        case FetchItemId::Uid: response.Text(Format("UID %lu", {uid})); break;
        case FetchItemId::InternalDate: response.Text("INTERNALDATE " + InternalDateText(entry.internalDate)); break;
        case FetchItemId::Rfc822Size:
            response.Text(Format("RFC822.SIZE %lu", {entry.size != 0 || !message.file ? entry.size : message.size}));
            break;
        case FetchItemId::Rfc822:
            response.Text("RFC822 ");
            response.FileLiteral({0, message.size}, false);
            break;
        case FetchItemId::Rfc822Header:
        case FetchItemId::Rfc822Text: {
            const m5::M5PartDesc* top = partOf(0);
            if (top == nullptr) return internalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
            const std::uint64_t bodyStart = std::min<std::uint64_t>(top->body.offset, message.size);
            const bool header = id == FetchItemId::Rfc822Header;
            response.Text(header ? "RFC822.HEADER " : "RFC822.TEXT ");
            response.FileLiteral(header ? Range{0, bodyStart} : Range{bodyStart, message.size - bodyStart}, false);
            break;
        }
        case FetchItemId::Envelope: {
            const m5::M5EnvelopeDesc* envelope = nullptr;
            const m5::M5Status status = m5::M5GetEnvelopeDesc(message.Structure(), 0, envelope);
            if (status != m5::M5STS_SUCCESS) {
                Log('E', Format("M5 error %u parsing message #%lu:  %s", {std::uint64_t{status}, std::uint64_t{index + 1}, std::string_view(path)}));
            }
            response.Text("ENVELOPE " + (envelope ? EnvelopeStructure(*envelope) : std::string(kEmptyEnvelope)));
            break;
        }
        case FetchItemId::Body:
        case FetchItemId::BodyStructure: {
            const bool extended = id == FetchItemId::BodyStructure;
            std::string structure;
            std::string call;
            if (const m5::M5Status status = WriteBodyStructure(*message.parsed, 0, extended, structure, call); status != m5::M5STS_SUCCESS) {
                Log('E', Format("%s:  %s() failed with code %u", {std::string_view(extended ? "SendBodyStructure" : "SendMimeStructure"),
                                                                   std::string_view(call), std::uint64_t{status}}));
                No("Server internal error with message");
                return false;
            }
            response.Text(std::string(extended ? "BODYSTRUCTURE " : "BODY ") + structure);
            break;
        }
        case FetchItemId::BodySection:
        case FetchItemId::BodyPeek:
        case FetchItemId::Binary:
        case FetchItemId::BinaryPeek:
        case FetchItemId::BinarySize: {
            const bool binary = id == FetchItemId::Binary || id == FetchItemId::BinaryPeek || id == FetchItemId::BinarySize;
            SectionData data;
            if (!(binary ? binaryData(item.section, data) : sectionData(item.section, data))) return false;
            const std::uint64_t length = data.bytes ? data.bytes->size() : data.range.length;
            if (id == FetchItemId::BinarySize) {
                response.Text(item.ResponseName() + " " + std::to_string(length));
                break;
            }
            // A partial fetch: from the origin, at most the count; past the end, nothing.
            std::uint64_t from = 0;
            std::uint64_t count = length;
            if (item.section.origin) {
                from = std::min(*item.section.origin, length);
                count = std::min(item.section.count, length - from);
            }
            response.Text(item.ResponseName() + " ");
            if (data.bytes) {
                response.Literal(std::string_view(*data.bytes).substr(static_cast<std::size_t>(from), static_cast<std::size_t>(count)), binary);
            } else {
                response.FileLiteral({data.range.offset + from, count}, binary);
            }
            break;
        }
        case FetchItemId::Flags: break;
        }
    }

    // Reading a message marks it \Seen: shown now, stored with the others of its batch (StoreSeen),
    // where the session may -- never under EXAMINE.
    bool flagsChanged = false;
    if ((request.needs & kMarksSeen) && !selectedReadOnly_ && !(entry.flags & kFlagSeen)) {
        entry.flags |= kFlagSeen;
        flagsChanged = true;
        if (vector_.permanentFlags & kFlagSeen) seen.push_back(index);
    }
    if (flagsAsked || flagsChanged) {
        separate();
        response.Text("FLAGS " + FlagList(entry.flags, vector_.KeywordsOf(entry.keywords)));
    }
    response.Text(")\r\n");

    // Everything is ready: write it.
    connection_->Write(Format("* %lu FETCH (", {std::uint64_t{index + 1}}));
    for (Response::Piece& piece : response.pieces) {
        connection_->Write(piece.text);
        if (piece.file.length != 0 && !SendFileRange(*message.file, piece.file.offset, piece.file.length)) return false;
    }
    return true;
}

void ImapSession::StoreSeen(std::vector<std::size_t>& indexes) {
    if (indexes.empty()) return;
    std::vector<std::uint32_t> uids;
    for (const std::size_t index : indexes) uids.push_back(vector_.messages[index].uid);
    std::string failure;
    FlagChange change;
    change.add = kFlagSeen;
    auto stored = store_.ChangeFlags(*selected_, uids, change, failure);
    if (stored.empty()) {
        Log('W', "Messages could not be marked read:  " + failure);
        // The client was shown \Seen: it hears the flags the store still holds.
        for (const std::size_t index : indexes) {
            stored.emplace_back(StoredFlags{vector_.messages[index].stored, vector_.KeywordsOf(vector_.messages[index].storedKeywords)});
        }
    }
    const auto mask = static_cast<std::uint16_t>(vector_.permanentFlags & kStorableFlags);
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (!stored[i]) continue;
        MessageEntry& entry = vector_.messages[indexes[i]];
        const std::uint16_t shown = entry.flags;
        entry.stored = stored[i]->bits;
        entry.flags = static_cast<std::uint16_t>((entry.flags & ~mask) | (stored[i]->bits & mask));
        if (vector_.permanentKeywords && vector_.KeywordsOf(entry.storedKeywords) != stored[i]->keywords) {
            entry.storedKeywords = entry.keywords = vector_.Intern(stored[i]->keywords);
            AnnounceKeywords(stored[i]->keywords);
        }
        // Another session's flags, added meanwhile, are news to this client.
        if (entry.flags != shown) {
            Untagged(Format("%lu FETCH (UID %lu FLAGS %s)", {std::uint64_t{indexes[i] + 1}, std::uint64_t{entry.uid},
                                                             std::string_view(FlagList(entry.flags, vector_.KeywordsOf(entry.keywords)))}));
        }
    }
    indexes.clear();
}

bool ImapSession::SendFileRange(FileStream& file, std::uint64_t offset, std::uint64_t length) {
    std::string block;
    std::uint64_t sent = 0;
    while (sent < length) {
        const std::uint64_t take = std::min<std::uint64_t>(kLiteralBlock, length - sent);
        if (!ReadRange(file, {offset + sent, take}, block)) {
            Log('E', Format("SendFileLiteral:  ReadFile(%s) failed after %lu of %lu bytes; the connection is closed",
                            {std::string_view(file.Path()), sent, length}));
            noReply_ = true;
            endSession_ = true;
            return false;
        }
        connection_->Write(block);
        sent += take;
    }
    return connection_->Alive();
}

}  // namespace pw::imap
