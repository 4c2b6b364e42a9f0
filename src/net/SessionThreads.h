// SessionThreads: the threads that run client sessions, kept for the next session when one ends.
//
// A session a connection is the rule for mail clients and for servers sending one message each: a
// thread made and given back per connection costs its stack's mapping, its start and its end. A
// thread whose session ended waits a while for the next one instead; beyond a bound of waiting
// threads, or after the wait, it ends. Each job starts with the thread's TLS error queue empty, as a
// new thread's is.
// Thread safety: Run may be called from any thread.
#pragma once

#include <functional>

namespace pw::net {

// Runs the job on a waiting session thread, or on a new one (throws std::system_error when no thread
// can be made).
void RunSessionThread(std::function<void()> job);

}  // namespace pw::net
