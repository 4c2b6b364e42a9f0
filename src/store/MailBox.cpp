// MailBox, MailBoxes.
#include "store/MailBox.h"

#include "core/Logging.h"
#include "platform/Text.h"
#include "store/Domain.h"

namespace pw::store {

namespace {

DirStorage ParentOf(const DirStorage& dir) {
    const std::string& path = dir.Path();
    const std::size_t slash = path.find_last_of('/', path.size() - 2);
    return DirStorage(slash == std::string::npos ? std::string("/") : path.substr(0, slash + 1));
}

// One stat per message of every folder below the mailbox: what KeptUsage spares most deliveries.
MailBoxUsage CountUsage(const MailBox& mailbox) {
    MailBoxUsage usage;
    std::vector<std::shared_ptr<Folders>> pending{mailbox.GetFolders()};
    while (!pending.empty()) {
        const auto folders = pending.back();
        pending.pop_back();
        for (const auto& name : folders->Names()) {
            const auto folder = folders->Item(name);
            if (!folder) continue;
            const auto envelopes = folder->GetEnvelopes();
            for (const double uid : envelopes->Uids()) {
                std::uint64_t size = 0;
                (void)envelopes->ContentSize(uid, size);
                usage.bytes += size;
                ++usage.messages;
            }
            pending.push_back(folder->GetFolders());
        }
    }
    return usage;
}

}  // namespace

MailBoxUsage MailBox::Usage(std::chrono::seconds maxAge) const {
    return KeptUsage(Storage().Path(), maxAge, [this] { return CountUsage(*this); });
}

std::string MailBox::DomainName() const { return ParentOf(Storage()).Name(); }

std::string MailBox::Address() const { return Name() + "@" + DomainName(); }

std::shared_ptr<Folder> MailBox::InFolder() const {
    if (!MailBoxHasInbox(MailBoxType())) return nullptr;
    auto folders = GetFolders();
    if (auto inbox = folders->Item(kInFolderName)) return inbox;
    core::Log(core::LogLevelWarning, "The mailbox " + Address() + " had lost its inbox; it has a new, empty one");
    return folders->Add(kInFolderName, InboxFolderType);
}

std::shared_ptr<Domain> MailBox::GetDomain() const { return OpenStoreObject<Domain>(ParentOf(Storage()), RootPath()); }

std::shared_ptr<MailBox> MailBoxes::Add(std::string_view name, std::int32_t kind) {
    if (!IsMailBoxType(kind) || kind == NoMailBoxType) throw ComError(E_INVALIDARG, "unknown mailbox kind " + std::to_string(kind));
    const std::string folded = Key(name);
    DirStorage created;
    // The inbox is made inside before the mailbox appears: mail for a new mailbox never finds it
    // without one.
    const auto inbox = [](const DirStorage& made) {
        DirStorage folder;
        const HRESULT hr = CreateStoreObject(made, kInFolderName, InboxFolderType, true, folder);
        return hr == STG_E_ALREADYEXISTS ? S_OK : hr;
    };
    ThrowIfFailed(CreateStoreObject(Parent(), folded, kind, false, created, {}, MailBoxHasInbox(kind) ? StoreObjectFiller(inbox) : nullptr),
                  "can not create the mailbox " + std::string(name));
    return OpenStoreObject<MailBox>(created, RootPath());
}

}  // namespace pw::store
