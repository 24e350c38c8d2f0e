#include "platform/process_priority.h"

#include <sys/resource.h>
#include <sys/stat.h>

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

void RestrictNewFilesToOwner() { ::umask(077); }

}  // namespace zor::platform
