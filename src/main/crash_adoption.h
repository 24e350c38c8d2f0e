// The adoption of crash directories that the program's own crash handler
// could not move into place: it was killed (a service manager's stop
// time-out, the OOM killer, a watchdog) or the move failed, after it had
// written a whole minidump into "<temp dir>/zorcrashreporter_<id>.crash.temp".
//
// Thread-safety: stateless; call it from one process at a time (the upload
// run holds its lock).
#pragma once

#include "platform/tpath.h"

namespace ZorErrorReporting {

// Moves each "zorcrashreporter_<id>.crash.temp" directory directly in
// `tempDir` whose "zorcrashreporter.<pid>.dmp" is a whole minidump (signature
// and stream directory in place: the writer puts them there last) and whose
// writer no longer runs (no process of its pid but one started after the
// dump was written, or this one) to "<dumpDir>/zorcrashreporter_<id>.crash",
// so that the upload finds it like any other crash; across file systems it
// is copied there through "<dumpDir>/<its name>" and then removed. A
// directory whose writer may run is left, with an Info line. A manifest that is missing or not
// whole is replaced by one made for it (the id, manifest version "1.1", the
// pid and "adopted" saying why); a partial full dump is removed. A directory
// without a whole minidump is left for the stale-directory clean-up. Nothing
// is adopted from a `tempDir` that another user may write (WhyFolderNotPrivate;
// one Warn line says so), nor a directory that is a link or belongs to
// another user. Returns
// how many directories were adopted. Never throws: a failure is logged at
// Warn with the path and the cause, and the directory stays for next time.
int AdoptStrandedCrashDirectories(const zor::platform::TPath& tempDir,
                                  const zor::platform::TPath& dumpDir);

}  // namespace ZorErrorReporting
