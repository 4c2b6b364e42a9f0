// UidCounter: a folder's "_uid" file -- the counter its envelope ids are drawn from.
//
// Eight bytes, one little-endian IEEE double; an empty file counts as 0. Drawing opens the file,
// takes a byte-range lock on its first eight bytes (waiting in the kernel, not spinning), reads, adds
// 1, writes back and unlocks, so no two threads or processes ever draw the same id. A counter that is
// damaged (a length other than 0 or 8, a value that is not a whole number in range) or missing starts
// again after the highest envelope stem in the folder, so an id whose files exist is never handed out.
// Thread safety: any thread; the lock serialises drawers across processes too.
#pragma once

#include "platform/DirStorage.h"

#include <string>
#include <string_view>

namespace pw::store {

// Draws the next id (written back). At least `floor` + 1: callers that found the files of a drawn id
// already present pass the highest existing stem.
[[nodiscard]] HRESULT DrawUid(const DirStorage& folder, double& uid, double floor = 0);
// The id the next draw would give, without drawing it.
[[nodiscard]] HRESULT PeekUid(const DirStorage& folder, double& uid);

// "%07I64X": the stem of an envelope's file names.
std::string UidStem(double uid);
// The id a stem stands for; false when the name is not a hexadecimal stem.
bool UidFromStem(std::string_view stem, double& uid);
// The highest id among the folder's ".env" and ".eml" files (0 when none).
double HighestStoredUid(const DirStorage& folder);

}  // namespace pw::store
