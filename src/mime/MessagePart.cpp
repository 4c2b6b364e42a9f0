// MessagePart: bodies read from a message or built by callers.
#include "mime/MessagePart.h"

#include "mime/Codecs.h"
#include "platform/DirStorage.h"
#include "platform/Text.h"

namespace pw::mime {

const Guid kMessagePartClassId{0x5D0E7A12, 0x93B4, 0x4F6C, {0xA8, 0x1D, 0x26, 0x7F, 0xC3, 0x40, 0x9B, 0x5E}};

namespace {

struct SplitPath {
    DirStorage directory;
    std::string name;
};

SplitPath Split(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {DirStorage("./"), path};
    return {DirStorage(path.substr(0, slash + 1)), path.substr(slash + 1)};
}

// A name placed in a quoted header parameter: quotes, backslashes and control characters dropped.
std::string QuotableName(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= ' ' && c != 0x7F) out += c;
    }
    return out;
}

}  // namespace

std::shared_ptr<MessagePart> MessagePart::FromLoaded(std::shared_ptr<const std::string> source, HeaderBlock header,
                                                     std::size_t bodyOffset, std::size_t bodyLength) {
    auto part = std::make_shared<MessagePart>();
    part->header_ = std::move(header);
    part->content_ = Content::Loaded;
    part->source_ = std::move(source);
    part->offset_ = bodyOffset;
    part->length_ = bodyLength;
    return part;
}

void MessagePart::SetContentDisposition(std::string_view type, std::string_view fileName) {
    std::string value(type);
    if (!fileName.empty()) value += "; filename=\"" + QuotableName(fileName) + "\"";
    header_.SetField("Content-Disposition", value);
}

void MessagePart::SetMultipartContentType(std::string_view subType, std::string_view boundary) {
    header_.SetField("Content-Type", "Multipart/" + std::string(subType) + "; boundary=\"" + QuotableName(boundary) + "\"");
}

bool MessagePart::IsAttachment() const {
    if (StartsWithNoCase(TrimAscii(ContentDisposition()), "attachment")) return true;
    return !header_.Parameter("Content-Disposition", "filename").empty() || !header_.Parameter("Content-Type", "name").empty();
}

std::string MessagePart::OwnedBytes() const {
    if (content_ == Content::Loaded) return source_ ? source_->substr(offset_, length_) : std::string();
    if (content_ != Content::File) return data_;
    std::string bytes;
    if (!file_ || Failed(file_->Seek(0, SeekOrigin::Begin))) throw ComError(STG_E_READFAULT, "attached file " + fileName_);
    std::vector<std::byte> content;
    ThrowIfFailed(ReadToEnd(*file_, content), "reading the attached file " + fileName_);
    return std::string(reinterpret_cast<const char*>(content.data()), content.size());
}

std::string MessagePart::EncodedBody() const {
    if (content_ == Content::Loaded || content_ == Content::Raw) return OwnedBytes();
    return EncodeBody(ContentTransferEncoding(), OwnedBytes(), fileName_);
}

std::string MessagePart::DecodedBody() const {
    if (content_ == Content::Encode || content_ == Content::File) return OwnedBytes();
    return DecodeBody(ContentTransferEncoding(), OwnedBytes());
}

void MessagePart::DecodeToStream(Stream& stream) const { ThrowIfFailed(stream.Write(DecodedBody()), "writing a decoded part"); }

void MessagePart::DecodeToFile(const std::string& path) const {
    const auto [directory, name] = Split(path);
    const std::string body = DecodedBody();
    ThrowIfFailed(directory.ReplaceStream(name, std::as_bytes(std::span(body.data(), body.size()))), "can not write " + path);
}

void MessagePart::AttachFile(const std::string& path, std::string_view name, std::string_view type, std::string_view subType) {
    const auto [directory, fileName] = Split(path);
    std::unique_ptr<FileStream> stream;
    ThrowIfFailed(directory.OpenStream(fileName, STGM_READ | STGM_SHARE_DENY_WRITE, stream), "can not open " + path);
    const std::string shown = QuotableName(name.empty() ? std::string_view(fileName) : name);
    header_.SetContentType(type.empty() ? "application" : type, subType.empty() ? "octet-stream" : subType,
                           "name=\"" + shown + "\"");
    SetContentTransferEncoding("base64");
    SetContentDisposition("Attachment", shown);
    content_ = Content::File;
    file_ = std::move(stream);
    fileName_ = shown;
    data_.clear();
}

void MessagePart::AttachText(std::string_view text, std::string_view subType, std::string_view encoding,
                             std::string_view charset) {
    const std::string parameters = charset.empty() ? std::string() : "charset=" + QuotableName(charset);
    header_.SetContentType("text", subType.empty() ? "plain" : subType, parameters);
    SetContentTransferEncoding(encoding.empty() ? "quoted-printable" : encoding);
    content_ = Content::Encode;
    data_ = std::string(text);
    file_.reset();
}

void MessagePart::AttachRaw(std::string_view bytes) {
    content_ = Content::Raw;
    data_ = std::string(bytes);
    file_.reset();
}

void MessagePart::AttachStream(Stream& stream) {
    std::vector<std::byte> bytes;
    ThrowIfFailed(ReadToEnd(stream, bytes), "reading a stream to attach");
    AttachRaw(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace pw::mime
