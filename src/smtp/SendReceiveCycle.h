// SendReceiveCycle: one round of talking to other servers -- dial when the connection is dial-up,
// send what waits in "_Out", collect from the POP3 and SMTP pickups, wait until all of it is done and
// the servers asked to deliver have finished, hang up. Texts 108 and 109 mark its start and end.
//
// One cycle runs at a time, on a thread of its own that the transports start and stop. A request
// that comes during a cycle is kept: requests merge, and one more cycle runs right after. Each pass
// can be switched off for diagnosis by the Debug values "NoOutSMTP", "NoInPOP3" and "NoInSMTP". The
// jobs run on the transport's pool; the cycle waits for its own jobs (not the whole pool), then for
// the sessions the pickups brought back, at most kCycleReturnWait after its last job (a warning).
// A dial that fails every try ends the cycle (text 103) before anything else runs.
// With a dial-up connection ("sys:connection:type" 2) outgoing mail leaves only in cycles.
// Thread safety: StartCycle and the hooks from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

namespace pw::smtp {

// How long a cycle waits for returned sessions after its last job ended.
inline constexpr std::chrono::minutes kCycleReturnWait{10};

// Asks for a cycle with these passes.
void StartCycle(bool outgoing, bool pop3Pickup, bool smtpPickup);

// The POP3 pickups' jobs for a cycle, one per configured pickup; the service sets the source.
// Without one a cycle has no POP3 pass.
using Pop3PickupSource = std::function<std::vector<std::function<void()>>()>;
void SetPop3PickupSource(Pop3PickupSource source);

// The cycle thread; the transports call these when they start and stop.
void StartCycles();
void StopCycles();

}  // namespace pw::smtp
