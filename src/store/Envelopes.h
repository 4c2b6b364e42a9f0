// Envelopes: the messages of one folder (Folder.h), each an Envelope (Envelope.h).
//
// The listing is of the published envelopes only -- their "*.env" records, in id order -- so an
// envelope whose first Update has not yet published it is never seen. It is taken once and kept
// until Reset or the collection's own Add, Remove and CopyFrom; Next passes over an envelope
// removed since. New envelopes draw their ids from the folder's "_uid" counter (UidCounter.h).
// Thread safety: one thread at a time per object; objects are created per use.
#pragma once

#include "platform/DirStorage.h"
#include "store/Envelope.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pw::store {

class Envelopes : public Unknown {
public:
    Envelopes(DirStorage folder, std::string rootPath) : folder_(std::move(folder)), rootPath_(std::move(rootPath)) {}

    // The ids of the published envelopes, ascending (the listing is taken again by Reset and by the
    // collection's own Add and Remove). A copy: the collection may be a temporary.
    std::vector<double> Uids() const;
    std::size_t Count() const { return Uids().size(); }
    // The envelope at a place of the listing (throws ComError).
    std::shared_ptr<Envelope> Item(std::size_t index) const;
    // A new envelope, published by its first Update (Envelope.h).
    std::shared_ptr<Envelope> Add();
    void Remove(std::size_t index);
    void Reset();
    std::shared_ptr<Envelope> Next();
    // A published copy of an envelope of any folder in this one.
    std::shared_ptr<Envelope> CopyFrom(const Envelope& source);
    // The id the next Add would draw.
    double NextUID() const;
    // nullptr when the folder has no envelope with that id.
    std::shared_ptr<Envelope> FindEnvelope(double uid) const;
    // Sets one property of several published records, each from its value on disk as
    // Envelope::UpdateProperty does, under one lock of the folder and with one flush of the folder
    // for all of them: what a client that marks many messages read at once waits for. Per uid the
    // value written, or nullopt when that envelope is gone. Throws ComError (the records replaced
    // before the failure are flushed first).
    std::vector<std::optional<Variant>> UpdateProperty(const std::vector<double>& uids, std::string_view key,
                                                       const std::function<Variant(const Variant&)>& change) const;
    // The same for changes of several keys at once (IMAP's flags and keywords): `change` gets each
    // record's properties as they are on disk now. Per uid true when written, false when it is gone.
    std::vector<bool> UpdateRecords(const std::vector<double>& uids, const std::function<void(Properties&)>& change) const;
    // The same, `change` told each record's id (a check against what the caller knew of it); a record
    // for which it returns false is left as it was, unwritten (true for it all the same: it is there).
    std::vector<bool> UpdateRecordsById(const std::vector<double>& uids, const std::function<bool(double, Properties&)>& change) const;
    // The same for changes of indexed properties alone (flags and keywords), logged first in the
    // folder's index and durable there when it returns; the records catch up within about a second
    // (FolderIndex.h, LogIndexedChanges). Where the folder has no index the records are written now.
    // With `flush` false the log is flushed by the caller (FlushFolderIndex) before it reports the change.
    std::vector<bool> UpdateIndexedById(const std::vector<double>& uids, const std::function<bool(double, Properties&)>& change,
                                        bool flush = true) const;
    // Removes the envelope with that id; false when there was none.
    bool RemoveEnvelope(double uid);

    // A read stream on a published message's content, found by its id alone: its record is not
    // read, which halves the files a client's FETCH of many messages opens. STG_E_FILENOTFOUND
    // when the message is gone (or was never published).
    [[nodiscard]] HRESULT OpenContent(double uid, std::unique_ptr<FileStream>& stream) const;
    // The size of that content, by one stat; 0 with the failure (STG_E_FILENOTFOUND when missing).
    [[nodiscard]] HRESULT ContentSize(double uid, std::uint64_t& size) const;
    // Where the content lies, for the messages that report a failure to read it.
    std::string ContentPath(double uid) const;

    const DirStorage& Folder() const { return folder_; }
    const std::string& RootPath() const { return rootPath_; }

private:
    DirStorage folder_;
    std::string rootPath_;
    mutable std::optional<std::vector<double>> uids_;
    std::size_t next_ = 0;
};

// The ids of a folder's published envelopes, ascending (none when the folder can not be listed).
std::vector<double> ListEnvelopeUids(const DirStorage& folder);
// The same, with a listing that fails reported rather than read as an empty folder.
[[nodiscard]] HRESULT ListEnvelopeUids(const DirStorage& folder, std::vector<double>& uids);

}  // namespace pw::store
