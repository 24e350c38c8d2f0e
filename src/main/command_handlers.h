// One handler per command. Each sets the log category first; success is
// the absence of an exception.
#pragma once

#include "main/run_directories.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

struct ListOptions;
struct RetryOptions;
struct SendCrashesOptions;
struct SendLogsOptions;
struct SimulateCrashOptions;

// Both upload commands first install the SIGTERM/SIGINT handling of
// platform/interruption.h: a signal ends the command with RunInterrupted
// once the package in flight is put back.
//
// Takes the single-instance lock (logsDir / "zorcrashreporter.lock") for the
// whole upload; throws TPath::Exception naming TLockFile when another
// process holds it. Once the lock is held, the run ends by writing the
// metrics file when one is configured, whether it succeeds or throws (an
// interrupted run records its exit status, 128 + the signal). Before the
// upload, the crash directories that the program's own crash handler left
// unfinished in dirs.crashDumpsTempDir are adopted (see crash_adoption.h).
void SendCrashes(const SendCrashesOptions& options, const zor::platform::TPath& configFile,
                 const RunDirectories& dirs);
void SendLogs(const SendLogsOptions& options, const zor::platform::TPath& configFile);
// Runs the crash simulation that `options` choose (see crash_simulation.h);
// returns only when the crash did not end the process. Throws what the
// ballast and the log rotation throw.
void SimulateCrash(const SimulateCrashOptions& options);
// Prints the packages of the configured data directory on standard output,
// as text or JSON (upload/package_lister.h). Takes no lock; changes nothing.
void ListPackages(const ListOptions& options);
// Gives failed packages of the configured data directory new attempts
// (CrashPackageProcessor::RetryFailedPackages) and says on standard output
// which ones, and which named ones are no failed package. Throws what that
// throws.
void RetryPackages(const RetryOptions& options);
// Writes a crash directory of the running process through the crash
// handler, then ends the process with status 0; never returns.
[[noreturn]] void WriteDump(const SimulateCrashOptions& options);

}  // namespace ZorErrorReporting
