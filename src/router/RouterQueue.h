// RouterQueue: the envelopes waiting for a router -- the unique ids of new envelopes in the store's
// "_In" folder, first in, first out.
//
// Receivers (the SMTP server, pickups, notices) submit an id once the envelope is published; router
// threads take them. An id is held from its submission until its router calls Done: submitting it
// again meanwhile (the start-up's resubmission racing a receiver) changes nothing, so two routers
// never route one envelope at once. Nothing is lost if the process ends with ids still queued: the
// envelopes stay in "_In" and are submitted again at the next start.
// Thread safety: every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>

namespace pw::router {

class RouterQueue {
public:
    // The process's queue.
    static RouterQueue& Instance();

    void Submit(double uid);
    // The next id, waiting at most `wait`; nullopt when none came. The id stays held until Done.
    std::optional<double> Take(std::chrono::milliseconds wait);
    void Done(double uid);
    std::size_t Size() const;

private:
    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<double> uids_;
    std::set<double> held_;  // queued or being routed
};

// Hands a published envelope's id to the routers: what receivers, notices and re-injections call, so
// none of them needs the router itself.
void SubmitEnvelope(double uid);

}  // namespace pw::router
