// Message: an Internet message as the server reads and builds it -- a header block, a body (or, for a
// multipart message, the preamble before its first delimiter) and a tree of MessageParts.
//
// Load takes the whole content into memory once; parts refer to ranges of it. The header ends at the
// first blank line (CR LF CR LF, or LF LF from mailers that write bare line feeds); a message without
// one is all header with an empty body. A MIME message ("MIME-Version:") of a multipart type carrying a
// boundary is split into parts at its delimiter lines, recursively for multipart parts; a delimiter
// is "--BOUNDARY" at the start of a line, followed by "--" (the close), blanks or the line's end, so a
// boundary that is the prefix of another never matches it. Loading stops with failure, keeping the
// parts found, when a part has no blank line after its header, a closing delimiter is missing, or a
// limit of MimeLimits.h is passed. Every search starts where the last one ended (or, for a nested
// part, at most kMaxPartDepth levels re-read), so the time is linear in the message size.
// Save writes the header and the body, or the parts between delimiters; a message given several parts
// becomes multipart/mixed with MIME-Version 1.0. Stored contents are never rewritten by loading.
// Thread safety: one thread at a time per message.
#pragma once

#include "mime/Codecs.h"
#include "mime/HeaderBlock.h"
#include "mime/HeaderFieldAccess.h"
#include "mime/MessagePart.h"
#include "platform/ClassRegistry.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::mime {

enum MessagePriority {
    PriorityNone = 0,
    PriorityHighest = 1,
    PriorityHigh = 2,
    PriorityNormal = 3,
    PriorityLow = 4,
    PriorityLowest = 5,
};

// Where a part sits: the indexes from the top-level list down. Empty: no part (or, as a parent, the
// top-level list).
using PartPosition = std::vector<std::size_t>;

extern const Guid kMessageClassId;

class Message : public Unknown, public PersistStream, public HeaderFieldAccess<Message> {
public:
    // Header fields by their everyday names.
    std::string To() const { return header_.Field("To"); }
    void SetTo(std::string_view value) { header_.SetField("To", value); }
    std::string From() const { return header_.Field("From"); }
    void SetFrom(std::string_view value) { header_.SetField("From", value); }
    std::string Subject() const { return header_.Field("Subject"); }
    void SetSubject(std::string_view value) { header_.SetField("Subject", value); }
    std::string CC() const { return header_.Field("Cc"); }
    void SetCC(std::string_view value) { header_.SetField("Cc", value); }
    std::string Date() const { return header_.Field("Date"); }
    void SetDate(std::string_view value) { header_.SetField("Date", value); }
    std::string ReplyTo() const { return header_.Field("Reply-To"); }
    void SetReplyTo(std::string_view value) { header_.SetField("Reply-To", value); }
    std::string MessageID() const { return header_.Field("Message-ID"); }
    void SetMessageID(std::string_view value) { header_.SetField("Message-ID", value); }

    // HeaderField, SetHeaderField, CountHeaderFields, HeaderFieldAt: HeaderFieldAccess.
    std::size_t CountHeaderField(std::string_view name) const { return header_.CountField(name); }
    // The whole header block, ending with its blank line.
    std::string Header() const { return header_.Text() + "\r\n"; }
    void SetHeader(std::string_view text) { header_.Parse(text); }
    HeaderBlock& Headers() { return header_; }
    const HeaderBlock& Headers() const { return header_; }

    bool IsMimeEncoded() const { return header_.Has("MIME-Version"); }
    // Bytes of the loaded content.
    std::size_t Size() const { return size_; }

    // The body of a single-part message, or the preamble of a multipart one.
    std::string BodyText() const;
    // Makes the message a simple one with this body (its parts go).
    void SetBodyText(std::string_view text);

    std::size_t CountParts() const { return parts_.size(); }
    std::size_t CountChildParts(const PartPosition& position) const;
    PartPosition RootPartPosition() const;
    PartPosition NextPartPosition(const PartPosition& position) const;
    PartPosition FirstChildPartPosition(const PartPosition& position) const;
    // nullptr when there is no part there.
    std::shared_ptr<MessagePart> GetPart(const PartPosition& position) const;
    // Appends the part below parent (the top-level list for an empty parent); its position.
    PartPosition AddPart(const PartPosition& parent, std::shared_ptr<MessagePart> part);
    bool RemovePart(const PartPosition& position);
    // The first part after start (from the beginning for an empty start), depth first, whose type is
    // contentType: "text/plain" matches that type, "text" every text part.
    PartPosition SearchForPart(std::string_view contentType, const PartPosition& start) const;
    // A new multipart part ("Alternative" or "multipart/alternative") with the given boundary or a
    // made-up one.
    PartPosition AddMultipartPart(const PartPosition& parent, std::string_view contentType, std::string_view boundary);
    // Parts that count as attachments (MessagePart::IsAttachment), of a type as in SearchForPart
    // (every type for an empty one).
    std::size_t CountAttachments(std::string_view contentType) const;

    // ContentType, ContentSubType, ContentSubTypeParameters, SetContentType, ContentTransferEncoding,
    // SetContentTransferEncoding: HeaderFieldAccess.
    // "Multipart/SUBTYPE" with the boundary "----MainPart_%x_%x".
    void SetMultipartContentType(std::string_view subType);

    MessagePriority Priority() const;
    void SetPriority(MessagePriority priority);

    bool HeaderOnly() const { return headerOnly_; }
    void SetHeaderOnly(bool value) { headerOnly_ = value; }
    bool RawBody() const { return rawBody_; }
    void SetRawBody(bool value) { rawBody_ = value; }

    // "<%e%d.%u@%s>": now as an automation date, the thread, a process-wide counter, the machine.
    std::string MakeMessageID(std::string_view machine);
    std::string EncodeWord(std::string_view charset, EncodedWordType type, std::string_view raw) const {
        return mime::EncodeWord(charset, type, raw);
    }
    DecodedWord DecodeWord(std::string_view word) const { return mime::DecodeWord(word); }
    bool IsEncodedWord(std::string_view word) const { return mime::IsEncodedWord(word); }

    // Reads the header block only.
    HRESULT LoadHeader(Stream& stream);

    // PersistStream: the message content (an envelope's ".eml").
    Guid ClassId() const override { return kMessageClassId; }
    // E_FAIL when the content is damaged (the parts found are kept).
    HRESULT Load(Stream& stream) override;
    HRESULT Save(Stream& stream) override;
    HRESULT LoadBytes(std::string content);
    std::string SaveToString();

private:
    friend class HeaderFieldAccess<Message>;

    MessagePart::Children* ChildList(const PartPosition& parent);
    void Clear();

    HeaderBlock header_;
    std::string bodyText_;
    MessagePart::Children parts_;
    std::shared_ptr<const std::string> source_;
    std::size_t size_ = 0;
    bool headerOnly_ = false;
    bool rawBody_ = false;
};

void RegisterMimeClasses(ClassRegistry& registry);

}  // namespace pw::mime
