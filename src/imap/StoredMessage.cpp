// StoredMessage: a message's content file and its structure, read as far as asked.
#include "imap/StoredMessage.h"

#include "imap/ImapReplies.h"
#include "platform/Text.h"

namespace pw::imap {

MessageParser::~MessageParser() {
    if (session_) (void)m5::M5CloseSession(*session_);
}

bool MessageParser::Open() {
    if (session_) return true;
    m5::M5SessionHandle handle;
    const m5::M5Status status = m5::M5OpenSession(m5::kM5ImapSessionName, m5::M5_FLAG_CONVERT | m5::M5_FLAG_DEBUG, handle,
                                                  [](std::string_view text) { ImapLog('D', text); });
    if (status != m5::M5STS_SUCCESS) {
        ImapLog('E', Format("M5OpenSession failed with error code %u", {std::uint64_t{status}}));
        return false;
    }
    session_ = handle;
    return true;
}

StoredMessage::~StoredMessage() {
    if (header_) (void)m5::M5CloseMessage(*header_);
    if (walked_) (void)m5::M5CloseMessage(*walked_);
}

StoredMessage::Opened StoredMessage::Open(const ImapStore& store, const FolderRecord& folder, std::uint32_t uid) {
    file_ = store.OpenContent(folder, uid, failure_);
    if (!file_) return failure_ == kMessageGone ? Opened::Gone : Opened::Failed;
    ElementInfo info;
    if (Failed(file_->Stat(info))) {
        failure_ = file_->Path();
        file_.reset();
        return Opened::Failed;
    }
    size_ = info.size;
    return Opened::Ok;
}

m5::M5Status StoredMessage::ReadHeader(MessageParser& parser) {
    if (header_ || walked_) return m5::M5STS_SUCCESS;
    m5::M5MessageHandle handle;
    const m5::M5Status status = m5::M5ReadEnvelope(parser.Session(), Path(), 0, handle);
    if (status == m5::M5STS_SUCCESS || status == m5::M5STS_LIMIT_REACHED) header_ = handle;
    return status;
}

m5::M5Status StoredMessage::Walk(MessageParser& parser) {
    if (walked_) return m5::M5STS_SUCCESS;
    m5::M5MessageHandle handle;
    const m5::M5Status status = m5::M5OpenFiledMessage(parser.Session(), Path(), handle);
    if (status == m5::M5STS_SUCCESS || status == m5::M5STS_LIMIT_REACHED) walked_ = handle;
    return status;
}

const m5::M5PartDesc* StoredMessage::Part(std::size_t number) const {
    if (!header_ && !walked_) return nullptr;
    const m5::M5PartDesc* part = nullptr;
    return m5::M5GetMimeDesc(Structure(), number, part) == m5::M5STS_SUCCESS ? part : nullptr;
}

}  // namespace pw::imap
