// Message: loading into parts, saving, the part tree, priority and identifiers.
#include "mime/Message.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <optional>
#include <unistd.h>

#include "mime/Address.h"
#include "mime/MessageDate.h"
#include "mime/MimeLimits.h"
#include "mime/MimeSyntax.h"
#include "platform/Text.h"

namespace pw::mime {

const Guid kMessageClassId{0x5D0E7A11, 0x93B4, 0x4F6C, {0xA8, 0x1D, 0x26, 0x7F, 0xC3, 0x40, 0x9B, 0x5E}};

namespace {

constexpr std::size_t kNone = std::string_view::npos;

struct Delimiter {
    std::size_t lineBreak;  // where the line break before the delimiter starts: the end of what precedes it
    std::size_t after;      // where the delimiter line's content ends
    bool closing;
};

// The first delimiter line of `boundary` at or after `from` (ClassifyDelimiterLine decides).
std::optional<Delimiter> FindDelimiter(std::string_view data, std::size_t from, std::string_view boundary, std::size_t floor) {
    const std::string marker = "--" + std::string(boundary);
    for (std::size_t pos = data.find(marker, from); pos != kNone; pos = data.find(marker, pos + 1)) {
        if (pos != 0 && data[pos - 1] != '\n') continue;
        const std::size_t end = std::min(data.find_first_of("\r\n", pos), data.size());
        const DelimiterKind kind = ClassifyDelimiterLine(data.substr(pos, end - pos), boundary);
        if (kind == DelimiterKind::None) continue;
        std::size_t lineBreak = pos;
        if (lineBreak > 0 && data[lineBreak - 1] == '\n') --lineBreak;
        if (lineBreak > 0 && data[lineBreak - 1] == '\r') --lineBreak;
        return Delimiter{std::max(lineBreak, floor), end, kind == DelimiterKind::Close};
    }
    return std::nullopt;
}

// The offset after the end of the line that holds `from`; kNone when the line does not end.
std::size_t NextLine(std::string_view data, std::size_t from) {
    const std::size_t end = data.find('\n', from);
    return end == kNone ? kNone : end + 1;
}

// Splits the parts of multipart bodies, one level per call, never deeper than kMaxPartDepth.
class PartParser {
public:
    explicit PartParser(std::shared_ptr<const std::string> source) : source_(std::move(source)), data_(*source_) {}

    std::optional<Delimiter> First(std::size_t from, std::string_view boundary) const {
        return FindDelimiter(data_, from, boundary, from);
    }

    // Parses the parts after the delimiter `at` into list; `end` receives the offset after the closing
    // delimiter's line. False when the parts end before their closing delimiter or a limit is passed.
    bool Parse(Delimiter at, std::string_view boundary, MessagePart::Children& list, std::size_t depth, std::size_t& end) {
        for (;;) {
            if (at.closing) {
                end = NextLine(data_, at.after);
                if (end == kNone) end = data_.size();
                return true;
            }
            const std::size_t headerStart = NextLine(data_, at.after);
            if (headerStart == kNone) return false;
            const std::size_t headerEnd = FindHeaderEnd(data_, headerStart);
            if (headerEnd == kNone || ++parts_ > kMaxParts) return false;
            HeaderBlock header;
            if (!header.Parse(data_.substr(headerStart, headerEnd - headerStart))) return false;
            const std::string childBoundary = header.IsMultipart() ? header.Boundary() : std::string();
            std::size_t searchFrom = headerEnd;
            if (!childBoundary.empty()) {
                if (depth >= kMaxPartDepth) return false;
                const auto firstChild = First(headerEnd, childBoundary);
                if (!firstChild) return false;
                auto part = MessagePart::FromLoaded(source_, std::move(header), headerEnd, 0);
                part->SetPreamble(std::string(data_.substr(headerEnd, firstChild->lineBreak - headerEnd)));
                list.push_back(part);
                if (!Parse(*firstChild, childBoundary, part->Parts(), depth + 1, searchFrom)) return false;
            }
            const auto next = FindDelimiter(data_, searchFrom, boundary, searchFrom);
            if (!next) return false;
            if (childBoundary.empty()) {
                list.push_back(MessagePart::FromLoaded(source_, std::move(header), headerEnd, next->lineBreak - headerEnd));
            }
            at = *next;
        }
    }

private:
    std::shared_ptr<const std::string> source_;
    std::string_view data_;
    std::size_t parts_ = 0;
};

unsigned long long TickCount() {
    return static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

void WritePart(std::string& out, const MessagePart& part) {
    out += part.HeaderText();
    out += "\r\n";
    const std::string boundary = part.MimeBoundry();
    // A multipart part without children (it closed at once) is still written with its closing delimiter.
    if (boundary.empty() || (part.Parts().empty() && !part.IsMultipart())) {
        out += part.EncodedBody();
        return;
    }
    out += part.Preamble();
    for (const auto& child : part.Parts()) {
        out += "\r\n--" + boundary + "\r\n";
        WritePart(out, *child);
    }
    out += "\r\n--" + boundary + "--\r\n";
}

bool TypeMatches(const MessagePart& part, std::string_view wanted) {
    if (wanted.empty()) return true;
    const std::string full = part.ContentType() + "/" + part.ContentSubType();
    if (wanted.find('/') == std::string_view::npos) return EqualsNoCase(part.ContentType(), wanted);
    return EqualsNoCase(full, wanted);
}

// Depth-first order of every part, with positions.
void Walk(const MessagePart::Children& list, PartPosition& position,
          std::vector<std::pair<PartPosition, const MessagePart*>>& out) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        position.push_back(i);
        out.emplace_back(position, list[i].get());
        Walk(list[i]->Parts(), position, out);
        position.pop_back();
    }
}

std::string PriorityWord(MessagePriority priority) {
    if (priority <= PriorityHigh) return "high";
    if (priority == PriorityNormal) return "normal";
    return "low";
}

}  // namespace

void Message::Clear() {
    header_ = HeaderBlock();
    bodyText_.clear();
    parts_.clear();
    source_.reset();
    size_ = 0;
}

HRESULT Message::Load(Stream& stream) {
    std::vector<std::byte> bytes;
    if (const HRESULT hr = ReadToEnd(stream, bytes); Failed(hr)) return hr;
    return LoadBytes(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

HRESULT Message::LoadHeader(Stream& stream) {
    const bool headerOnly = headerOnly_;
    headerOnly_ = true;
    const HRESULT hr = Load(stream);
    headerOnly_ = headerOnly;
    return hr;
}

HRESULT Message::LoadBytes(std::string content) {
    Clear();
    size_ = content.size();
    source_ = std::make_shared<const std::string>(std::move(content));
    const std::string_view data = *source_;
    std::size_t headerEnd = FindHeaderEnd(data);
    // No blank line: the message is all header.
    if (headerEnd == kNone) headerEnd = data.size();
    if (!header_.Parse(data.substr(0, headerEnd))) return E_FAIL;
    if (headerOnly_) return S_OK;
    const std::string_view rest = data.substr(headerEnd);
    if (rawBody_ || !IsMimeEncoded()) {
        bodyText_ = std::string(rest);
        return S_OK;
    }
    // As for nested parts, only a multipart type splits: a boundary parameter on another type is not one.
    const std::string boundary = header_.IsMultipart() ? header_.Boundary() : std::string();
    if (boundary.empty()) {
        parts_.push_back(MessagePart::FromLoaded(source_, header_, headerEnd, rest.size()));
        return S_OK;
    }
    PartParser parser(source_);
    const auto first = parser.First(headerEnd, boundary);
    if (!first) {
        bodyText_ = std::string(rest);
        return E_FAIL;
    }
    // No part before the closing delimiter: the body is kept whole so that it is saved with that close.
    if (first->closing) {
        bodyText_ = std::string(rest);
        return S_OK;
    }
    bodyText_ = std::string(data.substr(headerEnd, first->lineBreak - headerEnd));
    std::size_t end = 0;
    return parser.Parse(*first, boundary, parts_, 1, end) ? S_OK : E_FAIL;
}

std::string Message::SaveToString() {
    std::string out;
    const bool multipart = header_.IsMultipart() && !header_.Boundary().empty();
    if (parts_.size() > 1 && !multipart) {
        header_.SetField("MIME-Version", "1.0");
        SetMultipartContentType("mixed");
    } else if (parts_.size() == 1 && !multipart) {
        header_.SetField("MIME-Version", "1.0");
        const HeaderBlock& part = parts_.front()->Header();
        for (const char* name : {"Content-Type", "Content-Transfer-Encoding", "Content-Disposition"}) {
            if (part.Has(name)) header_.SetField(name, part.Field(name));
        }
    }
    out += Header();
    out += bodyText_;
    // A multipart type without a boundary was loaded as one part: its body is written, not dropped.
    if (parts_.size() == 1 && !(header_.IsMultipart() && !header_.Boundary().empty())) {
        out += parts_.front()->EncodedBody();
        return out;
    }
    const std::string boundary = header_.Boundary();
    if (parts_.empty() || boundary.empty()) return out;
    for (const auto& part : parts_) {
        out += "\r\n--" + boundary + "\r\n";
        WritePart(out, *part);
    }
    out += "\r\n--" + boundary + "--\r\n\r\n\r\n";
    return out;
}

HRESULT Message::Save(Stream& stream) {
    try {
        return stream.Write(SaveToString());
    } catch (const ComError& error) {
        return error.Code();
    }
}

std::string Message::BodyText() const {
    if (bodyText_.empty() && parts_.size() == 1 && !(header_.IsMultipart() && !header_.Boundary().empty())) {
        return parts_.front()->EncodedBody();
    }
    return bodyText_;
}

void Message::SetBodyText(std::string_view text) {
    if (!header_.IsMultipart()) parts_.clear();
    bodyText_ = std::string(text);
}

MessagePart::Children* Message::ChildList(const PartPosition& parent) {
    if (parent.empty()) return &parts_;
    const auto part = GetPart(parent);
    return part ? &part->Parts() : nullptr;
}

std::size_t Message::CountChildParts(const PartPosition& position) const {
    if (position.empty()) return parts_.size();
    const auto part = GetPart(position);
    return part ? part->Parts().size() : 0;
}

PartPosition Message::RootPartPosition() const { return parts_.empty() ? PartPosition{} : PartPosition{0}; }

PartPosition Message::NextPartPosition(const PartPosition& position) const {
    if (position.empty()) return {};
    PartPosition next = position;
    ++next.back();
    return GetPart(next) ? next : PartPosition{};
}

PartPosition Message::FirstChildPartPosition(const PartPosition& position) const {
    const auto part = GetPart(position);
    if (!part || part->Parts().empty()) return {};
    PartPosition child = position;
    child.push_back(0);
    return child;
}

std::shared_ptr<MessagePart> Message::GetPart(const PartPosition& position) const {
    const MessagePart::Children* list = &parts_;
    std::shared_ptr<MessagePart> part;
    for (const std::size_t index : position) {
        if (!list || index >= list->size()) return nullptr;
        part = (*list)[index];
        list = &part->Parts();
    }
    return part;
}

PartPosition Message::AddPart(const PartPosition& parent, std::shared_ptr<MessagePart> part) {
    auto* list = ChildList(parent);
    if (!list || !part) throw ComError(E_INVALIDARG, "no such parent part");
    list->push_back(std::move(part));
    PartPosition position = parent;
    position.push_back(list->size() - 1);
    return position;
}

bool Message::RemovePart(const PartPosition& position) {
    if (position.empty()) return false;
    PartPosition parent(position.begin(), position.end() - 1);
    auto* list = ChildList(parent);
    if (!list || position.back() >= list->size()) return false;
    list->erase(list->begin() + static_cast<std::ptrdiff_t>(position.back()));
    return true;
}

PartPosition Message::SearchForPart(std::string_view contentType, const PartPosition& start) const {
    std::vector<std::pair<PartPosition, const MessagePart*>> order;
    PartPosition scratch;
    Walk(parts_, scratch, order);
    bool after = start.empty();
    for (const auto& [position, part] : order) {
        if (!after) {
            after = position == start;
            continue;
        }
        if (TypeMatches(*part, contentType)) return position;
    }
    return {};
}

PartPosition Message::AddMultipartPart(const PartPosition& parent, std::string_view contentType, std::string_view boundary) {
    std::string_view subType = TrimAscii(contentType);
    if (StartsWithNoCase(subType, "multipart/")) subType.remove_prefix(10);
    auto* list = ChildList(parent);
    if (!list) throw ComError(E_INVALIDARG, "no such parent part");
    auto part = std::make_shared<MessagePart>();
    static std::atomic<unsigned> lists{0};
    const std::string made = Format("--NextPart_%x_%x", {std::uint64_t{++lists}, std::uint64_t{TickCount()}});
    part->SetMultipartContentType(subType.empty() ? "Mixed" : subType, boundary.empty() ? std::string_view(made) : boundary);
    return AddPart(parent, std::move(part));
}

std::size_t Message::CountAttachments(std::string_view contentType) const {
    std::vector<std::pair<PartPosition, const MessagePart*>> order;
    PartPosition scratch;
    Walk(parts_, scratch, order);
    std::size_t count = 0;
    for (const auto& entry : order) {
        const MessagePart& part = *entry.second;
        if (part.Parts().empty() && part.IsAttachment() && TypeMatches(part, contentType)) ++count;
    }
    return count;
}

void Message::SetMultipartContentType(std::string_view subType) {
    const std::string boundary = Format("----MainPart_%x_%x", {std::uint64_t{TickCount()},
                                                                std::uint64_t{static_cast<unsigned long long>(std::time(nullptr))}});
    header_.SetField("Content-Type", "Multipart/" + std::string(subType) + "; boundary=\"" + boundary + "\"");
}

MessagePriority Message::Priority() const {
    if (header_.Has("X-Priority")) {
        const std::string value = ToLowerAscii(header_.Field("X-Priority"));
        const auto has = [&](std::string_view text) { return value.find(text) != std::string::npos; };
        if (has("1") || has("highest")) return PriorityHighest;
        if (has("2") || has("high")) return PriorityHigh;
        if (has("3") || has("normal")) return PriorityNormal;
        if (has("4")) return PriorityLow;
        if (has("5") || has("lowest")) return PriorityLowest;
        if (has("low")) return PriorityLow;
    }
    for (const char* name : {"Importance", "X-MSMail-Priority"}) {
        if (!header_.Has(name)) continue;
        const std::string value = ToLowerAscii(header_.Field(name));
        if (value.find("high") != std::string::npos) return PriorityHighest;
        if (value.find("normal") != std::string::npos) return PriorityNormal;
        if (value.find("low") != std::string::npos) return PriorityLowest;
    }
    return PriorityNone;
}

void Message::SetPriority(MessagePriority priority) {
    if (priority < PriorityHighest || priority > PriorityLowest) return;
    static constexpr const char* kXPriority[] = {"", "1 (Highest)", "2 (High)", "3 (Normal)", "4 (Low)", "5 (Lowest)"};
    const bool importance = header_.Has("Importance");
    const bool msMail = header_.Has("X-MSMail-Priority");
    if (importance) header_.SetField("Importance", PriorityWord(priority));
    if (msMail) header_.SetField("X-MSMail-Priority", PriorityWord(priority));
    if (header_.Has("X-Priority") || (!importance && !msMail)) header_.SetField("X-Priority", kXPriority[priority]);
}

std::string Message::MakeMessageID(std::string_view machine) { return mime::MakeMessageID(machine); }

void RegisterMimeClasses(ClassRegistry& registry) {
    registry.Register({kMessageClassId, "Pellworth.Message", "Message", [] { return std::make_shared<Message>(); }});
    registry.Register({kMessagePartClassId, "Pellworth.MessagePart", "MessagePart", [] { return std::make_shared<MessagePart>(); }});
    registry.Register({kAddressClassId, "Pellworth.Address", "Address", [] { return std::make_shared<Address>(); }});
}

}  // namespace pw::mime
