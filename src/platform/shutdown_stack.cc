#include "platform/shutdown_stack.h"

#include <exception>

namespace zor::platform::TStartup {

ShutdownStack& ShutdownStack::Get() {
  static ShutdownStack* stack = new ShutdownStack();
  return *stack;
}

bool ShutdownStack::Push(const TString& name, std::function<void()> action) {
  std::lock_guard lock(mutex_);
  for (const auto& entry : actions_) {
    if (entry.first == name) return false;
  }
  actions_.emplace_back(name, std::move(action));
  return true;
}

bool ShutdownStack::Contains(const TString& name) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : actions_) {
    if (entry.first == name) return true;
  }
  return false;
}

size_t ShutdownStack::Size() const {
  std::lock_guard lock(mutex_);
  return actions_.size();
}

void ShutdownStack::RunAndDiscard() {
  decltype(actions_) actions;
  {
    std::lock_guard lock(mutex_);
    actions.swap(actions_);
  }
  std::exception_ptr first;
  for (auto it = actions.rbegin(); it != actions.rend(); ++it) {
    if (!it->second) continue;
    try {
      it->second();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace zor::platform::TStartup
