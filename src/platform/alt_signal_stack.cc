#include "platform/alt_signal_stack.h"

#include <sys/mman.h>

namespace zor::platform {

AltSignalStack::AltSignalStack() {
  void* stack = mmap(nullptr, kAltSignalStackBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (stack == MAP_FAILED) return;
  stack_t wanted{};
  wanted.ss_sp = stack;
  wanted.ss_size = kAltSignalStackBytes;
  if (sigaltstack(&wanted, &previous_) != 0) {
    munmap(stack, kAltSignalStackBytes);
    return;
  }
  stack_ = stack;
}

AltSignalStack::~AltSignalStack() {
  if (stack_ == nullptr) return;
  sigaltstack(&previous_, nullptr);
  munmap(stack_, kAltSignalStackBytes);
}

}  // namespace zor::platform
