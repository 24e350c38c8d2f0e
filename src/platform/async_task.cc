#include "platform/async_task.h"

#include <mutex>

namespace zor::platform::AsyncTask {
namespace {

struct Current {
  std::mutex mutex;
  std::shared_ptr<Cancel> cancel;
};

// Never destroyed: the shutdown stack clears it at exit.
Current& GetCurrent() {
  static Current* current = new Current();
  return *current;
}

}  // namespace

std::shared_ptr<Cancel> Cancel::Create() {
  auto cancel = std::make_shared<Cancel>();
  Set(cancel);
  return cancel;
}

void Cancel::Set(std::shared_ptr<Cancel> cancel) {
  Current& current = GetCurrent();
  std::lock_guard lock(current.mutex);
  current.cancel = std::move(cancel);
}

std::shared_ptr<Cancel> Cancel::Get() {
  Current& current = GetCurrent();
  std::lock_guard lock(current.mutex);
  return current.cancel;
}

}  // namespace zor::platform::AsyncTask
