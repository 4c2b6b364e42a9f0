// MLMembers, MLMember: the members of one mailing list, kept in the list's own SQLite database.
//
// The database is one file per list ("ml:datasource", by default "<list directory>/<name>.mdb"),
// made on first use with the table `Members` and its unique index `EmailAddress` on `Email`, the
// member's bare address in lower case. It runs in WAL mode with a busy time-out of
// kMemberDatabaseBusyMs, so several routers and the admin tool may use it at once: SQLite serialises
// the writers. A file there that is not an SQLite database is an error, never overwritten. Every
// statement is prepared with bound values; no text ever becomes SQL.
// Failures throw ComError with SQLite's description (the router then keeps the message queued).
// Thread safety: one MLMembers per thread (each has its own connection); members refer to the
// connection of the MLMembers that made them and must not outlive it.
#pragma once

#include "platform/AutomationDate.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace pw::lists {

class MemberDatabase;

class MLMember {
public:
    const std::string& Address() const { return address_; }
    const std::string& Comment() const { return comment_; }
    void SetComment(std::string_view comment) { comment_ = std::string(comment); }
    std::int32_t Status() const { return status_; }
    void SetStatus(std::int32_t status) { status_ = status; }
    Date VactionReturnDate() const { return vacationReturn_; }
    void SetVactionReturnDate(Date date) { vacationReturn_ = date; }
    std::int32_t MessageFormat() const { return messageFormat_; }
    void SetMessageFormat(std::int32_t format) { messageFormat_ = format; }
    std::int32_t MessagesPosted() const { return messagesPosted_; }
    void SetMessagesPosted(std::int32_t count) { messagesPosted_ = count; }
    Date Created() const { return created_; }
    std::int32_t Errors() const { return errors_; }
    Date LastError() const { return lastError_; }
    // The row's id: the bounce return path of the member's copies names it.
    std::int64_t RowId() const { return rowId_; }
    // Writes the changeable fields back to the member's row; throws when the row has gone.
    void Update();

private:
    friend class MLMembers;
    friend struct MemberRow;
    std::shared_ptr<MemberDatabase> database_;
    std::int64_t rowId_ = 0;
    std::string address_;
    std::string comment_;
    Date created_ = 0;
    std::int32_t status_ = 0;
    Date vacationReturn_ = 0;
    std::int32_t messageFormat_ = 0;
    std::int32_t messagesPosted_ = 0;
    std::int32_t errors_ = 0;
    Date lastError_ = 0;
};

class MLMembers {
public:
    // Opens (making it when missing) the database file; throws ComError.
    explicit MLMembers(const std::string& path);
    ~MLMembers();
    MLMembers(const MLMembers&) = delete;
    MLMembers& operator=(const MLMembers&) = delete;

    // The bare lower-case address a text names ("John <John@Example.org>" -> "john@example.org");
    // "" when it names none.
    static std::string Normalise(std::string_view address);

    // Adds a member; an address already a member, or no address, throws (E_INVALIDARG /
    // STG_E_FILEALREADYEXISTS) and adds nothing.
    MLMember Add(std::string_view address);
    std::int32_t Count();
    // By position in index order (0-based) or by address; nullopt when there is none.
    std::optional<MLMember> Item(std::int64_t index);
    std::optional<MLMember> Item(std::string_view address);
    std::optional<MLMember> ByRowId(std::int64_t rowId);
    // The enumeration: up to `count` members after the last one Next returned (index order).
    std::vector<MLMember> Next(std::size_t count);
    void Reset() { cursor_.clear(); }
    // False when the address was no member.
    bool Remove(std::string_view address);
    bool RemoveRow(std::int64_t rowId);
    // Up to `count` members whose address sorts after `after` ("" is before all), index order.
    std::vector<MLMember> After(std::string_view after, std::size_t count);
    // A permanent delivery failure of a member: its count raised (started again when the last one is
    // older than kMemberErrorDays); returns the new count.
    std::int32_t CountError(std::int64_t rowId, Date now);
    // One posting more by the member.
    void CountPosting(std::string_view address);

private:
    std::shared_ptr<MemberDatabase> database_;
    std::string cursor_;
};

}  // namespace pw::lists
