// The removal of what interrupted work leaves behind: the temporary file of
// a state-file save that died before its rename, and the ".crash.temp"
// directory of the program's own crash handler that died before moving its
// dump into place.
//
// Both only ever remove entries of those names; a failed removal is logged at
// Warn by the file-system facade and retried next run. Neither throws.
// Thread-safety: stateless; any thread.
#pragma once

#include <set>

#include "platform/date_time.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

class TrustBoundary;

// Removes each temporary file of an atomic save directly in `dataDirectory`
// (a hidden name ending in ".tmp": ".<name>.<pid>.<random>.tmp", or an older
// version's ".<name>.tmp") whose writer no longer runs, each logged at Debug.
// The temporary file of a process that still runs is left alone; one whose
// pid has been reused stays until the writer is gone.
void RemoveLeftoverStateFiles(const zor::platform::TPath& dataDirectory);

// Removes, with everything below it, each directory named "*.crash.temp"
// that holds files of `*listing` (a listing of `dumpDirectory`), that was last
// written before `cutoff`, that belongs to this process's user and that
// `boundary` lets the program delete; each removal is logged at Debug and its
// files are taken out of `*listing`. A younger one is being written by a
// crashing process and is left alone. Such directories are found through the
// crash files they hold, so that the dump directories are walked only once;
// an empty one is not worth a walk of its own.
void RemoveStaleCrashTempDirectories(const zor::platform::TPath& dumpDirectory,
                                     std::set<zor::platform::TPath>* listing,
                                     const TrustBoundary& boundary,
                                     const zor::platform::DateTime& cutoff);

}  // namespace ZorErrorReporting
