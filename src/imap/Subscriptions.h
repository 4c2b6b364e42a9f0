// Subscriptions: the mailbox names a user subscribed to ("SUBSCRIBE" in the user's directory of the
// IMAP module, one name per line, as the client wrote it), and how they follow a folder that is
// deleted or renamed.
//
// The file is replaced whole (written aside, then renamed over), never rewritten in place, so a crash
// leaves the old list or the new one.
// Thread safety: none; one session's own (two sessions of a user may each replace the file).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::imap {

class Subscriptions {
public:
    // `userDirectory` ends with "/".
    explicit Subscriptions(std::string userDirectory) : directory_(std::move(userDirectory)) {}

    // The names, as the client wrote them; none when the file is missing.
    std::vector<std::string> Names() const;
    // Replaces the file whole; false (logged) when it could not be written.
    bool Write(const std::vector<std::string>& names) const;
    // After DELETE (no `to`) or RENAME of folder `from` (UTF-8): its subscription goes, or follows it
    // with those of the levels below, to `to` as the client wrote it.
    void Carry(std::string_view from, std::optional<std::string_view> to) const;

private:
    std::string directory_;
};

}  // namespace pw::imap
