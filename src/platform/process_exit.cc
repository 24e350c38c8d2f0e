#include "platform/process_exit.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <vector>

namespace zor::platform {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::function<void()>> actions;
};

// Never destroyed: its entries are needed by the exit handlers themselves.
Registry& GetRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

// The C library calls the handlers in reverse order of registration, so the
// handler that runs now belongs to the newest action still held.
void RunNewestAction() {
  std::function<void()> action;
  {
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    if (registry.actions.empty()) return;
    action = std::move(registry.actions.back());
    registry.actions.pop_back();
  }
  if (!action) return;
  // An exception leaving an exit handler would end the process in
  // std::terminate and skip every older action.
  try {
    action();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "process exit action failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "process exit action failed\n");
  }
}

}  // namespace

bool RegisterProcessExitAction(std::function<void()> action) {
  Registry& registry = GetRegistry();
  std::lock_guard lock(registry.mutex);
  // Registering under the lock keeps the handler order and the action order
  // the same when threads register at once.
  if (std::atexit(&RunNewestAction) != 0) return false;
  registry.actions.push_back(std::move(action));
  return true;
}

}  // namespace zor::platform
