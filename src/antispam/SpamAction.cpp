// SpamAction: the configured action on a message judged spam (see SpamAction.h).
#include "antispam/SpamAction.h"

#include "core/Logging.h"
#include "mime/HeaderBlock.h"
#include "mime/MimeSyntax.h"
#include "platform/ClassRegistry.h"
#include "platform/Stream.h"

#include <optional>

namespace pw::antispam {

namespace {

// Content bytes handed to the store as they are.
class RawContent final : public PersistStream {
public:
    explicit RawContent(std::string bytes) : bytes_(std::move(bytes)) {}
    Guid ClassId() const override { return {}; }
    HRESULT Load(Stream&) override { return E_NOTIMPL; }
    HRESULT Save(Stream& stream) override { return stream.Write(std::string_view(bytes_)); }

private:
    std::string bytes_;
};

std::string ReadContent(const store::Envelope& envelope) {
    const auto stream = envelope.StreamOnContent(false, STGM_READ | STGM_SHARE_DENY_NONE);
    std::vector<std::byte> bytes;
    ThrowIfFailed(ReadToEnd(*stream, bytes), "reading " + envelope.ContentID());
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

std::string PrefixedSubject(std::string_view subject, std::string_view prefix) {
    std::string clean;
    for (const char c : prefix) {
        if (c != '\r' && c != '\n') clean += c;
    }
    if (clean.empty() || subject.starts_with(clean)) return std::string(subject);
    return clean + std::string(subject);
}

std::string ReplaceSubject(std::string_view content, std::string_view subject) {
    std::size_t end = mime::FindHeaderEnd(content);
    if (end == std::string_view::npos) end = content.size();
    mime::HeaderBlock header;
    header.Parse(content.substr(0, end));
    header.SetField("Subject", subject);
    return header.Text() + "\r\n" + std::string(content.substr(end));
}

namespace {

// Rewrites the content's header -- the subject when `subject` is given, and the added fields -- in
// one atomic replacement; nothing is written when nothing changes.
void RewriteHeader(store::Envelope& envelope, const std::optional<std::string_view>& prefix,
                   const std::vector<AddedField>& fields) {
    if (!prefix && fields.empty()) return;
    const std::string content = ReadContent(envelope);
    std::size_t end = mime::FindHeaderEnd(content);
    if (end == std::string::npos) end = content.size();
    mime::HeaderBlock header;
    if (!header.Parse(std::string_view(content).substr(0, end))) {
        // Beyond the parser's limits only part of the header would be written back: fields would be
        // lost. The message stays as it came, and the verdict is still recorded.
        core::Log(core::LogLevelWarning, "The header of " + envelope.Namespace() + " is too large to be marked; it is left as it is");
        return;
    }
    bool changed = false;
    if (prefix) {
        const std::string subject = header.Field("Subject");
        const std::string marked = PrefixedSubject(subject, *prefix);
        if (marked != subject) {
            header.SetField("Subject", marked);
            changed = true;
        }
    }
    for (const AddedField& field : fields) {
        header.RemoveField(field.name);
        header.AddField(field.name, field.value);
        changed = true;
    }
    if (!changed) return;
    RawContent replaced(header.Text() + "\r\n" + content.substr(end));
    envelope.PutContent(replaced);
}

}  // namespace

bool ApplySpamAction(store::Envelope& envelope, core::ConfigTree& config, const std::vector<AddedField>& fields) {
    const std::int32_t action = config.GetCopy(kSpamActionKey).AsI4();
    if (action == SpamActionDelete) {
        core::Log(core::LogLevelNormal, "The message " + envelope.Namespace() + " from " + envelope.Sender() +
                                            " is spam and is not delivered");
        return false;
    }
    const Variant prefix = config.GetCopy(kSpamPrefixKey);
    std::optional<std::string_view> marking;
    if (action == SpamActionSubject && prefix.IsText() && !prefix.AsText().empty()) marking = prefix.AsText();
    RewriteHeader(envelope, marking, fields);
    envelope.GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(kSpamStatusSpam));
    envelope.Update();
    return true;
}

void MarkCleanWithFields(store::Envelope& envelope, const std::vector<AddedField>& fields) {
    RewriteHeader(envelope, std::nullopt, fields);
    envelope.GetProperties().SetItem(store::kSpamStatusKey, Variant::Int(kSpamStatusClean));
    envelope.Update();
}

}  // namespace pw::antispam
