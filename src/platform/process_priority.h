// Process-level OS settings that a background job wants.
#pragma once

namespace zor::platform {

// Lowers the scheduling priority of the calling process to nice 10, so that
// uploads and zipping yield to the user's work. Failure is ignored: a
// process that cannot lower its priority still does its job.
void LowerProcessPriority();

// Sets the file-creation mask to 077, so that nothing this process creates
// (a directory, a zip of a memory dump, a log naming presigned URLs) can be
// read or written by other users, whatever mode a call site asks for. A file
// meant for others (the metrics file) sets its mode explicitly. Call it
// before anything is created; it cannot fail.
void RestrictNewFilesToOwner();

}  // namespace zor::platform
