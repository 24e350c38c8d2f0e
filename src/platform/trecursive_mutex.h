// TRecursiveMutex: the mutex that guards the creation of process-wide
// singletons; the thread that holds it may lock it again.
#pragma once

#include <mutex>

namespace zor::platform {

using TRecursiveMutex = std::recursive_mutex;
// Holds a TRecursiveMutex for its scope; may be unlocked early.
using TRecursiveMutexLocker = std::unique_lock<TRecursiveMutex>;

}  // namespace zor::platform
