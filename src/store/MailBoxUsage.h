// MailBoxUsage: the bytes and messages a mailbox holds over all its folders, as a quota check wants
// them, kept per process so that a delivery does not stat every message of the mailbox each time.
//
// A mailbox's figure is counted once (every folder's listing, one stat per message) and then adjusted
// by every publication and removal this process makes below it. Changes it can not follow -- another
// process (the admin tool), a content replaced after publication, a folder removed or moved -- are
// caught by age: a figure older than kUsageRefresh is counted again, and the replacements and
// collection changes this process makes drop the figure at once.
// A count that overlapped a change of its mailbox is used once but not kept: UsageChange brackets each
// change, so a figure is never both counted and adjusted for the same message.
// Thread safety: any thread; one mutex guards the process's figures.
#pragma once

#include "platform/DirStorage.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace pw::store {

struct MailBoxUsage {
    std::uint64_t bytes = 0;
    std::uint64_t messages = 0;
};

// How long a figure is trusted for changes this process did not make.
inline constexpr std::chrono::seconds kUsageRefresh{60};
// How many mailboxes' figures a process keeps; beyond it the oldest are forgotten.
inline constexpr std::size_t kMaxKeptUsages = 4096;

// The figure of the mailbox directory `mailbox`: the kept one when younger than maxAge, else `count()`
// (kept unless a change of the mailbox overlapped it).
MailBoxUsage KeptUsage(const std::string& mailbox, std::chrono::seconds maxAge, const std::function<MailBoxUsage()>& count);

// The mailbox directory a folder directory lies below (the first two components of its store path,
// the domain and the mailbox); nullopt for folders that belong to no mailbox (the server's queues).
std::optional<std::string> MailBoxPathOf(const DirStorage& folder, const std::string& rootPath);

// One change of the messages of a folder, from before its first file operation to after its last.
// Commit gives the change's size; a change dropped without Commit (a failure) drops the figure.
class UsageChange {
public:
    UsageChange(const DirStorage& folder, const std::string& rootPath);
    ~UsageChange();
    UsageChange(const UsageChange&) = delete;
    UsageChange& operator=(const UsageChange&) = delete;

    // Is a figure kept for the mailbox, so that Commit wants the change's size?
    bool Wanted() const { return registered_; }
    void Commit(std::int64_t bytes, std::int64_t messages);

private:
    struct Delta {
        std::int64_t bytes;
        std::int64_t messages;
    };
    void Finish(std::optional<Delta> delta);

    std::optional<std::string> mailbox_;
    bool registered_ = false;
    bool finished_ = false;
};

// Drops the figure of the mailbox a folder lies below (its content changed in a way not counted).
void ForgetUsage(const DirStorage& folder, const std::string& rootPath);
// Drops every figure (a store object was removed or moved: a figure may name a path it no longer has).
void ForgetAllUsages();

}  // namespace pw::store
