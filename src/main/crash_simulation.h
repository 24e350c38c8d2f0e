// The building blocks of simulate-crash: ways for this program to crash on
// purpose (so that its own crash handling, and the upload of what it leaves,
// can be tried end to end), and the ballast and log rotations that shape
// what a crash leaves behind.
//
// Each block logs what it does through the log functions. The crashing ones
// return only when the crash did not happen (no handler could make it
// survive; a return means the fault did not end the process). Main thread,
// except where a block starts threads of its own.
#pragma once

#include <cstdint>
#include <thread>

namespace ZorErrorReporting {

// How AllocateBallast divides `kilobytes` among chunks: chunkSize is
// 0x7FFFFFFF divided by `threads` (1 when 0), so that filling the chunks takes
// about one thread per processor.
struct BallastPlan {
  uint32_t chunkSize = 0;
  uint64_t chunkCount = 0;     // 0 for 2 kilobytes or less
  uint64_t lastChunkSize = 0;  // the remainder, or chunkSize when none
};
BallastPlan PlanBallast(uint64_t kilobytes, unsigned threads);

// Allocates `kilobytes` of heap in chunks (see PlanBallast; `threads` is
// the hardware concurrency but for tests) that are never released, so that a
// full dump holds them. With `incompressible`, each chunk is filled with
// random bytes by a thread of its own, started right after its allocation;
// all are waited for, in order. Returns the table of the plan's chunkCount
// chunks (nullptr when there is none), which the process keeps for good.
// Throws std::bad_alloc when a chunk cannot be allocated, ZorvaneException
// "Call to RAND_bytes failed" when filling fails.
char* const* AllocateBallast(uint64_t kilobytes, bool incompressible,
                             unsigned threads = std::thread::hardware_concurrency());

// Rotates the log `times` times, sleeping the rotation interval before each
// rotation and logging "Dummy log line after log rotation." after it.
// Throws ZorvaneException "Rotate logs simulation requested, but log rotation
// is not enabled! ..." when the interval is 0.
void SimulateLogRotation(int32_t times);

// Logs, flushes the log, then stores 123 at address 0.
void CrashByAccessViolation();

// Calls itself with `callCount` + 1, each call logging and keeping its
// frame, until the stack is exhausted.
void OverflowStack(uint64_t callCount);

// Commits one page of read-write memory at a time until that fails, then
// logs how many pages it got. Nothing is released.
void ExhaustVirtualMemory();

// ExhaustVirtualMemory, then 200 MiB allocations until one raises
// std::bad_alloc; logs "Successfully received a memory allocation failure"
// and returns then. Nothing is released.
void ExhaustMemory();

// Starts `threadCount` threads that each log as CrashByAccessViolation does
// and then, once all have started, make the same access violation; counts
// down ten seconds before waiting for them.
void CrashInThreads(int threadCount);

}  // namespace ZorErrorReporting
