// MLMembers: the member database over SQLite -- schema, statements and the member rows.
#include "lists/MLMembers.h"

#include <sqlite3.h>

#include "lists/ListTypes.h"
#include "mime/Address.h"
#include "platform/HResult.h"
#include "platform/Text.h"

namespace pw::lists {

// One connection; statements are prepared per call (they are cheap next to the mail they serve).
class MemberDatabase {
public:
    explicit MemberDatabase(const std::string& path) : path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            db_ = nullptr;
            throw ComError(STG_E_FILENOTFOUND, "The member database " + path + " can not be opened: " + why);
        }
        sqlite3_busy_timeout(db_, kMemberDatabaseBusyMs);
    }
    ~MemberDatabase() { sqlite3_close(db_); }
    MemberDatabase(const MemberDatabase&) = delete;
    MemberDatabase& operator=(const MemberDatabase&) = delete;

    [[noreturn]] void Fail(std::string_view what) const {
        throw ComError(E_FAIL, "The member database " + path_ + ": " + std::string(what) + ": " + sqlite3_errmsg(db_));
    }
    sqlite3* Handle() const { return db_; }

private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

namespace {

// A prepared statement with its values bound by position (from 1).
class Statement {
public:
    Statement(const MemberDatabase& database, const char* sql) : database_(database) {
        if (sqlite3_prepare_v2(database.Handle(), sql, -1, &statement_, nullptr) != SQLITE_OK) database.Fail("prepare");
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, std::string_view text) {
        Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& Bind(int index, std::int64_t value) {
        Check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Statement& Bind(int index, double value) {
        Check(sqlite3_bind_double(statement_, index, value));
        return *this;
    }
    // True while there is a row.
    bool Step() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) return true;
        if (result == SQLITE_DONE) return false;
        database_.Fail("step");
    }
    // Runs a statement that returns nothing; the result code (SQLITE_CONSTRAINT is the caller's).
    int Run() {
        const int result = sqlite3_step(statement_);
        return result == SQLITE_ROW ? SQLITE_DONE : (result & 0xff);
    }
    std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
    double Real(int column) const { return sqlite3_column_double(statement_, column); }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(statement_, column);
        return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))) : std::string();
    }

private:
    void Check(int result) const {
        if (result != SQLITE_OK) database_.Fail("bind");
    }
    const MemberDatabase& database_;
    sqlite3_stmt* statement_ = nullptr;
};

void Execute(const MemberDatabase& database, const char* sql) {
    Statement statement(database, sql);
    if (statement.Run() != SQLITE_DONE) database.Fail(sql);
}

constexpr const char* kColumns = "rowid, Email, Comment, Created, Status, VacationReturn, MessageFormat, MessagesPosted, Errors, LastError";

}  // namespace

// Reads the row a statement stands on (its columns as kColumns).
struct MemberRow {
    static MLMember From(const Statement& row, const std::shared_ptr<MemberDatabase>& database) {
        MLMember member;
        member.database_ = database;
        member.rowId_ = row.Int(0);
        member.address_ = row.Text(1);
        member.comment_ = row.Text(2);
        member.created_ = row.Real(3);
        member.status_ = static_cast<std::int32_t>(row.Int(4));
        member.vacationReturn_ = row.Real(5);
        member.messageFormat_ = static_cast<std::int32_t>(row.Int(6));
        member.messagesPosted_ = static_cast<std::int32_t>(row.Int(7));
        member.errors_ = static_cast<std::int32_t>(row.Int(8));
        member.lastError_ = row.Real(9);
        return member;
    }
};

namespace {

std::string Select(std::string_view rest) {
    return std::string("SELECT ") + kColumns + " FROM Members " + std::string(rest);
}

std::vector<MLMember> ReadAll(Statement& statement, const std::shared_ptr<MemberDatabase>& database) {
    std::vector<MLMember> members;
    while (statement.Step()) members.push_back(MemberRow::From(statement, database));
    return members;
}

}  // namespace

MLMembers::MLMembers(const std::string& path) : database_(std::make_shared<MemberDatabase>(path)) {
    // The first statement reads the file: one that is no SQLite database fails here, untouched.
    Statement mode(*database_, "PRAGMA journal_mode=WAL");
    if (!mode.Step()) database_->Fail("journal mode");
    Execute(*database_,
            "CREATE TABLE IF NOT EXISTS Members ("
            "Email TEXT NOT NULL, Comment TEXT NOT NULL DEFAULT '', Created REAL NOT NULL DEFAULT 0, "
            "Status INTEGER NOT NULL DEFAULT 0, VacationReturn REAL NOT NULL DEFAULT 0, "
            "MessageFormat INTEGER NOT NULL DEFAULT 0, MessagesPosted INTEGER NOT NULL DEFAULT 0, "
            "Errors INTEGER NOT NULL DEFAULT 0, LastError REAL NOT NULL DEFAULT 0)");
    Execute(*database_, "CREATE UNIQUE INDEX IF NOT EXISTS EmailAddress ON Members (Email)");
}

MLMembers::~MLMembers() = default;

std::string MLMembers::Normalise(std::string_view address) {
    mime::ParsedAddress parsed;
    if (!mime::ParseAddress(TrimAscii(address), parsed) || parsed.local.empty() || !parsed.domainWritten || parsed.domain.empty()) return {};
    const std::string bare = ToLowerAscii(parsed.local + "@" + parsed.domain);
    // A member's address is written between angle brackets and into envelopes: nothing may end it there.
    for (const char c : bare) {
        if (static_cast<unsigned char>(c) < 0x21 || c == '<' || c == '>' || c == 0x7f) return {};
    }
    return bare;
}

MLMember MLMembers::Add(std::string_view address) {
    const std::string email = Normalise(address);
    if (email.empty()) throw ComError(E_INVALIDARG, "Not an address: " + std::string(TrimAscii(address)));
    Statement insert(*database_, "INSERT INTO Members (Email, Created) VALUES (?, ?)");
    insert.Bind(1, email).Bind(2, Now());
    const int result = insert.Run();
    if (result == SQLITE_CONSTRAINT) throw ComError(STG_E_FILEALREADYEXISTS, email + " is already a member");
    if (result != SQLITE_DONE) database_->Fail("insert");
    auto member = ByRowId(sqlite3_last_insert_rowid(database_->Handle()));
    if (!member) database_->Fail("insert");
    return *member;
}

std::int32_t MLMembers::Count() {
    Statement count(*database_, "SELECT COUNT(*) FROM Members");
    return count.Step() ? static_cast<std::int32_t>(count.Int(0)) : 0;
}

std::optional<MLMember> MLMembers::Item(std::int64_t index) {
    if (index < 0) return std::nullopt;
    Statement item(*database_, Select("ORDER BY Email LIMIT 1 OFFSET ?").c_str());
    item.Bind(1, index);
    if (!item.Step()) return std::nullopt;
    return MemberRow::From(item, database_);
}

std::optional<MLMember> MLMembers::Item(std::string_view address) {
    const std::string email = Normalise(address);
    if (email.empty()) return std::nullopt;
    Statement item(*database_, Select("WHERE Email = ?").c_str());
    item.Bind(1, email);
    if (!item.Step()) return std::nullopt;
    return MemberRow::From(item, database_);
}

std::optional<MLMember> MLMembers::ByRowId(std::int64_t rowId) {
    Statement item(*database_, Select("WHERE rowid = ?").c_str());
    item.Bind(1, rowId);
    if (!item.Step()) return std::nullopt;
    return MemberRow::From(item, database_);
}

std::vector<MLMember> MLMembers::Next(std::size_t count) {
    auto members = After(cursor_, count);
    if (!members.empty()) cursor_ = members.back().Address();
    return members;
}

std::vector<MLMember> MLMembers::After(std::string_view after, std::size_t count) {
    Statement batch(*database_, Select("WHERE Email > ? ORDER BY Email LIMIT ?").c_str());
    batch.Bind(1, after).Bind(2, static_cast<std::int64_t>(count));
    return ReadAll(batch, database_);
}

bool MLMembers::Remove(std::string_view address) {
    const std::string email = Normalise(address);
    if (email.empty()) return false;
    Statement remove(*database_, "DELETE FROM Members WHERE Email = ?");
    remove.Bind(1, email);
    if (remove.Run() != SQLITE_DONE) database_->Fail("delete");
    return sqlite3_changes(database_->Handle()) > 0;
}

bool MLMembers::RemoveRow(std::int64_t rowId) {
    Statement remove(*database_, "DELETE FROM Members WHERE rowid = ?");
    remove.Bind(1, rowId);
    if (remove.Run() != SQLITE_DONE) database_->Fail("delete");
    return sqlite3_changes(database_->Handle()) > 0;
}

std::int32_t MLMembers::CountError(std::int64_t rowId, Date now) {
    // One statement, so two reports handled at once both count.
    Statement count(*database_,
                    "UPDATE Members SET Errors = CASE WHEN LastError < ? THEN 1 ELSE Errors + 1 END, LastError = ? "
                    "WHERE rowid = ? RETURNING Errors");
    count.Bind(1, now - kMemberErrorDays).Bind(2, now).Bind(3, rowId);
    if (!count.Step()) return 0;
    const auto errors = static_cast<std::int32_t>(count.Int(0));
    while (count.Step()) {
    }
    return errors;
}

void MLMembers::CountPosting(std::string_view address) {
    Statement count(*database_, "UPDATE Members SET MessagesPosted = MessagesPosted + 1 WHERE Email = ?");
    count.Bind(1, Normalise(address));
    if (count.Run() != SQLITE_DONE) database_->Fail("update");
}

void MLMember::Update() {
    if (!database_) throw ComError(E_FAIL, "The member " + address_ + " belongs to no database");
    Statement update(*database_,
                     "UPDATE Members SET Comment = ?, Status = ?, VacationReturn = ?, MessageFormat = ?, MessagesPosted = ? "
                     "WHERE rowid = ?");
    update.Bind(1, comment_).Bind(2, std::int64_t{status_}).Bind(3, vacationReturn_).Bind(4, std::int64_t{messageFormat_});
    update.Bind(5, std::int64_t{messagesPosted_}).Bind(6, rowId_);
    if (update.Run() != SQLITE_DONE) database_->Fail("update");
    if (sqlite3_changes(database_->Handle()) == 0) throw ComError(E_FAIL, "The member " + address_ + " is no longer in the list");
}

}  // namespace pw::lists
