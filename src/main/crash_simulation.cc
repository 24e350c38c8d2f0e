#include "main/crash_simulation.h"

#include <sys/mman.h>
#include <unistd.h>

#include <future>
#include <latch>
#include <new>
#include <thread>
#include <vector>

#include "crypto/crypto.h"
#include "log/log_functions.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

constexpr uint32_t kMaxBallastBytes = 0x7FFFFFFF;
constexpr size_t kMemoryBlockBytes = 209715200;  // 200 MiB

// Where the ballast and the exhausted memory stay reachable until the
// process dies.
char** g_ballast = nullptr;
char* volatile g_lastMemoryBlock = nullptr;
// Never cleared: the recursion has no end the compiler could see.
volatile bool g_keepOverflowing = true;

// Out of line and away from the sanitizers' null checks, so that the store
// reaches the CPU as written and faults.
__attribute__((noinline, no_sanitize("address", "undefined"))) void StoreAtZero() {
  volatile uintptr_t zero = 0;
  *reinterpret_cast<volatile int32_t*>(zero) = 123;
}

}  // namespace

BallastPlan PlanBallast(uint64_t kilobytes, unsigned threads) {
  BallastPlan plan;
  plan.chunkSize = kMaxBallastBytes / (threads == 0 ? 1 : threads);
  if (kilobytes <= 2) return plan;
  const uint64_t total = kilobytes * 1024;
  plan.chunkCount = (total + plan.chunkSize - 1) / plan.chunkSize;
  plan.lastChunkSize = total % plan.chunkSize == 0 ? plan.chunkSize : total % plan.chunkSize;
  return plan;
}

char* const* AllocateBallast(uint64_t kilobytes, bool incompressible, unsigned threads) {
  const BallastPlan plan = PlanBallast(kilobytes, threads);
  if (plan.chunkCount == 0) return nullptr;
  g_ballast = new char*[plan.chunkCount];
  std::vector<std::future<void>> fills;
  for (uint64_t i = 0; i < plan.chunkCount; ++i) {
    const uint64_t size = i + 1 == plan.chunkCount ? plan.lastChunkSize : plan.chunkSize;
    char* chunk = new char[size];
    g_ballast[i] = chunk;
    if (incompressible) {
      fills.push_back(std::async(std::launch::async, [chunk, size] {
        Crypto::GetInstance().FillRandomBytes(reinterpret_cast<uint8_t*>(chunk), size);
      }));
    }
  }
  for (std::future<void>& fill : fills) fill.get();
  return g_ballast;
}

void SimulateLogRotation(int32_t times) {
  const uint64_t interval = GetRotateInterval();
  if (interval == 0) {
    throw ZorvaneException(
        "Rotate logs simulation requested, but log rotation is not enabled! Set rotate logs "
        "interval to 1, to simulate log rotation.");
  }
  LogText(TLog::Info, TFormatString("Received request to rotate logs %1 times.").arg(times));
  for (int32_t i = 0; i < times; ++i) {
    LogText(TLog::Info,
            TFormatString("Sleeping for rotate-log-interval (%1) second(s) to cause log to rotate.")
                .arg(interval));
    TSystem::Sleep(static_cast<int>(interval * 1000));
    RotateLog();
    LogText(TLog::Info, "Dummy log line after log rotation.");
  }
}

void CrashByAccessViolation() {
  LogText(TLog::Warn, "Performing an access violation.");
  FlushLog();
  StoreAtZero();
}

void OverflowStack(uint64_t callCount) {
  // A frame of real size that is used after the call, so that the recursion
  // can become neither a loop nor a tail call.
  volatile char frame[1024];
  frame[0] = static_cast<char>(callCount);
  LogText(TLog::Warn, TFormatString("Overflowing stack... on call count %1.").arg(callCount));
  if (callCount % 1000 == 0) FlushLog();
  if (g_keepOverflowing) OverflowStack(callCount + 1);
  frame[1] = frame[0];
}

void ExhaustVirtualMemory() {
  LogText(TLog::Warn, "Allocating virtual memory until its consumed...");
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  uint64_t pages = 0;
  // MAP_POPULATE commits the page now, as committing memory does elsewhere.
  while (mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1,
              0) != MAP_FAILED) {
    ++pages;
  }
  LogText(TLog::Warn, TFormatString("Allocated '%1' pages of virtual memory.").arg(pages));
}

void ExhaustMemory() {
  LogText(TLog::Warn, "Allocating all virtual memory blocks...");
  try {
    ExhaustVirtualMemory();
    for (uint64_t attempt = 1;; ++attempt) {
      LogText(TLog::Info, TFormatString("Attempting to allocate memory until an error occurs "
                                        "(Attempt count: %1) ...")
                              .arg(attempt));
      if ((attempt - 1) % 10 == 0) FlushLog();
      char* block = new char[kMemoryBlockBytes];
      block[0] = 'a';
      g_lastMemoryBlock = block;
    }
  } catch (const std::bad_alloc&) {
    LogText(TLog::Info, "Successfully received a memory allocation failure");
  }
}

void CrashInThreads(int threadCount) {
  LogText(
      TLog::Warn,
      TFormatString("Spawning %1 threads wherein each will attempt to crash...").arg(threadCount));
  // The threads fault together, so that the handler finds the later ones at
  // their fault rather than still starting, however busy the machine is.
  std::latch together(threadCount);
  std::vector<std::future<void>> tasks;
  for (int i = 0; i < threadCount; ++i) {
    tasks.push_back(std::async(std::launch::async, [&together] {
      LogText(TLog::Warn, "Performing an access violation.");
      FlushLog();
      together.arrive_and_wait();
      StoreAtZero();
    }));
  }
  for (int n = 10; n >= 1; --n) {
    LogText(TLog::Warn,
            TFormatString("Main thread waiting %1 seconds before completing...").arg(n));
    TSystem::Sleep(1000);
  }
  for (std::future<void>& task : tasks) task.get();
}

}  // namespace ZorErrorReporting
