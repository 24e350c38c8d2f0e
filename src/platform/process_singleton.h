// ProcessSingleton: the one-instance-per-process scheme shared by the
// program's services (configuration, overrides, file system, system facts).
//
// Get() creates a `Made` (T or a subclass) on first use under a recursive
// mutex, so concurrent first calls create one object; the instance is never
// destroyed, so it may be used during process exit. A test may install its
// own instance with SetTestInstance; Get() returns it instead until it is
// removed with nullptr. The caller keeps ownership of a test instance.
#pragma once

#include <mutex>

namespace zor::platform {

template <typename T, typename Made = T>
class ProcessSingleton {
 public:
  static T& Get() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (test_ != nullptr) return *test_;
    if (instance_ == nullptr) instance_ = new Made();
    return *instance_;
  }

  static void SetTestInstance(T* instance) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    test_ = instance;
  }

 private:
  static inline std::recursive_mutex mutex_;
  static inline T* instance_ = nullptr;  // owned, never destroyed
  static inline T* test_ = nullptr;      // weak
};

}  // namespace zor::platform
