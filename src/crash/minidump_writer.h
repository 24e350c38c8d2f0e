// MinidumpWriter: writes a minidump of this process from inside it, in the
// middle of a crash.
//
// A dump holds: the header and stream directory; system information; the
// process id (misc info); the thread that crashed or asked for the dump,
// first, then every other thread the caller stopped, each with its registers
// and its stack; the loaded ELF modules with their build ids; an exception
// stream naming the first thread when a signal is given; the memory list
// (the stacks and the bytes around the first thread's instruction pointer);
// an assertion stream when a text is given; and the text of /proc/self/maps,
// status, cmdline, auxv, /proc/cpuinfo and /etc/os-release as the Linux
// streams that debuggers read. A full dump adds every readable private
// mapping but the read-only ones backed by a file (the developer has those
// files) as a 64-bit memory list.
//
// Every memory read goes through /proc/self/mem, so an unmapped or
// unreadable page is a failed read (written as zeros), never a fault.
//
// Async-signal-safety: Write allocates nothing, takes no lock and uses no
// stdio; it works in static scratch buffers, so only one Write may run at a
// time in the process (the crash handler's once-only claim ensures that).
// Prepare is the one part that must run in a normal context, beforehand.
#pragma once

#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

#include "crash/thread_suspender.h"

namespace zor::platform {

// The thread a dump is about and why it is written.
struct DumpRequest {
  const ucontext_t* context = nullptr;  // its registers (a signal's, or getcontext's); weak
  pid_t threadId = 0;
  int signal = 0;             // 0: a dump asked for without a fault (no exception stream)
  int signalCode = 0;         // si_code of the signal
  uint64_t faultAddress = 0;  // si_addr of the signal
  // The other threads, stopped by the caller for the time of the Write; weak.
  const StoppedThread* others = nullptr;
  size_t otherCount = 0;
  // The text of a failed assertion or of an uncaught exception; may be null.
  const char* assertion = nullptr;
};

enum class DumpMemory {
  kStackOnly,           // a minidump: the thread's stack and the code around it
  kAllPrivateMappings,  // a full dump: also every readable private mapping
};

class MinidumpWriter {
 public:
  // Largest stack copied into a dump: enough for a debugger's backtrace,
  // small enough that a dump stays a minidump.
  static constexpr uint64_t kMaxStackBytes = 512 * 1024;

  // Records what a crash-time writer cannot ask for safely (the kernel
  // release text, the number of processors, where the process's start-up
  // data on the main thread's stack begins: its environment is never
  // copied). Call once, in a normal context,
  // before the first Write; later calls refresh it. Thread-safe against
  // other Prepare calls only.
  static void Prepare();

  // Writes the dump for `request` into `fd`, a new, empty file open for
  // writing. Returns true iff every part was written; on false the file holds
  // a partial dump (the caller decides whether to keep it). Failed memory
  // reads are not failures: their bytes are written as zeros.
  // REQUIRES: Prepare was called; no other Write is running; request.context
  // is not null. Async-signal-safe.
  static bool Write(int fd, const DumpRequest& request, DumpMemory memory);
};

}  // namespace zor::platform
