// Process-level OS settings that a background job wants.
#pragma once

namespace zor::platform {

// Lowers the scheduling priority of the calling process to nice 10, so that
// uploads and zipping yield to the user's work. Failure is ignored: a
// process that cannot lower its priority still does its job.
void LowerProcessPriority();

}  // namespace zor::platform
