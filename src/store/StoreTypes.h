// StoreTypes: the kinds, numbers, names and limits the message store shares with its callers.
//
// The enumerations keep their automation values: property files record them ("_Type") and the
// administration clients send them. The names are the store's own file and key names.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pw::store {

enum StoreObjectTypeEnum : std::int32_t {
    StoreNoType = 0,
    StoreMessageStoreType = 1,
    StoreDomainType = 2,
    StoreMailBoxType = 3,
    StoreFolderType = 4,
    StoreMessageType = 5,
    StoreEnvelopeType = 6,
};

enum MailBoxTypeEnum : std::int32_t {
    NoMailBoxType = 0,
    PostmasterMailBoxType = 1,
    UserMailBoxType = 100,
    ForwardMailBoxType = 200,
    GroupMailBoxType = 300,
    MailingListMailBoxType = 400,
    AutoResponderMailBoxType = 500,
    RobotMailBoxType = 600,
    RelayMailBoxType = 700,
    AliasMailBoxType = 800,
};

enum FolderTypeEnum : std::int32_t {
    NormalFolderType = 0,
    InboxFolderType = 1,
    OutboxFolderType = 2,
    TempFolderType = 3,
    PublicFolderType = 4,
    PublicSystemFolderType = 5,
    SystemFolderType = 6,
};

enum EnvelopePriorityEnum : std::int32_t {
    EnvelopePriorityNone = 0,
    EnvelopePriorityHighest = 1,
    EnvelopePriorityHigh = 2,
    EnvelopePriorityNormal = 3,
    EnvelopePriorityLow = 4,
    EnvelopePriorityLowest = 5,
};

// The spelling of the first name is the automation library's own; clients use the numbers.
enum UnknownEmailEnum : std::int32_t {
    UnkownEmailReturnSender = 0,
    UnknownEmailSendDomain = 1,
    UnknownEmailSendMailBox = 2,
};

bool IsMailBoxType(std::int32_t kind);
bool IsFolderType(std::int32_t type);
// Postmaster, user and relay mailboxes receive mail into an inbox; the other kinds pass it on.
bool MailBoxHasInbox(std::int32_t kind);

// Record writers of many records at once: records changed per hold of the folder's locks (readers of
// the folder's index see the batch progress between them), and the size of a batch from which one
// flush of the file system costs less than a flush per record.
inline constexpr std::size_t kRecordBatch = 256;
inline constexpr std::size_t kFileSystemFlushBatch = 8;

// Property keys every store object may carry.
inline constexpr std::string_view kVersionKey = "_Version";
inline constexpr std::string_view kTypeKey = "_Type";
inline constexpr std::string_view kCommentKey = "_Comment";
inline constexpr std::string_view kPasswordKey = "_Password";
inline constexpr std::string_view kCreateDateKey = "_CreateDate";
inline constexpr std::int32_t kObjectVersion = 1;

// Folder and envelope file names.
inline constexpr std::string_view kUidFileName = "_uid";
inline constexpr std::string_view kInFolderName = "_In";
inline constexpr std::string_view kOutFolderName = "_Out";
inline constexpr std::string_view kRecordExtension = ".env";
inline constexpr std::string_view kContentExtension = ".eml";
inline constexpr std::string_view kAgentExtension = ".agent";

// How long an open waits for a store file another thread or process holds before it fails with
// STG_E_SHAREVIOLATION. Generous: the holders keep their files only for one read or one write.
inline constexpr std::chrono::milliseconds kStoreLockBound{30000};
// Envelope ids are doubles, and IMAP clients know them as 32-bit UIDs: a counter at or past 2^32
// counts as damaged, and a folder whose ids have run out takes no more envelopes.
inline constexpr double kMaxUid = 4294967296.0;

}  // namespace pw::store
