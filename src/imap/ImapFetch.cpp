// FETCH -- one untagged response per selected message, in message-number order.
//
// A message is read only as far as its items need: nothing for UID, FLAGS, INTERNALDATE and
// RFC822.SIZE (the session's entry has them), the header for ENVELOPE and header sections, the walk of
// the whole message for structures and parts. Everything that can fail is done before the first byte
// of a message's response is written, so a message that fails ends the command with NO and leaves no
// half response; what was written for earlier messages stands. Literals are sent from the open
// message file in blocks and announce exactly the bytes that follow: the store replaces a file by
// renaming a new one over it, so the open file never changes under the count.
#include "imap/ImapCommands.h"

#include "imap/BodyStructure.h"
#include "imap/FetchItems.h"
#include "imap/ImapDates.h"
#include "imap/ImapStore.h"
#include "imap/ImapStrings.h"
#include "imap/SelectedMailbox.h"
#include "imap/StoredMessage.h"
#include "m5/M5Decoders.h"
#include "mime/MimeSyntax.h"
#include "platform/Text.h"

namespace pw::imap::commands {

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


// Sends a range of an open message file as the data of a literal already announced; a short read
// ends the session, since the client counts on exactly that many bytes.
bool SendFileRange(CommandContext& context, FileStream& file, std::uint64_t offset, std::uint64_t length) {
    std::string block;
    std::uint64_t sent = 0;
    while (sent < length) {
        const std::uint64_t take = std::min<std::uint64_t>(kLiteralBlock, length - sent);
        if (!ReadRange(file, {offset + sent, take}, block)) {
            ImapLog('E', Format("SendFileLiteral:  ReadFile(%s) failed after %lu of %lu bytes; the connection is closed",
                                {std::string_view(file.Path()), sent, length}));
            context.replies.Silence();
            context.replies.EndSession();
            return false;
        }
        context.replies.Connection().Write(block);
        sent += take;
    }
    return context.replies.Connection().Alive();
}

// One message's response, put together whole before any of it is written.
class MessageFetch {
public:
    enum class Outcome { Written, Gone, Failed };

    MessageFetch(CommandContext& context, const FetchRequest& request, std::size_t index)
        : context_(context), request_(request), index_(index), entry_(context.mailbox.view.Entry(index)),
          uidCommand_(context.command.uid) {}

    // Messages it read and marked \Seen are added to `seen`, to be stored with their batch.
    Outcome Run(std::vector<std::size_t>& seen);

private:
    Outcome Open();
    bool WriteItem(const FetchItem& item);
    bool WriteRfc822Part(FetchItemId id);
    void WriteEnvelope();
    bool WriteEmailId();
    bool WriteStructure(bool extended);
    bool WriteSection(const FetchItem& item);
    bool MessageSection(const FetchSection& section, SectionData& data);
    bool PartSection(const FetchSection& section, SectionData& data);
    bool PickHeaderFields(const FetchSection& section, SectionData& data);
    bool BinarySection(const FetchSection& section, SectionData& data);
    bool Send();
    bool InternalError(std::string_view unit, std::string_view call, m5::M5Status status);
    // Where the message's body starts, within the file.
    std::uint64_t BodyStart(const m5::M5PartDesc& top) const { return std::min<std::uint64_t>(top.body.offset, message_.Size()); }
    void Separate() {
        if (!first_) response_.Text(" ");
        first_ = false;
    }

    CommandContext& context_;
    const FetchRequest& request_;
    std::size_t index_;
    MessageEntry entry_;
    bool uidCommand_;
    StoredMessage message_;
    Response response_;
    bool first_ = true;
};

MessageFetch::Outcome MessageFetch::Run(std::vector<std::size_t>& seen) {
    if (const Outcome opened = Open(); opened != Outcome::Written) return opened;
    if (uidCommand_) {
        Separate();
        response_.Text(Format("UID %lu", {std::uint64_t{entry_.uid}}));
    }
    bool flagsAsked = false;
    for (const FetchItem& item : request_.items) {
        const FetchItemId id = item.row->id;
        flagsAsked = flagsAsked || id == FetchItemId::Flags;
        if (id == FetchItemId::Flags || id == FetchItemId::Modseq || (id == FetchItemId::Uid && uidCommand_)) continue;
        Separate();
        if (!WriteItem(item)) return Outcome::Failed;
    }
    // Reading a message marks it \Seen: shown now, stored with the others of its batch, where the
    // session may -- never under EXAMINE.
    SelectedMailbox& mailbox = context_.mailbox;
    bool flagsChanged = false;
    if ((request_.needs & kMarksSeen) && !mailbox.readOnly && !(entry_.flags & kFlagSeen)) {
        MessageFlags flags = mailbox.view.Flags(index_);
        flags.flags |= kFlagSeen;
        mailbox.view.SetFlags(index_, flags);
        entry_.flags |= kFlagSeen;
        flagsChanged = true;
        if (mailbox.view.permanentFlags & kFlagSeen) seen.push_back(index_);
    }
    if (flagsAsked || flagsChanged) {
        Separate();
        response_.Text("FLAGS " + FlagList(entry_.flags, mailbox.view.ShownKeywords(index_)));
    }
    // Flags go with their mod-sequence once the client counts them, so that it knows how far it is.
    if (request_.modseq || (mailbox.condstore && (flagsAsked || flagsChanged))) {
        Separate();
        response_.Text(Format("MODSEQ (%lu)", {entry_.modseq}));
    }
    response_.Text(")\r\n");
    return Send() ? Outcome::Written : Outcome::Failed;
}

MessageFetch::Outcome MessageFetch::Open() {
    const unsigned needs = request_.needs;
    if (!(needs & (kNeedsContent | kNeedsHeader | kNeedsParse))) return Outcome::Written;
    const StoredMessage::Opened opened = message_.Open(context_.store, *context_.mailbox.folder, entry_.uid);
    // Expunged by another session (or POP3): the others are still answered.
    if (opened == StoredMessage::Opened::Gone) return Outcome::Gone;
    const auto uid = std::uint64_t{entry_.uid};
    if (opened == StoredMessage::Opened::Failed) {
        ImapLog('E', Format("IMAPUtil-SelectMessage:  M5OpenFiledMessage failed with error code %u.  Name:  \"%s\"",
                            {std::uint64_t{m5::M5STS_READ_ERROR}, std::string_view(message_.Failure())}));
        context_.No(Format("Error interpreting message UID #%u", {uid}));
        return Outcome::Failed;
    }
    bool walk = needs & kNeedsParse;
    if (!walk && (needs & kNeedsHeader)) {
        const m5::M5Status status = message_.ReadHeader(context_.parser);
        if (status != m5::M5STS_SUCCESS && status != m5::M5STS_LIMIT_REACHED) {
            ImapLog('E', Format("M5ReadEnvelope failed with error code %u", {std::uint64_t{status}}));
            ImapLog('E', Format("Message at offset %lu in file:  \"%s\"", {std::uint64_t{0}, std::string_view(message_.Path())}));
            context_.No("Error reading message headers");
            return Outcome::Failed;
        }
        // A header past the header-only read's limit: only the whole walk finds where it ends.
        walk = status == m5::M5STS_LIMIT_REACHED;
    }
    if (walk) {
        const m5::M5Status status = message_.Walk(context_.parser);
        if (status != m5::M5STS_SUCCESS && status != m5::M5STS_LIMIT_REACHED) {
            ImapLog('E', Format("IMAPUtil-SelectMessage:  M5OpenFiledMessage failed with error code %u.  Name:  \"%s\"",
                                {std::uint64_t{status}, std::string_view(message_.Path())}));
            context_.No(Format("Error interpreting message UID #%u", {uid}));
            return Outcome::Failed;
        }
    }
    return Outcome::Written;
}

bool MessageFetch::WriteItem(const FetchItem& item) {
    switch (item.row->id) {
    case FetchItemId::Uid: response_.Text(Format("UID %lu", {std::uint64_t{entry_.uid}})); return true;
    case FetchItemId::InternalDate: response_.Text("INTERNALDATE " + InternalDateText(entry_.internalDate)); return true;
    case FetchItemId::Rfc822Size:
        response_.Text(Format("RFC822.SIZE %lu", {entry_.size != 0 || !message_.IsOpen() ? entry_.size : message_.Size()}));
        return true;
    case FetchItemId::Rfc822:
    case FetchItemId::Rfc822Header:
    case FetchItemId::Rfc822Text: return WriteRfc822Part(item.row->id);
    case FetchItemId::Envelope: WriteEnvelope(); return true;
    case FetchItemId::EmailId: return WriteEmailId();
    // Threads have no ids here: NIL, as RFC 8474 lets a server without them answer.
    case FetchItemId::ThreadId: response_.Text("THREADID NIL"); return true;
    case FetchItemId::Body: return WriteStructure(false);
    case FetchItemId::BodyStructure: return WriteStructure(true);
    case FetchItemId::BodySection:
    case FetchItemId::BodyPeek:
    case FetchItemId::Binary:
    case FetchItemId::BinaryPeek:
    case FetchItemId::BinarySize: return WriteSection(item);
    case FetchItemId::Flags:
    case FetchItemId::Modseq: return true;
    }
    return true;
}

bool MessageFetch::WriteRfc822Part(FetchItemId id) {
    if (id == FetchItemId::Rfc822) {
        response_.Text("RFC822 ");
        response_.FileLiteral({0, message_.Size()}, false);
        return true;
    }
    const m5::M5PartDesc* top = message_.Part(0);
    if (top == nullptr) return InternalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
    const std::uint64_t bodyStart = BodyStart(*top);
    const bool header = id == FetchItemId::Rfc822Header;
    response_.Text(header ? "RFC822.HEADER " : "RFC822.TEXT ");
    response_.FileLiteral(header ? Range{0, bodyStart} : Range{bodyStart, message_.Size() - bodyStart}, false);
    return true;
}

void MessageFetch::WriteEnvelope() {
    const m5::M5EnvelopeDesc* envelope = nullptr;
    const m5::M5Status status = m5::M5GetEnvelopeDesc(message_.Structure(), 0, envelope);
    if (status != m5::M5STS_SUCCESS) {
        ImapLog('E', Format("M5 error %u parsing message #%lu:  %s",
                            {std::uint64_t{status}, std::uint64_t{index_ + 1}, std::string_view(message_.Path())}));
    }
    response_.Text("ENVELOPE " + (envelope ? EnvelopeStructure(*envelope) : std::string(kEmptyEnvelope)));
}

bool MessageFetch::WriteEmailId() {
    FileIdentity identity;
    if (Failed(message_.File().Identity(identity))) return InternalError("SendEmailId", "fstat", m5::M5STS_READ_ERROR);
    response_.Text("EMAILID (" + ObjectId('M', identity) + ")");
    return true;
}

bool MessageFetch::WriteStructure(bool extended) {
    std::string structure;
    std::string call;
    if (const m5::M5Status status = WriteBodyStructure(message_.Structure(), 0, extended, structure, call); status != m5::M5STS_SUCCESS) {
        ImapLog('E', Format("%s:  %s() failed with code %u", {std::string_view(extended ? "SendBodyStructure" : "SendMimeStructure"),
                                                              std::string_view(call), std::uint64_t{status}}));
        context_.No("Server internal error with message");
        return false;
    }
    response_.Text(std::string(extended ? "BODYSTRUCTURE " : "BODY ") + structure);
    return true;
}

bool MessageFetch::WriteSection(const FetchItem& item) {
    const FetchItemId id = item.row->id;
    const bool binary = id == FetchItemId::Binary || id == FetchItemId::BinaryPeek || id == FetchItemId::BinarySize;
    SectionData data;
    const FetchSection& section = item.section;
    const bool ready = binary ? BinarySection(section, data) : section.path.empty() ? MessageSection(section, data) : PartSection(section, data);
    if (!ready) return false;
    const std::uint64_t length = data.bytes ? data.bytes->size() : data.range.length;
    if (id == FetchItemId::BinarySize) {
        response_.Text(item.ResponseName() + " " + std::to_string(length));
        return true;
    }
    // A partial fetch: from the origin, at most the count; past the end, nothing.
    std::uint64_t from = 0;
    std::uint64_t count = length;
    if (section.origin) {
        from = std::min(*section.origin, length);
        count = std::min(section.count, length - from);
    }
    response_.Text(item.ResponseName() + " ");
    if (data.bytes) {
        response_.Literal(std::string_view(*data.bytes).substr(static_cast<std::size_t>(from), static_cast<std::size_t>(count)), binary);
    } else {
        response_.FileLiteral({data.range.offset + from, count}, binary);
    }
    return true;
}

// A section of the message itself: all of it, its header (or some of its fields), or its text.
bool MessageFetch::MessageSection(const FetchSection& section, SectionData& data) {
    using Kind = FetchSection::Kind;
    if (section.kind == Kind::Whole) {
        data.range = {0, message_.Size()};
        return true;
    }
    const m5::M5PartDesc* top = message_.Part(0);
    if (top == nullptr) return InternalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
    const std::uint64_t bodyStart = BodyStart(*top);
    if (section.kind == Kind::Text) {
        data.range = {bodyStart, message_.Size() - bodyStart};
        return true;
    }
    data.range = {0, bodyStart};
    return PickHeaderFields(section, data);
}

// A section of a part ("1.2", "1.2.MIME", "2.HEADER"); a part the message does not have is "".
bool MessageFetch::PartSection(const FetchSection& section, SectionData& data) {
    using Kind = FetchSection::Kind;
    std::size_t number = m5::kM5NoPart;
    if (m5::M5FindSection(message_.Structure(), section.path, number) != m5::M5STS_SUCCESS) return true;
    const m5::M5PartDesc* part = message_.Part(number);
    if (part == nullptr) return InternalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
    // HEADER and TEXT of a message/rfc822 part are those of the message it holds.
    const m5::M5PartDesc* inner = part;
    if (part->type == "message" && part->subType == "rfc822" && !part->children.empty()) inner = message_.Part(part->children.front());
    if (inner == nullptr) return InternalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
    const auto headerOf = [](const m5::M5PartDesc& desc) { return Range{desc.header.offset, desc.body.offset - desc.header.offset}; };
    switch (section.kind) {
    case Kind::Whole: data.range = {part->body.offset, part->body.length}; return true;
    case Kind::Mime: data.range = headerOf(*part); return true;
    case Kind::Text: data.range = {inner->body.offset, inner->body.length}; return true;
    default: data.range = headerOf(*inner); return PickHeaderFields(section, data);
    }
}

// HEADER.FIELDS and HEADER.FIELDS.NOT: the fields picked from the header `data` spans; HEADER keeps
// the span.
bool MessageFetch::PickHeaderFields(const FetchSection& section, SectionData& data) {
    using Kind = FetchSection::Kind;
    if (section.kind == Kind::Header) return true;
    std::string header;
    if (!ReadRange(message_.File(), {data.range.offset, std::min(data.range.length, kMaxHeaderSection)}, header)) {
        ImapLog('E', Format("M5ReadEnvelope failed with error code %u", {std::uint64_t{m5::M5STS_READ_ERROR}}));
        context_.No("Error reading message envelope");
        return false;
    }
    data.bytes = PickFields(header, section.fields, section.kind == Kind::HeaderFieldsNot);
    return true;
}

// BINARY: the part decoded from its transfer encoding.
bool MessageFetch::BinarySection(const FetchSection& section, SectionData& data) {
    if (section.path.empty()) {
        data.range = {0, message_.Size()};
        return true;
    }
    std::size_t number = m5::kM5NoPart;
    if (m5::M5FindSection(message_.Structure(), section.path, number) != m5::M5STS_SUCCESS) return true;
    const m5::M5PartDesc* part = message_.Part(number);
    if (part == nullptr) return InternalError("SendMimePart", "M5GetMimeDesc", m5::M5STS_INVALID_HANDLE);
    if (!part->multipart && m5::M5EncodingOf(part->encoding) == m5::M5Encoding::Unknown) {
        const std::string which = uidCommand_ ? Format("UID %lu", {std::uint64_t{entry_.uid}}) : Format("number %lu", {std::uint64_t{index_ + 1}});
        context_.No(Format("[UNKNOWN-CTE] could not decode \"%s\" part of message %s", {std::string_view(section.text), std::string_view(which)}));
        return false;
    }
    std::string decoded;
    if (const m5::M5Status status = m5::M5GetPartBody(message_.Structure(), number, m5::M5Delivery::Decoded, decoded);
        status != m5::M5STS_SUCCESS) {
        return InternalError("SendMimePart", "M5GetPartBody", status);
    }
    data.bytes = std::move(decoded);
    return true;
}

bool MessageFetch::InternalError(std::string_view unit, std::string_view call, m5::M5Status status) {
    ImapLog('E', Format("%s:  %s() failed with code %u", {unit, call, std::uint64_t{status}}));
    const std::string which = uidCommand_ ? Format("UID %lu", {std::uint64_t{entry_.uid}}) : Format("#%lu", {std::uint64_t{index_ + 1}});
    context_.No(Format("Server internal error with message %s", {std::string_view(which)}));
    return false;
}

bool MessageFetch::Send() {
    context_.replies.Connection().Write(Format("* %lu FETCH (", {std::uint64_t{index_ + 1}}));
    for (Response::Piece& piece : response_.pieces) {
        context_.replies.Connection().Write(piece.text);
        if (piece.file.length != 0 && !SendFileRange(context_, message_.File(), piece.file.offset, piece.file.length)) return false;
    }
    return true;
}

// Stores \Seen for messages (by index) with one flush of the folder for all of them.
void StoreSeen(CommandContext& context, std::vector<std::size_t>& indexes) {
    if (indexes.empty()) return;
    SelectedMailbox& mailbox = context.mailbox;
    MessageVector& view = mailbox.view;
    std::vector<std::uint32_t> uids;
    for (const std::size_t index : indexes) uids.push_back(view.Uid(index));
    std::string failure;
    FlagChange change;
    change.add = kFlagSeen;
    change.flushLater = true;  // one flush before the command's reply (FetchCommand)
    auto stored = context.store.ChangeFlags(*mailbox.folder, uids, change, failure);
    if (stored.empty()) {
        ImapLog('W', "Messages could not be marked read:  " + failure);
        // The client was shown \Seen: it hears the flags the store still holds.
        for (const std::size_t index : indexes) {
            stored.emplace_back(StoredFlags{view.Entry(index).stored, view.StoredKeywords(index)});
        }
    }
    const auto mask = static_cast<std::uint16_t>(view.permanentFlags & kStorableFlags);
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (!stored[i]) continue;
        MessageFlags entry = view.Flags(indexes[i]);
        const std::uint16_t shown = entry.flags;
        entry.stored = stored[i]->bits;
        entry.flags = static_cast<std::uint16_t>((entry.flags & ~mask) | (stored[i]->bits & mask));
        const bool newKeywords = view.permanentKeywords && entry.storedKeywords != stored[i]->keywords;
        if (newKeywords) entry.storedKeywords = entry.keywords = stored[i]->keywords;
        view.SetFlags(indexes[i], entry);
        if (newKeywords) mailbox.AnnounceKeywords(stored[i]->keywords);
        // Another session's flags, added meanwhile, are news to this client.
        if (entry.flags != shown) mailbox.SendFlags(indexes[i]);
    }
    indexes.clear();
}

}  // namespace

void Fetch(CommandContext& context) {
    const Command& command = context.command;
    MessageVector& view = context.mailbox.view;
    std::string diagnostic;
    if (!view.Select(command.arguments[0].text, command.uid, diagnostic)) return context.Bad(diagnostic);
    FetchRefusal refusal;
    const auto request = ParseFetchItems(command.arguments[1], refusal);
    if (!request) {
        if (!refusal.logLine.empty()) ImapLog('E', refusal.logLine);
        return refusal.bad ? context.Bad(refusal.reply) : context.No(refusal.reply);
    }
    // Modifiers: (CHANGEDSINCE modseq [VANISHED]).
    std::optional<std::uint64_t> changedSince;
    bool vanished = false;
    if (command.arguments.size() > 2) {
        const Argument& modifiers = command.arguments[2];
        if (modifiers.kind != ArgumentKind::List || command.arguments.size() > 3) return context.Bad("FETCH modifiers are one list");
        // The reader reads the words after FETCH's items as it reads items.
        const auto isWord = [](const Argument& argument) { return argument.kind == ArgumentKind::Atom || argument.kind == ArgumentKind::FetchAttribute; };
        for (std::size_t i = 0; i < modifiers.items.size(); ++i) {
            const Argument& word = modifiers.items[i];
            if (isWord(word) && EqualsNoCase(word.text, "CHANGEDSINCE") && !changedSince && i + 1 < modifiers.items.size() &&
                isWord(modifiers.items[i + 1])) {
                changedSince = ParseModseq(modifiers.items[++i].text, false);
                if (!changedSince) return context.Bad("Invalid CHANGEDSINCE mod-sequence");
            } else if (isWord(word) && EqualsNoCase(word.text, "VANISHED") && !vanished) {
                vanished = true;
            } else {
                return context.Bad("Unknown FETCH modifier");
            }
        }
        if (vanished && (!command.uid || !changedSince || !context.mailbox.qresync)) {
            return context.Bad("VANISHED needs UID FETCH, CHANGEDSINCE and QRESYNC enabled");
        }
    }
    FetchRequest items = *request;
    items.modseq = items.modseq || changedSince.has_value();
    if (items.modseq) context.mailbox.EnableCondstore();
    if (vanished) {
        // Removals since the client's mod-sequence among the UIDs it names (all it names that are not
        // here, where the index no longer remembers that far back).
        // "*" reaches the last UID given, not the last one still here: "1:*" asks for every removal.
        const std::uint32_t star = std::max(view.LastUid(), view.uidNext - 1);
        const auto named = ParseNumberSet(command.arguments[0].text, star);
        std::optional<NumberRanges> removed;
        try {
            removed = context.store.VanishedSince(*context.mailbox.folder, *changedSince);
        } catch (const ComError& error) {
            ImapLog('E', std::string("Fetch:  ") + error.what());
        }
        NumberRanges candidates;
        if (named) {
            const NumberRanges wanted = Normalized(*named);
            if (!removed) removed = NumberRanges{{1, view.uidNext > 1 ? view.uidNext - 1 : 1}};
            for (const auto& [low, high] : *removed) {
                for (const auto& [wantedLow, wantedHigh] : wanted) {
                    const std::uint32_t first = std::max(low, wantedLow);
                    const std::uint32_t last = std::min({high, wantedHigh, view.uidNext > 1 ? view.uidNext - 1 : 0u});
                    if (first <= last) candidates.emplace_back(first, last);
                }
            }
        }
        if (const std::string gone = MissingUids(Normalized(std::move(candidates)), view); !gone.empty()) {
            context.Untagged("VANISHED (EARLIER) " + gone);
        }
    }
    if ((items.needs & (kNeedsParse | kNeedsHeader)) && !context.parser.Open()) return context.No("Server internal error with message");
    std::vector<std::size_t> seen;
    std::size_t gone = 0;
    bool marked = false;  // \Seen stored, to be flushed before the reply
    for (std::size_t i = 0; i < view.Count(); ++i) {
        if (!view.IsSelected(i)) continue;
        if (changedSince && view.Modseq(i) <= *changedSince) continue;
        const MessageFetch::Outcome outcome = MessageFetch(context, items, i).Run(seen);
        if (outcome == MessageFetch::Outcome::Failed) break;
        if (outcome == MessageFetch::Outcome::Gone) ++gone;
        marked = marked || !seen.empty();
        if (seen.size() >= kSeenBatch) StoreSeen(context, seen);
    }
    StoreSeen(context, seen);
    if (std::string failure; marked && !context.store.FlushFlags(*context.mailbox.folder, failure)) {
        ImapLog('W', "Messages could not be marked read:  " + failure);
    }
    view.Recount();
    if (gone != 0) context.No("[EXPUNGEISSUED] Some of the requested messages no longer exist");
    if (!context.replies.Settled()) context.SetReply("OK FETCH completed");
}

}  // namespace pw::imap::commands
