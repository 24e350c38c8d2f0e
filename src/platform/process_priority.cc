#include "platform/process_priority.h"

#include <sys/resource.h>
#include <sys/stat.h>

namespace zor::platform {

void LowerProcessPriority() {
  const int current = getpriority(PRIO_PROCESS, 0);
  if (current < 10) (void)setpriority(PRIO_PROCESS, 0, 10);
}

void RestrictNewFilesToOwner() { ::umask(077); }

}  // namespace zor::platform
