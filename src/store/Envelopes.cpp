// Envelopes: a folder's messages, listed by their published records.
#include "store/Envelopes.h"

#include <algorithm>

#include "store/FolderIndex.h"
#include "store/UidCounter.h"

namespace pw::store {

HRESULT ListEnvelopeUids(const DirStorage& folder, std::vector<double>& uids) {
    // Names only: a listing of the queue at start-up, or of a big inbox, needs no stat per file.
    std::vector<ElementName> elements;
    uids.clear();
    if (const HRESULT hr = folder.EnumerateNames("*.env", elements); Failed(hr)) return hr;
    for (const auto& element : elements) {
        if (element.isDirectory) continue;
        const std::string_view name = element.name;
        double uid = 0;
        if (UidFromStem(name.substr(0, name.size() - kRecordExtension.size()), uid)) uids.push_back(uid);
    }
    std::sort(uids.begin(), uids.end());
    return S_OK;
}

std::vector<double> ListEnvelopeUids(const DirStorage& folder) {
    std::vector<double> uids;
    if (Failed(ListEnvelopeUids(folder, uids))) uids.clear();
    return uids;
}

std::vector<double> Envelopes::Uids() const {
    if (!uids_) uids_ = ListEnvelopeUids(folder_);
    return *uids_;
}

std::shared_ptr<Envelope> Envelopes::Item(std::size_t index) const {
    if (!uids_) uids_ = ListEnvelopeUids(folder_);
    const auto& uids = *uids_;
    if (index >= uids.size()) throw ComError(E_INVALIDARG, "envelope index out of range");
    return Envelope::Open(folder_, rootPath_, uids[index]);
}

std::shared_ptr<Envelope> Envelopes::Add() {
    uids_.reset();
    return Envelope::CreateNew(folder_, rootPath_);
}

void Envelopes::Remove(std::size_t index) {
    const auto uids = Uids();
    if (index >= uids.size()) throw ComError(E_INVALIDARG, "envelope index out of range");
    RemoveEnvelope(uids[index]);
}

void Envelopes::Reset() {
    uids_.reset();
    next_ = 0;
}

std::shared_ptr<Envelope> Envelopes::Next() {
    if (!uids_) uids_ = ListEnvelopeUids(folder_);
    const auto& uids = *uids_;
    while (next_ < uids.size()) {
        const double uid = uids[next_++];
        // An envelope removed since the listing was taken is passed over.
        if (auto envelope = FindEnvelope(uid)) return envelope;
    }
    return nullptr;
}

std::vector<std::optional<Variant>> Envelopes::UpdateProperty(const std::vector<double>& uids, std::string_view key,
                                                              const std::function<Variant(const Variant&)>& change) const {
    std::vector<std::optional<Variant>> values;
    const std::vector<bool> written = UpdateRecords(uids, [&](Properties& properties) {
        Variant value = change(properties.Item(key));
        properties.SetItem(key, value);
        values.emplace_back(std::move(value));
    });
    // `values` holds one value per written record, in order: spread them over the uids again.
    std::vector<std::optional<Variant>> result;
    std::size_t next = 0;
    for (const bool present : written) result.push_back(present ? std::optional<Variant>(std::move(values[next++])) : std::nullopt);
    return result;
}

std::vector<bool> Envelopes::UpdateRecords(const std::vector<double>& uids, const std::function<void(Properties&)>& change) const {
    return UpdateRecordsById(uids, [&change](double, Properties& properties) {
        change(properties);
        return true;
    });
}

std::vector<bool> Envelopes::UpdateRecordsById(const std::vector<double>& uids, const std::function<bool(double, Properties&)>& change) const {
    StorageLock lock;
    if (const HRESULT hr = folder_.LockSelf(kStoreLockBound, lock); Failed(hr)) {
        throw ComError(hr, "can not lock " + folder_.Path() + " to update its records");
    }
    std::vector<bool> written;
    bool replaced = false;
    // Records staged but not yet placed; removed when a failure stops the batch (start-up would too).
    std::vector<std::string> staged;
    const auto dropStaged = [&] {
        for (const std::string& name : staged) (void)folder_.DestroyElement(name);
        staged.clear();
    };
    // One intent and one append per chunk of records, not per record: a client marking a whole folder
    // read pays once per chunk, and readers of the index are not kept waiting for the whole batch.
    // A chunk of many records is written unflushed and made durable by one flush of the file system
    // before any record is renamed into place -- one flush for the chunk instead of one per record,
    // and a crash still leaves each record old or new, never mixed.
    try {
        for (std::size_t first = 0; first < uids.size(); first += kRecordBatch) {
            const std::size_t end = std::min(uids.size(), first + kRecordBatch);
            const bool flushEach = end - first < kFileSystemFlushBatch;
            IndexWriter index(folder_, rootPath_);
            std::vector<std::uint32_t> ids;
            for (std::size_t i = first; i < end; ++i) ids.push_back(static_cast<std::uint32_t>(uids[i]));
            index.Begin(ids);
            std::vector<std::shared_ptr<Envelope>> envelopes;
            std::vector<std::uint32_t> kept;  // there, and left as they were
            for (std::size_t i = first; i < end; ++i) {
                const auto envelope = FindEnvelope(uids[i]);
                if (!envelope) continue;
                // A change logged first that its record has not caught up with is where this one starts.
                (void)index.Overlay(static_cast<std::uint32_t>(uids[i]), envelope->GetProperties());
                if (!change(uids[i], envelope->GetProperties())) {
                    kept.push_back(static_cast<std::uint32_t>(uids[i]));
                    continue;
                }
                staged.push_back(envelope->StageRecord(flushEach));
                envelopes.push_back(envelope);
            }
            if (!flushEach && !staged.empty()) ThrowIfFailed(folder_.SyncFileSystem(), "can not flush the records of " + folder_.Path());
            std::size_t next = 0;
            for (std::size_t i = first; i < end; ++i) {
                if (next == envelopes.size() || envelopes[next]->UID() != uids[i]) {
                    written.push_back(std::find(kept.begin(), kept.end(), static_cast<std::uint32_t>(uids[i])) != kept.end());
                    continue;
                }
                const auto& envelope = envelopes[next];
                const std::string name = staged[next++];
                envelope->PlaceRecord(name);
                index.Message(static_cast<std::uint32_t>(uids[i]), envelope->GetProperties());
                replaced = true;
                written.push_back(true);
            }
            staged.clear();
            index.Commit();
        }
    } catch (const ComError&) {
        // What was placed before is old-or-new whole; what was staged and not placed goes.
        dropStaged();
        if (replaced) (void)folder_.Sync();
        throw;  // the chunk's intent stays open: the next reader looks at its records again
    }
    if (replaced) ThrowIfFailed(folder_.Sync(), "can not flush " + folder_.Path());
    return written;
}

std::vector<bool> Envelopes::UpdateIndexedById(const std::vector<double>& uids, const std::function<bool(double, Properties&)>& change,
                                               bool flush) const {
    std::vector<bool> present;
    const HRESULT hr = LogIndexedChanges(folder_, rootPath_, uids, change, present, flush);
    if (hr == S_FALSE) return UpdateRecordsById(uids, change);
    ThrowIfFailed(hr, "can not log the flags of " + folder_.Path());
    return present;
}

std::shared_ptr<Envelope> Envelopes::CopyFrom(const Envelope& source) {
    uids_.reset();
    return source.CopyTo(folder_);
}

double Envelopes::NextUID() const {
    double uid = 0;
    ThrowIfFailed(PeekUid(folder_, uid), "the id counter of " + folder_.Path());
    return uid;
}

std::shared_ptr<Envelope> Envelopes::FindEnvelope(double uid) const {
    try {
        return Envelope::Open(folder_, rootPath_, uid);
    } catch (const ComError& error) {
        if (error.Code() == STG_E_FILENOTFOUND || error.Code() == STG_E_PATHNOTFOUND) return nullptr;
        throw;
    }
}

bool Envelopes::RemoveEnvelope(double uid) {
    uids_.reset();
    ElementInfo info;
    const std::string stem = UidStem(uid);
    const bool record = Succeeded(folder_.StatElement(stem + std::string(kRecordExtension), info));
    if (!record) return false;
    Envelope envelope(folder_, rootPath_, uid, true);
    envelope.Remove();
    return true;
}

namespace {

std::string ContentName(double uid) { return UidStem(uid) + std::string(kContentExtension); }

}  // namespace

HRESULT Envelopes::OpenContent(double uid, std::unique_ptr<FileStream>& stream) const {
    // Readers share the file with everybody: content is never written in place once published.
    return folder_.OpenStream(ContentName(uid), STGM_READ | STGM_SHARE_DENY_NONE, stream);
}

HRESULT Envelopes::ContentSize(double uid, std::uint64_t& size) const {
    ElementInfo info;
    const HRESULT hr = folder_.StatElement(ContentName(uid), info);
    size = Succeeded(hr) ? info.size : 0;
    return hr;
}

std::string Envelopes::ContentPath(double uid) const { return folder_.ElementPath(ContentName(uid)); }

}  // namespace pw::store
