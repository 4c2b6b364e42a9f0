// Envelope: reservation, publication, replacement and removal of one message's files.
#include "store/Envelope.h"

#include <algorithm>
#include <optional>

#include "core/Logging.h"
#include "store/FolderIndex.h"
#include "store/MailBoxUsage.h"
#include "store/StoreObject.h"
#include "store/UidCounter.h"

namespace pw::store {

namespace {

HRESULT ReadAll(const DirStorage& folder, const std::string& name, std::vector<std::byte>& bytes) {
    std::unique_ptr<FileStream> stream;
    HRESULT hr = folder.OpenStream(name, STGM_READ | STGM_SHARE_DENY_NONE, stream);
    if (Succeeded(hr)) hr = ReadToEnd(*stream, bytes);
    return hr;
}

bool Missing(HRESULT hr) { return hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND; }

std::string EscapedRecipient(std::string_view recipient) {
    std::string escaped;
    for (const char c : recipient) {
        if (c == ':') {
            escaped += "%3A";
        } else if (c == '%') {
            escaped += "%25";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

std::string DsnKey(std::string_view recipient, std::string_view what) {
    return "dsn:" + EscapedRecipient(recipient) + ":" + std::string(what);
}

std::string RecipientKey(std::string_view recipient, std::string_view what) {
    return "rcpt:" + EscapedRecipient(recipient) + ":" + std::string(what);
}

Envelope::Envelope(DirStorage folder, std::string rootPath, double uid, bool published)
    : folder_(std::move(folder)), rootPath_(std::move(rootPath)), uid_(uid), published_(published) {}

Envelope::~Envelope() {
    // A producer that gave up (a dropped SMTP session, a failed copy) leaves nothing behind. Should
    // that fail, the content without a record is never listed, and start-up clears it.
    if (published_) return;
    IndexWriter index(folder_, rootPath_);  // staged files are logged too, so that they need no rescan
    index.Begin({});
    const HRESULT removed = folder_.DestroyElement(ContentName());
    index.Commit();
    if (const HRESULT hr = removed; Failed(hr) && !Missing(hr)) {
        core::Log(core::LogLevelWarning, "An abandoned message content stays until the next start: " +
                                             folder_.ElementPath(ContentName()) + " (" + HresultText(hr) + ")");
    }
}

std::shared_ptr<Envelope> Envelope::Open(const DirStorage& folder, const std::string& rootPath, double uid) {
    auto envelope = std::make_shared<Envelope>(folder, rootPath, uid, true);
    std::vector<std::byte> bytes;
    if (const HRESULT hr = ReadAll(folder, envelope->RecordName(), bytes); Failed(hr)) {
        throw ComError(hr, "envelope " + folder.ElementPath(envelope->RecordName()));
    }
    MemoryStream record(std::move(bytes));
    if (const HRESULT hr = envelope->ReadRecord(record); Failed(hr)) {
        throw ComError(hr, "damaged envelope record " + folder.ElementPath(envelope->RecordName()));
    }
    return envelope;
}

std::shared_ptr<Envelope> Envelope::CreateNew(const DirStorage& folder, const std::string& rootPath) {
    return Stage(folder, rootPath, nullptr);
}

std::shared_ptr<Envelope> Envelope::CreateCopy(const DirStorage& folder, const Envelope& source) {
    // Only published content is final and flushed.
    auto copy = Stage(folder, source.rootPath_, source.published_ ? &source : nullptr);
    if (copy->contentShared_) {
        copy->CopyRecordFrom(source);
        copy->sourceFolder_ = source.folder_;
        copy->sourceRecord_ = source.RecordName();
    } else {
        copy->CopyFrom(source);
    }
    return copy;
}

std::shared_ptr<Envelope> Envelope::Stage(const DirStorage& folder, const std::string& rootPath, const Envelope* shared) {
    auto envelope = std::make_shared<Envelope>(folder, rootPath, 0, false);
    // A temporary name: start-up clears one a crash left behind, and no listing ever shows it.
    envelope->stagedName_ = TemporaryName("staged.eml");
    HRESULT hr = E_FAIL;
    // A staged file changes the folder's directory like any record does: logged, a reader of the
    // folder's index knows the change for what it is and need not rescan the folder.
    IndexWriter index(folder, rootPath);
    index.Begin({});
    if (shared) hr = folder.LinkStream(shared->folder_, shared->ContentName(), envelope->stagedName_);
    const bool linked = Succeeded(hr);
    if (!linked) {
        // Nothing to share, or a file system that can not link: an empty file to copy into.
        std::unique_ptr<FileStream> content;
        hr = folder.CreateStream(envelope->stagedName_, STGM_WRITE | STGM_SHARE_EXCLUSIVE, content);
    }
    index.Commit();
    if (Failed(hr)) {
        envelope->published_ = true;  // nothing staged for the destructor to take back
        throw ComError(hr, "can not create an envelope in " + folder.Path());
    }
    envelope->properties_.SetItem(kCreateDateKey, Variant::DateValue(Now()));
    envelope->contentShared_ = linked;
    return envelope;
}

std::string Envelope::Stem() const { return UidStem(uid_); }
std::string Envelope::RecordName() const { return Stem() + std::string(kRecordExtension); }
std::string Envelope::ContentName() const { return published_ ? Stem() + std::string(kContentExtension) : stagedName_; }

Date Envelope::CreateDate() const { return properties_.Item(kCreateDateKey).AsDouble(); }
Date Envelope::LastReadDate() const { return properties_.Item(kLastReadDateKey).AsDouble(); }

std::uint64_t Envelope::ContentSize() const {
    ElementInfo info;
    return Succeeded(folder_.StatElement(ContentName(), info)) ? info.size : 0;
}

std::string Envelope::Namespace() const {
    const std::string folder = RelativeStorePath(folder_, rootPath_);
    return folder.empty() ? Stem() : folder + "/" + Stem();
}

std::string Envelope::ContentID() const { return Namespace() + std::string(kContentExtension); }

HRESULT Envelope::WriteRecord(Stream& stream) const {
    if (const HRESULT hr = properties_.WriteTo(stream); Failed(hr)) return hr;
    return recipients_.Save(stream);
}

HRESULT Envelope::ReadRecord(Stream& stream) {
    Properties properties;
    Recipients recipients;
    // The recipient list follows the properties in the same stream.
    if (const HRESULT hr = properties.ReadFrom(stream, core::ConfigTree::UnknownObjects::Fail); Failed(hr)) return hr;
    if (const HRESULT hr = recipients.Load(stream); Failed(hr)) return hr;
    MemoryStream copy;
    if (const HRESULT hr = properties.WriteTo(copy); Failed(hr)) return hr;
    if (const HRESULT hr = copy.Seek(0, SeekOrigin::Begin); Failed(hr)) return hr;
    if (const HRESULT hr = properties_.ReadFrom(copy); Failed(hr)) return hr;
    recipients_ = std::move(recipients);
    return S_OK;
}

void Envelope::GetContent(PersistStream& object) const {
    std::unique_ptr<FileStream> stream;
    ThrowIfFailed(folder_.OpenStream(ContentName(), STGM_READ | STGM_SHARE_DENY_WRITE, stream),
                  "message content " + folder_.ElementPath(ContentName()));
    ThrowIfFailed(object.Load(*stream), "loading " + folder_.ElementPath(ContentName()));
}

void Envelope::PutContent(PersistStream& object) {
    if (published_) {
        MemoryStream content;
        ThrowIfFailed(object.Save(content), "saving a message");
        IndexWriter index(folder_, rootPath_);
        index.Begin({static_cast<std::uint32_t>(uid_)});
        ThrowIfFailed(folder_.ReplaceStream(ContentName(), content.Bytes()), "message content " + folder_.ElementPath(ContentName()));
        index.Message(static_cast<std::uint32_t>(uid_), properties_);
        index.Commit();
        ForgetUsage(folder_, rootPath_);
        return;
    }
    const auto stream = StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
    ThrowIfFailed(object.Save(*stream), "saving " + folder_.ElementPath(ContentName()));
}

std::unique_ptr<FileStream> Envelope::StreamOnContent(bool create, std::uint32_t mode) const {
    if ((mode & 0x3) != STGM_READ) {
        OwnContent(create);
        // Published content written in place changes size behind the mailbox's figure.
        if (published_) ForgetUsage(folder_, rootPath_);
    }
    std::unique_ptr<FileStream> stream;
    const HRESULT hr = create ? folder_.CreateStream(ContentName(), mode | STGM_CREATE, stream)
                              : folder_.OpenStream(ContentName(), mode, stream);
    ThrowIfFailed(hr, "message content " + folder_.ElementPath(ContentName()));
    return stream;
}

void Envelope::OwnContent(bool emptying) const {
    // The file's link count decides, not what this object remembers: an envelope opened again knows
    // nothing of the copies that share its content, and a write through a shared name would change
    // every mailbox's message at once.
    ElementInfo info;
    const HRESULT found = folder_.StatElement(ContentName(), info);
    if (Missing(found)) {
        contentShared_ = false;
        return;
    }
    ThrowIfFailed(found, "message content " + folder_.ElementPath(ContentName()));
    if (info.links <= 1) {
        contentShared_ = false;
        return;
    }
    // Logged like any other change of the folder's files: the size of a published message may move.
    IndexWriter index(folder_, rootPath_);
    index.Begin(published_ ? std::vector<std::uint32_t>{static_cast<std::uint32_t>(uid_)} : std::vector<std::uint32_t>{});
    if (emptying) {
        ThrowIfFailed(folder_.DestroyElement(ContentName()), "message content " + folder_.ElementPath(ContentName()));
    } else {
        // The same bytes in a file of its own, put in place whole so that a failure leaves the link.
        std::vector<std::byte> bytes;
        ThrowIfFailed(ReadAll(folder_, ContentName(), bytes), "message content " + folder_.ElementPath(ContentName()));
        ThrowIfFailed(folder_.ReplaceStream(ContentName(), bytes), "message content " + folder_.ElementPath(ContentName()));
    }
    if (published_) index.Message(static_cast<std::uint32_t>(uid_), properties_);
    index.Commit();
    contentShared_ = false;
}

void Envelope::Publish() {
    HRESULT hr = S_OK;
    // Everything that takes time happens before the counter is locked: under it only two renames.
    MemoryStream record;
    ThrowIfFailed(WriteRecord(record));
    std::string stagedRecord;
    std::vector<std::string> unflushed;
    if (!LinkSourceRecord(record.Bytes(), stagedRecord)) {
        IndexWriter index(folder_, rootPath_);
        index.Begin({});
        const HRESULT written = folder_.WriteTemporaryUnflushed("staged.env", record.Bytes(), kStorageFileMode, stagedRecord);
        index.Commit();
        ThrowIfFailed(written, "can not write a record in " + folder_.Path());
        unflushed.push_back(stagedRecord);
    }
    // The record and the content made durable with the directory's flush after their renames: on a
    // journalled file system one commit for data and names. Content (or a record) shared with a
    // published envelope was made durable when that one was published; the link itself is made
    // durable with the directory, below.
    if (!contentShared_) unflushed.push_back(ContentName());
    if (hr = folder_.FlushElementsWithDirectory(unflushed); Failed(hr)) {
        IndexWriter index(folder_, rootPath_);
        index.Begin({});
        (void)folder_.DestroyElement(stagedRecord);
        index.Commit();
        throw ComError(hr, "can not flush a message in " + folder_.Path());
    }
    double uid = 0;
    UsageChange change(folder_, rootPath_);
    hr = PublishWithUid(folder_, [&](double drawn) {
        // Logged under the counter's lock, so the index learns of messages in id order too. A placing
        // that fails leaves the records of that id as they were (files already there under it, for
        // one): nothing but the directory's times to log.
        IndexWriter index(folder_, rootPath_);
        index.Begin({static_cast<std::uint32_t>(drawn)});
        const HRESULT placed = PlaceFiles(drawn, stagedRecord);
        if (Succeeded(placed)) index.Message(static_cast<std::uint32_t>(drawn), properties_);
        index.Commit();
        return placed;
    }, uid);
    if (Failed(hr)) {
        IndexWriter index(folder_, rootPath_);
        index.Begin({});
        (void)folder_.DestroyElement(stagedRecord);
        index.Commit();
        throw ComError(hr, "can not publish a message in " + folder_.Path());
    }
    uid_ = uid;
    published_ = true;
    if (hr = folder_.Sync(); Succeeded(hr)) {
        change.Commit(change.Wanted() ? static_cast<std::int64_t>(ContentSize()) : 0, 1);
        return;
    }
    // The directory could not be flushed, so the message is not safe while its producer would hear it
    // is. It is taken back, so that the failure is true: a client told to try again must not find its
    // first attempt delivered as well. Only a record that can not be taken back stays, and its content
    // with it.
    IndexWriter index(folder_, rootPath_);
    index.Begin({static_cast<std::uint32_t>(uid_)});
    if (Succeeded(folder_.DestroyElement(RecordName()))) {
        index.Removed(static_cast<std::uint32_t>(uid_));
        published_ = false;
        if (Failed(folder_.RenameElement(Stem() + std::string(kContentExtension), stagedName_))) {
            (void)folder_.DestroyElement(Stem() + std::string(kContentExtension));
        }
        uid_ = 0;
    }
    index.Commit();
    throw ComError(hr, "can not publish " + folder_.ElementPath(RecordName()));
}

bool Envelope::LinkSourceRecord(std::span<const std::byte> record, std::string& staged) const {
    if (sourceRecord_.empty()) return false;
    std::unique_ptr<FileStream> source;
    std::vector<std::byte> bytes;
    ElementInfo read;
    if (Failed(sourceFolder_.OpenStream(sourceRecord_, STGM_READ | STGM_SHARE_DENY_NONE, source)) ||
        Failed(ReadToEnd(*source, bytes)) || Failed(source->Stat(read)) ||
        !std::equal(bytes.begin(), bytes.end(), record.begin(), record.end())) {
        return false;
    }
    // Records are replaced by rename, never written in place: the file read is the file linked when
    // the name still leads to it afterwards.
    const std::string name = TemporaryName("staged.env");
    IndexWriter index(folder_, rootPath_);
    index.Begin({});
    bool linked = Succeeded(folder_.LinkStream(sourceFolder_, sourceRecord_, name));
    ElementInfo placed;
    if (linked && (Failed(folder_.StatElement(name, placed)) || placed.inode != read.inode)) {
        (void)folder_.DestroyElement(name);
        linked = false;
    }
    index.Commit();
    if (linked) staged = name;
    return linked;
}

HRESULT Envelope::PlaceFiles(double uid, const std::string& stagedRecord) {
    const std::string stem = UidStem(uid);
    const std::string content = stem + std::string(kContentExtension);
    const std::string record = stem + std::string(kRecordExtension);
    if (const HRESULT hr = folder_.RenameElement(stagedName_, content); Failed(hr)) return hr;
    const HRESULT hr = folder_.RenameElement(stagedRecord, record);
    // A record without content under that id (a removal cut short) keeps the id taken; the content
    // goes back to its staged name, to be placed under the next id.
    if (Failed(hr) && Failed(folder_.RenameElement(content, stagedName_))) {
        // Beside that record it would make a listed envelope of somebody else's message.
        (void)folder_.DestroyElement(content);
        return E_FAIL;
    }
    return hr;
}

void Envelope::Update(bool syncFolder) {
    if (!published_) {
        Publish();
        return;
    }
    IndexWriter index(folder_, rootPath_);
    index.Begin({static_cast<std::uint32_t>(uid_)});
    UpdateUnlogged(syncFolder);
    index.Message(static_cast<std::uint32_t>(uid_), properties_);
    index.Commit();
}

void Envelope::UpdateUnlogged(bool syncFolder) {
    if (!published_) {
        Publish();
        return;
    }
    PlaceRecord(StageRecord(true));
    if (syncFolder) ThrowIfFailed(folder_.Sync(), "can not flush " + folder_.Path());
}

std::string Envelope::StageRecord(bool flush) const {
    // A record is worth having only beside its content. An Update that loses a race with Remove (which
    // takes the record, then the content) must not bring the record back: that would be a listed
    // envelope nobody can read, which no removal would ever look for again.
    ElementInfo info;
    if (const HRESULT hr = folder_.StatElement(ContentName(), info); Failed(hr)) {
        throw ComError(hr, "the content of " + folder_.ElementPath(RecordName()) + " is gone; the record is not written");
    }
    MemoryStream record;
    ThrowIfFailed(WriteRecord(record));
    std::string staged;
    const HRESULT written = flush ? folder_.WriteTemporary(RecordName(), record.Bytes(), kStorageFileMode, staged)
                                  : folder_.WriteTemporaryUnflushed(RecordName(), record.Bytes(), kStorageFileMode, staged);
    ThrowIfFailed(written, "can not write " + folder_.ElementPath(RecordName()));
    return staged;
}

void Envelope::PlaceRecord(const std::string& staged) {
    ThrowIfFailed(folder_.ReplaceWithTemporary(staged, RecordName()), "can not write " + folder_.ElementPath(RecordName()));
    ElementInfo info;
    if (Missing(folder_.StatElement(ContentName(), info))) {
        // The removal ran between the check and the rename: finish its work. Should this fail too, the
        // store's start-up removes records without content.
        const HRESULT removed = folder_.DestroyElement(RecordName());
        if (Failed(removed) && !Missing(removed)) {
            core::Log(core::LogLevelWarning, "A record whose content is gone stays until the next start: " +
                                                 folder_.ElementPath(RecordName()));
        }
        throw ComError(STG_E_FILENOTFOUND, "the content of " + folder_.ElementPath(RecordName()) + " was removed meanwhile");
    }
}

void Envelope::UpdateProperty(std::string_view key, Variant value) {
    UpdateProperty(key, [&value](const Variant&) { return std::move(value); });
}

void Envelope::UpdateProperty(std::string_view key, const std::function<Variant(const Variant&)>& change) {
    StorageLock lock;
    if (const HRESULT hr = folder_.LockSelf(kStoreLockBound, lock); Failed(hr)) {
        throw ComError(hr, "can not lock " + folder_.Path() + " to update " + folder_.ElementPath(RecordName()));
    }
    const auto fresh = Open(folder_, rootPath_, uid_);
    fresh->properties_.SetItem(key, change(fresh->properties_.Item(key)));
    fresh->Update();
    MemoryStream record;
    ThrowIfFailed(fresh->WriteRecord(record));
    ThrowIfFailed(record.Seek(0, SeekOrigin::Begin));
    ThrowIfFailed(ReadRecord(record));
}

void Envelope::Remove() {
    // The record goes first: a crash in between leaves a content file without a record, which start-up
    // clears, never a listed envelope whose content is gone.
    std::optional<UsageChange> change;
    std::int64_t removed = 0;
    std::int64_t bytes = 0;
    IndexWriter index(folder_, rootPath_);
    if (published_) {
        index.Begin({static_cast<std::uint32_t>(uid_)});
        change.emplace(folder_, rootPath_);
        if (change->Wanted()) bytes = static_cast<std::int64_t>(ContentSize());
        const HRESULT record = folder_.DestroyElement(RecordName());
        if (Failed(record) && !Missing(record)) ThrowIfFailed(record, "can not remove " + folder_.ElementPath(RecordName()));
        removed = Succeeded(record) ? 1 : 0;  // a record already gone was no longer counted
    }
    const std::string name = ContentName();
    published_ = true;  // nothing left for the destructor to abandon
    const HRESULT content = folder_.DestroyElement(name);
    if (Failed(content) && !Missing(content)) ThrowIfFailed(content, "can not remove " + folder_.ElementPath(name));
    if (change) {
        index.Removed(static_cast<std::uint32_t>(uid_));
        index.Commit();
        change->Commit(-removed * bytes, -removed);
    }
}

std::shared_ptr<Envelope> Envelope::CopyTo(const DirStorage& folder) const {
    auto copy = CreateCopy(folder, *this);
    copy->Update();
    return copy;
}

void Envelope::CopyRecordFrom(const Envelope& source) {
    MemoryStream record;
    ThrowIfFailed(source.WriteRecord(record));
    ThrowIfFailed(record.Seek(0, SeekOrigin::Begin));
    ThrowIfFailed(ReadRecord(record));
}

void Envelope::CopyFrom(const Envelope& source) {
    CopyRecordFrom(source);
    std::unique_ptr<FileStream> from;
    HRESULT hr = source.folder_.OpenStream(source.ContentName(), STGM_READ | STGM_SHARE_DENY_WRITE, from);
    ThrowIfFailed(hr, "message content " + source.folder_.ElementPath(source.ContentName()));
    if (published_) {
        MemoryStream content;
        ThrowIfFailed(CopyStream(*from, content));
        IndexWriter index(folder_, rootPath_);
        index.Begin({static_cast<std::uint32_t>(uid_)});
        ThrowIfFailed(folder_.ReplaceStream(ContentName(), content.Bytes()));
        index.Message(static_cast<std::uint32_t>(uid_), properties_);
        index.Commit();
        ForgetUsage(folder_, rootPath_);
        contentShared_ = false;  // the replacement is a file of its own
        return;
    }
    const auto to = StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
    ThrowIfFailed(CopyStream(*from, *to), "copying into " + folder_.ElementPath(ContentName()));
}

void Envelope::ExportContent(const std::string& path) const {
    const std::size_t slash = path.find_last_of('/');
    const DirStorage target(slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::unique_ptr<FileStream> from;
    ThrowIfFailed(folder_.OpenStream(ContentName(), STGM_READ | STGM_SHARE_DENY_WRITE, from),
                  "message content " + folder_.ElementPath(ContentName()));
    MemoryStream content;
    ThrowIfFailed(CopyStream(*from, content));
    ThrowIfFailed(target.ReplaceStream(name, content.Bytes()), "can not write " + path);
}

}  // namespace pw::store
