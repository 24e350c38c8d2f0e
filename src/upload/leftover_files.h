// The removal of what interrupted work leaves behind: the temporary file of
// a state-file save that died before its rename, the files of packages that
// no status file records any more, and the ".crash.temp" directory of the
// program's own crash handler that died before moving its dump into place.
//
// The data directory holds nothing nobody owns: what a package leaves
// behind when its status file goes without it (a `send-logs` killed
// mid-upload leaves the user's e-mail address in plain text, a full disk a
// partial encrypted file) is removed once it is an hour old. The hour is the
// margin for a process that is creating a package right now: its files may
// exist before the status file that records them.
//
// Each only ever removes entries of the names the program gives them; a
// failed removal is logged at Warn by the file-system facade and retried
// next run. None throws. Thread-safety: stateless; any thread.
#pragma once

#include <cstdint>
#include <set>

#include "platform/date_time.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

class TrustBoundary;

// Files younger than this may belong to work in progress and stay.
inline constexpr int64_t kLeftoverMinAgeSeconds = 60 * 60;

// The cutoff for the functions below at `now`: kLeftoverMinAgeSeconds before it.
inline zor::platform::DateTime LeftoverCutoff(const zor::platform::DateTime& now) {
  return zor::platform::DateTime::FromUnixTimeMs((now.GetAsUnixTime() - kLeftoverMinAgeSeconds) *
                                                 1000);
}

// Removes each temporary file of an atomic save directly in `dataDirectory`
// (a hidden name ending in ".tmp": ".<name>.<pid>.<random>.tmp", or an older
// version's ".<name>.tmp") whose writer no longer runs, each logged at Debug.
// The temporary file of a process that still runs is left alone (one whose
// pid has been reused stays until the writer is gone), and one that names no
// writer stays until it was last written before `cutoff`. With `savedFile`,
// only the temporary files of saves of that name (".<savedFile>.…") are
// looked at: a folder shared with other programs keeps theirs.
void RemoveLeftoverStateFiles(const zor::platform::TPath& dataDirectory,
                              const zor::platform::DateTime& cutoff,
                              const zor::platform::TString& savedFile = {});

// Removes each package file directly in `dataDirectory` that no status file
// there records, last written before `cutoff`, each logged at Info
// ("Removing '<path>': no package records it"). Package files are those of
// the names the program gives them: "*.package.zip", "*.crash-manifest", "*.enc", "*.zormeta",
// "*.uploaded.parts", "*.metadata" and "*.lock"; a file of any other name
// (status files, the upload rate state, a metrics file, a file a person put
// there) is never touched. A file is recorded when a status file names it
// among its data files (compared by file name, so that no spelling of the
// directory makes a recorded file look foreign) and, for "<name>.lock", when
// a status file of the package <name> exists. A lock file is removed only
// while this process holds its lock, whatever its age: one that another
// process holds stays.
// When a status file cannot be loaded, nothing is removed (logged at Info):
// what it records is unknown. The packages are loaded within `boundary`.
void RemoveUnrecordedPackageFiles(const zor::platform::TPath& dataDirectory,
                                  const TrustBoundary& boundary,
                                  const zor::platform::DateTime& cutoff);

// Removes, with everything below it, each directory that the program's crash
// handler names "zorcrashreporter_<id>.crash.temp", that holds files of
// `*listing` (a listing of `dumpDirectory`), that was last written before
// `cutoff`, that belongs to this process's user, that `boundary` lets the
// program delete and that holds no whole minidump (one that does is kept, at
// Info: it is a crash); each removal is logged at Info and its files are
// taken out of `*listing`; another user's entry inside stays, and so does
// the directory then. A younger one is being written by a
// crashing process and is left alone. Such directories are found through the
// crash files they hold, so that the dump directories are walked only once;
// an empty one is not worth a walk of its own.
void RemoveStaleCrashTempDirectories(const zor::platform::TPath& dumpDirectory,
                                     std::set<zor::platform::TPath>* listing,
                                     const TrustBoundary& boundary,
                                     const zor::platform::DateTime& cutoff);

}  // namespace ZorErrorReporting
