// ImapStore: the IMAP server's one way into the message store -- the session's own store objects,
// account lookup and log in, the greeting text and the store's capability bits, and mailbox access:
// folders by IMAP name with their rights and special uses, the message vector of a folder, flags, and removal.
//
// Names: "INBOX" (any case) is the mailbox's inbox folder; names below the public prefix
// ("sys:public:prefix", default "Public Folders", always ending in "/") are the public folders of
// the store's root; every other name is one of the user's own folders, levels joined by "/". A name's
// levels may not be empty, "." or "..", begin with "_" (the store's own folders) or hold control
// characters. The user's own folders grant every right; a public folder grants what its first ACL
// entry of "_ACL:Members:" + the user's address, domain, "localhost" and "default" says, and nothing
// without one.
// Flags are the envelope property "_ImapFlags" (VT_UI2), or "_ImapFlags:local@domain" in a folder
// whose "_IMAP:FlagsPerUser" is non-zero; each is written alone (Envelope::UpdateProperty).
// Special use (RFC 6154): a folder of the user's own whose text property "_IMAP:SpecialUse" holds one
// of kSpecialUses has that use (an empty or unknown text: none); without the property a top-level
// folder has the use its name implies ("Sent Items" is \Sent). The inbox and public folders have none.
//
// Accounts are user mailboxes only. A name without a domain, or with "localhost", means the primary
// domain. The password is the clear one the store deciphers from "_Password". A good login records
// the client in the POP-before-SMTP table, as a POP3 login does.
// Thread safety: one per session; the store serialises what sessions share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "imap/MessageVector.h"
#include "store/Folder.h"
#include "platform/IpAddress.h"
#include "store/MessageStore.h"

namespace pw::imap {

inline constexpr std::string_view kGreetingText = "Quillon IMAP4rev1 Server Ready!";
// Capability bits of the store: 8 makes CAPABILITY list UIDPLUS and APPEND/COPY report their UIDs;
// 2 and 4 allow renaming mailboxes; 16 would stop the check for mailbox changes after commands.
inline constexpr unsigned kStoreCapabilityRename = 2;
inline constexpr unsigned kStoreCapabilityUidPlus = 8;
inline constexpr unsigned kStoreCapabilityNoUpdates = 16;
inline constexpr unsigned kStoreCapabilities = kStoreCapabilityRename | kStoreCapabilityUidPlus;

inline constexpr std::string_view kAllRights = "lrswipcda";
// The diagnostic of a message another session or POP3 removed.
inline constexpr std::string_view kMessageGone = "Message no longer exists";
inline constexpr std::string_view kDefaultPublicPrefix = "Public Folders";
// The special-use attributes a folder may carry, as LIST writes them (\All and \Flagged would need
// folders the store does not have).
inline constexpr std::string_view kSpecialUses[] = {"\\Drafts", "\\Sent", "\\Trash", "\\Junk", "\\Archive"};

struct FolderRecord {
    std::shared_ptr<store::Folder> folder;
    std::string name;  // as the session calls it: "INBOX" for the inbox
    std::string rights{kAllRights};
    bool isPublic = false;
    bool readOnly = false;  // no right to change anything in it

    bool Has(char right) const { return rights.find(right) != std::string::npos; }
};

// A change of stored flags: bits and keywords to add and remove, or with `replaceKeywords` the
// keywords to hold from now on (`addKeywords`).
struct FlagChange {
    std::uint16_t add = 0;
    std::uint16_t remove = 0;
    Keywords addKeywords;
    Keywords removeKeywords;
    bool replaceKeywords = false;
    // The caller makes the change durable with FlushFlags before its reply, once for several changes.
    bool flushLater = false;
};

struct StoredFlags {
    std::uint16_t bits = 0;
    Keywords keywords;
};

struct AccountInfo {
    std::string canonicalName;  // "local@domain" as the store spells it
    std::string password;
    std::string inboxOverride;  // no property sets it: always empty, the check stays in place
    bool readOnly = false;      // likewise never set
    bool disabled = false;      // likewise never set
};

class ImapStore {
public:
    // Opens the session's own store objects; false with a diagnostic when the store can not be had.
    bool Open(std::string& diagnostic);
    void Close();
    unsigned Capabilities() const { return kStoreCapabilities; }

    // The account a client names, or nullopt when there is none that may log in.
    std::optional<AccountInfo> FindAccount(std::string_view user) const;
    // Keeps the account's mailbox for the session, records the client (IPv4, network byte order) for
    // POP-before-SMTP, and returns the name of its inbox folder; nullopt when the mailbox is gone.
    std::optional<std::string> LogIn(const AccountInfo& account, const IpAddress& client);

    // Refuses a name no folder may have; the diagnostic is a BAD one.
    static bool CheckName(std::string_view name, std::string& diagnostic);
    // The folder a client names (UTF-8, checked), or nullopt with the NO diagnostic.
    std::optional<FolderRecord> FindFolder(std::string_view name, std::string& diagnostic) const;
    // The messages of a folder in UID order with their flags; a folder without a creation date gets
    // one here, so that its UIDVALIDITY is never 0 and stays as long as the folder lives. The
    // messages are a table shared with every session of the process at the same state of the
    // folder's index and the same flags key (built by the first to ask).
    // With `since` (the `change` of a vector built before), `touched` lists the UIDs the folder's
    // changes since then touched, present or not, when the store still knows which.
    MessageVector BuildVector(const FolderRecord& folder, std::uint64_t since = 0) const;
    // The folder's UID validity, given at the first look and kept with the folder: the value of its
    // creation second, or for a folder this server makes (and one whose id counter started again) one
    // above every value given in the mailbox before, so that a folder deleted and made again within
    // a second is told from the old one.
    std::uint32_t UidValidity(const FolderRecord& folder) const;
    // The folder's object id (MAILBOXID): from its directory, so RENAME keeps it and a folder made
    // again gets another. Empty when the directory can not be read.
    std::string MailboxId(const FolderRecord& folder) const;
    // \Recent (RFC 3501): a message is recent to the one session that first selects the folder (for
    // writing) after it came. The mark is the highest UID so shown; ClaimRecent raises it to `highest`
    // and returns what it was, so that the messages above the returned mark are this session's recent.
    std::uint32_t RecentMark(const FolderRecord& folder) const;
    std::uint32_t ClaimRecent(const FolderRecord& folder, std::uint32_t highest) const;
    // Per message of `vector`, its mod-sequence and this user's flags in the folder's index now
    // (nullopt for one removed since).
    struct IndexedFlags {
        std::uint64_t modseq = 0;
        StoredFlags flags;
    };
    std::vector<std::optional<IndexedFlags>> CurrentFlags(const FolderRecord& folder, const MessageVector& vector) const;
    // One message's flags for this user in the folder's index now (ahead of its record, which may not
    // have caught up yet); nullopt when it is gone. Throws ComError.
    std::optional<StoredFlags> FlagsInIndex(const FolderRecord& folder, std::uint32_t uid) const;
    // The UIDs removed from the folder after mod-sequence `since`, as normalized ranges (which may
    // span UIDs never used); nullopt when the folder's index no longer remembers that far back.
    std::optional<NumberRanges> VanishedSince(const FolderRecord& folder, std::uint64_t since) const;
    // Moves whenever a message of the folder is added, removed or has its record rewritten.
    double Stamp(const FolderRecord& folder) const;
    // Adds and removes flags and keywords relative to what the store holds now, under the folder's lock
    // and with one flush of it for all the messages, so that another session's change made meanwhile
    // stays: per UID the flags stored, or nullopt for a message that is gone; empty with a diagnostic
    // on failure.
    // With `expected` (by UID), a message whose flags are no longer those is left as it is and its UID
    // added to `refused`: the check is made under the folder's lock, with the write.
    std::vector<std::optional<StoredFlags>> ChangeFlags(const FolderRecord& folder, const std::vector<std::uint32_t>& uids,
                                                        const FlagChange& change, std::string& diagnostic,
                                                        const std::unordered_map<std::uint32_t, StoredFlags>* expected = nullptr,
                                                        std::vector<std::uint32_t>* refused = nullptr) const;
    // The message file of a message, open for reading; null with a diagnostic when it is gone. The
    // store replaces a file by renaming a new one over it, so what this stream reads never changes.
    // Makes the flag changes made with `flushLater` durable; false with a diagnostic on failure.
    bool FlushFlags(const FolderRecord& folder, std::string& diagnostic) const;
    std::unique_ptr<FileStream> OpenContent(const FolderRecord& folder, std::uint32_t uid, std::string& diagnostic) const;
    bool RemoveMessage(const FolderRecord& folder, std::uint32_t uid, std::string& diagnostic) const;
    // Removes a message only when the store holds it \Deleted now (what a session shows may be its
    // own view, or old): true when removed, false when not marked (or gone), nullopt on failure.
    std::optional<bool> RemoveIfDeleted(const FolderRecord& folder, std::uint32_t uid, std::string& diagnostic) const;
    // Publishes a staged message (its content written and closed) with its flags, keywords and
    // internal date; its UID, or nullopt.
    std::optional<std::uint32_t> PublishAppended(const FolderRecord& folder, store::Envelope& envelope, const StoredFlags& flags,
                                                 Date received, std::string& diagnostic) const;
    // What of these flags a user may store in a folder: \Seen with "s", \Deleted with "d", the other
    // flags and keywords with "w".
    static StoredFlags AllowedFlags(const FolderRecord& folder, StoredFlags flags);
    // A published copy (record and content, the flags the target allows) in another folder; its UID,
    // or nullopt.
    std::optional<std::uint32_t> CopyMessage(const FolderRecord& from, std::uint32_t uid, const FolderRecord& to,
                                             std::string& diagnostic) const;

    // Every folder the user may see, by name, parents before children: "INBOX", the user's own, and
    // the public ones under the prefix (the prefix itself first, as a folder that holds only folders).
    std::vector<std::string> FolderNames() const;
    std::string PublicPrefix() const;
    // A folder of the user's own, with the levels above it that are missing; a special use (one of
    // kSpecialUses) is written with it, and a folder whose use could not be written is removed again.
    bool CreateFolder(std::string_view name, std::string& diagnostic, std::string_view specialUse = {}) const;
    // The special-use attribute of a folder FolderNames lists, or "" for none.
    std::string SpecialUse(std::string_view name) const;
    // One of kSpecialUses for an attribute given in any case, or "" when it is not one of them.
    static std::string_view SupportedSpecialUse(std::string_view attribute);
    // Only a folder without sub-folders: deleting a tree would remove mail nobody asked to delete.
    bool DeleteFolder(const FolderRecord& folder, std::string& diagnostic) const;
    // A new name, on the same level or below another parent (made when missing, as CREATE does); the
    // folder goes with its messages, UIDs, UID validity and sub-folders. The caller refuses a target
    // inside the folder itself.
    bool RenameFolder(const FolderRecord& folder, std::string_view newName, std::string& diagnostic) const;
    // Moves the inbox's messages into a new folder: each copy is safe before its original goes.
    bool MoveInbox(std::string_view newName, std::string& diagnostic) const;

    const std::shared_ptr<store::MessageStore>& Store() const { return store_; }
    const std::shared_ptr<store::MailBox>& MailBox() const { return mailbox_; }

private:
    std::shared_ptr<store::MailBox> FindUserMailBox(std::string_view user) const;
    // The user's folders below a folder of the user's own ("" for the top); throws ComError when the
    // parent is missing.
    std::shared_ptr<store::Folders> FoldersBelow(std::string_view parent) const;
    std::string PublicRights(const store::Folder& folder) const;
    std::string FlagsKey(const store::Folder& folder) const;
    // Keywords beside the flags, per user where the flags are: "_ImapKeywords" (text, blank-separated).
    std::string KeywordsKey(const store::Folder& folder) const;
    std::string RecentKey(const store::Folder& folder) const;
    std::uint32_t LegacyRecentMark(const FolderRecord& record, const std::string& key) const;
    // The UID validity, knowing whether the counter records its last published id.
    std::uint32_t UidValidity(const FolderRecord& record, bool recorded) const;
    // Gives a folder its UID validity; `fresh` lifts it above `previous` and every one given before.
    std::uint32_t AssignUidValidity(const FolderRecord& record, std::uint32_t previous, bool fresh) const;

    std::shared_ptr<store::MessageStore> store_;
    std::string primaryDomain_;
    std::shared_ptr<store::MailBox> mailbox_;
};

}  // namespace pw::imap
