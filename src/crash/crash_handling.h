// Folder crash/: the program's own crash handling (signals, the crash
// directory, the minidump writer); it uses only log/ and platform/.
//
// The program's own crash handling: when this process dies of SIGSEGV,
// SIGBUS, SIGILL, SIGFPE or SIGABRT, it leaves a crash directory that the
// crash upload later finds like any other crash.
//
// A crash directory is written in stages, while every other thread of the
// process is stopped (see thread_suspender.h) so that the dumps show each
// thread as it was:
//   1. "<temp dir>/zorcrashreporter_<correlation id>.crash.temp/" is made
//      (a name that the crash discovery skips) and filled with
//        zorcrashreporter.<pid>.dmp        the minidump (see minidump_writer.h)
//        zorcrashreporter.<pid>.manifest   manifest-version "1.1"
//        <the current log file's name>     a copy of the current log file;
//      each write is checked: without a whole minidump and manifest the
//      directory is removed and nothing is reported; a log copy that fails is
//      left out;
//   2. it is renamed to "<dump dir>/zorcrashreporter_<correlation id>.crash";
//      across file systems it is copied to "<dump dir>/...crash.temp" first,
//      renamed there and the original removed, so it appears whole either way;
//      when the move fails the whole directory stays in the temp directory
//      (the next upload run adopts it) and a partial copy is removed;
//   3. when full dumps are on, zorcrashreporter.<pid>-full.dmp is written in
//      the directory in place, as "...-full.dmp.temp" renamed when whole; a
//      failed one is removed. The manifest's "full-dump" says which (it says
//      "missing" until the full dump is whole, so a handler killed meanwhile
//      leaves a directory that uploads as it is);
//   4. the signal is raised again with the default action (or, with signal
//      chaining, with the handler that was installed before ours).
// The manifest's "dump-threads" says "all", or which threads are missing when
// the others could not be stopped (ptrace refused; the dump then holds the
// crashing thread only, as before); "assertion" holds the text of a failed
// assertion or an uncaught exception.
//
// The signal handler runs on an alternate signal stack (a stack overflow is
// handled) and is async-signal-safe: no allocation, no locks, no stdio; every
// path, name and text it needs is prepared when it is installed. One crash is
// handled once: the first thread to fault writes the crash directory while
// every other faulting thread waits for the process to end; a fault inside
// the handler itself ends the process at once with the default action.
//
// The correlation id is 32 lower-case hexadecimal digits; a dump written from
// a normal context (WriteDumpOfCurrentThread) uses it and then moves on to a
// new one, so that a later crash gets a directory of its own.
//
// Thread-safety: install and remove from one thread (the driver's); SetLogFile
// from any thread; the handler from any thread.
#pragma once

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace zor::platform {

namespace CrashHandling {

struct Options {
  // Also write zorcrashreporter.<pid>-full.dmp; never in a sanitizer build
  // (see platform/sanitizer_build.h).
  bool writeFullDump = true;
};

// Installs the crash handler (replacing an installed one) for a crash
// directory staged in `tempDir` and moved into `dumpDir`, with a copy of
// `logFile` (may be empty: no copy). Neither directory needs to exist yet;
// both are made when a crash needs them. Also makes the terminate handler
// write a crash directory before the process aborts. Returns the correlation
// id of the crash directory. Throws ZorvaneException naming the path when a
// path is too long for the handler's buffers, or naming the call when the
// alternate signal stack or the handler cannot be installed.
TString StartupCrashHandler(const TPath& tempDir, const TPath& dumpDir, const TPath& logFile,
                            const Options& options = {});

// The log file whose copy goes into crash directories from now on (the log
// moved on to a new file). An empty path stops the copy. May be called
// before or without an installed handler. Never throws; a path too long for
// the handler's buffer is ignored.
void SetLogFile(const TPath& logFile);

// Writes a crash directory for the calling thread from a normal context (the
// terminate handler, assertion hooks, write-dump), as if it had received
// `signal` (0: a dump asked for, no fault recorded). Returns the final crash
// directory's path, empty when no handler is installed or the directory
// could not be finished. `assertion` (a failed assertion's or an uncaught
// exception's text; may be empty) goes into the manifest ("assertion") and
// the dump's assertion stream, cut to 1000 bytes. The next crash gets a new
// correlation id.
TPath WriteDumpOfCurrentThread(int signal, const TString& assertion = TString());

// Ends the process with `signal` and its default action, the crash handler
// left out (so an already written crash is not written again).
[[noreturn]] void DieBySignal(int signal);

}  // namespace CrashHandling

namespace FaultReporting {

// Called by the crash handler once a crash directory is in place, with its
// path. Runs inside the signal handler: it must be async-signal-safe.
using CrashCallback = void (*)(const char* crashDirectory);

struct Options {
  bool enabled = false;     // false: SetupFaultReporting installs nothing
  TPath logFile;            // copied into each crash directory; may be empty
  TString applicationName;  // recorded in the manifest as "application"
  int signalChaining = 0;   // 1: after the crash directory, the handler
                            // installed before ours gets the signal
  int writeFullDump = 1;    // 1: also write the full dump
  CrashCallback callback = nullptr;
  TPath tempDir;  // where crash directories are staged
  TPath dumpDir;  // where they end up
};

// Installs the crash handler as StartupCrashHandler does, with `options`.
// Throws as StartupCrashHandler.
void SetupFaultReporting(const Options& options);

// Puts back the signal handlers and alternate stack found when the handler
// was installed. No-op when none is installed. Never throws.
void DestroyFaultReporting();

}  // namespace FaultReporting

}  // namespace zor::platform
