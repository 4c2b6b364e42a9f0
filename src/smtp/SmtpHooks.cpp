// SmtpHooks: the hooks the service fills, each called outside the lock that guards it.
#include "smtp/SmtpHooks.h"

#include <mutex>

namespace pw::smtp {

namespace {

std::mutex hooksLock;
std::function<bool(const IpAddress&)> popBeforeSmtp;
std::function<bool(ReleaseKind, const std::string&)> releaseForNode;

}  // namespace

void SetPopBeforeSmtpCheck(std::function<bool(const IpAddress&)> check) {
    std::lock_guard guard(hooksLock);
    popBeforeSmtp = std::move(check);
}

bool PopBeforeSmtpHolds(const IpAddress& client) {
    std::function<bool(const IpAddress&)> check;
    {
        std::lock_guard guard(hooksLock);
        check = popBeforeSmtp;
    }
    return check && check(client);
}

void SetReleaseForNode(std::function<bool(ReleaseKind, const std::string&)> release) {
    std::lock_guard guard(hooksLock);
    releaseForNode = std::move(release);
}

bool ReleaseNode(ReleaseKind kind, const std::string& node) {
    std::function<bool(ReleaseKind, const std::string&)> release;
    {
        std::lock_guard guard(hooksLock);
        release = releaseForNode;
    }
    return release && release(kind, node);
}

}  // namespace pw::smtp
