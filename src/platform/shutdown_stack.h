// ShutdownStack: named actions that undo start-up steps, run in reverse order
// of their pushing when the process shuts down.
//
// Lifecycle: 1. start-up code pushes each action under a unique name (Push);
// 2. shutdown runs them, last pushed first, and empties the stack
// (RunAndDiscard); the stack may then be filled again.
// Thread-safety: every member may be called from any thread; actions run on
// the thread that calls RunAndDiscard, without the stack's lock held.
#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/tstring.h"

namespace zor::platform::TStartup {

class ShutdownStack {
 public:
  // The process-wide stack, created on first use and never destroyed (so an
  // exit-time action may still run it).
  static ShutdownStack& Get();

  ShutdownStack() = default;
  ShutdownStack(const ShutdownStack&) = delete;
  ShutdownStack& operator=(const ShutdownStack&) = delete;

  // Pushes `action` under `name`. Returns false, and keeps the stack as it
  // was, iff an action of that name is already on the stack.
  bool Push(const TString& name, std::function<void()> action);
  // True iff an action named `name` is on the stack.
  bool Contains(const TString& name) const;
  size_t Size() const;

  // Takes every action off the stack and runs them from the last pushed to
  // the first. Every action runs even when an earlier one throws; the first
  // exception is then rethrown. Actions pushed while it runs stay on the
  // (new) stack for the next call.
  void RunAndDiscard();

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<TString, std::function<void()>>> actions_;
};

}  // namespace zor::platform::TStartup
