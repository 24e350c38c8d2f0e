// Dumps written from a normal context: on request, at std::terminate, and on
// a failed logic assertion. Each writes the crash directory of the installed
// crash handler (see crash_handling.h) for the calling thread.
//
// Thread-safety: any thread; dumps are written one at a time.
#pragma once

namespace zor::platform {

namespace TerminateHandling {

// Writes a crash directory (minidump, full dump when on, manifest, log copy)
// for the calling thread and returns; the process goes on. Returns true iff
// the directory reached the dump directory; false, with nothing written,
// when no crash handler is installed.
bool zorvane_terminate();

}  // namespace TerminateHandling

// Sets what a logic assertion failure (ThrowLogicException) does before it
// would throw: with `writeDump`, a crash directory is written as for SIGABRT;
// with `terminate`, the process then dies of SIGABRT instead of throwing.
// InitializeAssertHooks(false, false) restores plain throwing.
void InitializeAssertHooks(bool writeDump, bool terminate);

}  // namespace zor::platform
