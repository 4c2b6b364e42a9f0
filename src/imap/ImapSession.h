// ImapSession: one IMAP4rev1 conversation (RFC 3501) -- the greeting, the command loop with the
// dispatch of each command by state, argument checks, the replies and the after-command steps, idle
// time-outs, and the commands that do not touch mailboxes: CAPABILITY, NOOP, LOGOUT, ID, IDLE,
// PROGRESS, X-TID, X-DEBUG, STARTTLS, LOGIN and AUTHENTICATE (PLAIN, CRAM-MD5).
//
// A command's outcome is its reply text or its diagnostic: the first diagnostic set during a command
// wins, and a command that sets neither is answered "BAD Internal server failure" -- never silence.
// Before login, the command limit is smaller and ten BAD replies in a row end the session. Failed
// logins pay the pause of the failed-login table shared with SMTP and POP3; no password is ever
// logged. Stopping the module ends a session with "* BYE [ALERT] Server shutting down immediately".
// Thread safety: one session per thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "imap/FetchItems.h"
#include "imap/ImapCommandReader.h"
#include "imap/ImapConnection.h"
#include "imap/ImapServer.h"
#include "imap/ImapStore.h"
#include "m5/M5Session.h"
#include "net/Listener.h"

namespace pw::imap {

enum class SessionState { NotAuthenticated = 0, Authenticated = 1, Selected = 2, Logout = 3 };

// Makes IMAP4 instances run this session for each connection (the service registers every protocol's
// session, as it does SMTP's and POP3's; StartImapServer reads the module's settings).
void RegisterImapServer();

class ImapSession;

// Where APPEND's message goes while the command is read: a new, unpublished envelope in the target
// folder, its content written as the literal arrives. The APPEND handler publishes it; anything else
// (a refusal, a failed write, the end of the session) leaves it unpublished, and the store removes it.
class AppendStaging final : public LiteralSink {
public:
    explicit AppendStaging(ImapSession& session) : session_(session) {}
    Verdict Open(const Command& command, std::uint64_t length, std::string& refusal) override;
    void Write(std::string_view bytes) override;
    void Reset();

    std::optional<FolderRecord> folder;
    std::shared_ptr<store::Envelope> envelope;
    std::unique_ptr<FileStream> content;
    std::string failure;  // why the content is not whole

private:
    ImapSession& session_;
};

class ImapSession {
public:
    ImapSession(std::shared_ptr<net::ConnectionTicket> ticket, ImapSettings settings);

    void Run();

private:
    // Option bits of a session: 2 allows CRAM-MD5.
    static constexpr unsigned kOptionCramMd5 = 2;
    static constexpr unsigned kSessionOptions = 7;

    bool Greet();
    // Runs one command; false when the session ends.
    bool Step();
    void Dispatch(Command& command);
    bool ArgumentsValid(const CommandEntry& entry, const Command& command);
    void RunHandler(const Command& command);
    void AfterCommand(const Command& command);
    void TimedOut();
    void SendReply(const std::string& tag, const Command* command);

    // Reply state of the running command.
    void SetReply(std::string text) { reply_ = std::move(text); }
    void SetDiagnostic(std::string text, bool bad);
    void Bad(std::string text) { SetDiagnostic(std::move(text), true); }
    void No(std::string text) { SetDiagnostic(std::move(text), false); }
    void Untagged(std::string_view text);
    void Log(char severity, std::string_view text) const;

    // Commands of every state (ImapSessionCommands.cpp).
    void Capability();
    void Logout();
    void XTid();
    void XDebug(const Command& command);
    void Progress(const Command& command);
    void StartTls(const Command& command);
    // The mailbox commands (ImapMailboxCommands.cpp).
    // A mailbox name argument decoded from modified UTF-7 and checked; nullopt with the reply set.
    std::optional<std::string> MailboxName(const Argument& argument);
    void Select(const Command& command, bool examine);
    // "* OK [PERMANENTFLAGS ...]" and "* FLAGS ..." of the selected mailbox, keywords in use included.
    void SendFlagLines();
    // Sends the flag lines again when some of these keywords are new to the session.
    void AnnounceKeywords(const Keywords& keywords);
    // Leaves the selected state; with `expunge`, removes the messages marked \Deleted first (silently).
    void CloseMailbox(bool expunge);
    void Subscribe(const Command& command, bool subscribe);
    // The names subscribed to, as the client wrote them.
    std::vector<std::string> Subscriptions() const;
    // Replaces the subscriptions file whole; false (logged) when it could not be written.
    bool WriteSubscriptions(const std::vector<std::string>& names) const;
    // After DELETE (no `to`) or RENAME of folder `from` (UTF-8): its subscription goes, or follows it
    // with those of the levels below, to `to` as the client wrote it.
    void CarrySubscriptions(std::string_view from, std::optional<std::string_view> to) const;
    // The commands on folders (ImapFolderCommands.cpp).
    void Create(const Command& command);
    void Delete(const Command& command);
    void Rename(const Command& command);
    bool RenameTargetAllowed(std::string_view to);
    void List(const Command& command, bool lsub);
    void Status(const Command& command);
    // The untagged lines for what other sessions and deliveries changed in the selected mailbox.
    void SendUpdates();
    // Takes the marked messages out of the session's view with their "n EXPUNGE" lines.
    void ExpungeFromView(const std::vector<bool>& gone);
    // The message commands (ImapMessageCommands.cpp).
    void Store(const Command& command);
    void Expunge(const Command& command);
    void Copy(const Command& command);
    void Move(const Command& command);
    // The checks COPY and MOVE share, and their target; nullopt with the reply set.
    std::optional<FolderRecord> CopyTarget(const Command& command, std::string_view verb);
    // Copies the selected messages, all or none; false with the reply set.
    bool CopySelected(const FolderRecord& target, std::vector<std::uint32_t>& sources, std::vector<std::uint32_t>& copies);
    // "[COPYUID validity sources copies] " when UIDPLUS is on, else "".
    std::string CopyUidCode(const FolderRecord& target, const std::vector<std::uint32_t>& sources,
                            const std::vector<std::uint32_t>& copies) const;
    // FETCH (ImapFetch.cpp).
    void Fetch(const Command& command);
    // The response for one selected message; false with the NO diagnostic set, nothing written.
    // Messages it read and marked \Seen are added to `seen`, to be stored by StoreSeen.
    bool FetchOne(const FetchRequest& request, std::size_t index, bool uidCommand, std::vector<std::size_t>& seen);
    // Stores \Seen for messages (by index) with one flush of the folder for all of them.
    void StoreSeen(std::vector<std::size_t>& indexes);
    // Sends a range of an open message file as the data of a literal already announced; a short read
    // ends the session, since the client counts on exactly that many bytes.
    bool SendFileRange(FileStream& file, std::uint64_t offset, std::uint64_t length);
    // The session's structure parser session, opened at first use; false when it can not be had.
    bool OpenM5();
    // IDLE (ImapIdle.cpp).
    void Idle(const Command& command);
    // SEARCH (ImapSearch.cpp).
    void Search(const Command& command);
    // APPEND (ImapAppend.cpp).
    void Append(const Command& command);
    friend class AppendStaging;
    // Login (ImapAuth.cpp).
    void Login(const Command& command);
    void Authenticate(const Command& command);
    void AuthenticatePlain(const Command& command);
    void AuthenticateCramMd5();
    // Checks the password of a named account, pays the failure pause, and logs in.
    bool CheckAndLogIn(const std::string& user, const std::optional<std::string>& password,
                       const std::optional<std::string>& cramDigest, const std::string& challenge,
                       std::string_view method);
    bool LoginUser(const AccountInfo& account, std::string_view method);
    // May a password travel in the clear now? NO [PRIVACYREQUIRED] when not.
    bool PlainPasswordAllowed();
    // An AUTHENTICATE response line; nullopt after a time-out (answered with `timedOut`) or a closed
    // connection.
    std::optional<std::string> ReadResponseLine(std::size_t capacity, std::string_view timedOut);

    std::shared_ptr<net::ConnectionTicket> ticket_;
    ImapSettings settings_;
    std::optional<ImapConnection> connection_;
    std::optional<CommandReader> reader_;
    AppendStaging staging_{*this};
    ImapStore store_;

    SessionState state_ = SessionState::NotAuthenticated;
    unsigned options_ = 0;
    unsigned storeCapabilities_ = 0;
    bool readOnly_ = false;
    bool plaintextAuth_ = true;  // passwords in the clear outside TLS ("sys:imap4:%d:plaintextauth")
    std::string user_;
    std::string inbox_;
    std::string userDirectory_;
    unsigned badInARow_ = 0;

    std::string reply_;
    std::string diagnostic_;
    bool bad_ = false;
    bool noReply_ = false;
    bool endSession_ = false;
    std::string alert_;

    std::optional<FolderRecord> selected_;
    MessageVector vector_;
    bool selectedReadOnly_ = false;
    double stamp_ = 0;  // of the selected folder when it was last looked at
    std::optional<m5::M5SessionHandle> m5_;  // opened at the first FETCH that reads a message
    std::size_t gone_ = 0;                  // messages the running FETCH found expunged

    std::uint32_t debugMask_ = 0;
    unsigned progressTenths_ = 0;
    std::chrono::steady_clock::time_point progressSet_{};
};

}  // namespace pw::imap
