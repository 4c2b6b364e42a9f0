// MessagePart: one MIME part -- its header block, its body and, when it is multipart, its children.
//
// A part read from a message refers to a range of the message's loaded bytes (shared, never copied)
// and writes those bytes back unchanged. A part built by a caller owns its content -- text, bytes or
// an open file -- and encodes it by its Content-Transfer-Encoding when the message is saved.
// Thread safety: a part belongs to one message and is used by one thread at a time.
#pragma once

#include "mime/HeaderBlock.h"
#include "mime/HeaderFieldAccess.h"
#include "platform/FileStream.h"
#include "platform/Guid.h"
#include "platform/Unknown.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::mime {

class MessagePart : public Unknown, public HeaderFieldAccess<MessagePart> {
public:
    using Children = std::vector<std::shared_ptr<MessagePart>>;

    // A part read from loaded bytes: the header text and the body range.
    static std::shared_ptr<MessagePart> FromLoaded(std::shared_ptr<const std::string> source, HeaderBlock header,
                                                   std::size_t bodyOffset, std::size_t bodyLength);

    HeaderBlock& Header() { return header_; }
    const HeaderBlock& Header() const { return header_; }
    std::string HeaderText() const { return header_.Text(); }
    void SetHeaderText(std::string_view text) { header_.Parse(text); }
    // HeaderField, SetHeaderField, CountHeaderFields, HeaderFieldAt: HeaderFieldAccess.

    std::string MimeBoundry() const { return header_.Boundary(); }
    // ContentType, ContentSubType, ContentSubTypeParameters, SetContentType, ContentTransferEncoding,
    // SetContentTransferEncoding: HeaderFieldAccess.
    std::string ContentDescription() const { return header_.Field("Content-Description"); }
    void SetContentDescription(std::string_view text) { header_.SetField("Content-Description", text); }
    std::string ContentID() const { return header_.Field("Content-ID"); }
    void SetContentID(std::string_view id) { header_.SetField("Content-ID", id); }
    std::string ContentDisposition() const { return header_.Field("Content-Disposition"); }
    // "Attachment; filename=\"NAME\"" (the file name only when one is given).
    void SetContentDisposition(std::string_view type, std::string_view fileName);
    // "Multipart/SUBTYPE; boundary=\"BOUNDARY\"".
    void SetMultipartContentType(std::string_view subType, std::string_view boundary);
    bool IsMultipart() const { return header_.IsMultipart(); }
    // Does the part count as an attachment (a disposition of "attachment", or a file name)?
    bool IsAttachment() const;

    // The body as it is written: loaded bytes as they stand, owned content encoded.
    std::string EncodedBody() const;
    // The body decoded by its transfer encoding.
    std::string DecodedBody() const;
    void DecodeToStream(Stream& stream) const;
    void DecodeToFile(const std::string& path) const;

    // Content built by callers (throw ComError on failure, adding nothing).
    // The file's bytes, base64, as an attachment named NAME (default: the file's own name); type
    // "application" and subtype "octet-stream" when not given.
    void AttachFile(const std::string& path, std::string_view name, std::string_view type, std::string_view subType);
    // Text, "text/SUBTYPE" ("plain"), with the charset parameter when given, encoded by ENCODING
    // ("quoted-printable" when not given).
    void AttachText(std::string_view text, std::string_view subType, std::string_view encoding, std::string_view charset);
    // Bytes that are already what the body must hold; written unchanged.
    void AttachRaw(std::string_view bytes);
    void AttachStream(Stream& stream);
    void AttachString(std::string_view content) { AttachRaw(content); }

    // The text between the header and the first child delimiter of a multipart part.
    const std::string& Preamble() const { return preamble_; }
    void SetPreamble(std::string preamble) { preamble_ = std::move(preamble); }
    Children& Parts() { return children_; }
    const Children& Parts() const { return children_; }

private:
    friend class HeaderFieldAccess<MessagePart>;

    enum class Content { Loaded, Raw, Encode, File };

    std::string OwnedBytes() const;

    HeaderBlock header_;
    Content content_ = Content::Raw;
    std::shared_ptr<const std::string> source_;
    std::size_t offset_ = 0;
    std::size_t length_ = 0;
    std::string data_;
    std::shared_ptr<FileStream> file_;
    std::string fileName_;
    std::string preamble_;
    Children children_;
};

// The part classes of the class registry ("Pellworth.MessagePart").
extern const Guid kMessagePartClassId;

}  // namespace pw::mime
