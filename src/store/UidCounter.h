// UidCounter: a folder's "_uid" file -- the counter its envelope ids are drawn from.
//
// Eight bytes, one little-endian IEEE double; an empty file counts as 0. Drawing opens the file and
// takes a byte-range lock on its first eight bytes (waiting in the kernel, not spinning), so no two
// threads or processes ever draw the same id. Ids are reserved in blocks: a draw that finds no
// reservation of its process left writes the end of a new block of kUidReserveBlock ids to the file
// and flushes it to the disk before it hands out the first; the draws after it take the next id of
// the block and only read the file. So the counter never rolls back below a used id, not even after a
// power loss, and intake pays for one flush per block, not per message. Ids a process reserved and did
// not use (it stopped, or the table of reservations was emptied) are skipped for good. A counter that
// is damaged (a length other than 0 or 8, a value that is not a whole number in range) or missing
// starts again after the highest envelope stem in the folder, so an id whose files exist is never
// handed out.
// Thread safety: any thread; the lock serialises drawers across processes too.
#pragma once

#include "platform/DirStorage.h"

#include <string>
#include <string_view>

namespace pw::store {

// How many ids one flush of a counter reserves for the process that drew.
inline constexpr double kUidReserveBlock = 64;
// How many folders' reservations a process keeps before it drops them all.
inline constexpr std::size_t kMaxUidReservations = 4096;

// Draws the next id (written back). At least `floor` + 1: callers that found the files of a drawn id
// already present pass the highest existing stem.
[[nodiscard]] HRESULT DrawUid(const DirStorage& folder, double& uid, double floor = 0);
// The id the next draw of this process would give, without drawing it.
[[nodiscard]] HRESULT PeekUid(const DirStorage& folder, double& uid);
// Gives a folder that lost its counter (or never got one) a counter holding the highest stem in it,
// written through to the disk. S_OK when it made one, S_FALSE when the folder had one.
[[nodiscard]] HRESULT RepairUidCounter(const DirStorage& folder);

// "%07I64X": the stem of an envelope's file names.
std::string UidStem(double uid);
// The id a stem stands for; false when the name is not a hexadecimal stem.
bool UidFromStem(std::string_view stem, double& uid);
// The highest id among the folder's ".env" and ".eml" files (0 when none).
double HighestStoredUid(const DirStorage& folder);

}  // namespace pw::store
