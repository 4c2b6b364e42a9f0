// SpamAssassinLearn: trains SpamAssassin's Bayesian classifier with sa-learn on the messages users
// put into the store's "Bayesian Learn/Spam" and "Bayesian Learn/Good" folders.
//
// Each message is copied into a private directory (mkdtemp, 0700, under $TMPDIR) and learned on its
// own: `<SaLearn> --siteconfigpath <Directory> --spam|--ham <file>`, started without a shell, in a
// process group of its own, with stdin /dev/null, its output discarded and none of our descriptors;
// at kLearnTimeout its group gets SIGTERM, SIGKILL kProgramKillGrace later, and it is reaped. A
// message learned (exit 0) leaves its folder through the store; one that failed stays for the next
// run, and learning goes on with the next message. One sa-learn at a time: callers (pellworth-admin
// `spam learn`, the maintenance run) call Learn from one thread.
// Thread safety: any thread, one run at a time per store.
#pragma once

#include "antispam/SpamAssassinConfig.h"
#include "store/MessageStore.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace pw::antispam {

inline constexpr std::chrono::seconds kLearnTimeout{300};

struct LearnCounts {
    std::size_t spamLearned = 0;
    std::size_t goodLearned = 0;
    std::size_t failed = 0;
};

// Learns one message file as spam or as good mail: true when sa-learn exited 0.
bool LearnMessage(const SpamAssassinPaths& paths, const std::string& file, bool spam);
// Learns every message of "Bayesian Learn/Spam" as spam, then of "Bayesian Learn/Good" as good; a
// missing folder is skipped. Throws ComError only when the private directory can not be made.
LearnCounts Learn(const store::MessageStore& messageStore, const SpamAssassinPaths& paths);

}  // namespace pw::antispam
