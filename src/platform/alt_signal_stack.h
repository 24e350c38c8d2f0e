// AltSignalStack: an alternate signal stack for the thread that makes it, for
// as long as the object lives, so that a fault of a thread that exhausted
// its own stack still reaches the crash handler (the kernel delivers that
// SIGSEGV only on an alternate stack). The program's crash handler gives the
// thread that installs it one; each thread the program starts makes one of
// these first.
//
// Thread-safety: one per thread, destroyed on the thread that made it.
#pragma once

#include <signal.h>

#include <cstddef>

namespace zor::platform {

// What the crash handler needs of an alternate stack to write a crash.
constexpr size_t kAltSignalStackBytes = 256 * 1024;

class AltSignalStack {
 public:
  // Never throws: a thread that cannot have one (no memory) goes without,
  // as it would have before.
  AltSignalStack();
  // Puts back the thread's previous alternate stack.
  ~AltSignalStack();
  AltSignalStack(const AltSignalStack&) = delete;
  AltSignalStack& operator=(const AltSignalStack&) = delete;

 private:
  void* stack_ = nullptr;
  stack_t previous_{};
};

}  // namespace zor::platform
