// QuotaCleanup: removes the mail that has outlived its mailbox's age limit ("user:quota:deletedays":
// every message, in every folder of the mailbox, whose whole days since its "_CreateDate" exceed the
// limit; 0 or missing: none).
//
// A message whose creation date can not be read is kept: losing mail on a damaged record is worse
// than keeping it a day longer. A mailbox whose inbox a POP3 session holds is passed over (its
// session's message numbers must not change under it) and counted, so the caller tries again later.
// Thread safety: any thread; removals go through the store like every other.
#pragma once

#include "platform/AutomationDate.h"
#include "store/MessageStore.h"

#include <atomic>
#include <cstddef>
#include <string_view>

namespace pw::admin {

inline constexpr std::string_view kDeleteDaysKey = "user:quota:deletedays";

struct CleanUpCounts {
    std::size_t removed = 0;
    std::size_t mailboxesPassedOver = 0;  // held by POP3, or unreadable
};

CleanUpCounts RemoveExpiredMail(const store::MessageStore& messageStore, Date now, const std::atomic<bool>& stop);

}  // namespace pw::admin
