// Process-level OS settings that a background job wants.
#pragma once

#include <cstdint>

namespace zor::platform {

// Lowers the scheduling priority of the calling process to nice 10, so that
// uploads and zipping yield to the user's work. Failure is ignored: a
// process that cannot lower its priority still does its job.
void LowerProcessPriority();

// Raises this process's limit of open files to its hard limit: a crash's
// files stay open from their check until the zip has read them, and a crash
// of a few thousand files (a log folder's) would meet the usual soft limit
// of 1024. Failure is ignored: the run then goes as far as the limit lets it.
void RaiseOpenFileLimit();

// How many more files this process may open now: its soft limit of open
// files less the descriptors it has open (as /proc/self/fd lists them); the
// limit itself when they cannot be listed. Never throws.
uint64_t OpenFilesLeft();

// Sets the file-creation mask to 077, so that nothing this process creates
// (a directory, a zip of a memory dump, a log naming presigned URLs) can be
// read or written by other users, whatever mode a call site asks for. A file
// meant for others (the metrics file) sets its mode explicitly. Call it
// before anything is created; it cannot fail.
void RestrictNewFilesToOwner();

}  // namespace zor::platform
