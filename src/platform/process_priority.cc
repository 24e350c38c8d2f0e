#include "platform/process_priority.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace zor::platform {

void LowerProcessPriority() {
  const int current = getpriority(PRIO_PROCESS, 0);
  if (current < 10) (void)setpriority(PRIO_PROCESS, 0, 10);
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &limit);
}

uint64_t OpenFilesLeft() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  uint64_t open = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++open;
  }
  if (error) return limit.rlim_cur;
  // The listing's own descriptor is closed again by now.
  open = open > 0 ? open - 1 : 0;
  return limit.rlim_cur > open ? limit.rlim_cur - open : 0;
}

void RestrictNewFilesToOwner() { ::umask(077); }

}  // namespace zor::platform
