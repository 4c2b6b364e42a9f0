// ImapServer: module settings, start and stop.
#include "imap/ImapServer.h"

#include <atomic>
#include <mutex>

#include "core/Configuration.h"
#include "core/Logging.h"
#include "imap/ImapLimits.h"
#include "platform/DirStorage.h"

namespace pw::imap {

namespace {

constexpr std::string_view kWorkingDirectoryName = "IMAP";

std::mutex settingsLock;
ImapSettings settings{std::chrono::duration_cast<std::chrono::seconds>(kDefaultIdleTimeout), {}};
std::atomic<bool> stopping{false};

std::chrono::seconds ReadIdleTimeout() {
    const Variant value = core::ServerConfig().GetCopy("sys:imap4:timeout");
    const std::int64_t minutes = value.IsEmpty() ? 0 : value.AsInt64();
    if (minutes <= 0) return std::chrono::duration_cast<std::chrono::seconds>(kDefaultIdleTimeout);
    return std::chrono::minutes(minutes);
}

}  // namespace

std::uint64_t ImapMaxMessageBytes() {
    const Variant value = core::ServerConfig().GetCopy("sys:imap4:maxmessagesize");
    return value.IsEmpty() || value.AsInt64() <= 0 ? kDefaultMaxMessageBytes : static_cast<std::uint64_t>(value.AsInt64());
}

bool StartImapServer(const std::string& storeRoot) {
    ImapSettings fresh;
    fresh.idleTimeout = ReadIdleTimeout();
    std::string directory = storeRoot;
    if (!directory.empty() && directory.back() != '/') directory += '/';
    directory += kWorkingDirectoryName;
    // Only the working directory itself is made: below a store root that is missing IMAP is unusable.
    const bool usable = DirStorage(storeRoot).Exists() && Succeeded(DirStorage(directory).CreateSelf());
    if (usable) {
        fresh.workingDirectory = directory + "/";
    } else {
        core::Log(core::LogLevelCritical, "IMAP4 init failed, working directory not valid:  \"" + directory + "\"");
    }
    {
        std::lock_guard guard(settingsLock);
        settings = fresh;
    }
    stopping = false;
    core::Log(core::LogLevelNormal, "IMAP service starting");
    return usable;
}

void StopImapServer() {
    stopping = true;
    core::Log(core::LogLevelNormal, "IMAP service terminating");
}

bool ImapStopping() { return stopping; }

ImapSettings CurrentImapSettings() {
    std::lock_guard guard(settingsLock);
    return settings;
}

}  // namespace pw::imap
