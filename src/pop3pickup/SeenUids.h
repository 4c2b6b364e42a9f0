// SeenUids: what a POP3 pickup account has already taken from its server, by the server's unique ids
// (UIDL), kept between runs and restarts.
//
// One table per server, port and account -- not per configuration index, so renumbering the pickups
// keeps each table with its account -- as one file in the directory "POP3Pickup" under the store
// root. That directory has no property file, so the store's start-up and its domain listings pass it
// by as they pass the IMAP working directory. The file is replaced whole and atomically
// (DirStorage::ReplaceStream): a crash leaves the old table or the new one, never a mix.
//
// Format, text lines ending in LF:
//   pellworth-pop3pickup-seen 1
//   server <server>
//   port <port>
//   account <account>
//   <uid> <first seen, seconds since 1970 UTC> <state>
// state "kept" (left on the server) or "delivered" (published here, its deletion on the server not yet
// confirmed by QUIT). A file whose first line or identity lines differ is not this table and is read
// as empty. Unique ids are printable ASCII without blanks (RFC 1939), so a blank separates fields.
// Thread safety: one object per run; a cycle runs each account once, so no two runs share a file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/DirStorage.h"

namespace pw::pop3pickup {

inline constexpr std::string_view kSeenDirectoryName = "POP3Pickup";

class SeenUids {
public:
    enum class State { Kept, Delivered };
    struct Entry {
        std::int64_t firstSeen = 0;  // seconds since 1970 UTC
        State state = State::Kept;
    };

    SeenUids(const std::string& storeRoot, std::string server, std::uint16_t port, std::string account);

    // Reads the table; a missing file is an empty table. False (and an empty table) when the file
    // can not be read or is not this account's.
    bool Load();
    // Replaces the file with the table; false when it could not be written (the caller logs it).
    bool Save() const;

    const Entry* Find(std::string_view uid) const;
    void Set(std::string_view uid, Entry entry) { entries_[std::string(uid)] = entry; }
    void Erase(std::string_view uid) { entries_.erase(std::string(uid)); }
    std::map<std::string, Entry, std::less<>>& Entries() { return entries_; }

    // The file's name in the directory: a digest of server, port and account (which any text may
    // hold, while a file name may not).
    std::string FileName() const;
    const DirStorage& Directory() const { return directory_; }

    // The file's text, and the table read from it; exposed for the tests of the format.
    std::string Serialize() const;
    bool Parse(std::string_view text);

private:
    DirStorage directory_;
    std::string server_;
    std::uint16_t port_;
    std::string account_;
    std::map<std::string, Entry, std::less<>> entries_;
};

}  // namespace pw::pop3pickup
