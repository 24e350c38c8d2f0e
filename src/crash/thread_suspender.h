// ThreadSuspender: stops every other thread of this process from inside a
// signal handler and records each one's registers, so that a dump can show
// all threads as they were.
//
// The technique: a helper task made with clone (sharing the address space,
// on a static stack of its own) attaches to each thread with PTRACE_SEIZE and
// PTRACE_INTERRUPT, waits for the stop, reads the general and floating-point
// registers into this class's static storage and keeps the threads stopped
// until Resume; it then detaches and exits. The process names the helper as
// its tracer (PR_SET_PTRACER), so that a Yama ptrace_scope of 1 permits it.
// A thread the helper cannot attach to (a debugger is already tracing, the
// process is not dumpable, ptrace is forbidden) is left out and counted in
// refused().
//
// Async-signal-safe: no allocation, no locks, no stdio; the helper calls
// only system calls. Only one instance may be active at a time in the
// process (the crash handler's once-only claim ensures that), since the
// storage is static.
#pragma once

#include <sys/types.h>
#include <sys/user.h>

#include <cstddef>

namespace zor::platform {

// One stopped thread as the helper found it.
struct StoppedThread {
  pid_t threadId = 0;
  user_regs_struct registers{};
  user_fpregs_struct floatingPoint{};
};

class ThreadSuspender {
 public:
  static constexpr size_t kMaxThreads = 1024;

  // Finds the C library's own clone, which SuspendOthers uses to make the
  // helper. Call it before a crash, outside a signal handler; idempotent.
  // Without it (or when the library cannot be found) the clone that the
  // program links to is used, which a preloaded library or a sanitizer may
  // have wrapped with code that does not expect a shared address space.
  static void Prepare();

  // Stops every thread of the process but the calling one. Returns true iff
  // the helper ran and reported; false (nothing stopped, the process goes on
  // as before) when the helper could not be made or gave no answer within a
  // few seconds. The threads stay stopped until Resume or destruction.
  bool SuspendOthers();

  // Lets the stopped threads go and reaps the helper. Idempotent.
  void Resume();
  ~ThreadSuspender() { Resume(); }

  // The stopped threads; valid until the next SuspendOthers.
  const StoppedThread* threads() const;
  size_t count() const;
  // How many threads could not be attached to.
  size_t refused() const;
  // How many threads the process had besides the calling one.
  size_t others() const;
  // How many of those were past kMaxThreads: neither stopped nor dumped.
  size_t beyondCap() const;

 private:
  pid_t helper_ = 0;
  int toHelper_ = -1;    // write end: the helper may detach
  int fromHelper_ = -1;  // read end: the helper has stopped everyone
};

}  // namespace zor::platform
