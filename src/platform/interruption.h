// Interruption: how a run hears SIGTERM and SIGINT (systemctl stop, a reboot,
// Ctrl-C) and ends its work cleanly instead of dying in the middle of it.
//
// Install() sets a handler for both signals. The first one delivered only
// records its number (an async-signal-safe store) and restores the default
// action of both, so a second signal ends the process at once. The work
// notices the record where it can stop safely: the HTTP transport aborts the
// transfer in progress and refuses to start another (throwing
// RunInterrupted), and the upload loops check it before each package. The
// package in flight is put back ("PendingRetry", no upload result) and the
// driver ends the run with status 128 + the signal's number.
//
// The program's crash handling (crash_handling.h) owns the fatal signals;
// this owns only SIGTERM and SIGINT.
//
// Thread-safety: Install and ResetForTest on the main thread; Requested,
// Signal and ThrowIfRequested from any thread and from the handler's context.
#pragma once

#include "platform/zorvane_exception.h"

namespace zor::platform {

// The run was interrupted by a signal: thrown where the work stops. Derives
// from ZorvaneException so that every clean-up path for the program's own
// failures also runs for it; catch it before ZorvaneException to tell it
// apart. Its message is "Interrupted by SIGTERM" (or SIGINT, or "signal N"),
// followed by ": package '<name>' is put back for the next run" once an upload
// loop has put its package back.
class RunInterrupted : public ZorvaneException {
 public:
  explicit RunInterrupted(int signal, const TString& packagePutBack = {});

  int Signal() const { return signal_; }
  // 128 + the signal's number, as a shell reports a process the signal ended.
  int ExitStatus() const { return 128 + signal_; }

 private:
  int signal_;
};

namespace Interruption {

// Installs the handler for SIGTERM and SIGINT (SA_RESTART, so that no other
// call sees EINTR). Throws ZorvaneException naming the signal when the
// system refuses. Installing again keeps any signal already recorded.
void Install();
// True iff a signal has arrived since Install (or ResetForTest).
bool Requested();
// The number of the signal that arrived first; 0 when none has.
int Signal();
// Throws RunInterrupted for that signal iff one has arrived.
void ThrowIfRequested();
// "SIGTERM", "SIGINT" or "signal <n>".
TString SignalName(int signal);
// Forgets the recorded signal and restores the default action of both
// signals. For tests.
void ResetForTest();

}  // namespace Interruption

}  // namespace zor::platform
