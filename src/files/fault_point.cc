#include "files/fault_point.h"

#if ZOR_FAULT_POINTS

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace ZorErrorReporting {

namespace {

struct FaultPlan {
  std::string countFile;
  std::string traceFile;
  long at = 0;  // 0: no fault
  std::string action;
  std::string only;
  long reached = 0;
  long matched = 0;  // of the changes that `only` selects
};

std::mutex& PlanMutex() {
  static std::mutex mutex;
  return mutex;
}

FaultPlan& Plan() {
  static FaultPlan plan;
  return plan;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Plain system calls, not the facade: these files are the test's, and
// writing them must not count as changes of the program's own.
void WriteWhole(const std::string& path, const std::string& text, int flags) {
  if (path.empty()) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0) return;
  ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
  ::close(fd);
}

void Load(FaultPlan& plan) {
  plan = FaultPlan{};
  plan.countFile = Environment("ZOR_FAULT_COUNT_FILE");
  plan.traceFile = Environment("ZOR_FAULT_TRACE");
  plan.action = Environment("ZOR_FAULT_ACTION");
  plan.only = Environment("ZOR_FAULT_ONLY");
  plan.at = std::strtol(Environment("ZOR_FAULT_AT").c_str(), nullptr, 10);
  WriteWhole(plan.countFile, "0\n", O_TRUNC);
}

// Read when the program starts, before any thread: the plan is then fixed.
const bool kLoadedAtStart = [] {
  Load(Plan());
  return true;
}();

}  // namespace

void ReloadFaultPointsFromEnvironment() {
  std::lock_guard<std::mutex> lock(PlanMutex());
  Load(Plan());
}

int ReachFaultPoint(const char* operation, const zor::platform::TString& what) {
  std::lock_guard<std::mutex> lock(PlanMutex());
  FaultPlan& plan = Plan();
  const long n = ++plan.reached;
  const std::string change = std::string(operation) + " " + what.toStdString();
  const bool selected = change.find(plan.only) != std::string::npos;
  const bool faulted = selected && ++plan.matched == plan.at;
  std::string line = std::to_string(n) + " " + change;
  if (faulted) line += " " + plan.action;
  WriteWhole(plan.traceFile, line + "\n", O_APPEND);
  WriteWhole(plan.countFile, std::to_string(n) + "\n", O_TRUNC);
  if (!faulted) return 0;
  if (plan.action == "kill") ::kill(::getpid(), SIGKILL);
  // A stop asked for (a timer's, an operator's): the change goes ahead, and
  // the run notices it where it looks.
  if (plan.action == "term") ::kill(::getpid(), SIGTERM);
  if (plan.action == "enospc") return ENOSPC;
  if (plan.action == "eio") return EIO;
  return 0;
}

}  // namespace ZorErrorReporting

#endif  // ZOR_FAULT_POINTS
