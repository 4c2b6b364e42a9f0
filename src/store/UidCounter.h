// UidCounter: a folder's "_uid" file -- the counter its envelope ids are drawn from, and the last id
// published in the folder.
//
// The first eight bytes are the counter: one little-endian IEEE double; an empty file counts as 0.
// The next eight, when present, are the last id published (written with each publication, the same
// encoding); a counter of eight bytes (made by hand, repaired, or older) has none yet, and the first
// publication adds it. Ids are drawn at publication, under a byte-range lock on the counter's first
// eight bytes (waiting in the kernel, not spinning) that is held until the envelope's files carry the
// id: so in every process, threads and processes alike, publication order is id order, and a reader
// that reads the last published id before it lists the folder finds every envelope up to it.
// Ids are reserved in blocks: a draw that finds no reservation of its process left, or finds that
// another process reserved since, writes the end of a new block of kUidReserveBlock ids to the file
// and flushes it to the disk before it hands out the first; the draws after it take the next id of the
// block and write only the last published id, unflushed. So the counter never rolls back below a used
// id, not even after a power loss, and intake pays for one flush per block, not per message; a
// process that starts (or another that published meanwhile) continues above the counter, leaving the
// rest of the block unused for good. A counter that is damaged (a length other than 0, 8 or 16, a
// value that is not a whole number in range) or missing starts again after the highest envelope stem
// in the folder, so an id whose files exist is never handed out.
// Thread safety: any thread; the lock serialises drawers across processes too.
#pragma once

#include "platform/DirStorage.h"

#include <functional>
#include <string>
#include <string_view>

namespace pw::store {

// How many ids one flush of a counter reserves for the process that drew.
inline constexpr double kUidReserveBlock = 64;
// How many folders' reservations a process keeps before it drops them all.
inline constexpr std::size_t kMaxUidReservations = 4096;

// Draws the next id and, with the counter still locked, lets `place` give it to an envelope's files;
// when that succeeds the id is recorded as the last published. `place` answers STG_E_ALREADYEXISTS
// when files of that id are there already (a counter behind its folder): the draw starts again after
// the highest stem. Any other failure is returned; the id is then skipped, never handed out again.
[[nodiscard]] HRESULT PublishWithUid(const DirStorage& folder, const std::function<HRESULT(double uid)>& place, double& uid);
// Draws an id as a publication would, with nothing to place. At least `floor` + 1.
[[nodiscard]] HRESULT DrawUid(const DirStorage& folder, double& uid, double floor = 0);
// The id the folder reports as its next: one past the last published. A counter that has not
// recorded one reports one past its stored counter, which is where a new block would start.
[[nodiscard]] HRESULT PeekUid(const DirStorage& folder, double& uid);
// The last id published (0 when none); `recorded` false when the counter does not hold it (a new,
// repaired or older counter), which readers that key on ids (IMAP's UID validity) take as a sign that
// the ids may have started again.
[[nodiscard]] HRESULT LastPublishedUid(const DirStorage& folder, double& last, bool& recorded);
// Makes the counter record a last published id when it has none: the stored counter (an id no
// envelope beyond it can have), so that from now on a counter without one stands out as new.
[[nodiscard]] HRESULT RecordLastPublished(const DirStorage& folder);
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
