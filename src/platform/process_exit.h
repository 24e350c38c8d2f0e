// Process-exit actions: work that must happen when the process ends normally
// (exit() or a return from main), such as running the shutdown stack and
// closing the log.
//
// Each registration is an std::atexit registration of its own, so actions run
// in reverse order of registration, interleaved correctly with the
// destructors of static objects: an object whose construction finished
// before an action was registered is still alive when that action runs.
// Nothing runs on _exit(), quick_exit() or a fatal signal.
#pragma once

#include <functional>

namespace zor::platform {

// Registers `action` to run at normal process exit. Returns false, and the
// action will not run, iff the C library refused the registration. An
// exception that escapes an action is reported on standard error and the
// remaining actions still run. Thread-safe.
bool RegisterProcessExitAction(std::function<void()> action);

}  // namespace zor::platform
