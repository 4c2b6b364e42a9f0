// M5Session: the handle tables and the calls IMAP makes.
#include "m5/M5Session.h"

#include "m5/M5Limits.h"
#include "mime/MimeSyntax.h"
#include "platform/FileSystem.h"
#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace pw::m5 {

namespace {

struct Session {
    std::string name;
    unsigned flags = 0;
    M5DiagnosticSink sink;
    std::map<std::uint64_t, std::unique_ptr<M5Message>> messages;
};

struct MessageEntry {
    Session* session;
    M5Message* message;
    std::size_t reported;  // diagnostics already handed to the sink
};

class Registry {
public:
    static Registry& Instance() {
        static Registry registry;
        return registry;
    }
    std::mutex mutex;
    std::uint64_t next = 1;
    std::map<std::uint64_t, std::unique_ptr<Session>> sessions;
    std::map<std::uint64_t, MessageEntry> messages;
};

Session* FindSession(M5SessionHandle handle) {
    Registry& registry = Registry::Instance();
    std::lock_guard lock(registry.mutex);
    const auto it = registry.sessions.find(handle.id);
    return it == registry.sessions.end() ? nullptr : it->second.get();
}

MessageEntry* FindMessage(M5MessageHandle handle) {
    Registry& registry = Registry::Instance();
    std::lock_guard lock(registry.mutex);
    const auto it = registry.messages.find(handle.id);
    return it == registry.messages.end() ? nullptr : &it->second;
}

void Report(MessageEntry& entry) {
    const auto& diagnostics = entry.message->Diagnostics();
    if ((entry.session->flags & M5_FLAG_DEBUG) != 0 && entry.session->sink) {
        for (std::size_t i = entry.reported; i < diagnostics.size(); ++i) entry.session->sink(diagnostics[i]);
    }
    entry.reported = diagnostics.size();
}

M5Status AddMessage(M5SessionHandle sessionHandle, std::unique_ptr<M5Message> message, M5MessageHandle& out) {
    Registry& registry = Registry::Instance();
    MessageEntry* entry = nullptr;
    {
        std::lock_guard lock(registry.mutex);
        const auto session = registry.sessions.find(sessionHandle.id);
        if (session == registry.sessions.end()) return M5STS_INVALID_HANDLE;
        const std::uint64_t id = registry.next++;
        M5Message* raw = message.get();
        session->second->messages.emplace(id, std::move(message));
        entry = &registry.messages.emplace(id, MessageEntry{session->second.get(), raw, 0}).first->second;
        out.id = id;
    }
    Report(*entry);
    return entry->message->LimitReached() ? M5STS_LIMIT_REACHED : M5STS_SUCCESS;
}

// The file's bytes from `offset`: all of them, or for a header only up to its first empty line.
M5Status ReadFile(const std::string& path, std::uint64_t offset, bool headerOnly, std::string& bytes) {
    FileSystem& fs = FileSystem::Current();
    const UniqueFd fd(fs.Open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return M5STS_READ_ERROR;
    struct stat st {};
    if (fs.StatFd(fd.Get(), st) != 0 || !S_ISREG(st.st_mode)) return M5STS_READ_ERROR;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (offset > size || fs.Seek(fd.Get(), static_cast<off_t>(offset), SEEK_SET) < 0) return M5STS_READ_ERROR;
    const std::size_t want = headerOnly ? kMaxHeaderBytes + kHeaderReadChunk : static_cast<std::size_t>(size - offset);
    bytes.clear();
    while (bytes.size() < want) {
        const std::size_t chunk = std::min(want - bytes.size(), headerOnly ? kHeaderReadChunk : kFileReadChunk);
        const std::size_t had = bytes.size();
        bytes.resize(had + chunk);
        const ssize_t got = fs.Read(fd.Get(), bytes.data() + had, chunk);
        if (got < 0) return M5STS_READ_ERROR;
        bytes.resize(had + static_cast<std::size_t>(got));
        if (got == 0) break;
        // A header read ends at the empty line (lines may end in a lone CR here, as the walk reads them);
        // only the new bytes and the three before them are searched.
        if (headerOnly && mime::FindHeaderEnd(bytes, 0, had, mime::LoneCr::EndsLine) != std::string::npos) break;
    }
    return M5STS_SUCCESS;
}

template <typename Call>
M5Status Guarded(Call call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return M5STS_OUT_OF_MEMORY;
    } catch (...) {
        return M5STS_OUT_OF_MEMORY;  // the library throws nothing else; std::length_error is a size too big
    }
}

}  // namespace

M5Status M5OpenSession(std::string_view name, unsigned flags, M5SessionHandle& session, M5DiagnosticSink sink) {
    return Guarded([&] {
        if (name.size() > kMaxSessionName) return M5STS_NAME_TOO_LONG;
        auto created = std::make_unique<Session>();
        created->name = std::string(name);
        created->flags = flags;
        created->sink = std::move(sink);
        Registry& registry = Registry::Instance();
        std::lock_guard lock(registry.mutex);
        session.id = registry.next++;
        registry.sessions.emplace(session.id, std::move(created));
        return M5STS_SUCCESS;
    });
}

M5Status M5CloseSession(M5SessionHandle session) {
    return Guarded([&] {
        Registry& registry = Registry::Instance();
        std::unique_ptr<Session> closing;
        {
            std::lock_guard lock(registry.mutex);
            const auto it = registry.sessions.find(session.id);
            if (it == registry.sessions.end()) return M5STS_INVALID_HANDLE;
            for (const auto& [id, message] : it->second->messages) registry.messages.erase(id);
            closing = std::move(it->second);
            registry.sessions.erase(it);
        }
        return M5STS_SUCCESS;  // the session and its messages are freed outside the lock
    });
}

M5Status M5OpenFiledMessage(M5SessionHandle session, const std::string& path, M5MessageHandle& message) {
    return Guarded([&] {
        if (FindSession(session) == nullptr) return M5STS_INVALID_HANDLE;
        std::string bytes;
        if (const M5Status status = ReadFile(path, 0, false, bytes); status != M5STS_SUCCESS) return status;
        return AddMessage(session, std::make_unique<M5Message>(std::move(bytes), false), message);
    });
}

M5Status M5OpenMessageBytes(M5SessionHandle session, std::string bytes, M5MessageHandle& message) {
    return Guarded([&] {
        if (FindSession(session) == nullptr) return M5STS_INVALID_HANDLE;
        return AddMessage(session, std::make_unique<M5Message>(std::move(bytes), false), message);
    });
}

M5Status M5ReadEnvelope(M5SessionHandle session, const std::string& path, std::uint64_t offset, M5MessageHandle& message) {
    return Guarded([&] {
        if (FindSession(session) == nullptr) return M5STS_INVALID_HANDLE;
        std::string bytes;
        if (const M5Status status = ReadFile(path, offset, true, bytes); status != M5STS_SUCCESS) return status;
        return AddMessage(session, std::make_unique<M5Message>(std::move(bytes), true), message);
    });
}

M5Status M5OpenEnvelope(M5MessageHandle message, const M5EnvelopeDesc*& envelope) {
    return M5GetEnvelopeDesc(message, 0, envelope);
}

M5Status M5GetEnvelopeDesc(M5MessageHandle message, std::size_t part, const M5EnvelopeDesc*& envelope) {
    return Guarded([&] {
        const MessageEntry* entry = FindMessage(message);
        if (entry == nullptr) return M5STS_INVALID_HANDLE;
        const M5Message& m = *entry->message;
        const std::size_t index = part == 0 ? 0 : part < m.Parts().size() ? m.Parts()[part].envelope : kM5NoPart;
        if (index >= m.Envelopes().size()) return M5STS_INVALID_HANDLE;
        envelope = &m.Envelopes()[index];
        return M5STS_SUCCESS;
    });
}

M5Status M5GetEmbeddedEnvelopeDesc(M5MessageHandle message, std::size_t part, const M5EnvelopeDesc*& envelope) {
    return Guarded([&] {
        const MessageEntry* entry = FindMessage(message);
        if (entry == nullptr) return M5STS_INVALID_HANDLE;
        const M5Message& m = *entry->message;
        if (part >= m.Parts().size() || m.Parts()[part].envelope >= m.Envelopes().size()) return M5STS_INVALID_HANDLE;
        envelope = &m.Envelopes()[m.Parts()[part].envelope];
        return M5STS_SUCCESS;
    });
}

M5Status M5GetMessageDesc(M5MessageHandle message, const M5PartDesc*& part) { return M5GetMimeDesc(message, 0, part); }

M5Status M5GetMimeDesc(M5MessageHandle message, std::size_t part, const M5PartDesc*& desc) {
    return Guarded([&] {
        const MessageEntry* entry = FindMessage(message);
        if (entry == nullptr || part >= entry->message->Parts().size()) return M5STS_INVALID_HANDLE;
        desc = &entry->message->Parts()[part];
        return M5STS_SUCCESS;
    });
}

M5Status M5FindSection(M5MessageHandle message, std::string_view section, std::size_t& part) {
    return Guarded([&] {
        const MessageEntry* entry = FindMessage(message);
        if (entry == nullptr) return M5STS_INVALID_HANDLE;
        const std::size_t found = entry->message->FindSection(section);
        if (found == kM5NoPart) return M5STS_INVALID_HANDLE;
        part = found;
        return M5STS_SUCCESS;
    });
}

M5Status M5GetPartLines(M5MessageHandle message, std::size_t part, std::size_t& lines) {
    return Guarded([&] {
        const MessageEntry* entry = FindMessage(message);
        if (entry == nullptr || part >= entry->message->Parts().size()) return M5STS_INVALID_HANDLE;
        lines = entry->message->BodyLines(part);
        return M5STS_SUCCESS;
    });
}

M5Status M5GetPartCount(M5MessageHandle message, std::size_t& count) {
    return Guarded([&] {
        const MessageEntry* entry = FindMessage(message);
        if (entry == nullptr) return M5STS_INVALID_HANDLE;
        count = entry->message->Parts().size();
        return M5STS_SUCCESS;
    });
}

M5Status M5ReadPart(M5MessageHandle message, std::size_t part, M5Delivery delivery, std::span<std::byte> buffer,
                    std::size_t& read) {
    return Guarded([&] {
        MessageEntry* entry = FindMessage(message);
        if (entry == nullptr || part >= entry->message->Parts().size()) return M5STS_INVALID_HANDLE;
        entry->message->Read(part, delivery, buffer, read);
        Report(*entry);
        return M5STS_SUCCESS;
    });
}

M5Status M5GetBytes(M5MessageHandle message, M5Range range, std::string_view& bytes) {
    return Guarded([&] {
        const MessageEntry* entry = FindMessage(message);
        if (entry == nullptr) return M5STS_INVALID_HANDLE;
        const std::string_view all = entry->message->Bytes();
        if (range.offset > all.size() || range.length > all.size() - range.offset) return M5STS_INVALID_HANDLE;
        bytes = all.substr(range.offset, range.length);
        return M5STS_SUCCESS;
    });
}

M5Status M5GetPartBody(M5MessageHandle message, std::size_t part, M5Delivery delivery, std::string& body) {
    return Guarded([&] {
        MessageEntry* entry = FindMessage(message);
        if (entry == nullptr || part >= entry->message->Parts().size()) return M5STS_INVALID_HANDLE;
        body = entry->message->Body(part, delivery);
        Report(*entry);
        return M5STS_SUCCESS;
    });
}

M5Status M5CloseMessage(M5MessageHandle message) {
    return Guarded([&] {
        Registry& registry = Registry::Instance();
        std::unique_ptr<M5Message> closing;
        {
            std::lock_guard lock(registry.mutex);
            const auto it = registry.messages.find(message.id);
            if (it == registry.messages.end()) return M5STS_INVALID_HANDLE;
            auto& owned = it->second.session->messages;
            const auto mine = owned.find(message.id);
            closing = std::move(mine->second);
            owned.erase(mine);
            registry.messages.erase(it);
        }
        return M5STS_SUCCESS;
    });
}

}  // namespace pw::m5
