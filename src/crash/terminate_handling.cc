#include "crash/terminate_handling.h"

#include <signal.h>

#include <atomic>

#include "crash/crash_handling.h"
#include "platform/zorvane_exception.h"

namespace zor::platform {
namespace {

std::atomic<bool> g_dumpOnAssert{false};
std::atomic<bool> g_terminateOnAssert{false};

void OnLogicFailure(const TString& message) {
  if (g_dumpOnAssert.load()) CrashHandling::WriteDumpOfCurrentThread(SIGABRT, message);
  if (g_terminateOnAssert.load()) CrashHandling::DieBySignal(SIGABRT);
}

}  // namespace

bool TerminateHandling::zorvane_terminate() {
  return !CrashHandling::WriteDumpOfCurrentThread(0).IsEmpty();
}

void InitializeAssertHooks(bool writeDump, bool terminate) {
  g_dumpOnAssert.store(writeDump);
  g_terminateOnAssert.store(terminate);
  SetLogicFailureHook(writeDump || terminate ? OnLogicFailure : nullptr);
}

}  // namespace zor::platform
