// Fault points: in a test build, the Nth durable change the file-system
// facade makes (a save's commit, a rename, a file created, a file synced, a
// deletion, a directory created, a lock file created) can kill the process
// or fail as the OS would, so that a test can walk every state a kill or a
// full disk leaves behind and check that the next run recovers from it.
//
// Only a build with ZOR_FAULT_POINTS defined to 1 has them (the CMake option
// of that name builds them into a separate binary, zorcrashreporter-faults);
// everywhere else BeforeDurableChange is an inline 0 and nothing else of this
// file exists.
//
// The environment, read once when the program starts:
//   ZOR_FAULT_COUNT_FILE=<path>  holds the number of durable changes reached
//       so far, rewritten at each one, so that it is right after a kill too;
//   ZOR_FAULT_AT=<N> with ZOR_FAULT_ACTION=kill|term|enospc|eio  at the Nth
//       change (counted from 1): SIGKILL before the change takes effect, or
//       SIGTERM before it goes ahead, or make that one change fail with
//       ENOSPC or EIO (the others go through);
//   ZOR_FAULT_ONLY=<text>  counts for ZOR_FAULT_AT only the changes whose
//       "<operation> <path>" holds <text> (all of them still count for the
//       count file and the trace);
//   ZOR_FAULT_TRACE=<path>  gets one line per change appended:
//       "<N> <operation> <path>", followed by " <action>" at the faulted one.
//
// Thread-safety: the count is kept under a mutex; any thread.
// Include only from the facade's own sources: they are the ones a fault
// build compiles again with the definition.
#pragma once

#include "platform/tstring.h"

namespace ZorErrorReporting {

#if ZOR_FAULT_POINTS
// Counts one durable change of `operation` on `what`; returns 0, or the errno
// with which the change must fail; does not return when it kills.
int ReachFaultPoint(const char* operation, const zor::platform::TString& what);
// Reads the environment again and starts counting from 0 (for unit tests,
// whose process outlives one configuration).
void ReloadFaultPointsFromEnvironment();
#endif

// To be called by the facade right before a durable change takes effect:
// 0 to go ahead, else the errno that the change fails with.
inline int BeforeDurableChange(const char* operation, const zor::platform::TString& what) {
#if ZOR_FAULT_POINTS
  return ReachFaultPoint(operation, what);
#else
  (void)operation;
  (void)what;
  return 0;
#endif
}

}  // namespace ZorErrorReporting
