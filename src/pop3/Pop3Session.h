// Pop3Session: one POP3 conversation (RFC 1939) with a mail client, serving the inbox of one mailbox.
//
// Login is USER/PASS or APOP (against the clear password the store deciphers); a password login
// records the client in the POP-before-SMTP table. The maildrop is the inbox's first 2500 messages
// in id order, taken at login, and it is the session's alone: a second session on the same inbox is
// told "-ERR Can not lock box" until the first ends, however it ends. Deletions are marks until QUIT,
// which removes the marked messages and flushes the folder; a session that ends otherwise removes
// nothing. Failed logins cost the client the pause of the shared failed-login table
// (net/LoginFailures.h). A command line longer than the buffer is refused whole ("-ERR Line too
// long"). Received lines are logged by the session, with passwords and APOP digests masked.
// Messages go out line by line through mime::MessageTextWriter: CR LF for every stored line end (CR
// LF, a lone CR, a lone LF) and byte-stuffing, whatever the length of a stored line.
// Thread safety: one session per thread; the maildrop locks and the failure table are shared, locked.
#pragma once

#include "net/Listener.h"
#include "pop3/Pop3Limits.h"
#include "store/MessageStore.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pw::pop3 {

inline constexpr std::string_view kLastReadKey = "POP3LastRead";

// Makes POP3 instances run this session for each connection.
void RegisterPop3Server();

// RFC 1939's exclusive access to a maildrop, for the sessions of this process and the maintenance
// that removes old mail: true when the inbox at `path` was free and is now held by the caller.
bool HoldMaildrop(const std::string& path);
void ReleaseHeldMaildrop(const std::string& path);

class Pop3Session {
public:
    explicit Pop3Session(std::shared_ptr<net::ConnectionTicket> ticket);
    ~Pop3Session();

    void Run();

private:
    struct Entry {
        double uid = 0;
        std::uint64_t size = 0;
        bool deleted = false;
    };

    bool Initialise();
    bool Command(const std::string& line);
    void Pass(const std::string& password);
    void Apop(const std::vector<std::string>& words);
    void Login();
    void LoginFailed();
    bool FindMailBox(const std::string& user);
    bool OpenMaildrop();
    void ReleaseMaildrop();
    void List(const std::vector<std::string>& words);
    void Retrieve(const std::vector<std::string>& words, bool top);
    void Uidl(const std::vector<std::string>& words);
    void Quit();
    // Sends `out` and then the content of a message (all of it, or the header and `bodyLines`
    // lines), stuffed and terminated; false when the content could not be read to its end.
    bool SendContent(FileStream& stream, std::optional<long> bodyLines, std::string out);
    // Stores the last message this session retrieved in the mailbox. Retrievals only note it: one
    // mailbox update per session instead of a flushed rewrite per message.
    void RecordLastRead();
    // The entry of a message number, or a reply saying why there is none.
    Entry* Message(const std::string& word, bool allowDeleted = false);
    void Reply(std::string_view text) { connection_->SendReply(text); }

    std::shared_ptr<net::ConnectionTicket> ticket_;
    net::LoggedConnection* connection_ = nullptr;
    std::shared_ptr<store::MessageStore> store_;
    std::string domain_;
    std::string primaryDomain_;
    std::string timestamp_;
    bool tlsPossible_ = false;

    std::string user_;
    bool authorised_ = false;
    std::shared_ptr<store::MailBox> mailbox_;
    std::shared_ptr<store::Folder> inbox_;
    std::string lockedPath_;
    std::vector<Entry> entries_;
    std::size_t liveCount_ = 0;
    std::uint64_t liveOctets_ = 0;
    std::optional<double> lastRead_;
};

}  // namespace pw::pop3
