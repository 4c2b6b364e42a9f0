// ImapSession: SEARCH -- the criteria parsed whole, then every message of the selected mailbox tested
// in order, its file read only when a key needs its header or body.
#include "imap/ImapSession.h"

#include "imap/SearchKeys.h"
#include "m5/M5Charsets.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

// One message under test: the header and the text of its body read the first time a key asks.
class MessageUnderTest final : public SearchSubject {
public:
    MessageUnderTest(ImapStore& store, const FolderRecord& folder, m5::M5SessionHandle session, const MessageEntry& entry,
                     const Keywords& keywords, std::size_t index, std::function<void(std::string_view)> log)
        : store_(store), folder_(folder), session_(session), entry_(entry), keywords_(keywords), index_(index), log_(std::move(log)) {}
    ~MessageUnderTest() override {
        if (message_) (void)m5::M5CloseMessage(*message_);
    }

    const MessageEntry& Entry() const override { return entry_; }
    const Keywords& EntryKeywords() const override { return keywords_; }
    std::size_t Index() const override { return index_; }

    const mime::HeaderBlock* Header() override {
        if (!header_ && Open(false)) {
            const m5::M5PartDesc* top = nullptr;
            std::string_view text;
            if (m5::M5GetMimeDesc(*message_, 0, top) == m5::M5STS_SUCCESS &&
                m5::M5GetBytes(*message_, top->header, text) == m5::M5STS_SUCCESS) {
                header_.emplace();
                (void)header_->Parse(text);  // what a header over the limits holds up to there is searched
            }
        }
        return header_ ? &*header_ : nullptr;
    }

    const std::string* BodyText() override {
        if (!body_ && Open(true)) body_ = TextParts();
        return body_ ? &*body_ : nullptr;
    }

private:
    // The message file through the parser: its header alone, or the whole walk for the body.
    bool Open(bool whole) {
        if (failed_) return false;
        if (message_ && (walked_ || !whole)) return true;
        if (message_) (void)m5::M5CloseMessage(*message_);
        message_.reset();
        std::string failure;
        const auto file = store_.OpenContent(folder_, entry_.uid, failure);
        m5::M5MessageHandle handle;
        const m5::M5Status status = !file                 ? m5::M5STS_READ_ERROR
                                    : whole               ? m5::M5OpenFiledMessage(session_, file->Path(), handle)
                                                          : m5::M5ReadEnvelope(session_, file->Path(), 0, handle);
        if (status != m5::M5STS_SUCCESS && status != m5::M5STS_LIMIT_REACHED) {
            log_(Format("IMAP4_Search:  Cannot load message file \"%s\"", {std::string_view(file ? file->Path() : failure)}));
            failed_ = true;
            return false;
        }
        message_ = handle;
        walked_ = whole;
        return true;
    }

    // The text parts, decoded from their transfer encoding, converted to UTF-8 and folded, one after
    // another: folded once here, however many keys read them.
    std::string TextParts() const {
        std::string text;
        std::size_t count = 0;
        (void)m5::M5GetPartCount(*message_, count);
        for (std::size_t number = 0; number < count; ++number) {
            const m5::M5PartDesc* part = nullptr;
            if (m5::M5GetMimeDesc(*message_, number, part) != m5::M5STS_SUCCESS || part->multipart || part->type != "text") continue;
            std::string body;
            if (m5::M5GetPartBody(*message_, number, m5::M5Delivery::Decoded, body) != m5::M5STS_SUCCESS) continue;
            std::string converted;
            const bool declared = part->charset != "us-ascii";
            if (!declared || !m5::M5ConvertNamedToUtf8(part->charset, body, converted)) converted = m5::M5UndeclaredToUtf8(body);
            text += FoldCase(converted);
            text += '\n';
        }
        return text;
    }

    ImapStore& store_;
    const FolderRecord& folder_;
    m5::M5SessionHandle session_;
    const MessageEntry& entry_;
    const Keywords& keywords_;
    std::size_t index_;
    std::function<void(std::string_view)> log_;
    std::optional<m5::M5MessageHandle> message_;
    bool walked_ = false;
    bool failed_ = false;
    std::optional<mime::HeaderBlock> header_;
    std::optional<std::string> body_;
};

}  // namespace

void ImapSession::Search(const Command& command) {
    SearchRefusal refusal;
    auto criteria = ParseSearch(command.arguments, refusal);
    if (!criteria) return refusal.bad ? Bad(refusal.reply) : No(refusal.reply);
    // Message sets become the messages they name, now, against the mailbox as the client knows it.
    std::string diagnostic;
    std::function<bool(SearchKey&)> resolve = [&](SearchKey& key) {
        if (key.kind == SearchKey::Kind::Set) {
            if (!vector_.Select(key.set, key.uid, diagnostic)) return false;
            key.members.clear();
            for (const MessageEntry& entry : vector_.messages) key.members.push_back(entry.selected);
        }
        return std::all_of(key.children.begin(), key.children.end(), resolve);
    };
    if (!resolve(*criteria)) return Bad(diagnostic);
    if ((criteria->NeedsHeader() || criteria->NeedsBody()) && !OpenM5()) return No("Server internal error with message");

    const bool trace = debugMask_ & (1u << static_cast<unsigned>(CommandId::Search));
    const auto total = std::uint64_t{vector_.messages.size()};
    auto nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 * progressTenths_);
    std::string found = "SEARCH";
    for (std::size_t i = 0; i < vector_.messages.size(); ++i) {
        const MessageEntry& entry = vector_.messages[i];
        if (trace) connection_->WriteLine(Format("** Seaching message #%u, ID %lu", {std::uint64_t{i + 1}, std::uint64_t{entry.uid}}));
        MessageUnderTest subject(store_, *selected_, m5_.value_or(m5::M5SessionHandle{}), entry, vector_.KeywordsOf(entry.keywords), i,
                                 [this](std::string_view text) { Log('E', text); });
        if (Matches(*criteria, subject)) found += " " + std::to_string(command.uid ? std::uint64_t{entry.uid} : std::uint64_t{i + 1});
        if (progressTenths_ != 0 && std::chrono::steady_clock::now() >= nextProgress) {
            Untagged(Format("PROGRESS %lu/%lu", {std::uint64_t{i + 1}, total}));
            connection_->Flush();
            nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 * progressTenths_);
        }
    }
    Untagged(found);
    SetReply("OK SEARCH completed");
}

bool ImapSession::OpenM5() {
    if (m5_) return true;
    m5::M5SessionHandle handle;
    const m5::M5Status status = m5::M5OpenSession(m5::kM5ImapSessionName, m5::M5_FLAG_CONVERT | m5::M5_FLAG_DEBUG, handle,
                                                  [this](std::string_view text) { Log('D', text); });
    if (status != m5::M5STS_SUCCESS) {
        Log('E', Format("M5OpenSession failed with error code %u", {std::uint64_t{status}}));
        return false;
    }
    m5_ = handle;
    return true;
}

}  // namespace pw::imap
