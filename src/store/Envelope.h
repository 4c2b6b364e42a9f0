// Envelope: one message in a folder -- its delivery record (stem + ".env") beside its content
// (stem + ".eml"), the stem being the unique id as "%07I64X".
//
// The record is the envelope's property tree (the configuration file format) followed by the
// recipient list (Recipients.h). A new envelope (CreateNew, which Envelopes::Add calls) has no id
// yet: its content is a staged file under a temporary name, invisible -- listings look for "*.env" --
// while its producer fills it. The first Update publishes it: the record is written under a
// temporary name and flushed together with the content; then, with the folder's counter locked, the envelope
// draws its id and both files are renamed to it without replacing anything; last the directory is
// flushed. Only then is the message safe, and only then may a receiver acknowledge it. Drawing at
// publication makes publication order id order, so a reader never meets an envelope with an id
// below one it has already seen. An envelope dropped before it was published takes its staged
// content with it. Later Updates replace the record atomically. Content is never written in place
// once published (a replacement is a new file renamed over the name), so copies in other folders
// share one file by hard links. Removal deletes the ".env" first, then the ".eml": a crash in between
// leaves content without a record, which the store clears at start-up (with staged files).
// Thread safety: one object per thread. The queue protocol gives each envelope one worker at a time
// (routers own "_In", transports "_Out", a client session its mailbox); the atomic replacement keeps
// every reader's view whole.
#pragma once

#include "platform/ClassRegistry.h"
#include "platform/DirStorage.h"
#include "store/Properties.h"
#include "store/Recipients.h"
#include "store/StoreTypes.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace pw::store {

// Envelope property keys.
inline constexpr std::string_view kSenderKey = "_Sender";
inline constexpr std::string_view kReceivedFromKey = "_ReceivedFrom";
inline constexpr std::string_view kRouteKey = "_Route";
inline constexpr std::string_view kPriorityKey = "_Priority";
inline constexpr std::string_view kLastReadDateKey = "_LastReadDate";
inline constexpr std::string_view kSpamStatusKey = "SpamStatus";
// 1 when the content was scanned clean for viruses: copies made from it afterwards (forwards, group
// and list copies) carry it and are not scanned again. Only the server writes records, so no sender
// can set it.
inline constexpr std::string_view kVirusScannedKey = "router:scanned";

// What the client's MAIL FROM asked for: "SMTP_UTF8" (a switch, SMTPUTF8 was given), "SMTP_RET"
// ("FULL" or "HDRS") and "SMTP_ENVID" (its xtext as received), beside "SMTP_BODY".
inline constexpr std::string_view kSmtpUtf8Key = "SMTP_UTF8";
inline constexpr std::string_view kSmtpRetKey = "SMTP_RET";
inline constexpr std::string_view kSmtpEnvIdKey = "SMTP_ENVID";

// "rcpt:<recipient>:<what>": what the client's RCPT TO asked for this recipient -- "notify" (the
// NOTIFY list, upper case, as given) and "orcpt" (the ORCPT value as received: "rfc822;" and xtext).
// A recipient without them (and every envelope older than them) gets the defaults: the notices of
// failures and delays as always, and no original recipient of its own. They are properties, not part
// of the recipient list, so the list's format is unchanged and copies of the envelope carry them.
std::string RecipientKey(std::string_view recipient, std::string_view what);

// "dsn:<recipient>:<what>": the transport's per-recipient records ("send", "recv", "resp"), with ":"
// and "%" in the address escaped so the key keeps its three components.
std::string DsnKey(std::string_view recipient, std::string_view what);

// Shared from itself so that an administration client's view of its recipients keeps it alive.
class Envelope : public Unknown, public std::enable_shared_from_this<Envelope> {
public:
    // A published envelope by id (throws ComError; STG_E_FILENOTFOUND when there is none).
    static std::shared_ptr<Envelope> Open(const DirStorage& folder, const std::string& rootPath, double uid);
    // A new, not yet published envelope in the folder (throws ComError).
    static std::shared_ptr<Envelope> CreateNew(const DirStorage& folder, const std::string& rootPath);
    // A new, not yet published envelope in the folder with the record and content of `source`. The
    // content is shared by a hard link where the file system allows, copied where it does not.
    static std::shared_ptr<Envelope> CreateCopy(const DirStorage& folder, const Envelope& source);

    Envelope(DirStorage folder, std::string rootPath, double uid, bool published);
    ~Envelope() override;
    Envelope(const Envelope&) = delete;
    Envelope& operator=(const Envelope&) = delete;

    // 0 until the envelope is published.
    double UID() const { return uid_; }
    std::string Stem() const;
    bool IsPublished() const { return published_; }
    const DirStorage& FolderStorage() const { return folder_; }

    std::string Sender() const { return properties_.Text(kSenderKey); }
    void SetSender(std::string_view sender) { properties_.SetItem(kSenderKey, Variant::Text(sender)); }
    std::string ReceivedFrom() const { return properties_.Text(kReceivedFromKey); }
    void SetReceivedFrom(std::string_view from) { properties_.SetItem(kReceivedFromKey, Variant::Text(from)); }
    std::string Route() const { return properties_.Text(kRouteKey); }
    void SetRoute(std::string_view route) { properties_.SetItem(kRouteKey, Variant::Text(route)); }
    std::int32_t Priority() const { return properties_.Number(kPriorityKey, EnvelopePriorityNone); }
    void SetPriority(std::int32_t priority) { properties_.SetItem(kPriorityKey, Variant::I4(priority)); }
    Date CreateDate() const;
    Date LastReadDate() const;
    void SetLastReadDate(Date date) { properties_.SetItem(kLastReadDateKey, Variant::DateValue(date)); }
    // When the transport last tried to deliver it ("sys:delivery:lastattempt").
    void SetLastAttemptDate(Date date = Now()) { properties_.SetItem("sys:delivery:lastattempt", Variant::DateValue(date)); }

    Properties& GetProperties() { return properties_; }
    const Properties& GetProperties() const { return properties_; }
    Recipients& GetRecipients() { return recipients_; }
    const Recipients& GetRecipients() const { return recipients_; }

    // The size of the content file (0 when it is missing).
    std::uint64_t ContentSize() const;
    // The envelope's path below the store root: the folder's namespace, "/", the stem.
    std::string Namespace() const;
    // The content file's path below the store root.
    std::string ContentID() const;

    // Loads the content into an object (normally a Message).
    void GetContent(PersistStream& object) const;
    // Saves an object as the content: into the reserved file before publication, by atomic
    // replacement after it.
    void PutContent(PersistStream& object);
    // A stream on the ".eml" file; create empties it (or makes it when missing). A stream that may
    // write is always on a file of this envelope's own, never on content shared with other folders.
    std::unique_ptr<FileStream> StreamOnContent(bool create, std::uint32_t mode) const;
    // Publishes a new envelope, or replaces the record of a published one (throws ComError). A failed
    // publication leaves the envelope unpublished; a record whose content is gone is never written.
    void Update() { Update(true); }
    // syncFolder false: a replaced record's folder entries are not flushed; the caller flushes the
    // folder (DirStorage::Sync) once for many records before it reports them written.
    void Update(bool syncFolder);
    // The same for a published record without its own entry in the folder's index: for a caller that
    // logs a batch of records itself (Envelopes::UpdateRecords).
    void UpdateUnlogged(bool syncFolder);
    // A published record's replacement in two steps, for a writer of many records: StageRecord writes
    // it under a temporary name (flushed or not; the caller then makes a batch durable at once with
    // DirStorage::SyncFileSystem), PlaceRecord renames it over the record. Both throw ComError; neither
    // ever writes a record whose content is gone.
    std::string StageRecord(bool flush) const;
    void PlaceRecord(const std::string& staged);
    // Sets one property of the published record as it is on disk now: under the folder's lock the
    // record is read again, only this key changes, and the record is replaced whole (atomically). Two
    // writers of different keys -- two users' IMAP flags -- never undo each other. Throws ComError,
    // STG_E_FILENOTFOUND when the envelope is gone.
    void UpdateProperty(std::string_view key, Variant value);
    // The same with the new value made from the one on disk (empty when the key is missing), under
    // the lock: a change relative to the stored value ("add this flag") never undoes another writer's.
    void UpdateProperty(std::string_view key, const std::function<Variant(const Variant&)>& change);
    // Deletes the record, then the content; a missing content file does not stop it.
    void Remove();
    // A published copy (record and content) in another folder, with an id of that folder.
    std::shared_ptr<Envelope> CopyTo(const DirStorage& folder) const;
    // Takes the record and content of another envelope, written into this one's own file.
    void CopyFrom(const Envelope& source);
    // Writes the content to a file outside the store (created or replaced).
    void ExportContent(const std::string& path) const;

    // The record's bytes: property tree, then recipient list.
    [[nodiscard]] HRESULT WriteRecord(Stream& stream) const;
    [[nodiscard]] HRESULT ReadRecord(Stream& stream);

private:
    std::string RecordName() const;
    std::string ContentName() const;
    void Publish();
    // Makes the content file this envelope's alone before a write: a file with other links is replaced
    // by a copy (or just unlinked when the writer empties it anyway).
    void OwnContent(bool emptying) const;
    void CopyRecordFrom(const Envelope& source);
    // A staged content file made exclusively: a link to the content of `shared` when given and
    // possible (the new envelope's contentShared_ says so), else an empty file.
    static std::shared_ptr<Envelope> Stage(const DirStorage& folder, const std::string& rootPath, const Envelope* shared);
    // Gives the staged content and the written record the id drawn for them (under the counter's lock).
    HRESULT PlaceFiles(double uid, const std::string& stagedRecord);
    // A copy whose record comes out byte for byte as its source's takes the source's record by a hard
    // link under a staged name: a file that is already durable, so its publication waits for one
    // journal commit (the folder's) instead of two. False when the bytes differ or no link is made.
    bool LinkSourceRecord(std::span<const std::byte> record, std::string& staged) const;

    DirStorage folder_;
    std::string rootPath_;
    double uid_;
    bool published_;
    std::string stagedName_;  // the content's name until publication
    // The content file is a link to a published envelope's; a writer that empties it unlinks it first.
    mutable bool contentShared_ = false;
    // The published envelope this copy was made from (CreateCopy), whose record it may share.
    DirStorage sourceFolder_;
    std::string sourceRecord_;
    Properties properties_;
    Recipients recipients_;
};

}  // namespace pw::store
