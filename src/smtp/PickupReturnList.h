// PickupReturnList: the servers an SMTP pickup asked to deliver (ETRN or ATRN) that have not yet
// connected back, and the returned sessions still running -- what lets a send/receive cycle tell
// that the mail it asked for has come in.
//
// A pickup lists the address it connected to before it sends ETRN or ATRN (the connect-back may beat
// the reply) and unlists it at every end of its own; an SMTP session from a listed address takes it
// off the list and counts itself as returned until it ends (ReturnedSession, a guard, so no way out of
// a session leaves the count up). The same server may be listed by more than one pickup: each listing
// is answered by one returned session.
// Thread safety: one lock for everything; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "platform/IpAddress.h"

namespace pw::smtp {

class PickupReturnList {
public:
    static PickupReturnList& Instance();

    // `address` of either family; `pickup` the pickup's number ("sys:smtppickup:%d").
    void Add(const IpAddress& address, int pickup);
    bool Contains(const IpAddress& address) const;
    // The pickup's own unlisting (done, failed or timed out): no session is counted.
    void Remove(const IpAddress& address, int pickup);
    // The returned sessions running now.
    int ReturnedSessions() const;

private:
    friend class ReturnedSession;
    std::optional<int> TakeReturned(const IpAddress& address);
    void SessionEnded();

    PickupReturnList() = default;

    mutable std::mutex lock_;
    std::multimap<IpAddress, int> listed_;  // address -> pickup number, once per listing
    int returned_ = 0;
};

// An SMTP session's part in the list: made at the greeting, it takes a listing of the client's address
// (the number of the pickup that asked, for its address map) and counts the session until it ends.
class ReturnedSession {
public:
    explicit ReturnedSession(const IpAddress& clientAddress);
    ~ReturnedSession();
    ReturnedSession(const ReturnedSession&) = delete;
    ReturnedSession& operator=(const ReturnedSession&) = delete;

    // The pickup this session answers, when it answers one.
    std::optional<int> Pickup() const { return pickup_; }

private:
    std::optional<int> pickup_;
};

}  // namespace pw::smtp
