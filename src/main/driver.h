// The program run: from the command line to the exit status.
#pragma once

namespace ZorErrorReporting {

// Exit statuses of a run.
enum ExitStatus : int {
  kExitOk = 0,                // the command finished, or help or version was printed
  kExitFailure = -1,          // a ZorvaneException or another std::exception
  kExitAnotherInstance = -2,  // the single-instance lock is held by another process
  kExitFilesystem = -3,       // a file, directory or link could not be found or moved
  kExitPathError = -4,        // any other path failure
  // 128 + N: signal N (SIGTERM, SIGINT) interrupted an upload, whose package
  // was put back for the next run (see platform/interruption.h).
  kExitInterruptedBase = 128,
};

// Runs one command and returns its exit status. Every failure that reaches
// the driver is logged as one line (on standard output before logging is
// set up) and mapped to its status: a ZorvaneException as a Fatal line of all
// its messages, an interruption as a Warn line naming the signal. Nothing
// escapes but exceptions of types not derived from std::exception.
int Run(int argc, char** argv);

// Maps the exception being handled to its exit status and logs it, as Run
// does. REQUIRES: called inside a catch block. Exposed for tests.
int HandleRunFailure();

// The exit status HandleRunFailure gives the exception being handled,
// without logging. REQUIRES: called inside a catch block.
int ExitStatusOfCurrentException();

// The entry point: Run, then, under a debugger, a prompt that waits for a
// key so that the console stays readable.
int Main(int argc, char** argv);

}  // namespace ZorErrorReporting
